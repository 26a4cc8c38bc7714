"""The daemon in normal mode in the sandbox world, driven by a client on the system bus under the
daemon's own bus policy: modes, the wired interface through DHCP and static settings, the
configuration properties and the interface details, as the client sees them."""

import ipaddress
import json
import re

import pytest
import sandbox as world

from conftest import wait_until
from test_dbus import client, reply  # noqa: F401 (client: fixture)
from test_monitor import SIGNAL_TIMEOUT, Signals, messages, start
from test_wired import link_is_up

STATIC = {"Ip": "10.77.0.20", "Netmask": "255.255.255.0", "Gateway": world.PEER_IPV4,
          "Dns": "10.77.0.53", "SearchDomains": "sandbox.test"}


class Client:
    """One device's set-up client: calls, properties and the signals it receives."""

    def __init__(self, client, signals):
        self.run = client
        self.signals = signals

    def call(self, *args):
        assert reply(self.run, "call", *args) == (0, None), args

    def get(self, name):
        code, value = reply(self.run, "get", name)
        assert code == 0, value
        return value

    def set(self, name, value):
        assert reply(self.run, "set", name, json.dumps(value)) == (0, None), name

    def details(self, name):
        code, value = reply(self.run, "call", "InterfaceDetails", name)
        assert code == 0, value
        return value

    def expect(self, member, *args):
        """The signals but AddressesChanged received up to the given one, which ends the list."""
        seen = []
        while True:
            received = self.signals.next_report(SIGNAL_TIMEOUT)
            assert received is not None, f"no {member}{args} within {SIGNAL_TIMEOUT}s: {seen}"
            if received[1] != "AddressesChanged":
                seen.append((received[1], *received[2]))
            if received[1:] == (member, list(args)):
                return seen

    def until(self, name, value):
        assert wait_until(lambda: self.get(name) == value, 20), (name, self.get(name))


@pytest.fixture
def norvid(sandbox, norvid_binary, source_dir, client):
    signals = Signals(sandbox, source_dir)
    daemon = start(sandbox, [str(norvid_binary), "-d"])
    signals.expect("Started")
    yield Client(client, signals), daemon
    assert daemon.process.poll() is None, "\n".join(daemon.lines)


def state_changes(daemon):
    return [m for m in messages(daemon) if m.startswith(("Entering state: ", "Exiting state: "))]


def ipv4(sandbox, link="eth0"):
    shown = sandbox.run(["ip", "-4", "-o", "addr", "show", "dev", link], check=True).stdout
    return [ipaddress.ip_interface(m) for m in re.findall(r"inet (\S+)", shown)]


def test_wired_connection_through_cable_pull_static_settings_and_off(sandbox, norvid):
    client, daemon = norvid
    sandbox.start_dhcp_server()
    assert client.get("Mode") == "OffMode"
    assert client.get("Connected") is False

    # The wireless side needs nothing before the wired side may start.
    client.call("SetNormalMode", "hybrid")
    assert client.expect("Connected", "eth0") == [
        ("InterfaceStatusChanged", "eth0", 1), ("InterfaceStatusChanged", "eth0", 2),
        ("CableStatus", True), ("Connected", "eth0")]
    assert client.get("Mode") == "HybridMode"
    assert client.get("Connected") is True
    [leased] = ipv4(sandbox)
    assert leased.ip in ipaddress.ip_network(f"{world.PEER_IPV4}/24", strict=False)
    details = client.details("eth0")
    assert {k: details[k] for k in ("Interface", "Present", "Connected", "CableStatus", "Dhcp",
                                    "Gateway")} == {
        "Interface": "eth0", "Present": 2, "Connected": True, "CableStatus": True, "Dhcp": True,
        "Gateway": world.PEER_IPV4}
    assert str(leased) in details["Ips"].split()
    assert world.DNS_SERVER in details["Dns"].split()

    sandbox.unplug()
    # A pulled cable ends the connection at once, without the hold of a requested change.
    assert client.expect("Disconnected", "eth0") == [("CableStatus", False),
                                                     ("Disconnected", "eth0")]
    assert client.get("Connected") is False
    sandbox.plug()
    assert client.expect("Connected", "eth0") == [("CableStatus", True), ("Connected", "eth0")]

    # Static settings replace the lease; the same settings again change nothing.
    client.set("WiredIpSettings", STATIC)
    assert client.expect("Connected", "eth0") == [
        ("Disconnecting", "eth0"), ("Disconnected", "eth0"), ("Connected", "eth0")]
    assert [str(a) for a in ipv4(sandbox)] == ["10.77.0.20/24"]
    client.set("WiredIpSettings", STATIC)
    assert client.get("WiredIpSettings") == STATIC
    assert client.details("eth0")["Dhcp"] is False
    assert client.signals.quiet() == []

    client.call("SetOffMode")
    assert client.get("Mode") == "OffMode"
    assert client.expect("Disconnected", "eth0") == [("Disconnecting", "eth0"),
                                                     ("Disconnected", "eth0")]
    assert client.get("Connected") is False
    assert ipv4(sandbox) == []
    assert not link_is_up(sandbox)
