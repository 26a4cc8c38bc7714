"""norvictl, the command-line client, against what serves the control interface in the sandbox
world: what each command prints for a person and as JSON, what reaches the daemon, and the exit
statuses a script relies on."""

import json
import re

import pytest

from conftest import READY, UNPRIVILEGED, Lines, wait_until

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

    code, _, error = ctl("mode", "wired", user=UNPRIVILEGED)
    assert (code, error) == (DENIED, "norvictl: access denied: only root (or a group the bus "
                             "policy names) may talk to norvid\n")
    assert read(ctl, "status") == ["Mode: off, not connected",
                                   "INTERFACE  TYPE      STATE   ADDRESSES",
                                   "eth0       wired     down    ",
                                   "wlan0      wireless  down    ",
                                   "uap0       soft AP   absent  "]
    code, _, error = ctl("wait-online", "--timeout", "1")
    assert (code, error) == (TIMEOUT, "norvictl: norvid is not connected\n")

    waiting = sandbox.spawn([norvictl, "wait-online", "--timeout", "60"])
    assert ctl("mode", "wired")[0] == 0
    assert waiting.wait(timeout=60) == 0
    assert read(ctl, "mode") == ["wired"]
    mode_line, header, wired, *_ = read(ctl, "status")
    assert (mode_line, header) == ("Mode: wired, connected",
                                   "INTERFACE  TYPE      STATE      ADDRESSES")
    assert re.fullmatch(r"eth0       wired     connected  10\.77\.0\.\d+/24( fe80::\S+/64)?",
                        wired), wired
    status = read(ctl, "status", "--json")
    details = read(ctl, "details", "--json")
    assert status == {"Mode": "WiredMode", "Connected": True,
                      "Interfaces": [details["wired"], details["wireless"],
                                     {"Interface": "uap0", "Present": 0}]}
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
    assert ctl("wifi", "add", "Home", "--psk")[::2] == (
        BAD_ARGUMENTS, "norvictl: no key given for Home (see norvictl wifi add --help)\n")
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


def finished(command, timeout=30):
    """Exit status and output lines of a spawned command once it has ended."""
    command.process.wait(timeout=timeout)
    assert wait_until(lambda: command.ended)
    return command.process.returncode, command.lines


def answered(sandbox, radio, argv, member, *answers):
    """Exit status and output of a command that waits for the radio: once the daemon has called
    the member, the radio gives the answers (its own methods and their arguments)."""
    calls = len(radio.calls(member))
    command = spawn(sandbox, argv)
    radio.wait_for_call(member, calls + 1)
    for answer, *args in answers:
        answer(*args)
    return finished(command)


def test_scan_and_wps_wait_for_what_the_radio_reports(make_sandbox, norvid_binary, norvictl):
    sandbox = make_sandbox(supplicant="double")
    radio = sandbox.start_wpa_double()
    sandbox.plug("wlan0")
    daemon = spawn(sandbox, [str(norvid_binary)])
    assert daemon.wait_for(READY)
    assert sandbox.run([norvictl, "mode", "wireless"]).returncode == 0
    # wpa_supplicant brings the link up; the double leaves that to the test.
    sandbox.run(["ip", "link", "set", "wlan0", "up"], check=True)
    radio.add_bss(ssid="Home", bssid="02:00:00:00:00:01", signal=-60, frequency=2437)
    radio.add_bss(ssid="Café", bssid="02:00:00:00:00:02", signal=-40, frequency=5180)

    assert answered(sandbox, radio, [norvictl, "scan"], "Scan", (radio.scan_done,)) == (0, [
        "SSID  SIGNAL  CHANNEL  SECURITY   BSSID",
        "Café  -40     36       unsecured  02:00:00:00:00:02",
        "Home  -60     6        unsecured  02:00:00:00:00:01"])
    code, lines = answered(sandbox, radio, [norvictl, "scan", "--json"], "Scan",
                           (radio.scan_done,))
    assert [(ap["ssid"], ap["signal"], ap["frequency"]) for ap in json.loads(lines[0])] == [
        ("Café", -40, 5180), ("Home", -60, 2437)]

    code, lines = answered(sandbox, radio, [norvictl, "wps", "pbc", "--json"], "Start",
                           (radio.wps_credentials, "HomeNet", "secret-key"),
                           (radio.wps_event, "success"))
    assert (code, json.loads(lines[0])) == (0, {"ssid": "HomeNet", "type": "wpa-psk",
                                                "wpa_psk": "(hidden)", "priority": 0})
    assert answered(sandbox, radio, [norvictl, "wps", "pin", "12345670"], "Start",
                    (radio.wps_event, "fail")) == (FAILED, ["norvictl: WPS failed"])
    assert answered(sandbox, radio, [norvictl, "wps", "pbc", "--timeout", "1"], "Start") == (
        TIMEOUT, ["norvictl: WPS gave no result in time"])
