"""The DHCP client and the link-local fallback on the sandbox's eth0: real busybox udhcpc with the
real lease script against a real DHCP server at the other end of the cable, and the real
avahi-autoipd."""

import ipaddress
import subprocess

import sandbox as world
from conftest import wait_until

LINK_LOCAL = ipaddress.ip_network("169.254.0.0/16")


def helper(build_dir, name):
    return str(build_dir / "tests" / "helpers" / name)


def ipv4_addresses(sandbox, link="eth0"):
    output = sandbox.run(["ip", "-4", "-o", "addr", "show", "dev", link], check=True).stdout
    return [ipaddress.ip_interface(line.split()[3]).ip for line in output.splitlines()]


def autoipd_running(sandbox):
    return sandbox.run(["pgrep", "-x", "avahi-autoipd"]).returncode == 0


def test_lease_from_the_sandbox_server_is_reported_not_applied(sandbox, build_dir):
    sandbox.run(["ip", "link", "set", "eth0", "up"], check=True)
    sandbox.start_dhcp_server()

    result = sandbox.run([helper(build_dir, "dhcp_lease"), "eth0"], timeout=90)
    assert result.returncode == 0, result.stdout + result.stderr
    lease = dict(line.split("=", 1) for line in result.stdout.splitlines())
    first, last = (ipaddress.ip_address(address) for address in world.DHCP_POOL)
    assert first <= ipaddress.ip_address(lease["address"]) <= last
    assert lease["prefix"] == "24"
    assert lease["gateway"] == world.PEER_IPV4
    assert lease["dns"] == world.DNS_SERVER
    assert lease["domains"] == world.DOMAIN

    log = result.stderr
    assert 'Starting dhcp client "/sbin/udhcpc" w/args: ("-f", "-x", "hostname:' in log
    assert '", "-t", "7", "-T", "3", "-i", "eth0", "-s", "/usr/share/norvid/norvid_udhcpc.sh")' in log
    assert 'Dhcp output: "NORVID_FINISHED"' in log
    # The daemon applies leases; the client and its script leave the link alone.
    assert ipv4_addresses(sandbox) == []


def test_link_local_daemon_lives_as_long_as_its_object(sandbox, build_dir):
    sandbox.run(["ip", "link", "set", "eth0", "up"], check=True)
    process = sandbox.spawn([helper(build_dir, "dhcp_autoipd"), "eth0"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert process.stdout.readline() == "started\n"
        assert autoipd_running(sandbox)
        assert wait_until(lambda: any(a in LINK_LOCAL for a in ipv4_addresses(sandbox)), 30)

        process.stdin.write("\n")
        process.stdin.flush()
        assert process.stdout.readline() == "stopped\n"
        assert wait_until(lambda: not autoipd_running(sandbox))
        assert wait_until(lambda: ipv4_addresses(sandbox) == [])
        assert process.wait(timeout=10) == 0
    finally:
        process.kill()
        log = process.stderr.read()
    assert log.count("Stopping autoipd on eth0") == 2
    assert log.count("Starting autoipd on eth0") == 1
