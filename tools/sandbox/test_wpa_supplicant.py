"""wpa_supplicant on the sandbox's bus: the real one started by the bus as a device's bus
starts it, and the double standing in for it where a radio is needed, held to the real one's
interface."""
import xml.etree.ElementTree as ET

import dbus
import pytest
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

from conftest import SUPPLICANT, SUPPLICANT_PATH, wait_until

INTERFACE = SUPPLICANT + ".Interface"
WPS = INTERFACE + ".WPS"
NETWORK = SUPPLICANT + ".Network"
BSS = SUPPLICANT + ".BSS"
OPEN_NETWORK = dbus.Dictionary({"ssid": '"HomeNet"', "key_mgmt": "NONE", "priority": 5},
                               signature="sv")

# What norvid uses of wpa_supplicant, by interface: methods, properties, signals.
USED = {
    SUPPLICANT: (("CreateInterface", "GetInterface"), (), ()),
    INTERFACE: (("RemoveAllNetworks", "Disconnect", "AddNetwork", "Reassociate", "Scan",
                 "SignalPoll"), ("State", "CurrentBSS", "CurrentAuthMode", "Ifname"),
                ("PropertiesChanged", "BSSAdded", "BSSRemoved", "ScanDone")),
    WPS: (("Start",), ("ProcessCredentials",), ("Event", "Credentials")),
    NETWORK: ((), ("Enabled",), ()),
}
# The wired driver never makes a BSS object to look at: its types as wpa_supplicant documents
# them.  NetworkTempDisabled is not in Debian's build; the device's carries it.
BSS_TYPES = {"SSID": "ay", "BSSID": "ay", "IEs": "ay", "Signal": "n", "Frequency": "q",
             "Privacy": "b", "WPA": "a{sv}", "RSN": "a{sv}"}
OWN_SIGNALS = {(INTERFACE, "NetworkTempDisabled"): "a{sv}", (BSS, "PropertiesChanged"): "a{sv}"}


def call(bus, path, interface, method, *args, **options):
    return bus.get_object(SUPPLICANT, path, introspect=False).get_dbus_method(method, interface)(
        *args, **options)


def error_of(function, *args):
    with pytest.raises(dbus.DBusException) as raised:
        function(*args)
    return raised.value.get_dbus_name()


def attach(bus):
    """What norvid does first: create the interface, or find it when it exists."""
    name = error_of(call, bus, SUPPLICANT_PATH, SUPPLICANT, "CreateInterface",
                    dbus.Dictionary({"Ifname": "wlan0", "Driver": "nl80211"}, signature="sv"))
    assert name == SUPPLICANT + ".InterfaceExists"
    return get_interface(bus)


def get_interface(bus):
    return call(bus, SUPPLICANT_PATH, SUPPLICANT, "GetInterface", "wlan0")


def enable(bus, interface, network):
    path = call(bus, interface, INTERFACE, "AddNetwork", network)
    call(bus, path, dbus.PROPERTIES_IFACE, "Set", NETWORK, "Enabled", True,
         signature="ssv")
    call(bus, interface, INTERFACE, "Reassociate")
    return path


def state(bus, interface):
    return call(bus, interface, dbus.PROPERTIES_IFACE, "Get", INTERFACE, "State")


def test_the_bus_starts_the_real_one_again_after_each_end_unless_absent(make_sandbox):
    world = make_sandbox(supplicant="real")
    bus = world.bus()
    interface = attach(bus)
    enable(bus, interface, OPEN_NETWORK)
    assert wait_until(lambda: state(bus, interface) == "completed", timeout=5)
    first = world.supplicant_pid()
    world.kill_supplicant()
    assert attach(bus) == interface and world.supplicant_pid() not in (None, first)
    world.set_supplicant_absent(True)
    world.kill_supplicant()
    assert error_of(get_interface, bus) == "org.freedesktop.DBus.Error.Spawn.ChildExited"


def test_the_double_does_what_the_real_one_does_by_itself_and_what_it_is_told(sandbox):
    wpa = sandbox.start_wpa_double()
    bus = sandbox.bus()
    interface = attach(bus)
    networks = {enable(bus, interface, OPEN_NETWORK) for _ in range(2)}
    assert len(networks) == 2 and wpa.calls("AddNetwork")[1] == (interface, "AddNetwork",
                                                                  [OPEN_NETWORK])
    wpa.set_signal_poll({"rssi": dbus.Int32(-61)})
    assert call(bus, interface, INTERFACE, "SignalPoll") == {"rssi": -61}
    wpa.set_state("completed")
    call(bus, interface, INTERFACE, "Disconnect")
    assert state(bus, interface) == "disconnected"
    assert error_of(call, bus, interface, INTERFACE, "Disconnect") == SUPPLICANT + ".NotConnected"
    wpa.refuse("Scan", SUPPLICANT + ".Interface.ScanError", "busy")
    assert error_of(call, bus, interface, INTERFACE, "Scan",
                    dbus.Dictionary({"Type": "active"}, signature="sv")) \
        == SUPPLICANT + ".Interface.ScanError"
    wpa.vanish()
    assert error_of(get_interface, bus) == "org.freedesktop.DBus.Error.Spawn.ChildExited"
    wpa.come_back()
    assert attach(bus) == interface and wpa.calls("AddNetwork") == []


def signature(member):
    """A property's type, a method's arguments as "in:s" and "out:o", a signal's signature."""
    if member.tag == "property":
        return member.get("type")
    return "".join(("%s:" % arg.get("direction") if member.tag == "method" else "")
                   + arg.get("type") for arg in member)


def members(bus, path):
    """{(interface, kind, name): signature} of an object's introspection."""
    xml = call(bus, path, "org.freedesktop.DBus.Introspectable", "Introspect")
    return {(interface.get("name"), member.tag, member.get("name")): signature(member)
            for interface in ET.fromstring(xml).iter("interface") for member in interface}


def used_members(bus, interface, network):
    found = {**members(bus, SUPPLICANT_PATH), **members(bus, interface), **members(bus, network)}
    return {key: found.get(key) for name, kinds in USED.items()
            for tag, used in zip(("method", "property", "signal"), kinds)
            for key in ((name, tag, member) for member in used)}


def emitted_signals(world, wpa, interface):
    """{(interface, signal): signature} of what the double emits when scripted."""
    loop_bus = dbus.bus.BusConnection(world.bus_address(), mainloop=DBusGMainLoop())
    emitted = {}
    loop_bus.add_signal_receiver(
        lambda *_, message: emitted.setdefault((message.get_interface(), message.get_member()),
                                               message.get_signature()),
        bus_name=SUPPLICANT, message_keyword="message")
    loop_bus.get_unique_name()
    bss = wpa.add_bss()
    wpa.change_bss(bss, {"Signal": dbus.Int16(-70)})
    wpa.remove_bss(bss)
    wpa.scan_done()
    wpa.set_state("completed")
    wpa.network_temp_disabled(interface + "/Networks/0")
    wpa.wps_event("success")
    wpa.wps_credentials("HomeNet", "secret")
    context = GLib.MainContext.default()

    def all_came():
        while context.iteration(False):
            pass
        return len(ours(emitted)) == 8
    assert wait_until(all_came, interval=0.01), emitted
    return ours(emitted)


def ours(emitted):
    """Leaves out the mock's own signals."""
    return {key: value for key, value in emitted.items() if key[0].startswith(SUPPLICANT)}


def without_signals(found):
    return {key: value for key, value in found.items() if key[1] != "signal"}


def test_the_double_has_the_real_ones_members_with_their_types(make_sandbox):
    world = make_sandbox(supplicant="real")
    bus = world.bus()
    interface = attach(bus)
    real = used_members(bus, interface, enable(bus, interface, OPEN_NETWORK))
    wpa = world.start_wpa_double()
    assert attach(bus) == interface
    double = used_members(bus, interface, enable(bus, interface, OPEN_NETWORK))
    assert None not in real.values() and without_signals(double) == without_signals(real)
    # The mock does not describe its signals: what it sends is compared instead.
    emitted = emitted_signals(world, wpa, interface)
    assert {(name, "signal", member): signature
            for (name, member), signature in emitted.items()
            if (name, member) not in OWN_SIGNALS} == {
                key: value for key, value in real.items() if key[1] == "signal"}
    assert {key: emitted[key] for key in OWN_SIGNALS} == OWN_SIGNALS
    bss = members(bus, wpa.add_bss())
    assert {name: bss[(BSS, "property", name)] for name in BSS_TYPES} == BSS_TYPES
