"""The netlink and udev watchers against the real kernel and udevd of the sandbox world.

A helper program runs both watchers inside the device world and reports every signal as a JSON
line starting with "@"; the tests change links and addresses there and read what the watchers reported.
"""

import json
import subprocess
import time

import pytest

from conftest import Lines, wait_until

EVENT_TIMEOUT = 20
# What the helper may still have to deliver once the kernel has counted a message in.
DELIVERY_GRACE = 1


class WatcherEvents(Lines):
    """The signals of one running helper, in the order they were emitted."""

    def __init__(self, process):
        super().__init__(process, lambda line: json.loads(line[1:]) if line[0] == "@" else None)
        self.ready = self.expect("ready")

    def expect(self, kind, /, timeout=EVENT_TIMEOUT, skipped=None, **fields):
        """The next event of that name whose fields match; other events are passed over and,
        when `skipped` is a list, collected there."""
        deadline = time.monotonic() + timeout
        while True:
            event = self.next_report(deadline - time.monotonic())
            if event is None:
                raise AssertionError(
                    f"no {kind} {fields} within {timeout}s; output:\n" + "\n".join(self.lines))
            if event["event"] == kind and all(event.get(k) == v for k, v in fields.items()):
                return event
            if skipped is not None:
                skipped.append(event)


def start_watchers(sandbox, build_dir):
    helper = build_dir / "tests/helpers/watchers_monitor"
    return WatcherEvents(sandbox.spawn([str(helper), "-d", "eth0", "wlan0"]))


@pytest.fixture
def watchers(sandbox, build_dir):
    events = start_watchers(sandbox, build_dir)
    yield events
    events.process.kill()
    events.process.wait()


def ip(sandbox, *args):
    result = sandbox.run(["ip", *args])
    assert result.returncode == 0, f"ip {' '.join(args)}: {result.stderr}"


def router_advertisements_received(sandbox):
    for line in sandbox.run(["cat", "/proc/net/snmp6"]).stdout.splitlines():
        name, value = line.split()
        if name == "Icmp6InRouterAdvertisements":
            return int(value)
    raise AssertionError("no router advertisement counter in /proc/net/snmp6")


def addresses(event, interface="eth0"):
    return {(a["address"], a["prefix"], a["ipv4"], a["linkLocal"])
            for a in event["addresses"][interface]}


def bring_up_eth0(sandbox, watchers):
    ip(sandbox, "link", "set", "eth0", "up")
    watchers.expect("interfaceStatusChanged", name="eth0", up=True, running=True)


def test_link_flags_follow_admin_state_and_carrier(sandbox, watchers):
    bring_up_eth0(sandbox, watchers)

    sandbox.unplug()
    watchers.expect("interfaceStatusChanged", name="eth0", up=True, running=False)
    sandbox.plug()
    watchers.expect("interfaceStatusChanged", name="eth0", up=True, running=True)

    ip(sandbox, "link", "set", "eth0", "down")
    watchers.expect("interfaceStatusChanged", name="eth0", up=False, running=False)
    # wlan0's far end is never up, so its link comes up without carrier.
    ip(sandbox, "link", "set", "wlan0", "up")
    watchers.expect("interfaceStatusChanged", name="wlan0", up=True, running=False)


def test_addresses_reported_only_on_real_changes(sandbox, watchers):
    bring_up_eth0(sandbox, watchers)
    event = watchers.expect("addressesChanged")
    link_local = [a for a in addresses(event) if a[3]]
    assert len(link_local) == 1 and link_local[0][0].startswith("fe80:") \
        and link_local[0][1:] == (64, False, True)

    ip(sandbox, "addr", "add", "10.77.0.5/24", "dev", "eth0")
    event = watchers.expect("addressesChanged")
    assert ("10.77.0.5", 24, True, False) in addresses(event)

    # A change that keeps every recorded field, a host-scope address and an address that is
    # deprecated from the start are no changes; the next real one is the next event.
    ip(sandbox, "addr", "change", "10.77.0.5/24", "dev", "eth0", "valid_lft", "600",
       "preferred_lft", "600")
    ip(sandbox, "addr", "add", "10.99.0.1/32", "dev", "eth0", "scope", "host")
    ip(sandbox, "-6", "addr", "add", "fd77::7/64", "dev", "eth0", "preferred_lft", "0", "nodad")
    ip(sandbox, "-6", "addr", "add", "fd77::5/64", "dev", "eth0", "nodad")
    ip(sandbox, "addr", "add", "169.254.3.4/16", "dev", "eth0", "scope", "link")
    skipped = []
    event = watchers.expect("addressesChanged", skipped=skipped)
    assert addresses(event) == {("10.77.0.5", 24, True, False), ("fd77::5", 64, False, False),
                                link_local[0]}
    event = watchers.expect("addressesChanged", skipped=skipped)
    assert ("169.254.3.4", 16, True, True) in addresses(event)
    assert not skipped

    # An address that turns deprecated counts as gone.
    ip(sandbox, "-6", "addr", "change", "fd77::5/64", "dev", "eth0", "preferred_lft", "0")
    event = watchers.expect("addressesChanged")
    assert ("fd77::5", 64, False, False) not in addresses(event)

    ip(sandbox, "addr", "del", "10.77.0.5/24", "dev", "eth0")
    event = watchers.expect("addressesChanged")
    assert addresses(event) == {link_local[0], ("169.254.3.4", 16, True, True)}
    assert addresses(event, "wlan0") == set()
    assert not [e for e in watchers.drain(DELIVERY_GRACE) if e["event"] == "addressesChanged"]


def test_what_eth0_held_before_the_start_is_reported(sandbox, build_dir):
    ip(sandbox, "link", "set", "eth0", "up")
    ip(sandbox, "addr", "add", "10.77.0.5/24", "dev", "eth0")
    sandbox.start_radvd(rdnss=("fd77::53",), dnssl=("sandbox.test",))
    assert wait_until(lambda: "scope global dynamic" in sandbox.run(
        ["ip", "-6", "addr", "show", "dev", "eth0"]).stdout, EVENT_TIMEOUT)

    watchers = start_watchers(sandbox, build_dir)
    try:
        held = addresses(watchers.ready)
        assert ("10.77.0.5", 24, True, False) in held
        assert [a for a in held if a[0].startswith("fd77:")][0][1:] == (64, False, False)
        assert [a for a in held if a[0].startswith("fe80:")][0][1:] == (64, False, True)
        # The kernel keeps no advertised DNS data: it comes with the router's next
        # advertisement.
        event = watchers.expect("nameserversChanged")
        assert [s["address"] for s in event["servers"]] == ["fd77::53"]
        assert watchers.expect("searchDomainsChanged")["domains"] == ["sandbox.test"]
    finally:
        watchers.process.kill()
        watchers.process.wait()


def test_router_advertised_dns_once_and_cleared_by_carrier_loss(sandbox, watchers):
    bring_up_eth0(sandbox, watchers)
    sandbox.start_radvd(rdnss=("fd77::53", "fd77::54", "fd77::53"),
                        dnssl=("sandbox.test", "example.org", "sandbox.test"))
    event = watchers.expect("nameserversChanged")
    assert [(s["address"], s["interface"], s["prefix"]) for s in event["servers"]] == \
        [("fd77::53", "eth0", 128), ("fd77::54", "eth0", 128)]
    event = watchers.expect("searchDomainsChanged")
    assert event["domains"] == ["example.org", "sandbox.test"]

    # The same advertisement again, from a restarted radvd, changes nothing.
    sandbox.stop_radvd()
    received = router_advertisements_received(sandbox)
    sandbox.start_radvd(rdnss=("fd77::53", "fd77::54", "fd77::53"),
                        dnssl=("sandbox.test", "example.org", "sandbox.test"))
    assert wait_until(lambda: router_advertisements_received(sandbox) > received, EVENT_TIMEOUT)
    repeated = watchers.drain(DELIVERY_GRACE)
    assert not [e for e in repeated
                if e["event"] in ("nameserversChanged", "searchDomainsChanged")]

    sandbox.stop_radvd()
    sandbox.unplug()
    skipped = []
    watchers.expect("interfaceStatusChanged", name="eth0", running=False, skipped=skipped)
    cleared = [e for e in skipped if e["event"] in ("nameserversChanged", "searchDomainsChanged")]
    assert cleared == [{"event": "nameserversChanged", "servers": []},
                       {"event": "searchDomainsChanged", "domains": []}]


def test_interfaces_appearing_disappearing_and_renamed(sandbox, watchers):
    ip(sandbox, "link", "add", "wtest0", "type", "veth", "peer", "name", "wtest1")
    seen = {watchers.expect("interfaceAdded")["name"], watchers.expect("interfaceAdded")["name"]}
    assert seen == {"wtest0", "wtest1"}

    skipped = []
    ip(sandbox, "link", "set", "wtest0", "name", "wren0")
    watchers.expect("interfaceAdded", name="wren0", skipped=skipped)
    assert not [e for e in skipped if e["event"].startswith("interface") and
                e["event"] != "interfaceStatusChanged"]

    ip(sandbox, "link", "del", "wren0")
    seen = {watchers.expect("interfaceRemoved")["name"],
            watchers.expect("interfaceRemoved")["name"]}
    assert seen == {"wren0", "wtest1"}


def carrier(sandbox, link="eth0"):
    return sandbox.read_file(f"/sys/class/net/{link}/carrier").strip() == "1"


def test_notifications_lost_in_a_burst_are_read_again_from_the_kernel(sandbox, build_dir):
    ip(sandbox, "link", "set", "eth0", "up")
    assert wait_until(lambda: carrier(sandbox))
    helper = sandbox.spawn([str(build_dir / "tests/helpers/watchers_monitor"), "--hold", "4096",
                            "eth0"], stdin=subprocess.PIPE)
    watchers = WatcherEvents(helper)
    # While the watcher reads nothing, far more link changes than its buffer holds; the last
    # changes, which the kernel drops, give eth0 an address and take its carrier.
    burst = "".join(f"link set eth0 alias burst{i}\n" for i in range(500))
    sandbox.run(["ip", "-batch", "-"], input=burst, check=True)
    ip(sandbox, "addr", "add", "10.77.0.9/24", "dev", "eth0")
    sandbox.unplug()
    assert wait_until(lambda: not carrier(sandbox))
    helper.stdin.write("go\n")
    helper.stdin.flush()

    skipped = []
    watchers.expect("interfaceStatusChanged", name="eth0", running=False, skipped=skipped)
    while ("10.77.0.9", 24, True, False) not in addresses(
            watchers.expect("addressesChanged", skipped=skipped)):
        pass
    # What was queued before the loss is older than what was read again: it must not come
    # after it and bring back the carrier.
    skipped += watchers.drain(DELIVERY_GRACE)
    assert [e for e in skipped if e["event"] == "interfaceStatusChanged"] == [], skipped
