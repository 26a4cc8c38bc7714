"""Fixtures of the system tests: the sandbox world, its wpa_supplicant double, where the build
is, and the clients that talk to the daemon and the helper programs."""

import ipaddress
import json
import os
import re
import queue
import subprocess
import sys
import threading
import time
from pathlib import Path

import dbus
import pytest

SOURCE_DIR = Path(os.environ.get("NORVID_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD_DIR = Path(os.environ.get("NORVID_BUILD_DIR", SOURCE_DIR / "build"))

sys.path.insert(0, str(SOURCE_DIR / "tools" / "sandbox"))

import sandbox as sandbox_module  # noqa: E402

NEEDS_ROOT = "needs root: creates network namespaces"
SOAK_SECONDS = 120


def pytest_addoption(parser):
    parser.addoption("--soak-seconds", type=float, default=SOAK_SECONDS,
                     help="how long the soak test drives the daemon (an hour: 3600)")


@pytest.fixture
def soak_seconds(request):
    return request.config.getoption("--soak-seconds")


@pytest.fixture
def source_dir():
    return SOURCE_DIR


@pytest.fixture
def build_dir():
    return BUILD_DIR


@pytest.fixture
def norvid_binary(build_dir):
    return build_dir / "src" / "norvid" / "norvid"


@pytest.fixture
def make_sandbox(source_dir):
    """Starts sandboxes with other settings (`make_sandbox(plugged=False)`); all are closed
    after the test."""
    if os.geteuid() != 0:
        pytest.skip(NEEDS_ROOT)
    made = []

    def make(**settings):
        settings.setdefault("source_dir", source_dir)
        world = World(**settings)
        made.append(world)
        return world.start()

    try:
        yield make
    finally:
        for world in made:
            world.close()


@pytest.fixture
def sandbox(make_sandbox):
    return make_sandbox()


SUPPLICANT = "fi.w1.wpa_supplicant1"
SUPPLICANT_PATH = "/fi/w1/wpa_supplicant1"
MOCK = "org.freedesktop.DBus.Mock"


class World(sandbox_module.Sandbox):
    def bus(self):
        """A connection of our own to the device world's system bus."""
        return dbus.bus.BusConnection(self.bus_address())

    def start_wpa_double(self):
        """Has the bus start the wpa_supplicant double from now on, instead of the real one,
        and starts it afresh."""
        self.set_supplicant("double")
        self.kill_supplicant()
        return WpaDouble(self).come_back()


def bss_properties(ssid="HomeNet", bssid="02:00:00:00:00:01", signal=-50, frequency=2412,
                   privacy=False, wpa=(), rsn=(), ies=b""):
    """The properties of a BSS object, typed as wpa_supplicant types them; `wpa` and `rsn` are
    the key managements of those elements ("wpa-psk", ...)."""
    def element(key_mgmt):
        return dbus.Dictionary({"KeyMgmt": dbus.Array(key_mgmt, signature="s")}, signature="sv")
    return {"SSID": dbus.ByteArray(ssid.encode() if isinstance(ssid, str) else ssid),
            "BSSID": dbus.ByteArray(bytes.fromhex(bssid.replace(":", ""))),
            "Signal": dbus.Int16(signal), "Frequency": dbus.UInt16(frequency),
            "Privacy": dbus.Boolean(privacy), "WPA": element(wpa), "RSN": element(rsn),
            "IEs": dbus.ByteArray(ies)}


class WpaDouble:
    """The test's side of the wpa_supplicant double (tests/doubles/wpa_supplicant.py).  Maps
    given as `raw` go over the bus as they are: that is how a test sends wrong types."""

    def __init__(self, world):
        self.world = world
        self._bus = world.bus()

    def _control(self, method, *args, path=SUPPLICANT_PATH):
        # A proxy per call: it follows the name to the double's current process.
        double = self._bus.get_object(SUPPLICANT, path, introspect=False)
        return double.get_dbus_method(method, MOCK)(*args)

    def _emit(self, interface, name, signature, *args):
        """A signal of wlan0's interface object, the first and only one the double makes."""
        self._control("EmitSignal", SUPPLICANT + ".Interface" + interface, name, signature, args,
                      path=SUPPLICANT_PATH + "/Interfaces/0")

    def add_bss(self, raw=None, **settings):
        """A new BSS object, announced by BSSAdded; returns its path.  `settings` are those of
        bss_properties(), `raw` replaces or adds properties."""
        return self._control("AddBSS", _map({**bss_properties(**settings), **(raw or {})}))

    def change_bss(self, path, raw):
        self._control("ChangeBSS", path, _map(raw))

    def remove_bss(self, path):
        self._control("RemoveObject", path)
        self._emit("", "BSSRemoved", "o", dbus.ObjectPath(path))

    def scan_done(self):
        self._emit("", "ScanDone", "b", True)

    def set_state(self, state, **more):
        """Sets the interface's "State" (and other properties given), with PropertiesChanged."""
        self._control("SetInterfaceProperties", _map({"State": state, **more}))

    def network_temp_disabled(self, network, reason="WRONG_KEY", raw=None):
        self._emit("", "NetworkTempDisabled", "a{sv}",
                   _map(raw or {"network": dbus.ObjectPath(network), "reason": reason}))

    def wps_event(self, name, raw=None):
        self._emit(".WPS", "Event", "sa{sv}", name, _map(raw or {}))

    def wps_credentials(self, ssid, key, auth_type="wpa2-psk", encr_type="aes", raw=None):
        self._emit(".WPS", "Credentials", "a{sv}", _map(raw or {
            "SSID": dbus.ByteArray(ssid.encode()), "Key": dbus.ByteArray(key.encode()),
            "AuthType": dbus.Array([auth_type], signature="s"),
            "EncrType": dbus.Array([encr_type], signature="s")}))

    def set_signal_poll(self, raw):
        self._control("SetSignalPoll", _map(raw))

    def refuse(self, member, error_name, message="refused by the test"):
        """Every later call of `member` fails with that D-Bus error, until allow(member)."""
        self._control("Refuse", member, error_name, message)

    def allow(self, member):
        self._control("Refuse", member, "", "")

    def calls(self, member=None):
        """The calls of wpa_supplicant members so far, as (object path, member, arguments)."""
        return [(str(path), str(name), list(args)) for path, name, args
                in self._control("WpaCalls") if member in (None, name)]

    def wait_for_call(self, member, count=1, timeout=10.0):
        """The calls of `member` once there are `count` of them; fails after timeout seconds."""
        assert wait_until(lambda: len(self.calls(member)) >= count, timeout), \
            "%s called %d times, not %d" % (member, len(self.calls(member)), count)
        return self.calls(member)

    def vanish(self):
        """Ends the double; the bus starts none until come_back()."""
        self.world.set_supplicant_absent(True)
        self.world.kill_supplicant()

    def come_back(self):
        """Starts the double afresh: one interface, wlan0, and nothing scripted."""
        self.world.set_supplicant_absent(False)
        self._bus.start_service_by_name(SUPPLICANT)
        return self


def _map(values):
    return dbus.Dictionary(values, signature="sv")


def wait_until(condition, timeout=10.0, interval=0.05):
    """True once condition() holds; False if it still does not after timeout seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
    return True


class Lines:
    """A spawned process's output lines, collected by a reader thread as they come. What
    `report(line)` makes of a line, unless None, goes to a queue of reports as well."""

    def __init__(self, process, report=lambda line: None):
        self.process = process
        self.lines = []
        self.ended = False
        self.reports = queue.Queue()
        self._report = report
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))
            if (made := self._report(line)) is not None:
                self.reports.put(made)
        self.ended = True
        self.reports.put(None)

    def next_report(self, timeout):
        """The next report, or None if none came within timeout seconds; fails once the output
        has ended."""
        try:
            made = self.reports.get(timeout=max(timeout, 0.01))
        except queue.Empty:
            return None
        assert made is not None, "output ended:\n" + "\n".join(self.lines)
        return made

    def drain(self, seconds):
        """Every report that comes within the given time."""
        deadline = time.monotonic() + seconds
        made = []
        while (remaining := deadline - time.monotonic()) > 0:
            if (report := self.next_report(remaining)) is not None:
                made.append(report)
        return made

    def wait_for(self, text, timeout=60):
        """True once a line containing text was written; False if the output ended first."""
        def found():
            return any(text in line for line in self.lines)
        return wait_until(lambda: found() or self.ended, timeout) and found()


NAME = "com.brenvik.norvi"
STAND_INS = "/tmp/norvid-stand-ins"  # in the sandbox's private /tmp
RECORD = STAND_INS + "/record"
# Differs from the default so that a replaced search path shows.
TEST_PATH = STAND_INS + ":/usr/bin:/bin"
STAND_IN_ENV = {"PATH": TEST_PATH, "NORVID_TEST_RECORD": RECORD}

READY = "Finished setting up, starting main loop..."
LOG_LINE = re.compile(r"^\d{8} \d\d:\d\d:\d\d\.\d{3} \[(\d+)\.\d+\] (\w+) (\w+\.cpp):\d+ (.*)$")
UNPRIVILEGED = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
SIGNAL_TIMEOUT = 20
# Time for a signal that should not come to show up anyway.
QUIET = 1.5
HELPER_TIMEOUT = 30


def parse_log(lines):
    """(level, file, message) of each log line; other lines are left out."""
    return [m.group(2, 3, 4) for m in map(LOG_LINE.match, lines) if m]


def messages(daemon, level="INFO"):
    return [message for lvl, _, message in parse_log(daemon.lines) if lvl == level]


def state_changes(daemon):
    return [m for m in messages(daemon) if m.startswith(("Entering state: ", "Exiting state: "))]


def active_states(daemon):
    """The mode states active according to the log: entered and not exited since."""
    active = set()
    for change in state_changes(daemon):
        verb, state = change.split(": ")
        (active.add if verb == "Entering state" else active.discard)(state)
    return active


def ip(sandbox, *args):
    result = sandbox.run(["ip", *args])
    assert result.returncode == 0, f"ip {' '.join(args)}: {result.stderr}"


def start(sandbox, argv, ready=READY, env=None):
    daemon = Lines(sandbox.spawn(argv, env=env))
    assert daemon.wait_for(ready), "\n".join(daemon.lines)
    return daemon


def bus_client(sandbox, source_dir):
    """Runs the bus client inside the sandbox: client(*args, user=[]) -> (exit code, output)."""
    script = str(source_dir / "tests/system/dbus_client.py")

    def run(*args, user=()):
        result = sandbox.run([*user, "python3", script, *args],
                             env={"PYTHONDONTWRITEBYTECODE": "1"}, timeout=30)
        assert result.stderr == "", result.stderr
        return result.returncode, result.stdout

    return run


@pytest.fixture
def client(sandbox, source_dir):
    return bus_client(sandbox, source_dir)


def reply(client, *args, user=()):
    code, output = client(*args, user=user)
    value = json.loads(output.splitlines()[-1]) if output else None
    return code, value


# A value for each writable property, each told apart from the others.
WRITES = {
    "LogLevel": 2,
    "WirelessNetworks": {"Home": {"wpa_psk": "secret-key", "priority": 3}},
    "WiredIpSettings": {"Ip": "10.77.0.20", "Netmask": "255.255.255.0", "Gateway": "10.77.0.1"},
    "WirelessIpSettings": {"Ip": "10.78.0.20", "Netmask": "255.255.0.0", "Gateway": "10.78.0.1"},
}


def holds(read, written):
    """Whether a value read back holds what was written (a map may hold more entries)."""
    if isinstance(written, dict):
        return isinstance(read, dict) and all(holds(read.get(k), v) for k, v in written.items())
    return read == written


def check_each_write_lands_on_its_own_property(client):
    """Writes each property in turn and reads them all back after each write: the written one
    holds its value, every other one reads as before."""
    before = {name: reply(client, "get", name) for name in WRITES}
    for name, value in WRITES.items():
        assert reply(client, "set", name, json.dumps(value)) == (0, None), name
        after = {name: reply(client, "get", name) for name in WRITES}
        assert after[name][0] == 0 and holds(after[name][1], value), (name, after[name])
        assert {n: v for n, v in after.items() if n != name} == \
            {n: v for n, v in before.items() if n != name}, name
        before = after


def arrived(line):
    if line[0] == "{":
        signal = json.loads(line)
        return time.monotonic(), signal["member"], signal["args"]
    return None


class Signals(Lines):
    """The control interface's signals as one client receives them, with arrival times."""

    def __init__(self, sandbox, source_dir, user=(), senders=()):
        super().__init__(sandbox.spawn(
            [*user, "python3", str(source_dir / "tests/system/dbus_client.py"), "listen", "600",
             *senders], env={"PYTHONDONTWRITEBYTECODE": "1"}), arrived)
        assert self.wait_for("listening")

    def expect(self, member, *args):
        """Arrival time of the next signal but AddressesChanged, which must be this one."""
        while True:
            received = self.next_report(SIGNAL_TIMEOUT)
            assert received is not None, f"no {member}{args} within {SIGNAL_TIMEOUT}s"
            if received[1] != "AddressesChanged" or member == "AddressesChanged":
                break
        assert received[1:] == (member, list(args))
        return received[0]

    def quiet(self, ignored=("AddressesChanged",)):
        """Every signal but the ignored ones that arrives within the grace time."""
        return [received[1:] for received in self.drain(QUIET) if received[1] not in ignored]


def added_networks(wpa):
    """SSID -> object path of the networks added so far: the double numbers them in order."""
    return {bytes(args[0]["ssid"]).decode(): "%s/Networks/%d" % (path, number)
            for number, (path, _, args) in enumerate(wpa.calls("AddNetwork"))}


class Helper(Lines):
    """One running helper program: its output, its "@" lines as reports, and the commands it
    takes on standard input."""

    def __init__(self, process):
        super().__init__(process, lambda line: line[1:].rstrip("\n") if line[0] == "@" else None)

    def expect(self, wanted, timeout=HELPER_TIMEOUT):
        """Waits for the report `wanted`; returns the ones passed over on the way."""
        passed = []
        deadline = time.monotonic() + timeout
        while (event := self.next_report(deadline - time.monotonic())) != wanted:
            assert event is not None, f"no @{wanted}; output:\n" + self.output()
            passed.append(event)
        return passed

    def send(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()

    def output(self):
        return "\n".join(self.lines)

    def count(self, text):
        return sum(text in line for line in self.lines)


def start_helper(sandbox, build_dir, name, *args, env=None):
    process = sandbox.spawn([str(build_dir / "tests" / "helpers" / name), *args], env=env,
                            stdin=subprocess.PIPE)
    helper = Helper(process)
    helper.expect("started")
    return helper


@pytest.fixture
def stand_ins(sandbox, source_dir):
    """Recording stand-ins for killall and ip, found first on TEST_PATH."""
    recorder = (source_dir / "tests" / "doubles" / "recorder").read_text()
    sandbox.run(["mkdir", "-p", STAND_INS], check=True)
    for name in ("killall", "ip"):
        sandbox.write_file(f"{STAND_INS}/{name}", recorder)
        sandbox.run(["chmod", "755", f"{STAND_INS}/{name}"], check=True)
    sandbox.write_file(RECORD, "")
    return sandbox


def recorded(sandbox):
    """(search path, argv) of every stand-in call, in order."""
    calls = []
    for line in sandbox.read_file(RECORD).splitlines():
        path, *argv = line.split("\t")
        calls.append((path, argv))
    return calls


# The daemon in normal mode as a device's set-up client sees it.

STATIC = {"Ip": "10.77.0.20", "Netmask": "255.255.255.0", "Gateway": sandbox_module.PEER_IPV4,
          "Dns": "10.77.0.53", "SearchDomains": "sandbox.test"}
WIRELESS_STATIC = {"Ip": "10.78.0.9", "Netmask": "255.255.255.0", "Dns": "", "SearchDomains": ""}
NETWORKS = {"Open": {}}


class Client:
    """One device's set-up client: calls, properties and the signals it receives."""

    def __init__(self, sandbox, source_dir):
        self.run = bus_client(sandbox, source_dir)
        self.signals = Signals(sandbox, source_dir)
        # Signals about this interface are left out of what expect() returns.
        self.ignored = None

    def call(self, *args):
        texts = [json.dumps(a) if isinstance(a, dict) else a for a in args]
        assert reply(self.run, "call", *texts) == (0, None), args

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
        return self.until_signal(lambda received: received == (member, *args))

    def arguments(self, member):
        """The arguments of the next signal of that name."""
        return self.until_signal(lambda received: received[0] == member)[-1][1:]

    def until_signal(self, last):
        seen = []
        while True:
            received = self.signals.next_report(SIGNAL_TIMEOUT)
            assert received is not None, f"nothing more within {SIGNAL_TIMEOUT}s: {seen}"
            if received[1] != "AddressesChanged" and received[2][:1] != [self.ignored]:
                seen.append((received[1], *received[2]))
                if last(seen[-1]):
                    return seen

    def until(self, name, value):
        assert wait_until(lambda: self.get(name) == value, 20), (name, self.get(name))


def ipv4(sandbox, link="eth0"):
    shown = sandbox.run(["ip", "-4", "-o", "addr", "show", "dev", link], check=True).stdout
    return [ipaddress.ip_interface(m) for m in re.findall(r"inet (\S+)", shown)]


def configure(client):
    client.set("WirelessNetworks", NETWORKS)
    client.set("WirelessIpSettings", WIRELESS_STATIC)
    client.set("WiredIpSettings", STATIC)
    client.set("WiredIpSettings", {})
    return {name: client.get(name) for name in (
        "WirelessNetworks", "WirelessIpSettings", "WiredIpSettings", "SoftApModeSettings")}


class Daemon:
    """The daemon with a client, started in a given world; the configuration it was given."""

    def __init__(self, sandbox, norvid_binary, source_dir):
        self.sandbox = sandbox
        self.client = Client(sandbox, source_dir)
        self.output = start(sandbox, [str(norvid_binary), "-d"])
        self.client.signals.expect("Started")
        self.configured = configure(self.client)

    def intact(self):
        return all(self.client.get(name) == value for name, value in self.configured.items())

    def leases(self):
        """How many lease reports the DHCP client has made so far."""
        return sum("parsing dhcp data" in line for line in self.output.lines)

    def running(self):
        return self.output.process.poll() is None

    def soft_ap(self):
        self.client.ignored = "eth0"
        self.client.call("StartSoftAp", "uap0", {"ssid": "Setup", "channel": "6"})
        assert self.client.expect("Connected", "uap0")[-1] == ("Connected", "uap0")
        self.configured["SoftApModeSettings"] = self.client.get("SoftApModeSettings")

    def wired(self):
        if not self.sandbox.dhcp_server_running():
            self.sandbox.start_dhcp_server()
        self.client.ignored = "wlan0"
        self.client.call("SetNormalMode", "wired")
        assert self.client.expect("Connected", "eth0")[-1] == ("Connected", "eth0")


@pytest.fixture
def make_daemon(make_sandbox, norvid_binary, source_dir):
    def make(**settings):
        return Daemon(make_sandbox(**settings), norvid_binary, source_dir)
    return make
