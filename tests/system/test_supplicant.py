"""The supplicant worker against wpa_supplicant on the sandbox's bus: the real one (wired driver
on wlan0) for what it does without a radio, the double for the rest.

A helper program runs the worker and writes its signals, and the answers to synchronous
requests, as lines starting with "@" with their arguments as JSON; the tests send it the
wireless controller's requests.
"""

import json
import time

import dbus

from conftest import (HELPER_TIMEOUT, SUPPLICANT, SUPPLICANT_PATH, Helper, WpaDouble,
                      added_networks, start_helper, wait_until)

INTERFACE = SUPPLICANT + ".Interface"
# Settling pause, disconnect wait, scan watchdog, WPS limit: short where a test waits them out.
SHORT_TIMINGS = ["50", "1500", "1500", "2000"]


class Worker(Helper):
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
    return start_helper(sandbox, build_dir, "supplicant_run", "-d", *timings, "wlan0", kind=Worker)


def stop_worker(worker):
    worker.process.stdin.close()
    assert worker.process.wait(timeout=HELPER_TIMEOUT) == 0, worker.output()


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

        # A WPS session reaches it ("State" becomes "associated"); without a radio nothing
        # more comes, so our limit ends it.
        worker.send("pbc")
        worker.signal("wps")
        assert worker.signal("wpsError")[0] == "WPS session timed out"
        assert worker.count("WPS session timed out (from norvid internal timeout)") == 1

        worker.send("removed")
        assert worker.signal("scanResults")[0] == []
        assert wait_until(lambda: sandbox.supplicant_pid() is None)
        worker.send("added")
        worker.send("enable HomeNet")
        worker.signal("connected")

        # Destroyed, the worker leaves no wpa_supplicant behind.
        worker.send("quit")
        worker.signal("destroyed")
        assert wait_until(lambda: sandbox.supplicant_pid() is None)
    finally:
        stop_worker(worker)


def start_with_double(make_sandbox, build_dir, absent=False):
    sandbox = make_sandbox(supplicant="double")
    sandbox.set_supplicant_absent(absent)
    wpa, worker = WpaDouble(sandbox), start_worker(sandbox, build_dir, SHORT_TIMINGS)
    if not absent:
        wpa.wait_for_call("Disconnect")  # attached: quieting it has begun
    return wpa, worker


def test_double_absent_then_attached_joins_reports_and_keeps_command_order(make_sandbox,
                                                                           build_dir):
    wpa, worker = start_with_double(make_sandbox, build_dir, absent=True)
    try:
        assert worker.wait_for("Couldn't create interface wlan0 due to error: "
                               '"org.freedesktop.DBus.Error.Spawn.ChildExited"')
        worker.send("scan")
        assert worker.signal("scanResults")[0] == []
        worker.send("pbc")
        assert worker.signal("wpsError")[0] == "Wireless interface not present!"
        # Stored while unavailable, handed over once attached.
        worker.send("enable HomeNet Office,2,secret123")
        wpa.come_back()
        worker.send("added")
        worker.signal("configured")
        # Already attached: the command only ends this connect, which starts again.
        worker.send("added")
        worker.signal("configured")
        assert set(added_networks(wpa)) == {"HomeNet", "Office"}
        assert len(wpa.calls("Reassociate")) == 2

        # Only networks this connect added are reported, and waiting goes on.
        wpa.network_temp_disabled(added_networks(wpa)["Office"], "WRONG_KEY")
        wpa.network_temp_disabled(SUPPLICANT_PATH + "/Interfaces/0/Networks/99")
        assert worker.signal("authError")[0] == ["Office", "WRONG_KEY"]
        wpa.set_state("completed")
        assert worker.signal("connected")[1] == []
        wpa.set_state("disconnected")
        worker.signal("configured")
        wpa.set_state("completed")
        worker.signal("connected")

        # Both commands are handled after the disconnect wait, in the order they came.
        worker.send("pbc")
        worker.send("disable")
        assert worker.signal("wps")[1] == []
        assert worker.signal("wpsError")[0] == "WPS session ended"
        assert worker.signal("disabled")[1] == []
        assert len(wpa.calls("GetInterface")) == 1
        assert len(wpa.calls("AddNetwork")) == 4
    finally:
        stop_worker(worker)


def test_double_refusing_networks_and_never_disconnecting(make_sandbox, build_dir):
    wpa, worker = start_with_double(make_sandbox, build_dir)
    try:
        wpa.refuse("AddNetwork", "fi.w1.wpa_supplicant1.InvalidArgs")
        worker.send("enable HomeNet")
        first, second = wpa.wait_for_call("AddNetwork", 2)[:2]
        assert first[2] == second[2]
        wpa.allow("AddNetwork")
        # After a failed attempt the worker waits for news; a state report brings the next one.
        wpa.set_state("disconnected")
        worker.signal("configured")
        wpa.set_state("completed")
        worker.signal("connected")

        # The wait gives up after its bound; a scan asked for meanwhile runs once afterwards.
        wpa.refuse("Disconnect", "fi.w1.wpa_supplicant1.NotConnected")
        asked = time.monotonic()
        worker.send("disable")
        wpa.wait_for_call("Disconnect")
        worker.send("scan")
        worker.signal("disabled")
        assert time.monotonic() - asked >= 1.5
        wpa.wait_for_call("Scan")
        wpa.scan_done()
        worker.signal("scanResults")
        assert len(wpa.calls("Scan")) == 1
    finally:
        stop_worker(worker)


def summary(aps):
    return [(ap["ssid"], ap["type"], ap["signal"], ap["frequency"]) for ap in aps]


def test_double_scans_and_access_points(make_sandbox, build_dir):
    wpa, worker = start_with_double(make_sandbox, build_dir)
    try:
        worker.send("scan")
        worker.send("scan")
        wpa.wait_for_call("Scan")
        opened = wpa.add_bss(ssid="Open", bssid="02:00:00:00:00:01", frequency=5180)
        mixed = wpa.add_bss(ssid="Mixed", bssid="02:00:00:00:00:02", privacy=True,
                            wpa=["wpa-psk"], rsn=["wpa-eap"])
        wpa.add_bss(ssid="Corp", bssid="02:00:00:00:00:03", privacy=True, rsn=["wpa-eap"])
        old = wpa.add_bss(ssid="Old", bssid="02:00:00:00:00:04", privacy=True)
        wpa.add_bss(ssid="", bssid="02:00:00:00:00:05")
        wpa.add_bss(ssid="x" * 33, bssid="02:00:00:00:00:06")
        wpa.add_bss(bssid="02:00:00:00:00:07", raw={"SSID": "Typed"})
        wpa.add_bss(ssid="Odd", bssid="02:00:00:00:00:08",
                    raw={"Signal": "loud", "Frequency": dbus.Int32(2412), "RSN": "wpa-psk"})
        wpa.scan_done()
        assert summary(worker.signal("scanResults")[0]) == [
            ("Open", "unsecured", -50, 5180), ("Mixed", "wpa_psk", -50, 2412),
            ("Old", "wep", -50, 2412), ("Odd", "unsecured", 0, 0)]
        assert len(wpa.calls("Scan")) == 1

        # A signal change is taken up in place, a security change re-reads the access point.
        wpa.change_bss(mixed, {"Signal": dbus.Int16(-80)})
        wpa.change_bss(opened, {"Privacy": True})
        wpa.remove_bss(old)
        worker.send("scan")
        wpa.wait_for_call("Scan", 2)
        assert summary(worker.signal("scanResults")[0]) == [
            ("Mixed", "wpa_psk", -80, 2412), ("Odd", "unsecured", 0, 0),
            ("Open", "wep", -50, 5180)]

        wpa.set_state("completed", CurrentBSS=dbus.ObjectPath(opened), CurrentAuthMode="NONE")
        wpa.set_signal_poll({"rssi": dbus.Int32(-61), "frequency": dbus.UInt32(5180)})
        assert worker.ask("details") == {
            "Ssid": "Open", "Bssid": "02:00:00:00:00:01", "Encryption": "wep", "Signal": -61,
            "Frequency": 5180, "Channel": 36}
        assert worker.ask("channel") == 36
        wpa.refuse("SignalPoll", "fi.w1.wpa_supplicant1.Error")
        details = worker.ask("details")
        assert (details["Signal"], details["Frequency"], details["Channel"]) == (0, 0, -481)

        worker.send("removed")
        assert worker.signal("scanResults")[0] == []
    finally:
        stop_worker(worker)


NO_CREDENTIALS = "WPS session ended without receiving network credentials"
TIMED_OUT = "WPS session timed out"


def credentials(ssid="HomeNet", key="secret123", auth="wpa2-psk", encr="aes", raw=None):
    return lambda wpa, worker: wpa.wps_credentials(ssid, key, auth, encr, raw)


def event(name, **arguments):
    return lambda wpa, worker: wpa.wps_event(name, arguments)


SUCCESS = event("success")
# request, what happens once the session runs, its ending
WPS_SESSIONS = [
    ("pbc", [credentials(), SUCCESS], ("wpsFinished", ["HomeNet", 2, "secret123"])),
    ("pin 12345670", [SUCCESS], ("wpsError", NO_CREDENTIALS)),
    ("pbc", [credentials(key="short"), SUCCESS], ("wpsError", NO_CREDENTIALS)),
    ("pbc", [credentials(auth="open", key="abcde"), SUCCESS], ("wpsFinished", ["HomeNet", 1, "abcde"])),
    ("pbc", [credentials(raw={"SSID": dbus.Int32(5), "Key": dbus.ByteArray(b"secret123")}),
             credentials(raw={"SSID": dbus.ByteArray(b"\xff\xfe"), "Key": dbus.ByteArray(b"secret123")}),
             SUCCESS], ("wpsError", NO_CREDENTIALS)),
    ("pbc", [event("fail", msg=dbus.Int32(12))], ("wpsError", "Multiple PBC sessions detected")),
    ("pbc", [event("fail", msg=dbus.Int32(19))], ("wpsError", "19")),
    ("pbc", [event("fail", msg=dbus.Int32(-1))], ("wpsError", "-1")),
    ("pbc", [event("fail", msg="no answer")], ("wpsError", "no answer")),
    ("pbc", [lambda wpa, worker: wpa.set_state("inactive")], ("wpsError", TIMED_OUT)),
    ("pbc", [], ("wpsError", TIMED_OUT)),
    ("pbc", [lambda wpa, worker: worker.send("disable")], ("wpsError", "WPS session ended")),
]


def test_double_wps_sessions_end_once_each(make_sandbox, build_dir):
    wpa, worker = start_with_double(make_sandbox, build_dir)
    try:
        for number, (request, steps, (ending, argument)) in enumerate(WPS_SESSIONS):
            worker.send(request)
            worker.signal("wps")
            for step in steps:
                step(wpa, worker)
            assert worker.signal(ending)[0] == argument, "session %d" % number
        worker.signal("disabled")
        starts = [dict(args[0]) for _, _, args in wpa.calls("Start")]
        assert starts[:2] == [{"Role": "enrollee", "Type": "pbc"},
                              {"Role": "enrollee", "Type": "pin", "Pin": "12345670"}]

        wpa.refuse("Start", "fi.w1.wpa_supplicant1.InvalidArgs")
        worker.send("pbc")
        error, passed = worker.signal("wpsError")
        assert error == "Could not start WPS: refused by the test"
        assert "wps" not in passed
        assert worker.count("@wpsError") + worker.count("@wpsFinished") == len(WPS_SESSIONS) + 1
    finally:
        stop_worker(worker)
