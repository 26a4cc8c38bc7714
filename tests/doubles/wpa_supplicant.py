"""A python-dbusmock template standing in for wpa_supplicant where the real one would need a
radio. It serves the members norvid uses with the real one's signatures and does what the real
one does by itself; the rest is the test's to script through org.freedesktop.DBus.Mock (the
system tests' WpaDouble), signals of the interface through dbusmock's own EmitSignal. Every call is recorded (`WpaCalls`) and can be made to fail (`Refuse`).
"""

import copy

import dbus
import dbus.lowlevel
import dbus.service
from dbusmock import MOCK_IFACE, mockobject

BUS_NAME = "fi.w1.wpa_supplicant1"
MAIN_OBJ = "/fi/w1/wpa_supplicant1"
MAIN_IFACE = "fi.w1.wpa_supplicant1"
SYSTEM_BUS = True

INTERFACE = MAIN_IFACE + ".Interface"
WPS = INTERFACE + ".WPS"
BSS = MAIN_IFACE + ".BSS"
NETWORK = MAIN_IFACE + ".Network"
INTERFACE_EXISTS = MAIN_IFACE + ".InterfaceExists"
INTERFACE_UNKNOWN = MAIN_IFACE + ".InterfaceUnknown"
NOT_CONNECTED = MAIN_IFACE + ".NotConnected"
FAILED = "org.freedesktop.DBus.Error.Failed"
UNCONNECTED_STATES = ("inactive", "disconnected", "interface_disabled")
# wpa_supplicant is started with this interface, as the sandbox starts the real one.
FIRST_INTERFACE = "wlan0"

_main = []  # the main object, once loaded
_calls = []  # (object path, member, arguments)
_refusals = {}  # member -> (error name, message)
_counters = {"interface": 0, "network": 0, "bss": 0}
_signal_poll = {"rssi": dbus.Int32(-50), "frequency": dbus.UInt32(2412)}


def _called(obj, member, *args):
    """Records a call of a wpa_supplicant member and fails it if the test asked for that."""
    _calls.append((obj.path, member, args))
    obj.log("%s %s%s" % (obj.path, member, mockobject._format_args(args)))
    if member in _refusals:
        name, message = _refusals[member]
        raise dbus.exceptions.DBusException(message, name=name)


def _path(parent, kind, counter):
    number = _counters[counter]
    _counters[counter] += 1
    return dbus.ObjectPath("%s/%s/%d" % (parent, kind, number))


def _properties(received):
    """Values received in variants as properties: without the variant, so that each keeps
    its own type."""
    def unwrapped(value):
        if isinstance(value, (dbus.Dictionary, dbus.Array)):
            return type(value)(value, signature=value.signature)
        return copy.copy(value)
    return {name: unwrapped(value) for name, value in received.items()}


def _serve(obj, namespace):
    """Serves the dbus-python methods of a namespace class on a mock object."""
    for name, function in vars(namespace).items():
        if hasattr(function, "_dbus_interface"):
            obj.methods.setdefault(function._dbus_interface, {})[name] = (
                function._dbus_in_signature, function._dbus_out_signature, "", function)


def _add_object(path, interface, properties):
    _main[0].AddObject(path, interface, properties, [])
    return mockobject.objects[path]


def _interface_object():
    """The interface the tests script: the one wpa_supplicant was started with."""
    return _main[0].interfaces[FIRST_INTERFACE]


class Main:
    @dbus.service.method(MAIN_IFACE, in_signature="a{sv}", out_signature="o")
    def CreateInterface(self, arguments):
        _called(self, "CreateInterface", arguments)
        name = str(arguments.get("Ifname", ""))
        if name in self.interfaces:
            raise dbus.exceptions.DBusException("wpa_supplicant already controls this interface.",
                                                name=INTERFACE_EXISTS)
        return _create_interface(self, name).path

    @dbus.service.method(MAIN_IFACE, in_signature="s", out_signature="o")
    def GetInterface(self, name):
        _called(self, "GetInterface", name)
        if name not in self.interfaces:
            raise dbus.exceptions.DBusException("wpa_supplicant knows nothing about this "
                                                "interface.", name=INTERFACE_UNKNOWN)
        return self.interfaces[name].path


class Interface:
    @dbus.service.method(INTERFACE, in_signature="a{sv}", out_signature="")
    def Scan(self, arguments):
        _called(self, "Scan", arguments)

    # The real one describes the reply as a{sv} but sends it wrapped in a variant; so does this.
    @dbus.service.method(INTERFACE, in_signature="", out_signature="a{sv}",
                         connection_keyword="connection", message_keyword="message",
                         async_callbacks=("_reply", "fail"))
    def SignalPoll(self, connection, message, _reply, fail):
        try:
            _called(self, "SignalPoll")
        except dbus.exceptions.DBusException as error:
            fail(error)
            return
        reply = dbus.lowlevel.MethodReturnMessage(message)
        reply.append(dbus.Dictionary(_signal_poll, signature="sv"), signature="v")
        connection.send_message(reply)

    @dbus.service.method(INTERFACE, in_signature="", out_signature="")
    def Disconnect(self):
        _called(self, "Disconnect")
        if self.props[INTERFACE]["State"] in UNCONNECTED_STATES:
            raise dbus.exceptions.DBusException("This interface is not connected",
                                                name=NOT_CONNECTED)
        _set_interface_properties(self, {"State": "disconnected",
                                         "CurrentBSS": dbus.ObjectPath("/")})

    @dbus.service.method(INTERFACE, in_signature="a{sv}", out_signature="o")
    def AddNetwork(self, parameters):
        _called(self, "AddNetwork", parameters)
        path = _path(self.path, "Networks", "network")
        _serve(_add_object(path, NETWORK, {"Enabled": dbus.Boolean(False)}), Properties)
        self.networks.append(path)
        return path

    @dbus.service.method(INTERFACE, in_signature="", out_signature="")
    def Reassociate(self):
        _called(self, "Reassociate")

    @dbus.service.method(INTERFACE, in_signature="", out_signature="")
    def RemoveAllNetworks(self):
        _called(self, "RemoveAllNetworks")
        for path in self.networks:
            _main[0].RemoveObject(path)
        self.networks = []


class Properties:
    # The real one refuses a value of another type, and a property keeps its type.
    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ssv", out_signature="")
    def Set(self, interface, name, value):
        current = self.props.get(interface, {}).get(name)
        if current is None or not isinstance(value, type(current)):
            raise dbus.exceptions.DBusException("wrong property type", name=FAILED)
        self.props[interface][name] = type(current)(value)


class Wps:
    @dbus.service.method(WPS, in_signature="a{sv}", out_signature="a{sv}")
    def Start(self, arguments):
        _called(self, "Start", arguments)
        return dbus.Dictionary({}, signature="sv")


def _create_interface(main, name):
    obj = _add_object(_path(MAIN_OBJ, "Interfaces", "interface"), INTERFACE, {
        "State": dbus.String("inactive"), "Ifname": dbus.String(name),
        "CurrentBSS": dbus.ObjectPath("/"), "CurrentAuthMode": dbus.String("INACTIVE")})
    obj.AddProperties(WPS, {"ProcessCredentials": dbus.Boolean(False)})
    obj.networks = []
    _serve(obj, Interface)
    _serve(obj, Wps)
    _serve(obj, Properties)
    main.interfaces[name] = obj
    return obj


def _set_interface_properties(obj, properties):
    obj.props[INTERFACE].update(_properties(properties))
    obj.EmitSignal(INTERFACE, "PropertiesChanged", "a{sv}", [properties])


def load(mock, _parameters):
    _main.append(mock)
    mock.interfaces = {}
    _serve(mock, Main)
    _create_interface(mock, FIRST_INTERFACE)


# -- what the tests script --------------------------------------------------------------------

@dbus.service.method(MOCK_IFACE, in_signature="a{sv}", out_signature="o")
def AddBSS(_self, properties):
    """A BSS object with the given properties (of whatever types), announced by BSSAdded."""
    interface = _interface_object()
    path = _path(interface.path, "BSSs", "bss")
    _add_object(path, BSS, _properties(properties))
    interface.EmitSignal(INTERFACE, "BSSAdded", "oa{sv}", [path, properties])
    return path


@dbus.service.method(MOCK_IFACE, in_signature="oa{sv}", out_signature="")
def ChangeBSS(_self, path, properties):
    """Changes properties of a BSS object and tells so, as the real one does, by its own
    PropertiesChanged."""
    bss = mockobject.objects[path]
    bss.props[BSS].update(_properties(properties))
    bss.EmitSignal(BSS, "PropertiesChanged", "a{sv}", [properties])


@dbus.service.method(MOCK_IFACE, in_signature="a{sv}", out_signature="")
def SetInterfaceProperties(_self, properties):
    """Sets the interface's properties ("State", "CurrentBSS", ...) and emits its
    PropertiesChanged with them."""
    _set_interface_properties(_interface_object(), properties)


@dbus.service.method(MOCK_IFACE, in_signature="a{sv}", out_signature="")
def SetSignalPoll(_self, values):
    _signal_poll.clear()
    _signal_poll.update(values)


@dbus.service.method(MOCK_IFACE, in_signature="sss", out_signature="")
def Refuse(_self, member, error_name, message):
    """Every later call of `member` fails with the given error; an empty name ends that."""
    if error_name:
        _refusals[member] = (error_name, message)
    else:
        _refusals.pop(member, None)


@dbus.service.method(MOCK_IFACE, in_signature="", out_signature="a(ssav)")
def WpaCalls(_self):
    return dbus.Array([dbus.Struct((path, member, dbus.Array(args, signature="v")))
                       for path, member, args in _calls], signature="(ssav)")
