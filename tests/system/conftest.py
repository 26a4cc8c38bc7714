"""Fixtures of the system tests: the sandbox world, its wpa_supplicant double and where the
build is."""

import os
import queue
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

    def _control(self, method, *args):
        # A proxy per call: it follows the name to the double's current process.
        double = self._bus.get_object(SUPPLICANT, SUPPLICANT_PATH, introspect=False)
        return double.get_dbus_method(method, MOCK)(*args)

    def add_bss(self, raw=None, **settings):
        """A new BSS object, announced by BSSAdded; returns its path.  `settings` are those of
        bss_properties(), `raw` replaces or adds properties."""
        return self._control("AddBSS", _map({**bss_properties(**settings), **(raw or {})}))

    def change_bss(self, path, raw):
        self._control("ChangeBSS", path, _map(raw))

    def remove_bss(self, path):
        self._control("RemoveBSS", path)

    def scan_done(self, success=True):
        self._control("EmitScanDone", success)

    def set_state(self, state, **more):
        """Sets the interface's "State" (and other properties given), with PropertiesChanged."""
        self.set_properties({"State": state, **more})

    def set_properties(self, raw):
        self._control("SetInterfaceProperties", _map(raw))

    def network_temp_disabled(self, network, reason="WRONG_KEY", raw=None):
        self._control("EmitNetworkTempDisabled",
                      _map(raw or {"network": dbus.ObjectPath(network), "reason": reason}))

    def wps_event(self, name, raw=None):
        self._control("EmitWpsEvent", name, _map(raw or {}))

    def wps_credentials(self, ssid, key, auth_type="wpa2-psk", encr_type="aes", raw=None):
        self._control("EmitWpsCredentials", _map(raw or {
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
