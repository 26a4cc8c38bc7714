"""The sandbox world: a device and a network of its own, so norvid never touches the host.

A `Sandbox` (run as root) makes:

- the device world: network, mount and PID namespaces of their own.  Inside: fresh /proc and
  /sys, tmpfs on /run and /tmp, a private /dev (so that udevd cannot touch the host's device
  nodes), /etc as an overlay over the host's (the daemon may replace /etc/resolv.conf by
  rename; the host's /etc is never written), an empty /etc/resolv.conf, the repository's
  data/ directory at /usr/share/norvid, a private D-Bus system bus at
  /run/dbus/system_bus_socket and systemd-udevd with a private /run/udev and only net rules.
  Links: `lo` (up), `eth0` (wired) and `wlan0` (stands in for the Wi-Fi station; no radio),
  both veth pairs whose other ends are in the peer namespace; both start down.
  On request the bus starts the real wpa_supplicant (wired driver on wlan0) or its double on
  the first call to fi.w1.wpa_supplicant1; `iw` is a stand-in that makes access point
  interfaces (tests/doubles/README.md).
- the peer namespace, "the network": the other end of eth0 (`PEER_ETH0`) carries PEER_IPV4/24
  and PEER_IPV6/64.  Cable plugged = that end up.  It can run a DHCP server and radvd, and a
  DHCP server on the peer end of wlan0 (the access point's side, WLAN_PEER_IPV4/24).
  `remove_link` / `make_link` take a link away with its peer end and make it again.

The DHCP server is dnsmasq (Debian package dnsmasq-base), started with --no-ping and
--dhcp-authoritative: it answers in about a millisecond, where busybox udhcpd first probes
the offered address by ARP and so adds two seconds to every lease.  dnsmasq refuses leases
shorter than two minutes, so `start_dhcp_server(lease_seconds=...)` below 120 s runs busybox
udhcpd instead (with its ARP probe cut short).

The device world is held by an "anchor" process: PID 1 of the sandbox's PID namespace,
started through `ip netns exec` (which mounts a sysfs of the device's network namespace)
and `unshare`.  Killing it kills every process of the device world and drops its mounts.
Commands enter the device world with nsenter.

    with Sandbox() as world:                 # or the system tests' `sandbox` fixture
        world.start_dhcp_server()
        world.run(["ip", "link", "set", "eth0", "up"], check=True)
        daemon = world.spawn(["/path/to/norvid", "-d"])
        ...
        world.unplug()                       # cable out: eth0 loses carrier

Clean-up: `close()` (also run by the context manager) removes everything and may be called
again; it also cleans up after a failed `start()`.  If the owner process ends without it
(killed, crashed), a watchdog process started with the sandbox removes the world at once.  If
that is killed too, the next `Sandbox.start()` (or `norvid-sandbox cleanup`) removes what
sandboxes of dead owners left.
"""

import glob
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PEER_IPV4 = "10.77.0.1"
PEER_IPV6 = "fd77::1"
DHCP_POOL = ("10.77.0.100", "10.77.0.150")
# The access point's side of wlan0, once it serves DHCP.
WLAN_PEER_IPV4 = "10.78.0.1"
WLAN_DHCP_POOL = ("10.78.0.100", "10.78.0.150")
DNS_SERVER = "10.77.0.53"
DOMAIN = "sandbox.test"
NETMASK = "255.255.255.0"
PREFIX_LEN_V4 = 24
PREFIX_LEN_V6 = 64

DEVICE_LINKS = ("eth0", "wlan0")
# What a DHCP server on the peer end of a link hands out: router (its own address) and pool.
DHCP_NETWORKS = {"eth0": (PEER_IPV4, DHCP_POOL), "wlan0": (WLAN_PEER_IPV4, WLAN_DHCP_POOL)}
PEER_PREFIX = "p"  # the peer end of device link L is PEER_PREFIX + L
PEER_ETH0 = PEER_PREFIX + "eth0"
# Both ends of a veth pair with the same interface index make the kernel report their carrier
# changes as non-urgent, up to a second late.  Device ends count up from FIRST_LINK_INDEX, each
# peer end sits PEER_INDEX_OFFSET above its device end (the iw stand-in follows the same rule).
FIRST_LINK_INDEX = 2
PEER_INDEX_OFFSET = 100

STATE_MOUNT = "/run/norvid-sandbox"  # the sandbox's state directory, as seen inside
STAND_IN_BIN = STATE_MOUNT + "/bin"  # stand-ins for programs that need a radio, first on PATH
BASE_ENV = {"PATH": STAND_IN_BIN + ":/sbin:/bin:/usr/sbin:/usr/bin", "HOME": "/root",
            "LANG": "C.UTF-8"}
# Passed on from the caller so that a sanitizer build behaves inside as the suite asks.
PASSED_ENV = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")

DEVICE_NS_PREFIX = "nvd-"
PEER_NS_PREFIX = "nvp-"
SHARE_DIR = "/usr/share/norvid"
DBUS_SOCKET = "/run/dbus/system_bus_socket"
# Inside the device world, the peer namespace is known to `ip` by this name.
PEER_NETNS_NAME = "peer"

SUPPLICANT_NAME = "fi.w1.wpa_supplicant1"
SUPPLICANT_LINK = "wlan0"
# While this file exists in the state directory, the bus cannot start wpa_supplicant.
SUPPLICANT_ABSENT = "supplicant-absent"
STAND_INS = ("iw", "recorder")  # from tests/doubles/, put on the device world's PATH
IW_CALLS = "iw-calls"  # what the iw stand-in was asked, one call a line
UDEV_NET_RULES = ("75-net-description.rules", "80-net-setup-link.rules")
# The rule directories udevd reads, and what of the state directory replaces them inside.
UDEV_RULE_DIRS = {"/usr/lib/udev/rules.d": "udev-rules", "/etc/udev/rules.d": "empty"}
UDEVD_CANDIDATES = ("/lib/systemd/systemd-udevd", "/usr/lib/systemd/systemd-udevd")
DEV_NODES = ("null", "zero", "full", "random", "urandom", "tty", "ptmx", "net/tun")
# With a soft AP: the stand-ins of tests/doubles/ shadow these at /usr/sbin, and the system's
# programs stay reachable under SYSTEM_SBIN.
SOFTAP_LINK = "uap0"
SOFTAP_STAND_INS = ("hostapd", "dnsd")
SYSTEM_SBIN = "/run/system-sbin"

START_TIMEOUT = 20.0
SERVER_START_TIMEOUT = 5.0


def _tool(name):
    for directory in ("/usr/sbin", "/usr/bin", "/sbin", "/bin"):
        path = os.path.join(directory, name)
        if os.access(path, os.X_OK):
            return path
    return name


def _check(argv, **kwargs):
    """Runs a host-side set-up command; raises with its output when it fails."""
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            **kwargs)
    if result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(argv), result.returncode,
                                                   result.stdout.strip()))
    return result.stdout


def _environment(env):
    merged = dict(BASE_ENV)
    for name in PASSED_ENV:
        if name in os.environ:
            merged[name] = os.environ[name]
    for name, value in (env or {}).items():
        if value is None:
            merged.pop(name, None)
        else:
            merged[name] = value
    return merged


def _children(pid):
    """Host pids of the direct children of `pid`."""
    found = []
    for stat in glob.glob("/proc/[0-9]*/stat"):
        try:
            with open(stat) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found.append(int(stat.split("/")[2]))
    return found


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


class SandboxProcess(subprocess.Popen):
    """A process in the device world, started through nsenter.

    nsenter forks the real program and does not pass signals on, so `send_signal`,
    `terminate` and `kill` go to the program itself; `wait` still waits for nsenter, which
    ends with the program's status.
    """

    def inner_pid(self, timeout=1.0):
        """Host pid of the program (None once it has ended)."""
        deadline = time.monotonic() + timeout
        while True:
            children = _children(self.pid)
            if children or self.poll() is not None or time.monotonic() > deadline:
                return children[0] if children else None
            time.sleep(0.005)

    def sandbox_pid(self):
        """The program's pid as seen inside the device world."""
        pid = self.inner_pid()
        if pid is None:
            return None
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("NSpid:"):
                    return int(line.split()[-1])
        return None

    def send_signal(self, sig):
        if self.poll() is not None:
            return
        target = self.inner_pid()
        try:
            os.kill(target if target is not None else self.pid, sig)
            # nsenter stops itself when its program stops, and only SIGCONT wakes it to reap
            # the program later.
            if sig == signal.SIGCONT and target is not None:
                os.kill(self.pid, sig)
        except ProcessLookupError:
            pass


class Sandbox:
    _counter = 0

    def __init__(self, source_dir=None, plugged=True, links=DEVICE_LINKS, supplicant=None,
                 softap=False):
        """`links`: the device's veth links.
        `supplicant`: what the bus starts on the first call to fi.w1.wpa_supplicant1: "real"
        (Debian's wpa_supplicant with its wired driver on wlan0), "double" (the scriptable
        stand-in of tests/doubles/) or None (nothing: the name stays unknown).
        `softap`: adds SOFTAP_LINK, whose peer end (up) stands for a client device, and the
        stand-ins for hostapd and dnsd."""
        _check_supplicant(supplicant)
        self.source_dir = Path(source_dir) if source_dir else Path(__file__).resolve().parents[2]
        self.initially_plugged = plugged
        self.softap = softap
        self.links = tuple(links) + ((SOFTAP_LINK,) if softap else ())
        self.supplicant = supplicant
        Sandbox._counter += 1
        self.name = "%d-%d" % (os.getpid(), Sandbox._counter)
        self.device_ns = DEVICE_NS_PREFIX + self.name
        self.peer_ns = PEER_NS_PREFIX + self.name
        self.state_dir = None
        self._anchor = None         # the unshare process
        self.anchor_pid = None      # host pid of the device world's PID 1
        self._spawned = []
        self._peer_spawned = []
        self._dhcp_servers = {}     # link -> its server on the peer end
        self._radvd = None
        self._namespaces = []
        self._watchdog = None
        self._watchdog_pipe = None
        self._closed = False

    # -- life cycle -----------------------------------------------------------------------

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def start(self):
        if os.geteuid() != 0:
            raise PermissionError("needs root: creates network namespaces")
        cleanup_stale()
        try:
            self.state_dir = Path(tempfile.mkdtemp(prefix="%s%s-" % (STATE_DIR_PREFIX, self.name)))
            self.state_dir.chmod(0o755)
            self._start_watchdog()
            self._make_namespaces()
            self._make_links()
            self._write_config()
            self._start_anchor()
        except BaseException:
            self.close()
            raise
        return self

    def close(self):
        """Removes every process, namespace and mount of this sandbox.  Safe to call twice."""
        if self._closed:
            return
        self._closed = True
        for link in list(self._dhcp_servers):
            self.stop_dhcp_server(link)
        self.stop_radvd()
        for process in self._peer_spawned:
            _kill_popen(process)
            _wait_popen(process)
        # PID 1 of the device world goes first: the kernel then kills everything inside, and
        # the nsenter processes outside end with their programs.
        if self.anchor_pid is not None:
            try:
                os.kill(self.anchor_pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            _wait_popen(self._anchor, timeout=30)
        _kill_popen(self._anchor)
        _wait_popen(self._anchor)
        for process in self._spawned:
            _wait_popen(process, timeout=2)
            _kill_popen(process)
            _wait_popen(process)
        for ns in reversed(self._namespaces):
            _delete_namespace(ns)
        self._namespaces = []
        if self.state_dir is not None:
            shutil.rmtree(self.state_dir, ignore_errors=True)
        if self._watchdog_pipe is not None:
            os.close(self._watchdog_pipe)
            self._watchdog_pipe = None
        _wait_popen(self._watchdog)

    def log(self, name):
        """What a helper of this sandbox logged: "dhcp-server" (for wlan0 "dhcp-server-wlan0"),
        "radvd", "services" (dbus-daemon and systemd-udevd), "supplicant" (wpa_supplicant or
        its double, each call) or "anchor"; empty if it logged nothing."""
        path = self.state_dir / (name + ".log")
        return path.read_text(errors="replace") if path.exists() else ""

    def _start_watchdog(self):
        """Starts the process that removes this world when its owner ends without close():
        it waits, in a session of its own, for the end of a pipe only the owner holds."""
        read_end, self._watchdog_pipe = os.pipe()
        try:
            self._watchdog = subprocess.Popen(
                [sys.executable, "-S", os.path.abspath(__file__), "--watchdog",
                 self.device_ns, self.peer_ns, str(self.state_dir)],
                stdin=read_end, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True, env=dict(BASE_ENV))
        finally:
            os.close(read_end)

    def _make_namespaces(self):
        for ns in (self.device_ns, self.peer_ns):
            _check([_tool("ip"), "netns", "add", ns])
            self._namespaces.append(ns)

    def _make_links(self):
        for link in self.links:
            self._make_link(link)
        self._netns_check(self.device_ns, [_tool("ip"), "link", "set", "lo", "up"])
        self._netns_check(self.peer_ns, [_tool("ip"), "link", "set", "lo", "up"])
        if self.initially_plugged:
            self.plug()
        if self.softap:
            self.plug(SOFTAP_LINK)

    def _make_link(self, link):
        ip = _tool("ip")
        index = FIRST_LINK_INDEX + self.links.index(link)
        # Both ends are made inside the namespaces, so no name can clash with the host's.
        _check([ip, "link", "add", link, "netns", self.device_ns, "index", str(index),
                "type", "veth", "peer", "name", PEER_PREFIX + link, "netns", self.peer_ns,
                "index", str(index + PEER_INDEX_OFFSET)])
        # veth leaves UDP checksums to "hardware" that never computes them; some DHCP
        # clients then drop every offer.
        self._netns_check(self.device_ns, [_tool("ethtool"), "-K", link, "tx", "off"])
        self._netns_check(self.peer_ns, [_tool("ethtool"), "-K", PEER_PREFIX + link, "tx", "off"])
        if link == "eth0":
            for address in ("%s/%d" % (PEER_IPV4, PREFIX_LEN_V4),
                            "%s/%d" % (PEER_IPV6, PREFIX_LEN_V6)):
                self._netns_check(self.peer_ns, [ip, "addr", "add", address, "dev", PEER_ETH0,
                                                 "nodad"])

    def _netns_check(self, ns, argv):
        return _check([_tool("ip"), "netns", "exec", ns] + argv)

    def _write_config(self):
        state = self.state_dir
        # Copied, as the source tree may be under /tmp, which is private inside.
        policies = state / "dbus-policies"
        policies.mkdir()
        for policy in sorted(glob.glob(str(self.source_dir / "src/norvid/dbus/*.conf"))):
            shutil.copy(policy, policies)
        (state / "dbus-system.conf").write_text(_dbus_config(sorted(os.listdir(policies))))
        (state / "dbus-services").mkdir()
        (state / "wpa_supplicant.conf").write_text("ap_scan=0\n")
        shutil.copy(self.source_dir / "tests/doubles/wpa_supplicant.py", state)
        self.set_supplicant(self.supplicant)
        self._copy_stand_ins()
        rules = state / "udev-rules"
        rules.mkdir()
        for name in UDEV_NET_RULES:
            source = Path("/usr/lib/udev/rules.d") / name
            if source.exists():
                shutil.copy(source, rules / name)
        (state / "empty").mkdir()
        data = self.source_dir / "data"
        config = {
            "state": str(state),
            "peer_ns": self.peer_ns,
            "data": str(data) if data.is_dir() else None,
            "softap": self.softap,
            "udevd": next((p for p in UDEVD_CANDIDATES if os.access(p, os.X_OK)), None),
        }
        (state / "anchor.json").write_text(json.dumps(config))

    def _start_anchor(self):
        argv = [_tool("ip"), "netns", "exec", self.device_ns,
                _tool("unshare"), "--mount", "--pid", "--uts", "--ipc", "--fork", "--kill-child",
                "--propagation", "private",
                sys.executable, "-S", os.path.abspath(__file__), "--anchor",
                str(self.state_dir / "anchor.json")]
        log = open(self.state_dir / "anchor.log", "w")
        self._anchor = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=log, text=True, env=dict(BASE_ENV))
        log.close()
        line = _read_line(self._anchor.stdout, START_TIMEOUT)
        match = re.match(r"ready (\d+)$", line or "")
        if not match:
            self._anchor.kill()
            self._anchor.wait()
            raise RuntimeError("sandbox did not start: %s" %
                               (self.state_dir / "anchor.log").read_text().strip())
        self.anchor_pid = int(match.group(1))

    def set_supplicant(self, kind):
        """What the bus starts from now on, as a device's system bus does, on a call to
        fi.w1.wpa_supplicant1 while nobody owns it (see __init__); one running stays."""
        _check_supplicant(kind)
        self.supplicant = kind
        service = self.state_dir / "dbus-services" / (SUPPLICANT_NAME + ".service")
        command = SUPPLICANT_SERVICES[kind]
        if command is None:
            service.unlink(missing_ok=True)
        else:
            script = self.state_dir / "start-supplicant"
            script.write_text(_SUPPLICANT_SCRIPT % {
                "absent": "%s/%s" % (STATE_MOUNT, SUPPLICANT_ABSENT), "bus": DBUS_SOCKET,
                "command": command, "log": STATE_MOUNT + "/supplicant.log"})
            script.chmod(0o755)
            service.write_text("[D-BUS Service]\nName=%s\nExec=%s/start-supplicant\n"
                               % (SUPPLICANT_NAME, STATE_MOUNT))
        if self.anchor_pid is not None:
            self.run(["busctl", "call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                      "org.freedesktop.DBus", "ReloadConfig"], check=True)

    def _copy_stand_ins(self):
        stand_ins = self.state_dir / "bin"
        stand_ins.mkdir()
        for name in STAND_INS + SOFTAP_STAND_INS:
            shutil.copy(self.source_dir / "tests/doubles" / name, stand_ins)

    # -- the device world -----------------------------------------------------------------

    def _enter(self, argv):
        if self.anchor_pid is None or self._closed:
            raise RuntimeError("sandbox is not running")
        return ([_tool("nsenter"), "-t", str(self.anchor_pid), "-n", "-m", "-p", "-u", "-i", "--"]
                + list(argv))

    def run(self, argv, *, env=None, timeout=60, check=False, input=None):
        """Runs argv inside the device world; returns a CompletedProcess (text)."""
        return _run(SandboxProcess, self._enter(argv), argv, env, timeout, check, input)

    def spawn(self, argv, *, env=None, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
              stdin=subprocess.DEVNULL):
        """Starts argv inside the device world; killed on close() at the latest.  The
        returned process's signals go to the program itself."""
        process = _popen(SandboxProcess, self._enter(argv), env, stdin, stdout, stderr)
        self._spawned.append(process)
        return process

    # Files are read and written by a process inside: a path looked up from outside through
    # /proc/PID/root would follow absolute symbolic links into the host's files.

    def read_file(self, path):
        """Text of a file as seen inside the device world."""
        return self.run(["cat", "--", path], check=True).stdout

    def write_file(self, path, text, mode=None):
        """Writes a file inside the device world (replacing its content in place)."""
        script = 'cat > "$1"' + (' && chmod %o "$1"' % mode if mode is not None else "")
        self.run(["sh", "-c", script, "sh", path], input=text, check=True)

    def bus_address(self):
        """Address of the device world's system bus for a D-Bus client outside it."""
        return "unix:path=/proc/%d/root%s" % (self.anchor_pid, DBUS_SOCKET)

    def supplicant_pid(self):
        """The device world's pid of the owner of fi.w1.wpa_supplicant1, or None."""
        result = self.run(["busctl", "call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "GetConnectionUnixProcessID", "s",
                           SUPPLICANT_NAME])
        return int(result.stdout.split()[1]) if result.returncode == 0 else None

    def kill_supplicant(self):
        """Kills wpa_supplicant (or the double) and waits until its bus name is gone; the next
        call to the name starts it again, unless set_supplicant_absent(True)."""
        pid = self.supplicant_pid()
        if pid is not None:
            self.run(["kill", "-KILL", str(pid)])
            _wait_for(lambda: self.supplicant_pid() is None, SERVER_START_TIMEOUT,
                      "wpa_supplicant gone", self._anchor, self.state_dir / "services.log")

    def set_supplicant_absent(self, absent):
        """While absent, a call to fi.w1.wpa_supplicant1 fails as if it were not installed
        (org.freedesktop.DBus.Error.Spawn.ChildExited) instead of starting it."""
        flag = self.state_dir / SUPPLICANT_ABSENT
        if absent:
            flag.touch()
        else:
            flag.unlink(missing_ok=True)

    def iw_calls(self):
        """The command lines the iw stand-in was given, each a list of its arguments."""
        path = self.state_dir / IW_CALLS
        lines = path.read_text().splitlines() if path.exists() else []
        return [line.split("\t")[2:] for line in lines]

    # -- the network ----------------------------------------------------------------------

    def _in_peer(self, argv):
        return [_tool("ip"), "netns", "exec", self.peer_ns] + list(argv)

    def peer_run(self, argv, *, env=None, timeout=60, check=False, input=None):
        """Runs argv in the peer namespace; returns a CompletedProcess (text)."""
        return _run(subprocess.Popen, self._in_peer(argv), argv, env, timeout, check, input)

    def peer_spawn(self, argv, *, env=None, stdout=subprocess.PIPE, stderr=subprocess.STDOUT):
        """Starts argv in the peer namespace (e.g. a packet capture); killed on close()."""
        process = _popen(subprocess.Popen, self._in_peer(argv), env, subprocess.DEVNULL,
                         stdout, stderr)
        self._peer_spawned.append(process)
        return process

    def plug(self, link="eth0"):
        """Cable in: the peer end of `link` goes up, so `link` gets carrier."""
        self._netns_check(self.peer_ns, [_tool("ip"), "link", "set", PEER_PREFIX + link, "up"])

    def unplug(self, link="eth0"):
        self._netns_check(self.peer_ns, [_tool("ip"), "link", "set", PEER_PREFIX + link, "down"])

    def remove_link(self, link):
        """The device loses `link`, as when its driver goes away: the link and its peer end are
        deleted (udev and rtnetlink report the removal inside)."""
        self._netns_check(self.device_ns, [_tool("ip"), "link", "del", link])

    def make_link(self, link):
        """Makes a removed `link` again as the sandbox first made it: same interface indexes,
        the peer end with its addresses, unplugged.  Whatever ran on the old peer end (a DHCP
        server, radvd) is not restarted."""
        self._make_link(link)

    def start_dhcp_server(self, lease_seconds=3600, link="eth0"):
        """A DHCP server on the peer end of `link`, handing out DHCP_NETWORKS[link] with DNS
        DNS_SERVER and domain DOMAIN.  For wlan0 the peer end is first given WLAN_PEER_IPV4/24.
        A link made again by make_link needs its server started again."""
        self.stop_dhcp_server(link)
        router, _ = DHCP_NETWORKS[link]
        peer = PEER_PREFIX + link
        if link != "eth0":
            self._netns_check(self.peer_ns, [_tool("ip"), "addr", "replace",
                                             "%s/%d" % (router, PREFIX_LEN_V4), "dev", peer])
        # dnsmasq for eth0 only: its lease and pid files are not kept apart by link.
        if lease_seconds < 120 or link != "eth0":
            argv = self._udhcpd_argv(lease_seconds, link)
        else:
            argv = self._dnsmasq_argv(lease_seconds)
        log = self._dhcp_log(link)
        server = self._dhcp_servers[link] = self._peer_daemon(argv, log + ".log")
        _wait_for(lambda: ("%" + peer + ":67") in self._udp_listeners(67), SERVER_START_TIMEOUT,
                  "DHCP server listening", server, self.state_dir / (log + ".log"))

    def stop_dhcp_server(self, link="eth0"):
        server = self._dhcp_servers.pop(link, None)
        _kill_popen(server)
        _wait_popen(server)

    def dhcp_server_running(self, link="eth0"):
        server = self._dhcp_servers.get(link)
        return server is not None and server.poll() is None

    @staticmethod
    def _dhcp_log(link):
        return "dhcp-server" if link == "eth0" else "dhcp-server-" + link

    def _dnsmasq_argv(self, lease_seconds):
        leases = self.state_dir / "dnsmasq.leases"
        leases.unlink(missing_ok=True)
        # As root: a change of user would drop the death signal that ends it with its owner.
        return [_tool("dnsmasq"), "--keep-in-foreground", "--conf-file=/dev/null",
                "--user=root", "--group=root",
                "--port=0", "--no-resolv", "--no-hosts", "--bind-interfaces",
                "--interface=" + PEER_ETH0, "--except-interface=lo",
                "--dhcp-range=%s,%s,%s,%d" % (DHCP_POOL[0], DHCP_POOL[1], NETMASK, lease_seconds),
                "--dhcp-option=option:router," + PEER_IPV4,
                "--dhcp-option=option:dns-server," + DNS_SERVER,
                "--dhcp-option=option:domain-name," + DOMAIN,
                "--dhcp-authoritative", "--no-ping", "--log-dhcp",
                "--log-facility=-", "--dhcp-leasefile=%s" % leases,
                "--pid-file=%s" % (self.state_dir / "dnsmasq.pid")]

    def _udhcpd_argv(self, lease_seconds, link):
        router, pool = DHCP_NETWORKS[link]
        files = self.state_dir / ("udhcpd-" + link)
        conf = files.with_suffix(".conf")
        conf.write_text("\n".join([
            "start %s" % pool[0], "end %s" % pool[1], "interface %s" % (PEER_PREFIX + link),
            "lease_file %s" % files.with_suffix(".leases"),
            "pidfile %s" % files.with_suffix(".pid"),
            "option subnet %s" % NETMASK, "option router %s" % router,
            "option dns %s" % DNS_SERVER, "option domain %s" % DOMAIN,
            "option lease %d" % lease_seconds, "min_lease %d" % lease_seconds, ""]))
        files.with_suffix(".leases").touch()
        return [_tool("busybox"), "udhcpd", "-f", "-a", "1", str(conf)]

    def _udp_listeners(self, port):
        return self.peer_run(["ss", "-Hlnu", "sport = :%d" % port]).stdout

    def start_radvd(self, rdnss=(), dnssl=(), prefix="fd77::/64"):
        """radvd on the peer end of eth0, advertising `prefix` and the given RDNSS / DNSSL."""
        self.stop_radvd()
        conf = self.state_dir / "radvd.conf"
        conf.write_text(_radvd_config(PEER_ETH0, prefix, rdnss, dnssl))
        conf.chmod(0o644)
        self.peer_run(["sysctl", "-qw", "net.ipv6.conf.all.forwarding=1"], check=True)
        self._radvd = self._peer_daemon(
            [_tool("radvd"), "-n", "-C", str(conf), "-p", str(self.state_dir / "radvd.pid"),
             "-m", "stderr"], "radvd.log")
        _wait_for(lambda: (self.state_dir / "radvd.pid").exists(), SERVER_START_TIMEOUT,
                  "radvd running", self._radvd, self.state_dir / "radvd.log")

    def stop_radvd(self):
        _kill_popen(self._radvd)
        _wait_popen(self._radvd)
        self._radvd = None
        if self.state_dir is not None:
            (self.state_dir / "radvd.pid").unlink(missing_ok=True)

    def _peer_daemon(self, argv, log_name):
        with open(self.state_dir / log_name, "a") as log:
            return _popen(subprocess.Popen, self._in_peer(argv), None, subprocess.DEVNULL,
                          log, log)


def _popen(cls, full_argv, env, stdin, stdout, stderr):
    return cls(full_argv, env=_environment(env), text=True, stdin=stdin, stdout=stdout,
               stderr=stderr)


def _run(cls, full_argv, argv, env, timeout, check, input):
    stdin = subprocess.PIPE if input is not None else subprocess.DEVNULL
    process = _popen(cls, full_argv, env, stdin, subprocess.PIPE, subprocess.PIPE)
    try:
        stdout, stderr = process.communicate(input, timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        raise
    result = subprocess.CompletedProcess(argv, process.returncode, stdout, stderr)
    if check:
        result.check_returncode()
    return result


def _kill_popen(process):
    if process is not None and process.poll() is None:
        try:
            process.kill()
        except ProcessLookupError:
            pass


def _wait_popen(process, timeout=10):
    if process is None:
        return
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        return
    for stream in (process.stdin, process.stdout, process.stderr):
        if stream is not None:
            stream.close()


def _read_line(stream, timeout):
    import select
    ready, _, _ = select.select([stream], [], [], timeout)
    return stream.readline().strip() if ready else None


def _wait_for(condition, timeout, what, process, log):
    deadline = time.monotonic() + timeout
    while not condition():
        if process.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError("%s: not reached: %s" % (what, Path(log).read_text().strip()))
        time.sleep(0.01)


def _delete_namespace(ns):
    subprocess.run([_tool("ip"), "netns", "del", ns], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def _namespaces():
    result = subprocess.run([_tool("ip"), "netns", "list"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    return [line.split()[0] for line in result.stdout.splitlines() if line.strip()]


STATE_DIR_PREFIX = "norvid-sandbox-"


def cleanup_stale():
    """Removes the namespaces, processes and files of sandboxes whose owner process is gone."""
    for state in glob.glob(os.path.join(tempfile.gettempdir(), STATE_DIR_PREFIX + "*")):
        match = re.match(re.escape(STATE_DIR_PREFIX) + r"(\d+)-\d+-", os.path.basename(state))
        if match and not _pid_alive(int(match.group(1))):
            shutil.rmtree(state, ignore_errors=True)
    for ns in _namespaces():
        match = re.match(r"(%s|%s)(\d+)-\d+$" % (DEVICE_NS_PREFIX, PEER_NS_PREFIX), ns)
        if not match or _pid_alive(int(match.group(2))):
            continue
        _remove_namespace(ns)


def _remove_namespace(ns):
    """Kills every process in network namespace `ns` (the device world's PID 1 among them,
    which takes the rest of that world along) and deletes it."""
    pids = subprocess.run([_tool("ip"), "netns", "pids", ns], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True).stdout.split()
    for pid in pids:
        try:
            os.kill(int(pid), signal.SIGKILL)
        except (ProcessLookupError, ValueError):
            pass
    _delete_namespace(ns)


def _watchdog_main(device_ns, peer_ns, state_dir):
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    sys.stdin.buffer.read()
    for ns in (device_ns, peer_ns):
        if ns in _namespaces():
            _remove_namespace(ns)
    shutil.rmtree(state_dir, ignore_errors=True)


SUPPLICANT_SERVICES = {
    None: None,
    "real": "wpa_supplicant -u -i %s -D wired -c %s/wpa_supplicant.conf"
            % (SUPPLICANT_LINK, STATE_MOUNT),
    "double": "python3 -m dbusmock --system --template %s/wpa_supplicant.py" % STATE_MOUNT,
}


def _check_supplicant(kind):
    if kind not in SUPPLICANT_SERVICES:
        raise ValueError("supplicant must be one of %s" % sorted(SUPPLICANT_SERVICES, key=str))


# Its output goes to a log of its own: the bus would pass on its own output pipe, which nobody
# reads once the bus has started.
_SUPPLICANT_SCRIPT = """#!/bin/sh
[ -e %(absent)s ] && exit 1
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=%(bus)s
exec %(command)s >>%(log)s 2>&1
"""


def _dbus_config(policies):
    """The device world's system bus: Debian's system bus, less syslog, plus the project's
    policy files.  Its type is not "system": a system bus starts services through Debian's
    setuid helper, which reads only the standard service directories."""
    includes = "\n".join("  <include>%s/dbus-policies/%s</include>" % (STATE_MOUNT, p)
                         for p in policies)
    return """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>norvid-sandbox</type>
  <auth>EXTERNAL</auth>
  <listen>unix:path=%(socket)s</listen>
  <servicedir>%(services)s/dbus-services</servicedir>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Properties"/>
    <deny send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"
          send_member="UpdateActivationEnvironment"/>
    <deny send_destination="org.freedesktop.DBus"
          send_interface="org.freedesktop.DBus.Debug.Stats"/>
  </policy>
  <policy user="root">
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Monitoring"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Debug.Stats"/>
  </policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
  <includedir>/etc/dbus-1/system.d</includedir>
  <include ignore_missing="yes">/etc/dbus-1/system-local.conf</include>
%(includes)s
</busconfig>
""" % {"socket": DBUS_SOCKET, "includes": includes, "services": STATE_MOUNT}


def _radvd_config(interface, prefix, rdnss, dnssl):
    lines = ["interface %s {" % interface,
             "  AdvSendAdvert on;",
             "  MinRtrAdvInterval 3;",
             "  MaxRtrAdvInterval 10;",
             "  prefix %s { AdvOnLink on; AdvAutonomous on; };" % prefix]
    if rdnss:
        lines.append("  RDNSS %s { };" % " ".join(rdnss))
    if dnssl:
        lines.append("  DNSSL %s { };" % " ".join(dnssl))
    lines.append("};")
    return "\n".join(lines) + "\n"


# -- the anchor: PID 1 of the device world ---------------------------------------------------

def _sh(*argv):
    subprocess.run(argv, check=True, stdin=subprocess.DEVNULL)


def _mount(*args):
    _sh("mount", *args)


def _unmount_namespace_files():
    """Drops this mount namespace's copies of the host's named network namespaces: they would
    keep other sandboxes' namespaces alive after those are deleted."""
    with open("/proc/self/mountinfo") as f:
        entries = [line.split() for line in f]
    targets = []
    for fields in entries:
        fstype = fields[fields.index("-") + 1]
        if fstype == "nsfs":
            targets.append(fields[4])
    for target in sorted(targets, key=len, reverse=True):
        subprocess.run(["umount", "-l", target], stderr=subprocess.DEVNULL)


def _private_dev(state):
    """A /dev of its own with the host's harmless nodes bound in: udevd handles every device
    event it is sent, including the host's, and must not change the host's device nodes."""
    staging = os.path.join(state, "dev")
    os.mkdir(staging)
    _mount("-t", "tmpfs", "-o", "mode=755,nosuid", "sandbox-dev", staging)
    for node in DEV_NODES:
        source = os.path.join("/dev", node)
        if not os.path.exists(source):
            continue
        target = os.path.join(staging, node)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        open(target, "w").close()
        _mount("--bind", source, target)
    for name in ("pts", "shm"):
        os.mkdir(os.path.join(staging, name))
    _mount("--rbind", "/dev/pts", os.path.join(staging, "pts"))
    _mount("-t", "tmpfs", "-o", "mode=1777,nosuid,nodev", "shm", os.path.join(staging, "shm"))
    for name, target in (("fd", "/proc/self/fd"), ("stdin", "/proc/self/fd/0"),
                         ("stdout", "/proc/self/fd/1"), ("stderr", "/proc/self/fd/2")):
        os.symlink(target, os.path.join(staging, name))
    _mount("--move", staging, "/dev")


def _overlay_layers(layers, name):
    upper = os.path.join(layers, name + "-upper")
    work = os.path.join(layers, name + "-work")
    os.makedirs(upper)
    os.makedirs(work)
    return upper, work


def _mount_overlay(directory, upper, work, name):
    _mount("-t", "overlay", "-o", "lowerdir=%s,upperdir=%s,workdir=%s" % (directory, upper, work),
           name, directory)


def _private_etc_and_share(state, data):
    layers = os.path.join(state, "layers")
    os.mkdir(layers)
    _mount("-t", "tmpfs", "-o", "mode=755", "sandbox-layers", layers)
    etc_upper, etc_work = _overlay_layers(layers, "etc")
    open(os.path.join(etc_upper, "resolv.conf"), "w").close()
    # udevd must leave the veth names and addresses alone.
    os.makedirs(os.path.join(etc_upper, "systemd/network"))
    with open(os.path.join(etc_upper, "systemd/network/99-default.link"), "w") as f:
        f.write("[Match]\nOriginalName=*\n\n[Link]\nNamePolicy=keep\nMACAddressPolicy=none\n")
    _mount_overlay("/etc", etc_upper, etc_work, "sandbox-etc")
    # An overlay, so that the mount point /usr/share/norvid need not exist on the host.
    share_upper, share_work = _overlay_layers(layers, "share")
    os.makedirs(os.path.join(share_upper, "norvid"))
    _mount_overlay("/usr/share", share_upper, share_work, "sandbox-share")
    if data:
        _mount("--bind", data, SHARE_DIR)


def _softap_stand_ins():
    """Puts the stand-ins over /usr/sbin (the overlay's layers on /run, a tmpfs by now) and gives
    udhcpd a lease directory of the world's own."""
    os.makedirs(SYSTEM_SBIN)
    _mount("--bind", "/usr/sbin", SYSTEM_SBIN)
    upper, work = _overlay_layers("/run", "sbin")
    for name in SOFTAP_STAND_INS:
        shutil.copy(os.path.join(STAND_IN_BIN, name), upper)
    _mount_overlay("/usr/sbin", upper, work, "sandbox-sbin")
    _mount("-t", "tmpfs", "-o", "mode=755", "sandbox-leases", "/var/lib/misc")


def _anchor_main(config_path):
    with open(config_path) as f:
        config = json.load(f)
    state = config["state"]
    host_pid = int(os.readlink("/proc/self"))  # still the host's /proc here
    # Held open across the clean-up of the host's namespace files, so that it can be named
    # inside (the iw stand-in puts the far end of the interfaces it makes there).
    peer_netns = os.open("/run/netns/" + config["peer_ns"], os.O_RDONLY)
    _mount("-t", "proc", "-o", "nosuid,nodev,noexec", "proc", "/proc")
    _unmount_namespace_files()
    _private_dev(state)
    _private_etc_and_share(state, config["data"])
    for directory, replacement in UDEV_RULE_DIRS.items():
        if os.path.isdir(directory):
            _mount("--bind", os.path.join(state, replacement), directory)
    _mount("-t", "tmpfs", "-o", "mode=755,nosuid,nodev", "sandbox-run", "/run")
    os.makedirs(STATE_MOUNT)
    _mount("--bind", state, STATE_MOUNT)
    _mount("-t", "tmpfs", "-o", "mode=1777,nosuid,nodev", "sandbox-tmp", "/tmp")
    os.makedirs("/run/netns")
    peer_netns_file = "/run/netns/" + PEER_NETNS_NAME
    open(peer_netns_file, "w").close()
    _mount("--no-canonicalize", "--bind", "/proc/%d/fd/%d" % (os.getpid(), peer_netns),
           peer_netns_file)
    os.close(peer_netns)
    if config["softap"]:
        _softap_stand_ins()
    os.makedirs("/run/dbus")
    os.makedirs("/run/lock")
    os.chmod("/run/lock", 0o1777)
    env = dict(BASE_ENV)
    log = open(os.path.join(STATE_MOUNT, "services.log"), "a")
    dbus = subprocess.Popen(["dbus-daemon", "--nofork", "--nopidfile", "--print-address=1",
                             "--config-file=" + os.path.join(STATE_MOUNT, "dbus-system.conf")],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log, env=env)
    if not dbus.stdout.readline():
        raise RuntimeError("dbus-daemon did not start")
    if config["udevd"]:
        subprocess.Popen([config["udevd"]], stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                         env=dict(env, SYSTEMD_LOG_TARGET="console"))
        deadline = time.monotonic() + START_TIMEOUT
        while not os.path.exists("/run/udev/control"):
            if time.monotonic() > deadline:
                raise RuntimeError("systemd-udevd did not start")
            time.sleep(0.01)
        _sh("udevadm", "trigger", "--subsystem-match=net", "--action=add")
        _sh("udevadm", "settle", "--timeout=10")
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    print("ready %d" % host_pid, flush=True)
    _reap_forever()


def _reap_forever():
    while True:
        try:
            os.wait()
        except ChildProcessError:
            time.sleep(1)
        except InterruptedError:
            pass


if __name__ == "__main__" and len(sys.argv) == 3 and sys.argv[1] == "--anchor":
    _anchor_main(sys.argv[2])
if __name__ == "__main__" and len(sys.argv) == 5 and sys.argv[1] == "--watchdog":
    _watchdog_main(*sys.argv[2:])
