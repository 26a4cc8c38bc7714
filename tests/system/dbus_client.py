#!/usr/bin/python3
"""A client of the control interface on the system bus, run inside the sandbox world.

Prints results as JSON; a D-Bus error prints {"error": <error name>} and exits with 2.

  dbus_client.py call METHOD [STRING|JSON-OBJECT...]
  dbus_client.py get PROPERTY
  dbus_client.py set PROPERTY JSON
  dbus_client.py listen SECONDS [anyone]
                                     prints "listening", then one JSON line per signal
                                     (member, signature, args); from the name's owner only
                                     unless "anyone"
"""
import json
import sys

import dbus
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "com.brenvik.norvi"
PATH = "/com/brenvik/norvi"
INTERFACE = "com.brenvik.norvi"


def plain(value):
    """dbus-python values as JSON values."""
    if isinstance(value, dbus.ByteArray):
        return list(bytes(value))
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, dbus.Boolean):
        return bool(value)
    for kind in (int, float, str):
        if isinstance(value, kind):
            return kind(value)
    return value


def variant_map(value):
    """A JSON object as a{sv}, nested objects as a{sv} again."""
    return dbus.Dictionary(
        {k: variant_map(v) if isinstance(v, dict) else v for k, v in value.items()},
        signature="sv")


def proxy(bus):
    return bus.get_object(NAME, PATH, introspect=False)


def call(bus, args):
    method = proxy(bus).get_dbus_method(args[0], INTERFACE)
    result = method(*[variant_map(json.loads(a)) if a.startswith("{") else dbus.String(a)
                      for a in args[1:]])
    return json.dumps(plain(result))


def get(bus, args):
    value = proxy(bus).Get(INTERFACE, args[0], dbus_interface=dbus.PROPERTIES_IFACE)
    return json.dumps(plain(value))


def set_property(bus, args):
    value = json.loads(args[1])
    if isinstance(value, dict):
        value = variant_map(value)
    proxy(bus).Set(INTERFACE, args[0], value, dbus_interface=dbus.PROPERTIES_IFACE,
                   signature="ssv")
    return json.dumps(None)


def listen(bus, args):
    loop = GLib.MainLoop()

    def received(*arguments, message=None):
        print(json.dumps({"member": message.get_member(), "signature": message.get_signature(),
                          "args": plain(list(arguments))}), flush=True)

    # Only the name's owner speaks for the daemon: anyone else may send signals that look alike.
    sender = None if args[1:] == ["anyone"] else NAME
    bus.add_signal_receiver(received, dbus_interface=INTERFACE, path=PATH, bus_name=sender,
                            message_keyword="message")
    # A round trip to the bus makes sure the match rule is in place before we say so.
    bus.get_unique_name()
    bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "GetId", "", [])
    print("listening", flush=True)
    GLib.timeout_add(int(float(args[0]) * 1000), loop.quit)
    loop.run()
    return None


COMMANDS = {"call": call, "get": get, "set": set_property, "listen": listen}


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    try:
        output = COMMANDS[sys.argv[1]](bus, sys.argv[2:])
    except dbus.exceptions.DBusException as error:
        print(json.dumps({"error": error.get_dbus_name()}))
        sys.exit(2)
    if output is not None:
        print(output)


if __name__ == "__main__":
    main()
