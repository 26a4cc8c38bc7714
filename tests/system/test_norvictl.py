"""norvictl, the command-line client, against what serves the control interface in the sandbox
world: what each command prints for a person and as JSON, what reaches the daemon, and the exit
statuses a script relies on."""

import json
import re

import pytest

from conftest import Lines
from test_dbus import UNPRIVILEGED, owner_argv
from test_startup import READY

FAILED, BAD_ARGUMENTS, NOT_RUNNING, DENIED, TIMEOUT = 1, 2, 3, 4, 5
STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} "


@pytest.fixture
def norvictl(build_dir):
    return str(build_dir / "src/norvictl/norvictl")


@pytest.fixture
def ctl(sandbox, norvictl):
    """ctl(*args, user=(), input=None) -> (exit status, standard output, standard error)."""
    def run(*args, user=(), input=None):
        result = sandbox.run([*user, norvictl, *args], input=input, timeout=60)
        return result.returncode, result.stdout, result.stderr
    return run


def read(ctl, *args):
    code, output, error = ctl(*args)
    assert code == 0, error
    return json.loads(output) if "--json" in args else output.splitlines()


def spawn(sandbox, argv):
    return Lines(sandbox.spawn(argv))


@pytest.fixture
def sandbox(make_sandbox):
    """Here the world starts with its cable out."""
    return make_sandbox(plugged=False)


def test_monitoring_daemon_seen_through_every_reading_command(sandbox, norvid_binary, norvictl,
                                                               ctl):
    assert ctl("status") == (NOT_RUNNING, "", "norvictl: norvid is not running (nobody owns "
                             "com.brenvik.norvi on the system bus)\n")
    # Wrong command lines are told apart before the bus is asked.
    for wrong in (["bogus"], ["mode", "fast"], ["wifi", "add", "Home", "--psk", "short"],
                  ["wifi", "add", "Home", "--open", "--psk", "longenough"],
                  ["ip", "wired", "static", "10.0.0.5"], ["ip", "wired", "dhcp", "--gateway",
                                                           "10.0.0.1"],
                  ["wps", "pin", "123"], ["scan", "--timeout", "x"], ["status", "--nope"]):
        code, output, error = ctl(*wrong)
        assert (code, output) == (BAD_ARGUMENTS, ""), wrong
        assert error.startswith("norvictl: ") and error.count("\n") == 1, error

    # Signals reach everyone; the watcher also sees the daemon come and go.
    watcher = spawn(sandbox, [*UNPRIVILEGED, norvictl, "monitor"])
    json_watcher = spawn(sandbox, [norvictl, "monitor", "--json"])
    assert watcher.wait_for("norvid is not running, waiting for it")
    assert json_watcher.wait_for('"absent"')
    sandbox.run(["ip", "link", "set", "eth0", "up"], check=True)
    daemon = spawn(sandbox, [str(norvid_binary), "-m"])
    assert daemon.wait_for(READY)
    assert watcher.wait_for("norvid appeared on the bus")

    assert ctl("status", user=UNPRIVILEGED)[0] == DENIED
    assert ctl("mode", "wired", user=UNPRIVILEGED)[0] == DENIED
    assert read(ctl, "status") == [
        "Mode: passive, not connected",
        "INTERFACE  TYPE      STATE         ADDRESSES",
        "eth0       wired     no cable      ",
        "wlan0      wireless  disconnected  "]
    sandbox.plug()
    assert watcher.wait_for("CableStatus plugged in")
    assert read(ctl, "status")[2] == "eth0       wired     disconnected  "
    code, _, error = ctl("wait-online", "--timeout", "1")
    assert (code, error) == (TIMEOUT, "norvictl: norvid is not connected\n")

    waiting = sandbox.spawn([norvictl, "wait-online", "--timeout", "30"])
    sandbox.run(["ip", "addr", "add", "10.77.0.9/24", "dev", "eth0"], check=True)
    assert waiting.wait(timeout=30) == 0
    assert read(ctl, "status")[:3] == ["Mode: passive, connected",
                                       "INTERFACE  TYPE      STATE         ADDRESSES",
                                       "eth0       wired     connected     10.77.0.9/24"]
    status = read(ctl, "status", "--json")
    details = read(ctl, "details", "--json")
    assert status == {"Mode": "Passive", "Connected": True,
                      "Interfaces": [details["wired"], details["wireless"]]}
    assert details["wired"] == read(ctl, "details", "eth0", "--json")
    assert details["wired"]["Ip"] == "10.77.0.9" and details["wired"]["CableStatus"] is True
    assert "  Ip: 10.77.0.9" in read(ctl, "details")
    assert ctl("details", "nope0")[::2] == (FAILED, "norvictl: no interface nope0\n")
    code, _, error = ctl("wait-online", "--interface", "wlan0", "--timeout", "0")
    assert (code, error) == (TIMEOUT, "norvictl: wlan0 is not connected\n")

    # The monitor refuses commands but takes the log level.
    assert ctl("mode", "wired")[0] == 0
    assert read(ctl, "mode") == ["passive"]
    assert ctl("log-level", "1")[0] == 0
    assert read(ctl, "log-level", "--json") == {"LogLevel": 1}

    sandbox.unplug()
    assert watcher.wait_for("Disconnected eth0")
    daemon.process.kill()
    assert watcher.wait_for("norvid left the bus")
    assert [re.sub(STAMP, "", line) for line in watcher.lines
            if "eth0" in line or "Cable" in line] == [
        "CableStatus plugged in", "Connected eth0", "CableStatus unplugged", "Disconnected eth0"]
    assert all(re.match(STAMP, line) for line in watcher.lines)
    assert json_watcher.wait_for('"stopped"')
    signals = [json.loads(line) for line in json_watcher.lines]
    assert [s.get("daemon") for s in signals if "daemon" in s] == ["absent", "started", "stopped"]
    assert {"signal": "Connected", "args": ["eth0"]} in [
        {k: s[k] for k in ("signal", "args")} for s in signals if "signal" in s]


def test_scan_wps_and_networks_through_a_stand_in_owner(sandbox, build_dir, ctl):
    owner = spawn(sandbox, owner_argv(build_dir))
    assert owner.wait_for("Serving the control interface")

    assert ctl("scan")[::2] == (FAILED, "norvictl: norvid does not scan in off mode; choose "
                                "another mode first (norvictl mode ...)\n")
    assert ctl("mode", "wireless")[0] == 0
    assert read(ctl, "scan") == ["SSID  SIGNAL  CHANNEL  SECURITY  BSSID",
                                 "Home  -50     6        wpa_psk   02:00:00:00:00:01",
                                 "Café  -70     6        wpa_psk   02:00:00:00:00:02"]
    results = read(ctl, "scan", "--json")
    assert [entry["ssid"] for entry in results] == ["Home", "Café"]
    assert results[0]["ies"] == "000474657374"

    assert read(ctl, "wps", "pbc") == ["priority: 0", "ssid: Home", "type: wpa-psk",
                                       "wpa_psk: (hidden)"]
    assert read(ctl, "wps", "pbc", "--json", "--show-keys")["wpa_psk"] == "secret-key"

    # A key left out comes from standard input and never shows on the command line.
    assert ctl("wifi", "add", "Home", "--psk", input="my secret key\n")[0] == 0
    assert read(ctl, "wifi", "list", "--json", "--show-keys") == {
        "Home": {"priority": 0, "wpa_psk": "my secret key"}}
    assert read(ctl, "wifi", "list", "--json") == {"Home": {"priority": 0, "wpa_psk": "(hidden)"}}
    assert ctl("wifi", "add", "Home", "--psk")[0] == BAD_ARGUMENTS
