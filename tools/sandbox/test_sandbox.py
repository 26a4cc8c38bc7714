"""The sandbox world itself: links, carrier, DHCP, udev, the private bus and files, and that
nothing is left behind."""

import ipaddress
import os
import signal
import subprocess
import sys
import time

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
    """(pid, start time) of a live process: pids are reused, this pair is not.  A zombie
    counts as ended: its reaping is up to its parent (the host's init, for orphans)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except FileNotFoundError:
        return pid, None
    return pid, None if fields[0] in "ZX" else fields[19]


def still_running(identities):
    return [p for p in identities if process_identity(p[0]) == p]


def namespaces():
    listing = subprocess.run(["ip", "netns", "list"], stdout=subprocess.PIPE, text=True).stdout
    return {line.split()[0] for line in listing.splitlines() if line.strip()}


def test_device_links_start_down_and_carrier_follows_the_cable(sandbox):
    assert sorted(sandbox.run(["ls", "/sys/class/net"]).stdout.split()) == ["eth0", "lo", "wlan0"]
    for link in ("eth0", "wlan0"):
        assert "state DOWN" in sandbox.run(["ip", "-o", "link", "show", link]).stdout
        # The same index on both ends would delay every carrier report.
        assert sandbox.read_file("/sys/class/net/%s/ifindex" % link) \
            != sandbox.read_file("/sys/class/net/%s/iflink" % link)
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
    first, last = (ipaddress.ip_address(a) for a in sbx.DHCP_POOL)
    assert first <= ipaddress.ip_address(lease["ip"]) <= last
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
                 (world.anchor_pid, sleeper.pid, sleeper.inner_pid(),
                  world._dhcp_servers["eth0"].pid, world._radvd.pid, world._anchor.pid)]
    world.close()
    world.close()
    assert not {world.device_ns, world.peer_ns} & namespaces()
    assert not still_running(processes)
    assert not world.state_dir.exists()
    assert subprocess.run(["ip", "-o", "link"], stdout=subprocess.PIPE, text=True).stdout \
        == links_before


OWNER = """
import sys
sys.path.insert(0, sys.argv[1])
import sandbox
world = sandbox.Sandbox().start()
world.spawn(["sleep", "1000"])
world.start_dhcp_server()
print(world.state_dir, world.device_ns, world.peer_ns, world._watchdog.pid, world.anchor_pid,
      world._dhcp_servers["eth0"].pid, flush=True)
sys.stdin.read()
"""


def killed_owner(source_dir, kill_watchdog):
    """Starts a sandbox in another process and kills that process (and, if asked, the
    sandbox's watchdog); returns the sandbox's state directory, namespaces and processes."""
    owner = subprocess.Popen([sys.executable, "-c", OWNER, str(source_dir / "tools/sandbox")],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    state_dir, device_ns, peer_ns, watchdog, *pids = owner.stdout.readline().split()
    processes = [process_identity(int(pid)) for pid in pids]
    if kill_watchdog:
        os.kill(int(watchdog), signal.SIGKILL)
    owner.kill()
    owner.wait()
    return state_dir, {device_ns, peer_ns}, processes


def world_is_gone(state_dir, names, processes):
    return not (still_running(processes) or names & namespaces() or os.path.exists(state_dir))


@needs_root
@pytest.mark.parametrize("kill_watchdog", [False, True], ids=["owner", "owner and watchdog"])
def test_world_of_a_killed_owner_is_removed(source_dir, kill_watchdog):
    state_dir, names, processes = killed_owner(source_dir, kill_watchdog)
    if kill_watchdog:
        # Nothing removes it by itself now: the next sandbox does.
        time.sleep(0.5)
        assert names <= namespaces() and still_running(processes)
        sbx.cleanup_stale()
    # The kernel tears a PID namespace down in the background; on a busy machine that takes
    # a few seconds.
    assert wait_until(lambda: world_is_gone(state_dir, names, processes), timeout=30)


def test_iw_stand_in_makes_the_access_point_interface_as_the_radio_would(sandbox):
    add = ["iw", "phy", "phy0", "interface", "add", "uap0", "type", "__ap"]
    assert sandbox.run(["iw", "dev"]).returncode == 0
    assert sandbox.run(add).returncode == 0
    assert sandbox.run(add).returncode != 0  # it exists now
    assert sandbox.iw_calls() == [["dev"], add[1:], add[1:]]
    assert sandbox.read_file("/sys/class/net/uap0/ifindex") \
        != sandbox.read_file("/sys/class/net/uap0/iflink")
    sandbox.run(["ip", "link", "set", "uap0", "up"], check=True)
    sandbox.plug("uap0")
    assert wait_until(lambda: sandbox.read_file("/sys/class/net/uap0/carrier").strip() == "1")
