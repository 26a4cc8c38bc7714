"""The address manager on the sandbox's eth0, stopped and started again while radvd at the
other end of the cable keeps advertising: a window the daemon's own flows never hold open.

A helper program runs the manager and writes its signals as lines starting with "@"; the test
reads those and the kernel's state.
"""

import ipaddress

from conftest import HELPER_TIMEOUT, start_helper, wait_until

# Long enough never to start: the test is about IPv6.
NO_FALLBACK_MS = 120000
RA = dict(rdnss=("fd77::53", "fe80::53"), dnssl=("ra.test",))
# A link-local server is of use only together with its interface.
RESOLVER = ["nameserver fd77::53", "nameserver fe80::53%eth0", "search ra.test"]


def global_ipv6_addresses(sandbox):
    output = sandbox.run(["ip", "-6", "-o", "addr", "show", "dev", "eth0", "scope", "global"],
                         check=True).stdout
    return [ipaddress.ip_interface(line.split()[3]) for line in output.splitlines()]


def resolver_lines(sandbox):
    return [line for line in sandbox.read_file("/etc/resolv.conf").splitlines()
            if not line.startswith("#")]


def test_what_the_kernel_learnt_while_stopped_is_taken_up_by_the_next_start(sandbox, build_dir):
    sandbox.start_radvd(**RA)
    manager = start_helper(sandbox, build_dir, "addrmgr_run", "-d", "--fallback",
                           str(NO_FALLBACK_MS), "eth0")
    advertised = lambda: resolver_lines(sandbox) == RESOLVER  # noqa: E731
    try:
        manager.expect("connected")
        assert wait_until(advertised, HELPER_TIMEOUT), resolver_lines(sandbox)

        # No advertisement may bring the address back between the flush and the check.
        sandbox.stop_radvd()
        manager.send("stop")
        assert "disconnected" in manager.expect("stopped")
        # The flush runs behind the report, without holding up the event loop.
        assert wait_until(lambda: global_ipv6_addresses(sandbox) == [] and
                          resolver_lines(sandbox) == [], HELPER_TIMEOUT)

        # Neither the address nor the repeated advertisement is reported again after the start.
        sandbox.start_radvd(**RA)
        assert wait_until(lambda: global_ipv6_addresses(sandbox) and "tentative" not in sandbox.run(
            ["ip", "-6", "addr", "show", "dev", "eth0"], check=True).stdout, HELPER_TIMEOUT)
        manager.send("start")
        manager.expect("connected")
        assert wait_until(advertised, HELPER_TIMEOUT), resolver_lines(sandbox)
    finally:
        manager.process.stdin.close()
        manager.process.wait(timeout=HELPER_TIMEOUT)
    assert manager.process.returncode == 0, manager.output()
