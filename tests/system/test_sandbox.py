"""The sandbox world itself: links, carrier, DHCP, udev, the private bus and files, and that
nothing is left behind."""

import os
import subprocess

import pytest

import sandbox as sbx
from conftest import NEEDS_ROOT, wait_until

needs_root = pytest.mark.skipif(os.geteuid() != 0, reason=NEEDS_ROOT)

LEASE_SCRIPT = """#!/bin/sh
echo "event=$1"
for name in ip subnet router dns domain; do eval "echo $name=\\$$name"; done
"""


def carrier(world):
    return world.read_file("/sys/class/net/eth0/carrier").strip() == "1"


def dhcp_lease(world):
    world.write_file("/tmp/lease.sh", LEASE_SCRIPT, mode=0o755)
    world.run(["ip", "link", "set", "eth0", "up"], check=True)
    result = world.run(["udhcpc", "-f", "-q", "-n", "-t", "3", "-T", "1", "-i", "eth0",
                        "-s", "/tmp/lease.sh"], timeout=30)
    values = dict(line.split("=", 1) for line in result.stdout.splitlines() if "=" in line)
    return result.returncode, values


def process_identity(pid):
    """(pid, start time): pids are reused, this pair is not."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return pid, f.read().rsplit(")", 1)[1].split()[19]
    except FileNotFoundError:
        return pid, None


def namespaces():
    return subprocess.run(["ip", "netns", "list"], stdout=subprocess.PIPE, text=True).stdout


def test_device_links_start_down_and_carrier_follows_the_cable(sandbox):
    assert sorted(sandbox.run(["ls", "/sys/class/net"]).stdout.split()) == ["eth0", "lo", "wlan0"]
    for link in ("eth0", "wlan0"):
        assert "state DOWN" in sandbox.run(["ip", "-o", "link", "show", link]).stdout
    sandbox.run(["ip", "link", "set", "eth0", "up"], check=True)
    assert wait_until(lambda: carrier(sandbox))
    sandbox.unplug()
    assert wait_until(lambda: not carrier(sandbox))
    sandbox.plug()
    assert wait_until(lambda: carrier(sandbox))
    sandbox.run(["ip", "addr", "add", "10.77.0.2/24", "dev", "eth0"], check=True)
    assert sandbox.run(["busybox", "ping", "-c", "1", "-W", "2", sbx.PEER_IPV4]).returncode == 0


def test_udhcpc_inside_gets_a_lease_until_the_server_stops(sandbox):
    sandbox.start_dhcp_server(lease_seconds=30)
    status, lease = dhcp_lease(sandbox)
    assert status == 0 and lease["event"] == "bound"
    assert lease["ip"].startswith("10.77.0.")
    assert (lease["subnet"], lease["router"]) == ("255.255.255.0", sbx.PEER_IPV4)
    assert (lease["dns"].strip(), lease["domain"]) == (sbx.DNS_SERVER, sbx.DOMAIN)
    sandbox.stop_dhcp_server()
    status, lease = dhcp_lease(sandbox)
    assert status != 0 and lease["event"] == "leasefail"


def test_udev_net_events_arrive_inside(sandbox):
    monitor = sandbox.spawn(["stdbuf", "-oL", "udevadm", "monitor", "--udev",
                             "--subsystem-match=net"])
    while "UDEV - the event" not in monitor.stdout.readline():
        pass  # the banner says it listens
    sandbox.run(["ip", "link", "add", "probe0", "type", "veth", "peer", "name", "probe1"],
                check=True)
    line = ""
    while "/net/probe0 " not in line:
        line = monitor.stdout.readline()
    assert line.startswith("UDEV") and " add " in line
    monitor.kill()


def test_files_and_processes_stay_inside(sandbox):
    with open("/etc/resolv.conf") as f:
        host_resolv = f.read()
    assert sandbox.read_file("/etc/resolv.conf") == ""
    # The daemon replaces the file by renaming a new one over it.
    sandbox.run(["sh", "-c", "echo 'nameserver 10.77.0.53' > /etc/resolv.conf.new && "
                 "mv /etc/resolv.conf.new /etc/resolv.conf"], check=True)
    assert sandbox.read_file("/etc/resolv.conf") == "nameserver 10.77.0.53\n"
    with open("/etc/resolv.conf") as f:
        assert f.read() == host_resolv
    # Absolute links are followed inside, never into the host's files.
    sandbox.run(["ln", "-s", "/tmp/norvid-sandbox-probe", "/tmp/link"], check=True)
    sandbox.write_file("/tmp/link", "x")
    assert not os.path.exists("/tmp/norvid-sandbox-probe")

    sandbox.spawn(["sleep", "1000"])
    pids = sandbox.run(["ps", "-e", "-o", "pid="]).stdout.split()
    assert "1" in pids and str(os.getpid()) not in pids and len(pids) < 20
    assert sandbox.run(["killall", "-0", "sleep"]).returncode == 0


@needs_root
def test_close_leaves_nothing_behind(source_dir):
    links_before = subprocess.run(["ip", "-o", "link"], stdout=subprocess.PIPE, text=True).stdout
    world = sbx.Sandbox(source_dir=source_dir).start()
    sleeper = world.spawn(["sleep", "1000"])
    world.start_dhcp_server()
    world.start_radvd()
    processes = [process_identity(pid) for pid in
                 (world.anchor_pid, sleeper.pid, sleeper.inner_pid(), world._dhcp_server.pid,
                  world._radvd.pid, world._anchor.pid)]
    world.close()
    world.close()
    assert world.device_ns not in namespaces() and world.peer_ns not in namespaces()
    assert not [p for p in processes if process_identity(p[0]) == p]
    assert not world.state_dir.exists()
    assert subprocess.run(["ip", "-o", "link"], stdout=subprocess.PIPE, text=True).stdout \
        == links_before


@needs_root
def test_failed_start_cleans_up(source_dir, monkeypatch):
    world = sbx.Sandbox(source_dir=source_dir)

    def broken():
        raise RuntimeError("broken on purpose")

    monkeypatch.setattr(world, "_start_anchor", broken)
    with pytest.raises(RuntimeError, match="broken on purpose"):
        world.start()
    assert world.device_ns not in namespaces() and world.peer_ns not in namespaces()
    assert not world.state_dir.exists()


def test_two_sandboxes_do_not_interfere(make_sandbox):
    one, other = make_sandbox(), make_sandbox(plugged=False)
    one.run(["ip", "link", "set", "eth0", "up"], check=True)
    other.run(["ip", "link", "set", "eth0", "up"], check=True)
    assert wait_until(lambda: carrier(one))
    assert not carrier(other)
    other.write_file("/etc/resolv.conf", "nameserver 10.77.0.99\n")
    assert one.read_file("/etc/resolv.conf") == ""
