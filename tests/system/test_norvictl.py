"""norvictl, the command-line client, against what serves the control interface in the sandbox
world: what each command prints for a person and as JSON, what reaches the daemon, and the exit
statuses a script relies on."""

import json
import re

import pytest

from conftest import Lines, wait_until
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


def test_a_person_drives_the_daemon_from_the_command_line(sandbox, norvid_binary, norvictl, ctl):
    assert ctl("status") == (NOT_RUNNING, "", "norvictl: norvid is not running (nobody owns "
                             "com.brenvik.norvi on the system bus)\n")
    # Wrong command lines are told apart before the bus is asked.
    for wrong in (["bogus"], ["mode", "fast"], ["wifi", "add", "Home", "--psk", "short"],
                  ["wifi", "add", "Home", "--open", "--psk", "longenough"],
                  ["ip", "wired", "static", "10.0.0.5"],
                  ["ip", "wired", "dhcp", "--gateway", "10.0.0.1"],
                  ["wps", "pin", "123"], ["scan", "--timeout", "x"], ["status", "--nope"]):
        code, output, error = ctl(*wrong)
        assert (code, output) == (BAD_ARGUMENTS, ""), wrong
        assert error.startswith("norvictl: ") and error.count("\n") == 1, error

    # Signals reach everyone; the watchers also see the daemon come and go.
    watcher = spawn(sandbox, [*UNPRIVILEGED, norvictl, "monitor"])
    json_watcher = spawn(sandbox, [norvictl, "monitor", "--json"])
    assert watcher.wait_for("norvid is not running, waiting for it")
    assert json_watcher.wait_for('"absent"')
    sandbox.start_dhcp_server()
    daemon = spawn(sandbox, [str(norvid_binary), "-d"])
    assert daemon.wait_for(READY)
    assert watcher.wait_for("norvid appeared on the bus")
    # The interface's signals from anyone but the daemon are not the daemon's.
    sandbox.run(["dbus-send", "--system", "--type=signal", "/com/brenvik/norvi",
                 "com.brenvik.norvi.Connected", "string:forged"], check=True)

    for command in (["status"], ["mode", "hybrid"], ["wifi", "list"]):
        code, _, error = ctl(*command, user=UNPRIVILEGED)
        assert (code, error) == (DENIED, "norvictl: access denied: only root (or a group the bus "
                                 "policy names) may talk to norvid\n")
    assert read(ctl, "status") == ["Mode: off, not connected",
                                   "INTERFACE  TYPE      STATE  ADDRESSES",
                                   "eth0       wired     down   ",
                                   "wlan0      wireless  down   "]
    code, _, error = ctl("wait-online", "--timeout", "1")
    assert (code, error) == (TIMEOUT, "norvictl: norvid is not connected\n")

    waiting = sandbox.spawn([norvictl, "wait-online", "--timeout", "60"])
    assert ctl("mode", "hybrid")[0] == 0
    assert waiting.wait(timeout=60) == 0
    assert read(ctl, "mode") == ["hybrid"]
    mode_line, header, wired, wireless = read(ctl, "status")
    assert (mode_line, header) == ("Mode: hybrid, connected",
                                   "INTERFACE  TYPE      STATE      ADDRESSES")
    assert re.fullmatch(r"eth0       wired     connected  10\.77\.0\.\d+/24( fe80::\S+/64)?",
                        wired), wired
    status = read(ctl, "status", "--json")
    details = read(ctl, "details", "--json")
    assert status == {"Mode": "HybridMode", "Connected": True,
                      "Interfaces": [details["wired"], details["wireless"]]}
    assert details["wired"] == read(ctl, "details", "eth0", "--json")
    assert "  Connected: yes" in read(ctl, "details")
    assert ctl("details", "nope0")[::2] == (FAILED, "norvictl: no interface nope0\n")
    code, _, error = ctl("wait-online", "--interface", "wlan0", "--timeout", "0")
    assert (code, error) == (TIMEOUT, "norvictl: wlan0 is not connected\n")

    assert read(ctl, "ip", "wired") == ["dhcp"]
    assert ctl("ip", "wired", "static", "10.77.0.20/24", "--gateway", "10.77.0.1", "--dns",
               "10.77.0.53", "--search", "sandbox.test")[0] == 0
    assert read(ctl, "ip", "wired") == [
        "static 10.77.0.20/24 gateway 10.77.0.1 dns 10.77.0.53 search sandbox.test"]
    assert read(ctl, "ip", "wired", "--json") == {
        "Ip": "10.77.0.20", "Netmask": "255.255.255.0", "Gateway": "10.77.0.1",
        "Dns": "10.77.0.53", "SearchDomains": "sandbox.test"}
    assert wait_until(lambda: "10.77.0.20/24" in read(ctl, "status")[2], 20)

    # A key left out comes from standard input, so it shows in no process list.
    assert ctl("wifi", "add", "Home", "--psk")[::2] == (BAD_ARGUMENTS, "norvictl: no key given "
                                                        "for Home (see norvictl --help)\n")
    assert ctl("wifi", "add", "Home", "--psk", input="my secret key\n")[0] == 0
    assert ctl("wifi", "add", "Café", "--open", "--priority", "2")[0] == 0
    assert ctl("wifi", "add", "Old", "--wep", "abcde")[0] == 0
    assert ctl("wifi", "remove", "Old")[0] == 0
    assert ctl("wifi", "remove", "Old")[::2] == (FAILED, 'norvictl: no network "Old" is '
                                                 'configured\n')
    assert read(ctl, "wifi", "list") == ["SSID  SECURITY   PRIORITY  KEY",
                                         "Café  unsecured  2         ",
                                         "Home  wpa-psk    0         (hidden)"]
    networks = read(ctl, "wifi", "list", "--json", "--show-keys")
    assert networks["Home"] == {"ssid": "Home", "type": "wpa-psk", "wpa_psk": "my secret key",
                                "priority": 0}
    assert read(ctl, "wifi", "list", "--json")["Home"]["wpa_psk"] == "(hidden)"

    assert ctl("log-level", "2")[0] == 0
    assert read(ctl, "log-level", "--json") == {"LogLevel": 2}
    assert ctl("mode", "off")[0] == 0
    assert ctl("scan")[::2] == (FAILED, "norvictl: norvid does not scan in off mode; choose "
                                "another mode first (norvictl mode ...)\n")
    assert wait_until(lambda: sum("Disconnected eth0" in line for line in watcher.lines) == 2)
    daemon.process.kill()
    assert watcher.wait_for("norvid left the bus")

    assert all(re.match(STAMP, line) for line in watcher.lines)
    assert not any("forged" in line for line in watcher.lines + json_watcher.lines)
    eth0 = [re.sub(STAMP, "", line) for line in watcher.lines if "eth0" in line or "Cable" in line]
    assert eth0[:9] == ["InterfaceStatusChanged eth0 down", "InterfaceStatusChanged eth0 up",
                    "CableStatus plugged in", "Connected eth0",
                    "Disconnecting eth0", "Disconnected eth0", "Connected eth0",
                    "Disconnecting eth0", "Disconnected eth0"], eth0
    assert json_watcher.wait_for('"stopped"')
    signals = [json.loads(line) for line in json_watcher.lines]
    assert [s["daemon"] for s in signals if "daemon" in s] == ["absent", "started", "stopped"]
    assert {"signal": "Connected", "args": ["eth0"]} in [
        {k: s[k] for k in ("signal", "args")} for s in signals if "signal" in s]


def test_scan_and_wps_results_from_a_stand_in_owner(sandbox, build_dir, ctl):
    # Scans and WPS need a radio; the stand-in answers them at once.
    owner = spawn(sandbox, owner_argv(build_dir))
    assert owner.wait_for("Serving the control interface")
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
