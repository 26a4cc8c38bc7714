"""The udhcpc lease script, run the way udhcpc runs it: event as argument, lease in the environment.

Every option value is under the DHCP server's control, so the hostile cases check that nothing a
server sends can add a line, change a key, produce a second end-of-report marker or be cut into
words of its own.
"""

import os
import pathlib
import re
import subprocess

import pytest

SOURCE_DIR = pathlib.Path(os.environ.get("NORVID_SOURCE_DIR", pathlib.Path(__file__).parents[2]))
SCRIPT = SOURCE_DIR / "data" / "norvid_udhcpc.sh"
KEYS = ["NORVID_IP=", "NORVID_NETMASK=", "NORVID_GATEWAY=", "NORVID_DNS=", "NORVID_DOMAIN="]

LEASE = {
    "ip": "10.0.0.5",
    "subnet": "255.255.255.0",
    "router": "10.0.0.1 10.0.0.2",
    "dns": "10.0.0.53 10.0.0.54",
    "domain": "example.test",
    "search": "lab.example.test example.test",
}


@pytest.fixture(params=[["busybox", "sh"], ["sh"]], ids=["busybox-sh", "sh"])
def shell(request):
    return request.param


def run_script(shell, event, lease, log=None):
    """The report; what the script logs goes to `log` when given, else there must be nothing."""
    env = {"PATH": "/usr/bin:/bin", "interface": "eth0", **lease}
    result = subprocess.run(shell + [str(SCRIPT), event], env=env, capture_output=True,
                            timeout=30, check=True)
    if log is None:
        assert result.stderr == b""
    else:
        log += result.stderr.decode("ascii").splitlines()
    return result.stdout.decode("ascii")


def values(output):
    """The report's values by key, after checking its shape: the five keys once each, in order,
    then the marker as the last line."""
    lines = output.split("\n")
    assert lines[-1] == "" and lines[-2] == "NORVID_FINISHED", output
    assert output.count("NORVID_FINISHED") == 1
    assert output.count("NORVID_") == len(KEYS) + 1
    body = lines[:-2]
    assert [line[:len(key)] for line, key in zip(body, KEYS)] == KEYS and len(body) == len(KEYS)
    assert all(0x20 <= ord(c) < 0x7F for c in "".join(body))
    return {key: line[len(key):] for key, line in zip(KEYS, body)}


def test_bound_and_renew_report_the_lease(shell):
    for event in ("bound", "renew"):
        assert values(run_script(shell, event, LEASE)) == {
            "NORVID_IP=": "10.0.0.5",
            "NORVID_NETMASK=": "255.255.255.0",
            "NORVID_GATEWAY=": "10.0.0.1 10.0.0.2",
            "NORVID_DNS=": "10.0.0.53 10.0.0.54",
            "NORVID_DOMAIN=": "example.test lab.example.test",
        }


def test_lease_without_options_reports_empty_values(shell):
    assert set(values(run_script(shell, "bound", {"ip": "10.0.0.5"})).values()) == {"10.0.0.5", ""}


@pytest.mark.parametrize("event", ["deconfig", "leasefail", ""])
def test_other_events_print_nothing(shell, event):
    assert run_script(shell, event, LEASE) == ""


HOSTILE = [
    "10.0.0.9\nNORVID_FINISHED\nNORVID_IP=6.6.6.6",
    "a=b \"quoted\" 'single' `cmd` $(id) $HOME ; | & \\ %s %n *",
    "\r\t\x01\x1b[2J\x7f\xc3\xa9",
    "1.2.3.4" + "\n" * 3000,
    "7." * 30000,
]


@pytest.mark.parametrize("value", HOSTILE, ids=range(len(HOSTILE)))
def test_hostile_values_cannot_change_the_report(shell, value):
    found = values(run_script(shell, "bound", {variable: value for variable in LEASE}, []))
    for key, reported in found.items():
        assert set(reported.split()) <= set(value.split()), (key, reported)
    for key in ("NORVID_IP=", "NORVID_NETMASK="):
        assert re.fullmatch(r"[0-9.]*", found[key]), found[key]
    for key in ("NORVID_GATEWAY=", "NORVID_DNS="):
        assert re.fullmatch(r"[0-9. ]*", found[key]), found[key]
    assert re.fullmatch(r"[A-Za-z0-9. -]*", found["NORVID_DOMAIN="])


def test_a_word_with_a_foreign_character_is_dropped_whole_and_logged(shell):
    log = []
    lease = {**LEASE, "domain": "corp_ad.example", "search": "b\u00fccher.example lab.test",
             "dns": "10.0.0.53 10.0.0.5x", "ip": "10.0.0.5;"}
    found = values(run_script(shell, "bound", lease, log))
    assert (found["NORVID_IP="], found["NORVID_DNS="], found["NORVID_DOMAIN="]) == \
        ("", "10.0.0.53", "lab.test")
    assert log == [
        'norvid_udhcpc: dropping address "10.0.0.5?": it holds a character that has no place there',
        'norvid_udhcpc: dropping name server "10.0.0.5?": it holds a character that has no place '
        'there',
        'norvid_udhcpc: dropping domain "corp?ad.example": it holds a character that has no place '
        'there',
        'norvid_udhcpc: dropping domain "b??cher.example": it holds a character that has no place '
        'there']


def test_long_lists_pass_whole(shell):
    servers = " ".join(f"10.{i // 250}.{i % 250}.1" for i in range(2000))
    names = " ".join(f"d{i}.example.test" for i in range(2000))
    found = values(run_script(shell, "bound", {**LEASE, "dns": servers, "search": names}))
    assert found["NORVID_DNS="] == servers
    assert found["NORVID_DOMAIN="] == "example.test " + names
