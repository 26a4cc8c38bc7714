"""The control interface on the sandbox's system bus, served by a stand-in owner through the
daemon's registration routine, under the daemon's own bus policy."""
import json
import xml.etree.ElementTree as ET

import pytest

from conftest import Lines as Output

NAME = "com.brenvik.norvi"
UNPRIVILEGED = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]


@pytest.fixture
def client(sandbox, source_dir):
    """Runs the bus client inside the sandbox: client(*args, user=[]) -> (exit code, output)."""
    script = str(source_dir / "tests/system/dbus_client.py")

    def run(*args, user=()):
        result = sandbox.run([*user, "python3", script, *args],
                             env={"PYTHONDONTWRITEBYTECODE": "1"}, timeout=30)
        assert result.stderr == "", result.stderr
        return result.returncode, result.stdout

    return run


def owner_argv(build_dir):
    # The losing owner aborts on purpose; it should leave no core file behind.
    return ["sh", "-c", 'ulimit -c 0; exec "$0"', str(build_dir / "tests/helpers/dbus_owner")]


@pytest.fixture
def owner(sandbox, build_dir, client):
    output = Output(sandbox.spawn(owner_argv(build_dir)))
    code, _ = client("wait-name", "10")
    assert code == 0, "owner never took the name:\n" + "\n".join(output.lines)
    return output


def reply(client, *args, user=()):
    code, output = client(*args, user=user)
    value = json.loads(output.splitlines()[-1]) if output else None
    return code, value


def tree(element):
    return element.tag, element.attrib, [tree(child) for child in element]


def test_introspection_describes_the_whole_interface(owner, client, source_dir):
    description = ET.parse(source_dir / "src/norvid/dbus/com.brenvik.norvi.xml")
    for user in ((), UNPRIVILEGED):
        code, output = client("introspect", user=user)
        assert code == 0, output
        interface = ET.fromstring(output).find(f"interface[@name='{NAME}']")
        assert tree(interface) == tree(description.find(f"interface[@name='{NAME}']"))
        properties = {p.get("name"): (p.get("type"), p.get("access"))
                      for p in interface.findall("property")}
        methods = {m.get("name"): [(a.get("name"), a.get("type"), a.get("direction"))
                                   for a in m.findall("arg")]
                   for m in interface.findall("method")}
        signals = {s.get("name"): [(a.get("name"), a.get("type")) for a in s.findall("arg")]
                   for s in interface.findall("signal")}
        assert (len(properties), len(methods), len(signals)) == (8, 9, 14)
        assert properties["WirelessNetworks"] == ("a{sv}", "readwrite")
        assert methods["InterfaceDetails"] == [("interface", "s", "in"),
                                               ("details", "a{sv}", "out")]
        # Argument names with blanks survive the generated adaptor.
        assert signals["StationConnected"] == [("Hardware address", "s")]


def test_calls_and_properties_reach_the_owner(owner, client):
    assert reply(client, "call", "SetNormalMode", "wired") == (0, None)
    assert reply(client, "get", "Mode") == (0, "wired")
    assert reply(client, "call", "InterfaceDetails", "eth0") == (0, {"Interface": "eth0"})
    networks = {"Home": {"wpa_psk": "secret-key", "priority": 3}, "Open": {}}
    assert reply(client, "set", "WirelessNetworks", json.dumps(networks)) == (0, None)
    assert reply(client, "get", "WirelessNetworks") == (0, networks)
    assert reply(client, "set", "LogLevel", "0") == (0, None)
    assert reply(client, "get", "LogLevel") == (0, 0)


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
    holds its value, every other one reads as before. Whoever serves the object, a write that
    lands on another property shows."""
    before = {name: reply(client, "get", name) for name in WRITES}
    for name, value in WRITES.items():
        assert reply(client, "set", name, json.dumps(value)) == (0, None), name
        after = {name: reply(client, "get", name) for name in WRITES}
        assert after[name][0] == 0 and holds(after[name][1], value), (name, after[name])
        assert {n: v for n, v in after.items() if n != name} == \
            {n: v for n, v in before.items() if n != name}, name
        before = after


def test_each_write_lands_on_its_own_property(owner, client):
    check_each_write_lands_on_its_own_property(client)


def test_a_second_owner_ends_and_the_first_keeps_serving(sandbox, owner, client, build_dir):
    second = sandbox.run(owner_argv(build_dir), timeout=30)
    assert second.returncode != 0
    lines = second.stdout.splitlines()
    assert lines[-2].endswith(f'There is already a dbus service at"{NAME}", exiting!')
    assert " FATAL " in lines[-1] and lines[-1].endswith("Aborting program due to fatal error!")
    assert owner.process.poll() is None
    assert reply(client, "get", "Mode") == (0, "OffMode")


def test_without_a_bus_the_owner_ends_naming_the_missing_bus(sandbox, build_dir):
    result = sandbox.run(owner_argv(build_dir), timeout=30,
                         env={"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/run/no-such-bus"})
    assert result.returncode != 0
    lines = result.stdout.splitlines()
    assert "No connection to the D-Bus system bus: " in lines[-2], result.stdout
    assert lines[-1].endswith("Aborting program due to fatal error!")


def test_a_value_of_another_type_is_logged_and_dropped(sandbox, owner, client):
    # A map of texts where the interface has variants used to end the owner inside libdbus.
    for value in (["WirelessNetworks", "a{ss}", "1", "Evil", "x"], ["WirelessNetworks", "s", "x"],
                  ["LogLevel", "s", "0"], ["LogLevel", "u", "0"]):
        result = sandbox.run(["busctl", "set-property", NAME, "/com/brenvik/norvi", NAME, *value],
                             timeout=30)
        assert (result.returncode, result.stderr) == (0, ""), value
    assert owner.wait_for('SET: LogLevel: refusing a value of D-Bus type "u" where i is expected')
    assert sum("WirelessNetworks: refusing a value of D-Bus type" in line
               for line in owner.lines) == 2
    assert reply(client, "get", "WirelessNetworks") == (0, {})
    assert reply(client, "get", "LogLevel") == (0, 1)
    assert owner.process.poll() is None


def listen(sandbox, source_dir, user=()):
    listener = sandbox.spawn([*user, "python3", str(source_dir / "tests/system/dbus_client.py"),
                              "listen", "5"], env={"PYTHONDONTWRITEBYTECODE": "1"})
    assert listener.stdout.readline().strip() == "listening"
    return listener


def received(listener):
    output = listener.communicate(timeout=20)[0]
    return [json.loads(line) for line in output.splitlines()]


def test_signals_that_match_the_interface_are_relayed(sandbox, source_dir, owner, client):
    root = listen(sandbox, source_dir)
    nobody = listen(sandbox, source_dir, UNPRIVILEGED)
    assert reply(client, "call", "Scan") == (0, None)
    assert reply(client, "call", "WpsPbc") == (0, None)
    root_signals, nobody_signals = received(root), received(nobody)

    # The owner also emits AuthError and Connected with arguments the interface does not
    # have: those stay off the bus.
    assert [s["member"] for s in root_signals] == ["ScanResults", "WpsCredentials"]
    scan = root_signals[0]
    assert scan["signature"] == "a{sv}"
    results = scan["args"][0]
    assert sorted(results) == ["Café", "Home"]
    assert results["Home"]["signal"] == -50 and results["Café"]["ssid"] == "Café"
    assert results["Home"]["ies"] == [0, 4, 116, 101, 115, 116]
    assert root_signals[1]["args"][0]["wpa_psk"] == "secret-key"

    # Everyone hears scans; the key a WPS session delivered goes to privileged clients only.
    assert [s["member"] for s in nobody_signals] == ["ScanResults"]
    assert nobody_signals[0]["args"] == scan["args"]


# A listener that takes every signal of the interface, whoever sent it.
FROM_ANYONE = f"""
import dbus, dbus.mainloop.glib, json
from gi.repository import GLib
bus = dbus.SystemBus(mainloop=dbus.mainloop.glib.DBusGMainLoop())
bus.add_signal_receiver(lambda *a, m: print(json.dumps({{"member": m.get_member()}}), flush=True),
                        dbus_interface="{NAME}", message_keyword="m")
print("listening" if bus.get_name_owner("org.freedesktop.DBus") else "", flush=True)
GLib.timeout_add(5000, (loop := GLib.MainLoop()).quit)
loop.run()
"""


def forge(sandbox, member, argument, user=()):
    sandbox.run([*user, "dbus-send", "--system", "--type=signal", "/com/brenvik/norvi",
                 f"{NAME}.{member}", argument], timeout=30, check=True)


def test_nobody_but_the_daemon_speaks_for_it(sandbox, source_dir, owner, client):
    anyone = sandbox.spawn(["python3", "-c", FROM_ANYONE])
    assert anyone.stdout.readline().strip() == "listening"
    listener = listen(sandbox, source_dir)
    # The bus refuses an unprivileged sender; the project's clients ignore a privileged one
    # that does not own the name.
    forge(sandbox, "WpsCredentials", "dict:string:string:wpa_psk,attackers-key", UNPRIVILEGED)
    forge(sandbox, "Connected", "string:eth0")
    assert reply(client, "call", "Scan") == (0, None)
    assert [s["member"] for s in received(anyone)] == ["Connected", "ScanResults"]
    assert [s["member"] for s in received(listener)] == ["ScanResults"]


def test_only_the_interface_is_served(owner, client):
    # QObject's own property is no business of clients.
    assert reply(client, "get", "objectName") == \
        (2, {"error": "org.freedesktop.DBus.Error.UnknownProperty"})
    assert reply(client, "set", "objectName", '"x"')[0] == 2


def test_policy_keeps_unprivileged_clients_out(owner, client):
    denied = (2, {"error": "org.freedesktop.DBus.Error.AccessDenied"})
    assert reply(client, "get", "WirelessNetworks", user=UNPRIVILEGED) == denied
    assert reply(client, "set", "WirelessNetworks", '{"Evil": {}}', user=UNPRIVILEGED) == denied
    assert reply(client, "call", "SetNormalMode", "wired", user=UNPRIVILEGED) == denied
    # Nothing of the refused writes and calls arrived.
    assert reply(client, "get", "WirelessNetworks") == (0, {})
    assert reply(client, "get", "Mode") == (0, "OffMode")


def test_only_root_may_own_the_name(sandbox, build_dir):
    result = sandbox.run([*UNPRIVILEGED, *owner_argv(build_dir)], timeout=30)
    assert result.returncode != 0
    assert 'There is already a dbus service at"com.brenvik.norvi", exiting!' in result.stdout
    assert f'Nobody owns "{NAME}", so the bus policy does not let this process own it' in result.stdout
