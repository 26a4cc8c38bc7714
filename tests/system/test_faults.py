"""Faults from outside, through the real daemon on the sandbox's bus: children that die, a
wpa_supplicant that goes away, interfaces that vanish and come back, a cable that flaps a
thousand times, the bus that vanishes and SIGTERM at any moment. Each ends in a known state
with the configuration still readable."""

import ipaddress
import signal
import time

import pytest
import sandbox as world

from conftest import STATIC, Daemon, ipv4, wait_until

CHILDREN = ("udhcpc", "udhcpd", "hostapd", "dnsd")
EXIT_TIMEOUT = 40
OUTAGE_LEASE_SECONDS = 20


def pids(sandbox, program):
    # -x: the soft AP's stand-ins are scripts.
    return sandbox.run(["pidof", "-x", program]).stdout.split()


def kill(sandbox, program):
    [pid] = pids(sandbox, program)
    sandbox.run(["kill", "-KILL", pid], check=True)
    assert wait_until(lambda: pid not in pids(sandbox, program))
    return pid


def supplicant_state(sandbox):
    """The state of wpa_supplicant's one interface; None while it has none."""
    def read(path, interface, name):
        result = sandbox.run(["busctl", "get-property", world.SUPPLICANT_NAME, path, interface,
                              name])
        return result.stdout.split() if result.returncode == 0 else []
    paths = read("/fi/w1/wpa_supplicant1", "fi.w1.wpa_supplicant1", "Interfaces")[2:]
    if not paths:
        return None
    return read(paths[0].strip('"'), "fi.w1.wpa_supplicant1.Interface", "State")[-1].strip('"')


def test_a_killed_dhcp_client_drops_the_lease_until_the_cable_returns(make_daemon):
    daemon = make_daemon()
    daemon.wired()
    kill(daemon.sandbox, "udhcpc")
    assert wait_until(lambda: ipv4(daemon.sandbox) == [])
    assert daemon.client.details("eth0")["Connected"] is False
    daemon.sandbox.unplug()
    daemon.sandbox.plug()
    assert wait_until(lambda: daemon.client.details("eth0")["Connected"] is True, 20)
    [leased] = ipv4(daemon.sandbox)
    assert str(leased.ip).startswith("10.77.0.")
    assert daemon.running() and daemon.intact()


def test_a_dhcp_server_gone_for_longer_than_the_lease_is_taken_up_again(make_daemon):
    daemon = make_daemon()
    daemon.sandbox.start_dhcp_server(lease_seconds=OUTAGE_LEASE_SECONDS)
    daemon.wired()
    daemon.sandbox.stop_dhcp_server()
    # The outage is the fault itself: two lease times without a server.
    time.sleep(2 * OUTAGE_LEASE_SECONDS)
    leases = daemon.leases()
    daemon.sandbox.start_dhcp_server(lease_seconds=OUTAGE_LEASE_SECONDS)
    assert wait_until(lambda: daemon.leases() > leases, 60)
    assert [str(a.ip)[:8] for a in ipv4(daemon.sandbox)] == ["10.77.0."]
    assert daemon.client.details("eth0")["Connected"] is True
    assert daemon.running() and daemon.intact()


def test_the_wired_interface_removed_and_added_again_connects_again(make_daemon):
    daemon = make_daemon()
    daemon.client.set("WiredIpSettings", STATIC)
    daemon.configured["WiredIpSettings"] = STATIC
    daemon.wired()
    daemon.sandbox.remove_link("eth0")
    assert wait_until(lambda: daemon.client.details("eth0")["Present"] == 0)
    daemon.sandbox.make_link("eth0")
    daemon.sandbox.plug()
    assert wait_until(lambda: daemon.client.details("eth0").get("Connected") is True, 30)
    assert [str(a) for a in ipv4(daemon.sandbox)] == [STATIC["Ip"] + "/24"]
    assert daemon.running() and daemon.intact()


@pytest.mark.parametrize("program,restarted", [("udhcpd", "Restarting udhcpd..."),
                                               ("hostapd", "Restarting softap...")])
def test_soft_ap_daemons_crashing_again_and_again_are_restarted(make_daemon, program,
                                                                restarted):
    daemon = make_daemon(softap=True, supplicant="double")
    daemon.soft_ap()
    for crash in range(1, 3):
        kill(daemon.sandbox, program)
        assert wait_until(lambda: sum(restarted in line for line in daemon.output.lines) == crash,
                          25), program
        assert wait_until(lambda: len(pids(daemon.sandbox, program)) == 1, 10), program
    assert daemon.client.details("uap0")["SoftApUp"] is True
    assert daemon.running() and daemon.intact()


def test_wpa_supplicant_killed_is_attached_again_and_the_network_rejoined(make_daemon):
    daemon = make_daemon(supplicant="real")
    daemon.sandbox.plug("wlan0")
    daemon.client.ignored = "eth0"
    daemon.client.call("SetNormalMode", "wireless")
    assert daemon.client.expect("Connected", "wlan0")[-1] == ("Connected", "wlan0")
    first = daemon.sandbox.supplicant_pid()
    daemon.sandbox.run(["kill", "-KILL", str(first)], check=True)
    # The bus starts it again for the daemon's next call, which comes without being asked.
    assert wait_until(lambda: daemon.sandbox.supplicant_pid() not in (None, first), 20)
    assert wait_until(lambda: supplicant_state(daemon.sandbox) == "completed", 30)
    assert daemon.client.details("wlan0")["Connected"] is True
    assert daemon.running() and daemon.intact()


def wlan_leased(sandbox):
    first, last = (ipaddress.ip_address(a) for a in world.WLAN_DHCP_POOL)
    return [first <= a.ip <= last for a in ipv4(sandbox, "wlan0")] == [True]


def test_the_wireless_interface_removed_and_made_again_joins_again(make_daemon):
    daemon = make_daemon(supplicant="real")
    daemon.client.set("WirelessIpSettings", {})
    daemon.configured["WirelessIpSettings"] = daemon.client.get("WirelessIpSettings")
    daemon.sandbox.start_dhcp_server(link="wlan0")
    daemon.sandbox.plug("wlan0")
    daemon.client.ignored = "eth0"
    daemon.client.call("SetNormalMode", "wireless")
    assert daemon.client.expect("Connected", "wlan0")[-1] == ("Connected", "wlan0")
    assert wlan_leased(daemon.sandbox)
    daemon.sandbox.remove_link("wlan0")
    assert ("Disconnected", "wlan0") in daemon.client.expect("InterfaceStatusChanged", "wlan0", 0)
    assert daemon.client.details("wlan0")["Present"] == 0
    # Nothing is left attached to an interface that is gone.
    assert wait_until(lambda: daemon.sandbox.supplicant_pid() is None)
    assert wait_until(lambda: not pids(daemon.sandbox, "udhcpc"))
    daemon.sandbox.make_link("wlan0")
    daemon.sandbox.start_dhcp_server(link="wlan0")
    daemon.sandbox.plug("wlan0")
    assert daemon.client.expect("Connected", "wlan0")[-2:] == [
        ("InterfaceStatusChanged", "wlan0", 2), ("Connected", "wlan0")]
    assert wait_until(lambda: supplicant_state(daemon.sandbox) == "completed")
    assert wlan_leased(daemon.sandbox)
    assert daemon.running() and daemon.intact()


def test_a_thousand_cable_flaps_end_connected(make_daemon):
    daemon = make_daemon()
    daemon.wired()
    flaps = "".join(f"link set {world.PEER_ETH0} {state}\n"
                    for _ in range(1000) for state in ("down", "up"))
    daemon.sandbox.peer_run(["ip", "-batch", "-"], input=flaps, check=True, timeout=120)
    # The daemon may be busy catching up for a while; it answers again and ends connected.
    assert wait_until(lambda: not daemon.running() or (
        answers(daemon.client) and daemon.client.details("eth0")["Connected"] is True), 120)
    assert daemon.client.get("Connected") is True
    assert daemon.running() and daemon.intact()


def answers(client):
    code, _ = client.run("get", "Mode")
    return code == 0


def no_leftovers(sandbox):
    leftovers = [program for program in CHILDREN if pids(sandbox, program)]
    written = sandbox.run(["sh", "-c", "ls /etc/*.new /tmp/*.new 2>/dev/null"]).stdout.split()
    return leftovers + written


@pytest.mark.parametrize("transition", ["idle", "dhcp-discovering", "wired-connected",
                                        "soft-ap-starting", "soft-ap-up", "mode-switching"])
def test_sigterm_at_any_moment_ends_the_daemon_and_its_children(make_daemon, transition):
    daemon = make_daemon(softap=True, supplicant="double")
    client = daemon.client
    if transition == "dhcp-discovering":
        client.call("SetNormalMode", "wired")
        assert wait_until(lambda: pids(daemon.sandbox, "udhcpc"), 20)
    elif transition == "wired-connected":
        daemon.wired()
    elif transition == "soft-ap-starting":
        client.call("StartSoftAp", "uap0", {"ssid": "Setup"})
    elif transition == "soft-ap-up":
        daemon.soft_ap()
    elif transition == "mode-switching":
        client.call("SetNormalMode", "hybrid")
        client.call("SetNormalMode", "wired")
    daemon.output.process.send_signal(signal.SIGTERM)
    assert daemon.output.process.wait(EXIT_TIMEOUT) == 0, "\n".join(daemon.output.lines)
    assert no_leftovers(daemon.sandbox) == []


def test_losing_the_system_bus_ends_the_daemon_for_its_service_manager(make_daemon):
    daemon = make_daemon()
    daemon.wired()
    [bus] = pids(daemon.sandbox, "dbus-daemon")
    started = time.monotonic()
    daemon.sandbox.run(["kill", "-TERM", bus], check=True)
    assert daemon.output.process.wait(EXIT_TIMEOUT) == 2, "\n".join(daemon.output.lines)
    assert time.monotonic() - started < 10
    assert no_leftovers(daemon.sandbox) == []
