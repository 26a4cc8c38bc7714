"""The address manager on the sandbox's eth0 with everything real: ip, the kernel, the netlink
watcher, busybox udhcpc and the lease script against the DHCP server at the other end of the
cable, avahi-autoipd, radvd and the resolver file.

A helper program runs the manager and writes its signals, and what it hands the resolver, as
lines starting with "@"; the tests read those, the log and the kernel's state.
"""

import ipaddress
import time

import sandbox as world
from conftest import HELPER_TIMEOUT, start_helper

# Fallback for the tests that expect a lease: long enough never to start.
NO_FALLBACK_MS = 120000
FALLBACK_MS = 3000
POOL = [ipaddress.ip_address(address) for address in world.DHCP_POOL]
LINK_LOCAL = ipaddress.ip_network("169.254.0.0/16")
STAND_IN_DIR = "/tmp/addrmgr-bin"
AUTOIPD_CALLS = "/tmp/addrmgr-autoipd.calls"


def start_manager(sandbox, build_dir, fallback_ms=NO_FALLBACK_MS, env=None):
    return start_helper(sandbox, build_dir, "addrmgr_run", "-d", "--fallback", str(fallback_ms),
                        "eth0", env=env)


def stop_manager(manager):
    manager.process.stdin.close()
    manager.process.wait(timeout=HELPER_TIMEOUT)


def assert_ended_cleanly(manager, connected_count):
    assert manager.process.returncode == 0, manager.output()
    assert manager.count("@connected") == connected_count


def wait_until(condition, what, timeout=HELPER_TIMEOUT):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out waiting for " + what
        time.sleep(0.2)


def ipv4_addresses(sandbox):
    output = sandbox.run(["ip", "-4", "-o", "addr", "show", "dev", "eth0"], check=True).stdout
    return [ipaddress.ip_interface(line.split()[3]) for line in output.splitlines()]


def global_ipv6_addresses(sandbox):
    output = sandbox.run(["ip", "-6", "-o", "addr", "show", "dev", "eth0", "scope", "global"],
                         check=True).stdout
    return [ipaddress.ip_interface(line.split()[3]) for line in output.splitlines()]


def default_routes(sandbox):
    return sandbox.run(["ip", "-4", "route", "show", "default"], check=True).stdout.strip()


def leased(sandbox):
    return [a for a in ipv4_addresses(sandbox) if POOL[0] <= a.ip <= POOL[1]]


def resolver_lines(sandbox):
    return [line for line in sandbox.read_file("/etc/resolv.conf").splitlines()
            if not line.startswith("#")]


def test_resolver_file_linked_from_a_read_only_root_to_a_mounted_file(sandbox, build_dir):
    # Neither /etc nor the mount point can take a new file: the link's target is rewritten.
    sandbox.run(["sh", "-ec", """touch /run/resolv.conf /run/mounted
        mount --bind /run/mounted /run/resolv.conf
        ln -sf /run/resolv.conf /etc/resolv.conf
        mount --bind /etc /etc
        mount -o remount,bind,ro /etc"""], check=True)
    sandbox.start_dhcp_server()
    manager = start_manager(sandbox, build_dir)
    try:
        manager.expect("connected")
        wait_until(lambda: resolver_lines(sandbox) == [f"nameserver {world.DNS_SERVER}",
                                                       f"search {world.DOMAIN}"], "the file")
        assert sandbox.read_file("/run/mounted") == sandbox.read_file("/etc/resolv.conf")
        assert sandbox.run(["readlink", "/etc/resolv.conf"]).stdout == "/run/resolv.conf\n"
        assert manager.count("rewriting it in place") > 0
    finally:
        stop_manager(manager)


def install_autoipd_stand_in(sandbox):
    """Records each call, then hands it to the real avahi-autoipd."""
    sandbox.run(["mkdir", "-p", STAND_IN_DIR], check=True)
    sandbox.write_file(STAND_IN_DIR + "/avahi-autoipd",
                       '#!/bin/sh\necho "$*" >>%s\nexec /usr/sbin/avahi-autoipd "$@"\n'
                       % AUTOIPD_CALLS, mode=0o755)
    return {"PATH": STAND_IN_DIR + ":" + world.BASE_ENV["PATH"]}


def autoipd_calls(sandbox):
    return sandbox.run(["cat", AUTOIPD_CALLS]).stdout.splitlines()


def test_link_local_fallback_then_a_late_lease(sandbox, build_dir):
    env = install_autoipd_stand_in(sandbox)
    started = time.monotonic()
    manager = start_manager(sandbox, build_dir, fallback_ms=FALLBACK_MS, env=env)
    try:
        manager.expect("connected")
        # Coarse timers may fire up to 5 % early.
        assert time.monotonic() - started >= 0.95 * FALLBACK_MS / 1000
        assert autoipd_calls(sandbox) == ["-k eth0", "-D eth0"]
        wait_until(lambda: any(a.ip in LINK_LOCAL for a in ipv4_addresses(sandbox)),
                   "a link-local address from avahi-autoipd")

        sandbox.start_dhcp_server()
        wait_until(lambda: leased(sandbox), "the late lease on eth0")
        assert autoipd_calls(sandbox) == ["-k eth0", "-D eth0", "-k eth0"]
        wait_until(lambda: len(ipv4_addresses(sandbox)) == 1, "the link-local address to go")
        assert default_routes(sandbox) == f"default via {world.PEER_IPV4} dev eth0"
        assert "connected" not in manager.drain(1)
    finally:
        stop_manager(manager)
    assert_ended_cleanly(manager, 1)


def test_ipv6_from_router_advertisements_outlives_ipv4(sandbox, build_dir):
    sandbox.start_radvd(rdnss=("fd77::53", "fe80::53"), dnssl=("ra.test",))
    manager = start_manager(sandbox, build_dir)
    try:
        manager.expect("connected")
        assert any(a in ipaddress.ip_network("fd77::/64") for a in
                   (address.ip for address in global_ipv6_addresses(sandbox)))
        # A link-local server is of use only together with its interface.
        wait_until(lambda: resolver_lines(sandbox) == ["nameserver fd77::53",
                                                       "nameserver fe80::53%eth0",
                                                       "search ra.test"],
                   "the advertised servers and domain in the resolver file")

        # IPv4's share comes first in what the resolver is given.
        sandbox.start_dhcp_server()
        manager.expect(f"nameservers eth0 {world.DNS_SERVER} fd77::53 fe80::53%eth0")
        manager.expect(f"domains eth0 {world.DOMAIN} ra.test")
        assert leased(sandbox)

        # IPv4 alone losing its configuration (its client dies) leaves the interface connected.
        udhcpc = sandbox.run(["pgrep", "-x", "udhcpc"], check=True).stdout.split()
        assert len(udhcpc) == 1
        sandbox.run(["kill", "-KILL", udhcpc[0]], check=True)
        passed = manager.expect("nameservers eth0 fd77::53 fe80::53%eth0")
        wait_until(lambda: manager.count("dhcp client error: ") == 1, "the client error")
        wait_until(lambda: ipv4_addresses(sandbox) == [], "the IPv4 address flushed")
        assert "disconnected" not in passed + manager.drain(1)

        # No advertisement may bring the address back between the flush and the check.
        sandbox.stop_radvd()
        time.sleep(1)
        manager.send("stop")
        passed = manager.expect("stopped")
        assert passed.count("disconnected") == 1
        wait_until(lambda: global_ipv6_addresses(sandbox) == [], "the global address flushed")
        assert resolver_lines(sandbox) == []

        # What the kernel learnt while addressing was stopped is taken up by the next start:
        # neither the address nor the repeated advertisement is reported again.
        sandbox.stop_dhcp_server()
        sandbox.start_radvd(rdnss=("fd77::53", "fe80::53"), dnssl=("ra.test",))
        wait_until(lambda: global_ipv6_addresses(sandbox) and "tentative" not in sandbox.run(
            ["ip", "-6", "addr", "show", "dev", "eth0"], check=True).stdout,
                   "the address autoconfigured again")
        manager.send("start")
        manager.expect("connected")
        wait_until(lambda: resolver_lines(sandbox) == ["nameserver fd77::53",
                                                       "nameserver fe80::53%eth0",
                                                       "search ra.test"],
                   "the advertised servers and domain back in the resolver file")

        # A restart in one step (a reload of the settings) must not take up the address it has
        # just flushed, whose removal the kernel has not reported yet; the advertised servers
        # and domain it takes up at once.
        manager.expect("started")
        manager.send("restart")
        passed = manager.expect("started")
        assert [r for r in passed if r.endswith("connected")] == ["disconnected"]
        wait_until(lambda: global_ipv6_addresses(sandbox) == [], "the global address flushed")
        manager.expect("connected")
        assert global_ipv6_addresses(sandbox)
        assert resolver_lines(sandbox) == ["nameserver fd77::53", "nameserver fe80::53%eth0",
                                           "search ra.test"]
    finally:
        stop_manager(manager)
    assert_ended_cleanly(manager, 3)
