"""The sandbox world itself: links, carrier, DHCP, router advertisements, udev, the private
bus and files, and that nothing is left behind."""

import ipaddress
import os
import signal
import subprocess
import sys
import time

import pytest

import sandbox as sbx

needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="needs root: creates network namespaces")

LEASE_SCRIPT = """#!/bin/sh
echo "event=$1"
for name in ip subnet router dns domain lease; do
    eval "echo $name=\\$$name"
done
"""

RA_LISTENER = r"""
import socket, struct, sys
s = socket.socket(socket.AF_INET6, socket.SOCK_RAW, socket.IPPROTO_ICMPV6)
s.settimeout(20)
print("listening", flush=True)
while True:
    packet = s.recv(2048)
    if packet[0] != 134:
        continue
    options, at = [], 16
    while at + 2 <= len(packet) and packet[at + 1]:
        kind, length = packet[at], packet[at + 1] * 8
        body = packet[at + 8:at + length]
        if kind == 25:
            options += ["rdnss " + socket.inet_ntop(socket.AF_INET6, body[i:i + 16])
                        for i in range(0, len(body), 16)]
        if kind == 31:
            labels, i = [], 0
            while i < len(body) and body[i]:
                labels.append(body[i + 1:i + 1 + body[i]].decode()); i += 1 + body[i]
            options.append("dnssl " + ".".join(labels))
        at += length
    print("\n".join(options), flush=True)
    break
"""


def wait_until(condition, timeout=5.0, interval=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(interval)
    return condition()


def carrier(world, link="eth0"):
    return world.read_file("/sys/class/net/%s/carrier" % link).strip() == "1"


def link_flags(world, link):
    return world.run(["ip", "-o", "link", "show", link], check=True).stdout


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


def host_links():
    return subprocess.run(["ip", "-o", "link"], stdout=subprocess.PIPE, text=True).stdout


def test_device_sees_its_links_down_and_carrier_follows_the_cable(sandbox):
    names = sandbox.run(["ls", "/sys/class/net"], check=True).stdout.split()
    assert sorted(names) == ["eth0", "lo", "wlan0"]
    for link in ("eth0", "wlan0"):
        assert "state DOWN" in link_flags(sandbox, link)
        assert ",UP" not in link_flags(sandbox, link)
    assert "10.77.0" not in sandbox.run(["ip", "addr"]).stdout

    sandbox.run(["ip", "link", "set", "eth0", "up"], check=True)
    assert wait_until(lambda: carrier(sandbox))
    sandbox.unplug()
    assert wait_until(lambda: not carrier(sandbox))
    assert "NO-CARRIER" in link_flags(sandbox, "eth0")
    sandbox.plug()
    assert wait_until(lambda: carrier(sandbox))
    sandbox.run(["ip", "addr", "add", "10.77.0.2/24", "dev", "eth0"], check=True)
    assert sandbox.run(["busybox", "ping", "-c", "1", "-W", "2", sbx.PEER_IPV4]).returncode == 0


def test_unplugged_start_has_no_carrier_and_links_can_be_added(make_sandbox):
    world = make_sandbox(plugged=False, links=("eth0", "wlan0", "uap0"))
    assert "uap0" in world.run(["ls", "/sys/class/net"], check=True).stdout.split()
    world.run(["ip", "link", "set", "eth0", "up"], check=True)
    time.sleep(0.2)
    assert not carrier(world)
    world.plug()
    assert wait_until(lambda: carrier(world))


@pytest.mark.parametrize("lease_seconds", [3600, 30])
def test_udhcpc_inside_gets_a_lease(sandbox, lease_seconds):
    sandbox.start_dhcp_server(lease_seconds=lease_seconds)
    status, lease = dhcp_lease(sandbox)
    assert status == 0
    assert lease["event"] == "bound"
    first, last = (ipaddress.ip_address(a) for a in sbx.DHCP_POOL)
    assert first <= ipaddress.ip_address(lease["ip"]) <= last
    assert (lease["subnet"], lease["router"]) == ("255.255.255.0", sbx.PEER_IPV4)
    assert (lease["dns"].strip(), lease["domain"]) == (sbx.DNS_SERVER, sbx.DOMAIN)
    assert int(lease["lease"]) == lease_seconds


def test_no_lease_once_the_server_is_stopped(sandbox):
    sandbox.start_dhcp_server()
    sandbox.stop_dhcp_server()
    assert not sandbox.dhcp_server_running()
    status, lease = dhcp_lease(sandbox)
    assert status != 0 and lease["event"] == "leasefail" and not lease["ip"]


def test_router_advertisements_carry_prefix_rdnss_and_dnssl(sandbox):
    listener = sandbox.spawn(["python3", "-c", RA_LISTENER])
    assert listener.stdout.readline().strip() == "listening"
    sandbox.start_radvd(rdnss=["fd77::53"], dnssl=["sandbox.test"])
    sandbox.run(["ip", "link", "set", "eth0", "up"], check=True)
    output, _ = listener.communicate(timeout=30)
    assert output.split("\n")[:2] == ["rdnss fd77::53", "dnssl sandbox.test"]
    addresses = lambda: sandbox.run(["ip", "-6", "addr", "show", "eth0"]).stdout  # noqa: E731
    assert wait_until(lambda: "inet6 fd77::" in addresses(), timeout=10)


def test_udev_net_events_arrive_inside(sandbox):
    monitor = sandbox.spawn(["stdbuf", "-oL", "udevadm", "monitor", "--udev",
                             "--subsystem-match=net"])
    # The monitor prints its banner once it listens.
    while "UDEV - the event" not in monitor.stdout.readline():
        pass
    sandbox.run(["ip", "link", "add", "probe0", "type", "veth", "peer", "name", "probe1"],
                check=True)
    seen = []
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and not any("/net/probe0 " in l for l in seen):
        seen.append(monitor.stdout.readline())
    monitor.terminate()
    assert any(line.startswith("UDEV") and " add " in line and "/net/probe0 " in line
               for line in seen), seen
    monitor.wait(timeout=5)


def test_private_resolv_conf_and_etc(sandbox):
    with open("/etc/resolv.conf") as f:
        host_resolv = f.read()
    assert sandbox.read_file("/etc/resolv.conf") == ""
    # The daemon replaces the file by renaming a new one over it.
    sandbox.run(["sh", "-c", "echo 'nameserver 10.77.0.53' > /etc/resolv.conf.new && "
                 "mv /etc/resolv.conf.new /etc/resolv.conf"], check=True)
    assert sandbox.read_file("/etc/resolv.conf") == "nameserver 10.77.0.53\n"
    with open("/etc/resolv.conf") as f:
        assert f.read() == host_resolv
    assert not os.path.exists("/etc/resolv.conf.new")
    # Absolute links are followed inside, never into the host's files.
    sandbox.run(["ln", "-s", "/tmp/norvid-sandbox-probe", "/tmp/link"], check=True)
    sandbox.write_file("/tmp/link", "x")
    assert sandbox.read_file("/tmp/norvid-sandbox-probe") == "x"
    assert not os.path.exists("/tmp/norvid-sandbox-probe")


def test_processes_and_pid_namespace(sandbox):
    sleeper = sandbox.spawn(["sleep", "1000"])
    pids = sandbox.run(["ps", "-e", "-o", "pid="]).stdout.split()
    assert "1" in pids and str(os.getpid()) not in pids and len(pids) < 20
    assert sandbox.run(["killall", "-0", "sleep"]).returncode == 0
    assert sleeper.sandbox_pid() > 1
    sleeper.terminate()
    assert sleeper.wait(timeout=5) == -15
    assert sandbox.run(["killall", "-0", "sleep"]).returncode != 0


def test_project_files_and_bus_policy_are_in_place(make_sandbox, tmp_path):
    (tmp_path / "data").mkdir()
    (tmp_path / "data" / "norvid_udhcpc.sh").write_text("#!/bin/sh\n")
    (tmp_path / "src/norvid/dbus").mkdir(parents=True)
    (tmp_path / "src/norvid/dbus/probe.conf").write_text(
        '<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"\n'
        ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">\n'
        '<busconfig><policy user="root"><allow own="com.example.SandboxProbe"/></policy>'
        '</busconfig>\n')
    own = ("import dbus; bus = dbus.SystemBus(); "
           "print(bus.request_name('%s', dbus.bus.NAME_FLAG_DO_NOT_QUEUE))")
    world = make_sandbox(source_dir=tmp_path)
    assert world.read_file("/usr/share/norvid/norvid_udhcpc.sh") == "#!/bin/sh\n"
    allowed = world.run(["python3", "-c", own % "com.example.SandboxProbe"])
    assert allowed.stdout.strip() == "1", allowed.stderr
    denied = world.run(["python3", "-c", own % "com.example.NotAllowed"])
    assert "AccessDenied" in denied.stderr


@needs_root
def test_close_leaves_nothing_behind(source_dir):
    links_before = host_links()
    world = sbx.Sandbox(source_dir=source_dir).start()
    sleeper = world.spawn(["sleep", "1000"])
    world.start_dhcp_server()
    world.start_radvd()
    processes = [process_identity(pid) for pid in
                 (world.anchor_pid, sleeper.pid, sleeper.inner_pid(), world._dhcp_server.pid,
                  world._radvd.pid, world._anchor.pid)]
    state = world.state_dir
    world.close()
    world.close()
    assert not {world.device_ns, world.peer_ns} & namespaces()
    assert not still_running(processes)
    assert not state.exists()
    assert host_links() == links_before


@needs_root
def test_failed_start_cleans_up(source_dir, monkeypatch):
    world = sbx.Sandbox(source_dir=source_dir)

    def broken():
        raise RuntimeError("broken on purpose")

    monkeypatch.setattr(world, "_start_anchor", broken)
    with pytest.raises(RuntimeError, match="broken on purpose"):
        world.start()
    assert not {world.device_ns, world.peer_ns} & namespaces()
    assert not world.state_dir.exists()
    world.close()


def test_two_sandboxes_do_not_interfere(make_sandbox):
    one, other = make_sandbox(), make_sandbox()
    for world in (one, other):
        world.start_dhcp_server()
        assert dhcp_lease(world)[0] == 0
    other.unplug()
    assert wait_until(lambda: not carrier(other))
    time.sleep(0.1)
    assert carrier(one)
    other.write_file("/etc/resolv.conf", "nameserver 10.77.0.99\n")
    assert one.read_file("/etc/resolv.conf") == ""
    other.spawn(["sleep", "1000"])
    assert "sleep" not in one.run(["ps", "-e", "-o", "comm="]).stdout


OWNER = """
import sys
sys.path.insert(0, sys.argv[1])
import sandbox
world = sandbox.Sandbox().start()
world.spawn(["sleep", "1000"])
world.start_dhcp_server()
print(world.state_dir, world.device_ns, world.peer_ns, world._watchdog.pid, world.anchor_pid,
      world._dhcp_server.pid, flush=True)
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
def test_world_of_a_killed_owner_is_removed_at_once(source_dir):
    left = killed_owner(source_dir, kill_watchdog=False)
    # The kernel tears a PID namespace down in the background; on a busy machine that takes
    # a few seconds.
    assert wait_until(lambda: world_is_gone(*left), timeout=30)


@needs_root
def test_world_without_owner_or_watchdog_is_removed_by_the_next_sandbox(source_dir):
    state_dir, names, processes = killed_owner(source_dir, kill_watchdog=True)
    time.sleep(0.5)
    # Nothing removes it by itself now.
    assert names <= namespaces() and still_running(processes)
    sbx.cleanup_stale()
    assert wait_until(lambda: world_is_gone(state_dir, names, processes), timeout=30)
