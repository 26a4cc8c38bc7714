#!/usr/bin/env python3
"""The benchmark's observer inside the device world.

It reads one JSON command a line on standard input and answers with one JSON line. Everything it
times is taken on CLOCK_MONOTONIC the moment its own event loop sees it: kernel notifications
(carrier, address, default route) from an rtnetlink socket, DHCP messages from a packet socket on
the wired link, the daemon's log lines from its standard output and the daemon's signals from the
system bus. The cable itself is worked from outside, by the driver, in the peer namespace.
"""

import json
import os
import signal
import socket
import struct
import subprocess
import sys
import time

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

NAME = "com.brenvik.norvi"
PATH = "/com/brenvik/norvi"
INTERFACE = NAME
WIRED = "eth0"

RTMGRP_LINK = 0x1
RTMGRP_IPV4_IFADDR = 0x10
RTMGRP_IPV4_ROUTE = 0x40
RTM_NEWLINK = 16
RTM_NEWADDR = 20
RTM_NEWROUTE = 24
IFF_LOWER_UP = 0x10000
IFF_UP = 0x1
RT_TABLE_MAIN = 254
NLMSG_HEADER = struct.Struct("=IHHII")
IFINFO = struct.Struct("=BxHiII")
IFADDR = struct.Struct("=BBBBI")
RTMSG = struct.Struct("=BBBBBBBBI")
NETLINK_BUFFER = 1 << 20

SO_TIMESTAMPNS = 35
TIMESPEC = struct.Struct("=qq")
TIMESTAMP_BUFFER = socket.CMSG_SPACE(TIMESPEC.size)
ETH_P_IP = 0x0800
ETH_P_ALL = 0x0003
DHCP_SERVER_PORT = 67
DHCP_OPTIONS_OFFSET = 240
DHCP_MESSAGE_TYPE = 53
DHCP_TYPES = {1: "DISCOVER", 2: "OFFER", 3: "REQUEST", 5: "ACK"}

NS_LAST_PID = "/proc/sys/kernel/ns_last_pid"
RESOLV_CONF = "/etc/resolv.conf"
FLOOR_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "floor-script.sh")
TRIAL_TIMEOUT_S = 30
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
PAGE_KB = os.sysconf("SC_PAGE_SIZE") // 1024


def now():
    return time.monotonic()


def kernel_time(ancillary):
    """A packet's receive time on the monotonic clock (the kernel gives it on the real-time
    clock), or now if it came without one."""
    for level, kind, data in ancillary:
        if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
            seconds, nanoseconds = TIMESPEC.unpack_from(data)
            return seconds + nanoseconds / 1e9 - (time.time() - time.monotonic())
    return now()


def last_pid():
    with open(NS_LAST_PID) as f:
        return int(f.read())


class Agent:
    def __init__(self):
        dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
        self.loop = GLib.MainLoop()
        self.bus = dbus.SystemBus()
        self.wired_index = socket.if_nametoindex(WIRED)
        self.daemon = None
        self.log = []            # (time, line) of the daemon's output
        self.events = []         # (time, what) seen by this process
        self.waiting = None      # (predicate, reply) of the command in progress
        self.deadline = None
        self.floor = None
        self.pid_before = 0
        self._watch_netlink()
        self._watch_dhcp()
        self.bus.add_signal_receiver(self._on_signal, dbus_interface=INTERFACE,
                                     member_keyword="member", path=PATH)
        self.bus.add_signal_receiver(self._on_owner, signal_name="NameOwnerChanged",
                                     dbus_interface="org.freedesktop.DBus", arg0=NAME)
        GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, self._on_command)

    # -- what happens ---------------------------------------------------------------------

    def record(self, what, at=None):
        self.events.append((now() if at is None else at, what))
        if self.waiting and self.waiting[0]():
            _, reply = self.waiting
            self.waiting = None
            reply()

    def seen(self, what, since=0.0):
        return [t for t, w in self.events if w == what and t >= since]

    def _watch_netlink(self):
        sock = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, socket.NETLINK_ROUTE)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, NETLINK_BUFFER)
        sock.bind((0, RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE))
        self.netlink = sock
        self.carrier = None
        GLib.io_add_watch(sock.fileno(), GLib.IO_IN, self._on_netlink)

    def _on_netlink(self, *_):
        data = self.netlink.recv(65536)
        at = now()
        offset = 0
        while offset + NLMSG_HEADER.size <= len(data):
            length, kind, _, _, _ = NLMSG_HEADER.unpack_from(data, offset)
            body = offset + NLMSG_HEADER.size
            self._netlink_message(kind, data, body, at)
            offset += (length + 3) & ~3 if length else len(data)
        return True

    def _netlink_message(self, kind, data, body, at):
        if kind == RTM_NEWLINK:
            _, _, index, flags, _ = IFINFO.unpack_from(data, body)
            if index == self.wired_index:
                carrier = bool(flags & IFF_LOWER_UP)
                if carrier != self.carrier:
                    self.carrier = carrier
                    self.record("carrier" if carrier else "no carrier", at)
                    if carrier and self.floor is not None:
                        self._start_floor()
                self.record("link up" if flags & IFF_UP else "link down", at)
        elif kind == RTM_NEWADDR:
            family, _, _, _, index = IFADDR.unpack_from(data, body)
            if family == socket.AF_INET and index == self.wired_index:
                self.record("address", at)
        elif kind == RTM_NEWROUTE:
            family, dst_len, _, _, table, _, _, _, _ = RTMSG.unpack_from(data, body)
            if family == socket.AF_INET and dst_len == 0 and table == RT_TABLE_MAIN:
                self.record("route", at)

    def _watch_dhcp(self):
        # Only a tap on every protocol sees what the host itself sends.
        sock = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(ETH_P_ALL))
        sock.bind((WIRED, ETH_P_ALL))
        # The kernel's own receive time, so that a late wake-up of this process does not shift it.
        sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.packets = sock
        GLib.io_add_watch(sock.fileno(), GLib.IO_IN, self._on_packet)

    def _on_packet(self, *_):
        try:
            data, ancillary, _, address = self.packets.recvmsg(4096, TIMESTAMP_BUFFER)
        except OSError:  # the link went down under the socket
            return True
        at = kernel_time(ancillary)
        if address[1] != ETH_P_IP:
            return True
        header = (data[0] & 0x0F) * 4
        if len(data) < header + 8 or data[9] != socket.IPPROTO_UDP:
            return True
        source, target = struct.unpack_from("!HH", data, header)
        if DHCP_SERVER_PORT not in (source, target):
            return True
        options = data[header + 8 + DHCP_OPTIONS_OFFSET:]
        i = 0
        while i + 2 <= len(options) and options[i] != 0xFF:
            if options[i] == 0:
                i += 1
                continue
            if options[i] == DHCP_MESSAGE_TYPE:
                self.record(DHCP_TYPES.get(options[i + 2], "DHCP other"), at)
                break
            i += 2 + options[i + 1]
        return True

    def _on_signal(self, *args, member=None):
        at = now()
        name = str(args[0]) if args and isinstance(args[0], str) else ""
        self.record(f"{member} {name}".strip(), at)

    def _on_owner(self, name, old, new):
        self.record("name owned" if new else "name lost")

    def _on_daemon_output(self, fd, _condition):
        # Read what is there, unbuffered: a buffered reader would hold lines back until the
        # next write woke this watch.
        try:
            data = os.read(fd, 65536)
        except BlockingIOError:
            return True
        except OSError:  # the daemon is gone and its pipe closed
            self.output_watch = None
            return False
        if not data:
            self.output_watch = None
            return False
        at = now()
        self.partial += data
        *lines, self.partial = self.partial.split(b"\n")
        self.log += [(at, line.decode(errors="replace")) for line in lines]
        return True

    # -- commands ------------------------------------------------------------------------

    def _on_command(self, fd, condition):
        line = sys.stdin.readline()
        if not line:
            self.loop.quit()
            return False
        command = json.loads(line)
        try:
            getattr(self, "do_" + command.pop("cmd"))(**command)
        except (dbus.DBusException, OSError, subprocess.SubprocessError) as error:
            self.answer(error=str(error))
        return True

    def answer(self, **result):
        self.waiting = None
        sys.stdout.write(json.dumps(result) + "\n")
        sys.stdout.flush()

    def wait(self, predicate, reply, timeout=TRIAL_TIMEOUT_S):
        if predicate():
            reply()
            return
        self.waiting = (predicate, reply)
        token = object()
        self.deadline = token

        def expire():
            if self.waiting and self.deadline is token:
                self.answer(error="timeout", events=self.relative(0.0))
            return False
        GLib.timeout_add(int(timeout * 1000), expire)

    def relative(self, start):
        return [(round((t - start) * 1000, 3), w) for t, w in self.events if t >= start]

    def proxy(self):
        return dbus.Interface(self.bus.get_object(NAME, PATH), INTERFACE)

    def do_start(self, argv, env):
        """Starts the daemon: exec to Started with the name owned, start-up clean-up included."""
        self.events.clear()
        self.log.clear()
        begin = now()
        self.daemon = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE,
                                       stderr=subprocess.STDOUT)
        self.partial = b""
        os.set_blocking(self.daemon.stdout.fileno(), False)
        self.output_watch = GLib.io_add_watch(self.daemon.stdout.fileno(),
                                              GLib.IO_IN | GLib.IO_HUP, self._on_daemon_output)

        def reply():
            owned = self.seen("name owned")[0]
            started = self.seen("Started")[0]
            self.answer(pid=self.daemon.pid, started_ms=(started - begin) * 1000,
                        owned_ms=(owned - begin) * 1000)
        self.wait(lambda: self.seen("name owned") and self.seen("Started"), reply)

    def do_stop(self):
        self.daemon.send_signal(signal.SIGTERM)
        self.daemon.wait(TRIAL_TIMEOUT_S)
        # The next daemon's pipe may get the same descriptor number: no watch may outlive this one.
        if self.output_watch is not None:
            GLib.source_remove(self.output_watch)
        self.daemon.stdout.close()
        self.daemon = None
        self.answer(stopped=True)

    def do_call(self, method, args=()):
        getattr(self.proxy(), method)(*args)
        self.answer(called=method)

    def do_timed_call(self, method, args, what):
        """Calls a method and answers once `what` is seen after it, with the milliseconds."""
        begin = now()
        getattr(self.proxy(), method)(*args)
        self.wait(lambda: self.seen(what, begin),
                  lambda: self.answer(after_ms=(self.seen(what, begin)[0] - begin) * 1000))

    def do_set(self, name, value):
        """Writes a map-valued property; `value` maps names to strings or to maps of strings."""
        def as_map(entries):
            return dbus.Dictionary({k: as_map(v) if isinstance(v, dict) else v
                                    for k, v in entries.items()}, signature="sv")
        target = self.bus.get_object(NAME, PATH, introspect=False)
        target.Set(INTERFACE, name, as_map(value), dbus_interface=dbus.PROPERTIES_IFACE,
                   signature="ssv")
        self.answer(set=name)

    def do_wait_link(self, up):
        """Answers once eth0 is administratively up (or down) as the kernel reports it."""
        wanted = "link up" if up else "link down"
        with open(f"/sys/class/net/{WIRED}/flags") as f:
            if bool(int(f.read(), 16) & IFF_UP) == up:
                self.answer(link=wanted)
                return
        self.events.clear()
        self.wait(lambda: self.seen(wanted), lambda: self.answer(link=wanted))

    def do_count_log(self, text):
        """How many of the daemon's lines so far contain `text`."""
        self.answer(count=sum(text in line for _, line in self.log))

    def do_wait_event(self, what):
        """Answers once `what` is seen after the last carrier change."""
        def reply():
            change = self._last_carrier_change()
            self.answer(seen=what, after_ms=(self.seen(what, change)[0] - change) * 1000)
        self.wait(lambda: self.seen(what, self._last_carrier_change()), reply)

    def _last_carrier_change(self):
        changes = [t for t, w in self.events if w in ("carrier", "no carrier")]
        return changes[-1] if changes else 0.0

    def do_arm(self, floor):
        """The next carrier starts a trial: for the floor, a bare udhcpc started at once."""
        self.events.clear()
        self.log.clear()
        self.floor = {"process": None} if floor else None
        self.pid_before = last_pid()
        self.answer(armed=True)

    def _start_floor(self):
        self.floor["process"] = subprocess.Popen(
            ["busybox", "udhcpc", "-f", "-q", "-i", WIRED, "-s", FLOOR_SCRIPT],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.events.append((now(), "DHCP client started"))
        GLib.child_watch_add(self.floor["process"].pid, self._on_floor_exit)

    def _on_floor_exit(self, pid, status):
        self.floor["pid_after"] = last_pid()
        self.floor["status"] = status
        self.record("DHCP client finished")

    def do_trial(self):
        """Answers when the trial armed before is over: Connected, or the floor's udhcpc
        finished. Times are milliseconds since the carrier."""
        floor = self.floor is not None
        end = "DHCP client finished" if floor else f"Connected {WIRED}"
        def reply():
            carrier = self.seen("carrier")[0]
            result = {"events": self.relative(carrier)}
            if floor:
                result["pids"] = self.floor["pid_after"] - self.pid_before
                self.floor = None
            else:
                result["pids"] = last_pid() - self.pid_before
                result["log"] = [(round((t - carrier) * 1000, 3), line) for t, line in self.log
                                 if t >= carrier]
                result["resolver_ms"] = self._resolver_written(carrier)
            self.answer(**result)
        self.wait(lambda: self.seen(end), reply)

    @staticmethod
    def _resolver_written(since):
        offset = time.time() - time.monotonic()
        written = os.stat(RESOLV_CONF).st_mtime_ns / 1e9 - offset
        return round((written - since) * 1000, 3)

    def do_usage(self, pid=None):
        self.answer(**usage(pid or self.daemon.pid))

    def do_details(self, count):
        """Latency of Details and InterfaceDetails, alternating, over `count` calls made one
        after the other. The calls are asynchronous so that this loop keeps reading the
        daemon's output meanwhile: a full pipe would stall the daemon itself."""
        target = self.bus.get_object(NAME, PATH, introspect=False)
        took = {"Details": [], "InterfaceDetails": []}

        def call(i):
            if i == count:
                self.answer(**took)
                return
            name = "InterfaceDetails" if i % 2 else "Details"
            begin = time.perf_counter()

            def done(*_):
                took[name].append((time.perf_counter() - begin) * 1000)
                call(i + 1)

            def failed(error):
                self.answer(error=str(error))
            if i % 2:
                target.InterfaceDetails(WIRED, dbus_interface=INTERFACE, reply_handler=done,
                                        error_handler=failed)
            else:
                target.Get(INTERFACE, "Details", dbus_interface=dbus.PROPERTIES_IFACE,
                           reply_handler=done, error_handler=failed)
        call(0)

    def do_quit(self):
        self.answer(bye=True)
        self.loop.quit()


def usage(pid):
    """CPU (own and of waited-for children), wake-ups, threads and memory of a process."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    utime, stime, cutime, cstime = (int(v) for v in fields[11:15])
    switches = {}
    tasks = os.listdir(f"/proc/{pid}/task")
    for task in tasks:
        with open(f"/proc/{pid}/task/{task}/status") as f:
            status = dict(line.split(":", 1) for line in f)
        name = f"{status['Name'].strip()}/{task}"
        switches[name] = int(status["voluntary_ctxt_switches"])
    with open(f"/proc/{pid}/status") as f:
        status = dict(line.split(":", 1) for line in f)
    with open(f"/proc/{pid}/smaps_rollup") as f:
        rollup = dict(line.split(":", 1) for line in f if ":" in line and "-" not in line[:8])
    return {"cpu_ms": (utime + stime) * 1000 / CLOCK_TICKS,
            "cpu_children_ms": (cutime + cstime) * 1000 / CLOCK_TICKS,
            "wakeups": switches, "threads": len(tasks),
            "rss_kb": int(status["VmRSS"].split()[0]),
            "pss_kb": int(rollup["Pss"].split()[0]),
            "pss_by_mapping": pss_by_mapping(pid)}


def pss_by_mapping(pid, top=6):
    totals = {}
    current = "[anon]"
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            parts = line.split()
            if "-" in parts[0] and len(parts) >= 5:
                current = os.path.basename(parts[5]) if len(parts) > 5 else "[anon]"
            elif parts[0] == "Pss:":
                totals[current] = totals.get(current, 0) + int(parts[1])
    return sorted(totals.items(), key=lambda item: -item[1])[:top]


if __name__ == "__main__":
    agent = Agent()
    agent.answer(ready=True)
    agent.loop.run()
