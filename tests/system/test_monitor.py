"""The daemon's passive mode (`norvid -m`) in the sandbox world, as a client on the system bus
sees it under the daemon's own bus policy: what it reports while a cable is plugged and pulled
and addresses come and go, what it answers, and that it changes nothing."""

import json
import time

import pytest
import sandbox as world

from conftest import (SIGNAL_TIMEOUT, STAND_IN_ENV, UNPRIVILEGED, WRITES, Signals, ip,
                      messages, recorded, reply, start, wait_until)

# The check interval the helper runs the monitor with, in seconds.
SHORT_INTERVAL = 1.5


@pytest.fixture
def sandbox(make_sandbox):
    """Here the world starts with eth0 up but its cable out."""
    sandbox = make_sandbox(plugged=False)
    ip(sandbox, "link", "set", "eth0", "up")
    return sandbox


@pytest.fixture
def monitor(sandbox, norvid_binary):
    return start(sandbox, [str(norvid_binary), "-m"])


def without_ipv6(sandbox):
    sandbox.run(["sysctl", "-qw", "net.ipv6.conf.eth0.disable_ipv6=1"], check=True)


def system_state(sandbox):
    return [sandbox.run(argv, check=True).stdout for argv in (
        ["ip", "-d", "link"], ["ip", "addr"], ["ip", "route"], ["ip", "-6", "route"],
        ["cat", "/etc/resolv.conf"])]


def test_every_command_and_setter_is_refused_with_its_log_line(stand_ins, norvid_binary,
                                                               client):
    sandbox = stand_ins
    # The kernel's own IPv6 autoconfiguration would change eth0 while the test looks.
    without_ipv6(sandbox)
    sandbox.plug()
    ip(sandbox, "addr", "add", "10.77.0.9/24", "dev", "eth0")
    sandbox.write_file("/etc/resolv.conf", "nameserver 10.77.0.53\n")
    daemon = start(sandbox, [str(norvid_binary), "-m"], env=STAND_IN_ENV)
    before = system_state(sandbox)

    for call in (["SetOffMode"], ["SetNormalMode", "wired"], ["WpsPbc"],
                 ["WpsPin", "12345670"], ["Scan"], ["ForceWifiReconnect"],
                 ["StopSoftAp", "uap0"]):
        assert reply(client, "call", *call) == (0, None), call
    for name, value in WRITES.items():
        assert reply(client, "set", name, json.dumps(value)) == (0, None), name
    # Read-only on the bus, although the monitor's own object would take it.
    assert reply(client, "set", "SoftApModeSettings", "{}") == \
        (2, {"error": "org.freedesktop.DBus.Error.PropertyReadOnly"})
    # A value of the wrong type is dropped before it reaches the monitor.
    assert reply(client, "set", "WiredIpSettings", '"dhcp"') == (0, None)

    assert reply(client, "get", "Mode") == (0, "Passive")
    assert reply(client, "get", "LogLevel") == (0, WRITES["LogLevel"])
    for name in ("WiredIpSettings", "WirelessIpSettings", "WirelessNetworks",
                 "SoftApModeSettings"):
        assert reply(client, "get", name) == (0, {}), name
    assert daemon.wait_for(f"SET: LogLevel: {WRITES['LogLevel']}")
    assert system_state(sandbox) == before
    assert recorded(sandbox) == []
    assert daemon.process.poll() is None

    refused = [m for m in messages(daemon) if m.startswith(("COMMAND: Ignoring", "SET: "))]
    assert len(refused) == 9 and refused[0] == "COMMAND: Ignoring off mode request!"
    # Each write is refused under its own name, with its own value.
    for line, value in (("Wired Ip settings", "10.77.0.20"), ("Wireless Ip settings", "10.78.0.20"),
                        ("wireless networks", "Home")):
        [message] = [m for m in refused if m.startswith(f"COMMAND: Ignoring {line}: ")]
        assert value in message, message
    # Neither the PIN nor the key reaches the log.
    log = "\n".join(daemon.lines)
    assert "12345670" not in log and "secret-key" not in log
    # The monitor has no slot for these: the calls above succeeded without doing anything.
    for method in ("ForceWifiReconnect()", "StopSoftAp(QString)"):
        assert f"No such method NetworkMonitor::{method}" in log


def test_cable_and_addresses_become_connection_signals(sandbox, monitor, source_dir, client):
    # Signals go to everyone, not only to those who may send commands.
    signals = Signals(sandbox, source_dir, UNPRIVILEGED)
    assert reply(client, "get", "Connected") == (0, False)

    sandbox.plug()
    signals.expect("CableStatus", True)
    ip(sandbox, "addr", "add", "10.77.0.9/24", "dev", "eth0")
    signals.expect("Connected", "eth0")
    assert reply(client, "get", "Connected") == (0, True)
    ip(sandbox, "addr", "del", "10.77.0.9/24", "dev", "eth0")
    signals.expect("Disconnected", "eth0")
    assert reply(client, "get", "Connected") == (0, False)
    ip(sandbox, "addr", "add", "10.77.0.9/24", "dev", "eth0")
    signals.expect("Connected", "eth0")
    # Link changes that leave the carrier as it was are no cable news.
    for change in (["mtu", "1400"], ["alias", "uplink"], ["promisc", "on"], ["txqueuelen", "500"]):
        ip(sandbox, "link", "set", "eth0", *change)
    assert signals.quiet() == []
    assert reply(client, "get", "Connected") == (0, True)

    sandbox.unplug()
    signals.expect("CableStatus", False)
    signals.expect("Disconnected", "eth0")
    assert reply(client, "get", "Connected") == (0, False)
    # The address stays without carrier; it no longer counts, and removing it says nothing.
    ip(sandbox, "addr", "del", "10.77.0.9/24", "dev", "eth0")
    signals.expect("AddressesChanged")
    assert signals.quiet() == []

    # The wireless interface has no cable to report; without carrier it had no connection to
    # lose.
    ip(sandbox, "link", "set", "wlan0", "up")
    assert signals.quiet() == []
    sandbox.plug("wlan0")
    ip(sandbox, "addr", "add", "10.78.0.9/24", "dev", "wlan0")
    signals.expect("Connected", "wlan0")
    sandbox.unplug("wlan0")
    signals.expect("Disconnected", "wlan0")
    assert signals.quiet() == []


def test_check_timer_finds_an_address_that_came_before_the_carrier(sandbox, build_dir,
                                                                    source_dir):
    # The daemon checks ten seconds after start-up and after carrier comes; the helper runs the
    # same monitor with a shorter interval.
    # Without IPv6 no link-local address comes with the carrier, and so no address change.
    without_ipv6(sandbox)
    ip(sandbox, "addr", "add", "10.77.0.9/24", "dev", "eth0")
    signals = Signals(sandbox, source_dir)
    start(sandbox, [str(build_dir / "tests/helpers/monitor_run"), str(int(SHORT_INTERVAL * 1000))],
          "Monitoring with a check interval")

    started = signals.expect("Started")
    first_check = signals.expect("AddressesChanged")
    assert first_check - started >= SHORT_INTERVAL * 0.8

    sandbox.plug()
    plugged = signals.expect("CableStatus", True)
    connected = signals.expect("Connected", "eth0")
    assert SHORT_INTERVAL * 0.8 <= connected - plugged <= SHORT_INTERVAL + 2
    signals.expect("AddressesChanged")
    assert signals.quiet(ignored=()) == []


def test_interface_details_describe_the_sandbox(sandbox, norvid_binary, client):
    sandbox.plug()
    daemon = start(sandbox, [str(norvid_binary), "-m"])
    ip(sandbox, "addr", "add", "10.77.0.9/24", "dev", "eth0")
    ip(sandbox, "addr", "add", "192.168.9.9/16", "dev", "eth0")
    ip(sandbox, "route", "add", "default", "via", world.PEER_IPV4, "dev", "eth0")
    sandbox.write_file("/etc/resolv.conf",
                       "# written by the test\nnameserver %s\nnameserver fd77::53\n"
                       % world.DNS_SERVER)
    deadline = time.monotonic() + SIGNAL_TIMEOUT
    while reply(client, "get", "Connected") != (0, True):
        assert time.monotonic() < deadline, "never connected:\n" + "\n".join(daemon.lines)
        time.sleep(0.1)

    system = {"Gateway": world.PEER_IPV4, "Dns": f"{world.DNS_SERVER} fd77::53"}
    wired = {"Interface": "eth0", "Mac": mac(sandbox, "eth0"), "Ip": "10.77.0.9",
             "Netmask": "255.255.255.0", "Connected": True, "CableStatus": True, **system}
    wireless = {"Interface": "wlan0", "Mac": mac(sandbox, "wlan0"), "Ip": "", "Netmask": "",
                "Connected": False, **system}
    assert reply(client, "call", "InterfaceDetails", "eth0") == (0, wired)
    assert reply(client, "call", "InterfaceDetails", "wlan0") == (0, wireless)
    assert reply(client, "call", "InterfaceDetails", "lo") == (0, {
        "Interface": "lo", "Mac": "00:00:00:00:00:00", "Ip": "127.0.0.1", "Netmask": "255.0.0.0",
        **system})
    # "1" is not the interface of index 1.
    for unknown in ("nope0", "1", ""):
        assert reply(client, "call", "InterfaceDetails", unknown) == (0, {}), unknown
    assert 'No such interface: "nope0"' in messages(daemon, "WARN")
    # A client's flood of text leaves short lines in the log.
    before = len(daemon.lines)
    assert reply(client, "call", "InterfaceDetails", "x" * 100000) == (0, {})
    assert wait_until(lambda: sum("(cut, 99744 more characters)" in line
                                  for line in daemon.lines[before:]) == 2)
    assert max(len(line) for line in daemon.lines[before:]) < 512

    assert reply(client, "get", "Details") == (0, {
        "Connected": True, "Mode": "Passive", "WiredIp": {}, "WirelessIp": {}, "WirelessAp": {},
        "SoftApSetup": {}, "wired": wired, "wireless": wireless})
    assert messages(daemon)[-2:] == ['COMMAND: Getting interface details for "eth0"',
                                     'COMMAND: Getting interface details for "wlan0"']
    # The names as the command line gave them.
    assert messages(daemon)[1:3] == ['Interface "eth0" is runnig',
                                     'Interface "wlan0" is disconnected']


def mac(sandbox, link):
    return sandbox.read_file(f"/sys/class/net/{link}/address").strip().upper()
