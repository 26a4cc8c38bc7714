"""The supplicant worker against wpa_supplicant on the sandbox's bus: the real one (wired driver
on wlan0) for what it does without a radio, the double for the rest.

A helper program runs the worker and writes its signals, and the answers to synchronous
requests, as lines starting with "@" with their arguments as JSON; the tests send it the
wireless controller's requests.
"""

import json
import subprocess
import time

import dbus

from conftest import SUPPLICANT, SUPPLICANT_PATH, WpaDouble, wait_until
from test_address_manager import HELPER_TIMEOUT, Manager

INTERFACE = SUPPLICANT + ".Interface"
# Settling pause, disconnect wait, scan watchdog, WPS limit: short where a test waits them out.
SHORT_TIMINGS = ["50", "1500", "1500", "2000"]


class Worker(Manager):
    def signal(self, name, timeout=HELPER_TIMEOUT):
        """Waits for the report `name`; returns its arguments and the reports passed over."""
        passed = []
        deadline = time.monotonic() + timeout
        while True:
            report = self.next_report(deadline - time.monotonic())
            assert report is not None, f"no @{name}; output:\n" + self.output()
            word, _, arguments = report.partition(" ")
            if word == name:
                return (json.loads(arguments)[0] if arguments else None), passed
            passed.append(report)

    def ask(self, request):
        self.send(request)
        return self.signal(request)[0]


def start_worker(sandbox, build_dir, timings=()):
    helper = str(build_dir / "tests" / "helpers" / "supplicant_run")
    process = sandbox.spawn([helper, "-d", *timings, "wlan0"], stdin=subprocess.PIPE)
    worker = Worker(process)
    worker.expect("started")
    return worker


def stop_worker(worker):
    worker.process.stdin.close()
    assert worker.process.wait(timeout=HELPER_TIMEOUT) == 0, worker.output()


def networks(sandbox):
    bus = sandbox.bus()
    interface = bus.get_object(SUPPLICANT, SUPPLICANT_PATH, introspect=False).GetInterface(
        "wlan0", dbus_interface=SUPPLICANT)
    return bus.get_object(SUPPLICANT, interface, introspect=False).Get(
        INTERFACE, "Networks", dbus_interface=dbus.PROPERTIES_IFACE)


def network_properties(sandbox):
    bus = sandbox.bus()
    interface = bus.get_object(SUPPLICANT, SUPPLICANT_PATH, introspect=False).GetInterface(
        "wlan0", dbus_interface=SUPPLICANT)
    paths = bus.get_object(SUPPLICANT, interface, introspect=False).Get(
        INTERFACE, "Networks", dbus_interface=dbus.PROPERTIES_IFACE)
    return [bus.get_object(SUPPLICANT, path, introspect=False).GetAll(
        SUPPLICANT + ".Network", dbus_interface=dbus.PROPERTIES_IFACE) for path in paths]


def test_real_supplicant_is_attached_joined_left_and_given_up(make_sandbox, build_dir):
    # The bus starts wpa_supplicant on the worker's first call, with wlan0 already under its
    # control: the worker has to find the interface instead of creating it.
    sandbox = make_sandbox(supplicant="real")
    worker = start_worker(sandbox, build_dir, SHORT_TIMINGS)
    try:
        worker.send("enable HomeNet")
        worker.signal("configured")
        worker.signal("connected")
        [network] = network_properties(sandbox)
        assert network["Enabled"]
        assert network["Properties"]["ssid"] == '"HomeNet"'
        assert network["Properties"]["key_mgmt"] == "NONE"
        assert worker.ask("details") == {}

        worker.send("disable")
        worker.signal("disabled")
        assert network_properties(sandbox) == []

        # A WPS session reaches it; without a radio nothing answers, so our limit ends it.
        worker.send("pbc")
        worker.signal("wps")
        assert worker.signal("wpsError")[0] == "WPS session timed out"

        worker.send("removed")
        assert worker.signal("scanResults")[0] == []
        assert wait_until(lambda: sandbox.supplicant_pid() is None)
        worker.send("added")
        worker.send("enable HomeNet")
        worker.signal("connected")
    finally:
        stop_worker(worker)
