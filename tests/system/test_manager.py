"""The daemon in normal mode in the sandbox world, driven by a client on the system bus under the
daemon's own bus policy: the modes, the cable through DHCP and static settings, Wi-Fi through
the real wpa_supplicant, the configuration properties and the interface details, as the client
sees them."""

import ipaddress
import re

import pytest
import sandbox as world

from conftest import (NAME, STATIC, UNPRIVILEGED, Client,
                      check_each_write_lands_on_its_own_property, ip, ipv4, messages, reply,
                      start, state_changes, wait_until)


@pytest.fixture
def start_norvid(norvid_binary, source_dir):
    """Starts the daemon in a sandbox; the client and the daemon's output."""
    started = []

    def run(sandbox):
        client = Client(sandbox, source_dir)
        daemon = start(sandbox, [str(norvid_binary), "-d"])
        client.signals.expect("Started")
        started.append(daemon)
        return client, daemon

    yield run
    for daemon in started:
        assert daemon.process.poll() is None, "\n".join(daemon.lines)


@pytest.fixture
def norvid(sandbox, start_norvid):
    return start_norvid(sandbox)


def link_is_up(sandbox, link="eth0"):
    flags = sandbox.run(["ip", "-o", "link", "show", "dev", link], check=True).stdout
    return ",UP" in flags or "<UP" in flags


def test_wired_lease_static_settings_and_off(sandbox, norvid):
    client, _ = norvid
    sandbox.start_dhcp_server()
    client.ignored = "wlan0"
    client.call("SetNormalMode", "wired")
    client.expect("Connected", "eth0")
    [leased] = ipv4(sandbox)
    assert leased.ip in ipaddress.ip_network(f"{world.PEER_IPV4}/24", strict=False)
    details = client.details("eth0")
    assert (details["Dhcp"], details["Gateway"]) == (True, world.PEER_IPV4)
    assert str(leased) in details["Ips"].split()
    assert world.DNS_SERVER in details["Dns"].split()

    # A pulled cable ends the connection at once, without the hold of a requested change.
    sandbox.unplug()
    assert client.expect("Disconnected", "eth0") == [("CableStatus", False),
                                                     ("Disconnected", "eth0")]
    assert (client.get("Connected"), ipv4(sandbox)) == (False, [])
    sandbox.plug()
    client.expect("Connected", "eth0")

    # Static settings replace the lease; the same settings again change nothing.
    client.set("WiredIpSettings", STATIC)
    client.expect("Connected", "eth0")
    assert [str(a) for a in ipv4(sandbox)] == ["10.77.0.20/24"]
    client.set("WiredIpSettings", STATIC)
    assert client.details("eth0")["Dhcp"] is False
    assert client.signals.quiet() == []

    client.call("SetOffMode")
    client.expect("Disconnected", "eth0")
    assert client.get("Connected") is False
    assert ipv4(sandbox) == []
    assert not link_is_up(sandbox)


def test_configuration_writes_reload_once_and_malformed_ones_change_nothing(sandbox, norvid):
    client, daemon = norvid
    client.call("SetNormalMode", "hybrid")
    client.until("Mode", "HybridMode")

    def reloads():
        return state_changes(daemon).count("Entering state: WirelessWaitingState")

    networks = {"Home": {"wpa_psk": "secret-key", "priority": 3}, "a,b": {}}
    before = reloads()
    client.set("WirelessNetworks", networks)
    client.set("WirelessNetworks", networks)
    stored = client.get("WirelessNetworks")
    assert stored == {
        "Home": {"ssid": "Home", "type": "wpa-psk", "wpa_psk": "secret-key", "priority": 3},
        "a,b": {"ssid": "a,b", "type": "unsecured", "priority": 0}}
    assert wait_until(lambda: reloads() == before + 1)
    # A comma in an SSID is escaped so that the list still splits at the bare ones.
    assert sorted(re.split(r"(?<!\\),", client.details("wlan0")["Configured Networks"])) == \
        ["Home", "a\\,b"]

    client.set("WiredIpSettings", STATIC)
    for garbage in ({"Ip": 5}, {"Ip": {"nested": "map"}, "Netmask": "255.255.255.0"},
                    {"Ip": "10.77.0.300", "Netmask": "255.255.255.0"}, {"Dns": ["10.77.0.53"]}):
        client.set("WiredIpSettings", garbage)
        client.set("WirelessIpSettings", garbage)
    for garbage in ({"Home": "secret-key"}, {"Home": {"wpa_psk": {"nested": "map"}}},
                    {"Home": ["a", "b"]}):
        client.set("WirelessNetworks", garbage)
    # Values of another D-Bus type than the property's are dropped before they reach it.
    for value in (["WirelessNetworks", "a{ss}", "1", "Evil", "x"], ["WirelessNetworks", "s", "x"],
                  ["WiredIpSettings", "s", "dhcp"], ["LogLevel", "s", "0"], ["LogLevel", "u", "0"]):
        result = sandbox.run(["busctl", "set-property", NAME, "/com/brenvik/norvi", NAME, *value],
                             timeout=30)
        assert (result.returncode, result.stderr) == (0, ""), value
    # Clients other than root may neither read the configuration nor change anything.
    denied = (2, {"error": "org.freedesktop.DBus.Error.AccessDenied"})
    assert reply(client.run, "get", "WirelessNetworks", user=UNPRIVILEGED) == denied
    assert reply(client.run, "set", "WirelessNetworks", '{"Evil": {}}', user=UNPRIVILEGED) == denied
    assert reply(client.run, "call", "SetOffMode", user=UNPRIVILEGED) == denied
    assert client.get("Mode") == "HybridMode"
    assert client.get("LogLevel") == 1
    assert client.get("WiredIpSettings") == STATIC
    assert client.get("WirelessIpSettings") == {"Ip": "", "Netmask": "", "Dns": "",
                                                "SearchDomains": ""}
    assert client.get("WirelessNetworks") == stored
    assert reloads() == before + 1
    check_each_write_lands_on_its_own_property(client.run)


def test_interface_details_and_mode_requests(sandbox, norvid):
    client, daemon = norvid
    for unknown in ("nope0", "1", ""):
        assert client.details(unknown) == {"Interface": unknown, "Present": 0}

    ip(sandbox, "link", "add", "other0", "type", "veth", "peer", "name", "other1")
    ip(sandbox, "link", "set", "other0", "addrgenmode", "none")
    ip(sandbox, "link", "set", "other0", "up")
    for address in ("192.168.1.10/24", "169.254.3.4/16", "fe80::1/64"):
        ip(sandbox, "addr", "add", address, "dev", "other0", "nodad")
    ips = ["169.254.3.4/16l", "192.168.1.10/24", "fe80::1/64l"]
    # The link and its addresses reach the daemon as separate kernel reports.
    assert wait_until(lambda: sorted(client.details("other0").get("Ips", "").split(" ")) == ips)
    other = client.details("other0")
    assert other["Present"] == 2
    assert sorted(other) == ["Dns", "Gateway", "Gateway6", "Interface", "Ips", "Mac", "Present"]

    details = client.get("Details")
    assert {k: v for k, v in details.items() if k not in ("wired", "wireless")} == {
        "Connected": False, "Mode": "OffMode", "WiredIp": client.get("WiredIpSettings"),
        "WirelessIp": client.get("WirelessIpSettings"), "WirelessAp": {},
        "SoftApSetup": client.get("SoftApModeSettings")}
    assert details["wired"]["Mac"] == client.details("eth0")["Mac"]

    # A mode changes only on a different request.
    client.call("Scan")
    client.call("SetNormalMode", "hybrid")
    client.until("Mode", "HybridMode")
    changes = len(state_changes(daemon))
    client.call("SetNormalMode", "hybrid")
    # Anything but the three exact lower-case names means automatic.
    client.call("SetNormalMode", "Wired")
    client.until("Mode", "AutomaticMode")
    left = state_changes(daemon)[changes:]
    assert left.count("Exiting state: HybridMode") == 1
    assert "Entering state: HybridMode" not in left
    client.call("SetOffMode")
    client.until("Mode", "OffMode")
    # Off mode does nothing with a scan request, not even log it.
    assert "COMMAND: Starting Scan..." not in messages(daemon)


WIRELESS_NETWORK = ipaddress.ip_network("10.78.0.0/24")


def wireless_leased(sandbox):
    return [a for a in ipv4(sandbox, "wlan0") if a in WIRELESS_NETWORK]


def test_automatic_mode_prefers_the_cable_and_falls_back_to_wifi(make_sandbox, start_norvid):
    sandbox = make_sandbox(supplicant="real")
    sandbox.start_dhcp_server()
    sandbox.start_dhcp_server(link="wlan0")
    sandbox.plug("wlan0")
    client, daemon = start_norvid(sandbox)
    client.set("WirelessNetworks", {"Open": {}})

    client.call("SetNormalMode", "automatic")
    client.ignored = "wlan0"
    assert client.expect("Connected", "eth0")[-2:] == [("CableStatus", True),
                                                       ("Connected", "eth0")]
    client.ignored = None
    assert client.get("Mode") == "AutomaticMode"
    assert client.details("wlan0")["Connected"] is False

    sandbox.unplug()
    assert client.expect("Connected", "wlan0") == [
        ("CableStatus", False), ("Disconnected", "eth0"), ("Connected", "wlan0")]
    assert wireless_leased(sandbox)
    assert client.get("Connected") is True
    # The soft AP's interface is made once, when wlan0 first comes up.
    assert sandbox.iw_calls() == [["phy", "phy0", "interface", "add", "uap0", "type", "__ap"]]

    # Wi-Fi is switched off before the cable's IP set-up begins.
    sandbox.plug()
    assert client.expect("Connected", "eth0") == [
        ("CableStatus", True), ("Disconnecting", "wlan0"), ("Disconnected", "wlan0"),
        ("Connected", "eth0")]
    assert ipv4(sandbox, "wlan0") == []

    # Hybrid mode connects both.
    client.call("SetNormalMode", "hybrid")
    assert client.expect("Connected", "wlan0")[-1] == ("Connected", "wlan0")
    assert client.get("Mode") == "HybridMode"
    assert (client.details("eth0")["Connected"], client.details("wlan0")["Connected"]) == \
        (True, True)
    # A lost link ends the connection at once, without the hold of a requested change.
    client.ignored = "eth0"
    ip(sandbox, "link", "set", "wlan0", "down")
    assert client.expect("Disconnected", "wlan0") == [("Disconnected", "wlan0")]
    ip(sandbox, "link", "set", "wlan0", "up")
    client.expect("Connected", "wlan0")
    assert wireless_leased(sandbox)
