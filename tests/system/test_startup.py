"""Start-up of the real daemon in the sandbox world: command line, exit statuses, the clean-up
commands, the search path they are looked up on, and their effect on the device's links and
stale daemons."""

import re
import time

import pytest

from conftest import (LOG_LINE, READY, RECORD, STAND_IN_ENV, STAND_INS, TEST_PATH, Lines, parse_log,
                      recorded, wait_until)

DEFAULT_PATH = "/sbin:/bin:/usr/sbin:/usr/bin"
HELP = (
    "norvid arguments:\n\t-d\tIncrease debug level\n\t-m\tMonitor mode (Don't change anything)\n"
    "\t--wired-interface - default wired interface: eth0\n"
    "\t--wireless interface - default wireless interface: wlan0"
    "\t--softap interfaces (separated by comma) - default sofap interface: uap0\n"
)
KILLALL = ["killall", "wpa_supplicant", "udhcpd", "udhcpc", "hostapd", "dnsd"]


def clean_up(*names):
    """The commands a normal start runs, in their order, for these interface names."""
    commands = [KILLALL]
    for name in names:
        commands += [
            ["ip", "link", "set", "dev", name, "down"],
            ["ip", "-4", "addr", "flush", "dev", name],
            ["ip", "-6", "addr", "flush", "dev", name, "scope", "global"],
        ]
    return commands


def after_clean_up(calls, *names):
    """The commands run after the clean-up ones, which must come first and in order. Only the
    manager's off mode may follow, which only stops things: links down, addresses flushed, a
    stray wpa_supplicant ended."""
    commands = [argv for _, argv in calls]
    expected = clean_up(*names)
    assert commands[: len(expected)] == expected
    later = commands[len(expected):]
    assert all(argv[0] == "killall" or "down" in argv or "flush" in argv for argv in later), later
    return later


class Daemon(Lines):
    """The daemon running in the sandbox, its standard output read line by line."""

    def __init__(self, sandbox, argv, env):
        super().__init__(sandbox.spawn(argv, env=env))
        self.sandbox = sandbox

    def kill(self):
        """Ends the daemon by its own process id, as seen in its log lines."""
        pid = LOG_LINE.match(self.lines[0]).group(1)
        self.sandbox.run(["kill", "-KILL", pid], check=True)
        self.process.wait(timeout=30)

    @property
    def log(self):
        return parse_log(self.lines)


def run_until_ready(sandbox, binary, args, env=None):
    """Starts the daemon, checks that it reaches and stays in its event loop, then kills it."""
    daemon = Daemon(sandbox, [str(binary), *args], STAND_IN_ENV if env is None else env)
    assert daemon.wait_for(READY), "\n".join(daemon.lines)
    time.sleep(0.5)
    assert daemon.process.poll() is None, "the daemon left its event loop"
    daemon.kill()
    return daemon


@pytest.mark.parametrize(
    "args, names",
    [
        ([], ["eth0", "wlan0", "uap0"]),
        (["--softap", "a,,b"], ["eth0", "wlan0", "a", "", "b"]),
        # The last value counts, and a value may begin with '-'.
        (["--wired", "x", "--wired", "eth1", "--wireless", "-m"], ["eth1", "-m", "uap0"]),
    ],
    ids=["defaults", "softap list with empty name", "last value, dash value"],
)
def test_clean_up_commands_run_in_order_on_the_given_path(stand_ins, norvid_binary, args, names):
    daemon = run_until_ready(stand_ins, norvid_binary, args)
    calls = recorded(stand_ins)
    after_clean_up(calls, *names)
    assert {path for path, _ in calls} == {TEST_PATH}
    levels = [level for level, _, _ in daemon.log]
    # The start-up's own lines; the wired controller finds no carrier to read on a down link.
    assert "DEBUG" not in levels
    assert [line for line in daemon.log if line[:2] == ("ERROR", "Norvid.cpp")] == []
    assert daemon.log[0] == ("INFO", "Norvid.cpp", "norvid version: 1.99")


def test_unknown_argument_is_logged_and_debug_still_follows(stand_ins, norvid_binary):
    daemon = run_until_ready(stand_ins, norvid_binary, ["--bogus", "-d"])
    assert ("ERROR", "Norvid.cpp", "\"Unknown argument '--bogus'\"") in daemon.log
    debug = [message for level, _, message in daemon.log if level == "DEBUG"]
    assert 'NorviProcess executing: "killall wpa_supplicant udhcpd udhcpc hostapd dnsd"' in debug
    after_clean_up(recorded(stand_ins), "eth0", "wlan0", "uap0")


@pytest.mark.parametrize(
    "args, errors",
    [
        (["-h"], []),
        # Parsing stops at the help option: the missing value after it is never seen.
        (["--bogus", "-d", "--help", "--wired"], ["\"Unknown argument '--bogus'\""]),
        # Arguments the platform would take for itself are the daemon's to judge.
        (["--qmljsdebugger", "x", "-h"],
         ["\"Unknown argument '--qmljsdebugger'\"", "\"Unknown argument 'x'\""]),
    ],
    ids=["-h", "stops parsing", "platform arguments"],
)
def test_help_prints_text_and_exits_1(stand_ins, norvid_binary, args, errors):
    result = stand_ins.run([str(norvid_binary), *args], env=STAND_IN_ENV, timeout=30)
    assert result.returncode == 1
    assert result.stdout.endswith(HELP)
    log = result.stdout[: -len(HELP)].splitlines()
    assert parse_log(log) == [("INFO", "Norvid.cpp", "norvid version: 1.99")] + [
        ("ERROR", "Norvid.cpp", error) for error in errors
    ]
    assert recorded(stand_ins) == []


@pytest.mark.parametrize("args", [["--wired"], ["-m", "--softap"]])
def test_missing_value_exits_255_before_changing_anything(stand_ins, norvid_binary, args):
    result = stand_ins.run([str(norvid_binary), *args], env=STAND_IN_ENV, timeout=30)
    assert result.returncode == 255
    log = parse_log(result.stdout.splitlines())
    assert log[-1] == ("ERROR", "Norvid.cpp", f"\"Missing value for argument '{args[-1]}'\"")
    assert recorded(stand_ins) == []


def test_missing_path_gets_the_default(stand_ins, norvid_binary):
    # With no PATH the daemon looks up the system's own killall and ip; in a mount namespace of
    # this test only (private, so nothing leaks into the sandbox) they are the stand-ins.
    binds = []
    for name in ("killall", "ip"):
        found = stand_ins.run(["sh", "-c", f'readlink -f "$(command -v {name})"'], check=True)
        binds.append(f"/usr/bin/mount --bind {STAND_INS}/{name} {found.stdout.strip()}")
    script = " && ".join(binds + [f"exec /usr/bin/env -u PATH {norvid_binary}"])
    argv = ["/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script]
    run_until_ready(stand_ins, argv[0], argv[1:], env={"PATH": None, "NORVID_TEST_RECORD": RECORD})
    calls = recorded(stand_ins)
    after_clean_up(calls, "eth0", "wlan0", "uap0")
    assert {path for path, _ in calls} == {DEFAULT_PATH}


def test_clean_up_takes_links_down_and_ends_stale_daemons(sandbox, norvid_binary):
    # The real killall and ip, inside the sandbox: what an earlier run left behind goes away.
    sandbox.run(["ip", "link", "set", "dev", "eth0", "up"], check=True)
    sandbox.run(["ip", "addr", "add", "10.77.0.2/24", "dev", "eth0"], check=True)
    sandbox.run(["mkdir", "-p", "/tmp/stale"], check=True)
    for name in ("udhcpc", "hostapd"):
        sandbox.run(["cp", "/bin/sleep", f"/tmp/stale/{name}"], check=True)
        sandbox.spawn([f"/tmp/stale/{name}", "600"])
    for name in ("udhcpc", "hostapd"):
        assert wait_until(lambda: sandbox.run(["pgrep", "-x", name]).returncode == 0)

    daemon = run_until_ready(sandbox, norvid_binary, [], env={})
    link = sandbox.run(["ip", "-o", "link", "show", "dev", "eth0"], check=True).stdout
    assert re.search(r"<[^>]*\bUP\b", link) is None, link
    assert sandbox.run(["ip", "-o", "-4", "addr", "show", "dev", "eth0"]).stdout == ""
    for name in ("udhcpc", "hostapd"):
        assert sandbox.run(["pgrep", "-x", name]).returncode == 1
    # uap0 does not exist here: its commands fail, are logged, and start-up goes on.
    errors = [message for level, _, message in daemon.log if level == "ERROR"]
    assert 'NorviProcess: "ip link set dev uap0 down" finished with error code: 1' in errors

