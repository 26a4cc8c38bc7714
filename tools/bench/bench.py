#!/usr/bin/env python3
"""How fast and how small norvid is, measured in the sandbox world against the floor.

The floor is a bare busybox udhcpc whose script only applies the lease with `ip`, started the
instant the carrier appears; it runs in the same world, interleaved with the daemon's runs (ABBA
order), so that both see the same load. Prints figures; never fails on a slow result.
Usage (as root): tools/bench/bench.py [--build DIR] [--repetitions N] [--idle-seconds S] ...
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

TOP = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(TOP / "tools/sandbox"))
import sandbox as world  # noqa: E402

PYTHON = "/usr/bin/python3"  # Debian's, which has python3-dbus and python3-gi
AGENT = TOP / "tools/bench/agent.py"
AGENT_NICE = "-10"
WIRED = "eth0"
WIRELESS = "wlan0"
SETTLE_S = 0.3          # lets the daemon finish reacting to a mode change before the cable moves
FLAP_INTERVAL_S = 0.02  # between one cable edge and the next
DETAILS_BATCH = 100  # calls between two looks at whether the storm is over
DHCP_CLIENT_STARTED = "Starting dhcp client"  # the daemon's line for each DHCP run
WIRELESS_SSID = "norvid-bench"
WIRELESS_STATIC = {"Ip": "10.78.0.9", "Netmask": "255.255.255.0"}


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def summary(values, unit="ms"):
    if not values:
        return "no samples"
    return (f"median {statistics.median(values):8.2f} {unit}  p90 {percentile(values, 0.9):8.2f}"
            f"  range {min(values):.2f}..{max(values):.2f}  (n={len(values)})")


class Agent:
    """The observer inside the device world (agent.py), one JSON command a line."""

    def __init__(self, sandbox):
        # A higher weight makes the observer's own wake-ups, and so its time stamps, less late
        # on a busy machine.
        self.process = sandbox.spawn(["nice", "-n", AGENT_NICE, PYTHON, str(AGENT)],
                                     stdin=subprocess.PIPE,
                                     stderr=None, env={"PYTHONDONTWRITEBYTECODE": "1"})
        self.read()

    def read(self):
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("the agent ended")
        answer = json.loads(line)
        if "error" in answer:
            raise RuntimeError(f"agent: {answer}")
        return answer

    def send(self, cmd, **arguments):
        self.process.stdin.write((json.dumps({"cmd": cmd, **arguments}) + "\n"))
        self.process.stdin.flush()

    def __call__(self, cmd, **arguments):
        self.send(cmd, **arguments)
        return self.read()


class Bench:
    def __init__(self, options, sandbox):
        self.options = options
        self.world = sandbox
        self.agent = Agent(sandbox)
        self.norvid = str(Path(options.build).resolve() / "src/norvid/norvid")
        self.pid = None

    def start_daemon(self):
        # A sanitizer build is told how to report, as in the tests.
        passed = {name: os.environ[name] for name in world.PASSED_ENV if name in os.environ}
        started = self.agent("start", argv=[self.norvid, *self.options.daemon_args],
                             env={**world.BASE_ENV, **passed})
        self.pid = started["pid"]
        return started

    def stop_daemon(self):
        self.agent("stop")

    # -- cable plug ----------------------------------------------------------------------

    def plugged_trial(self, floor):
        """Once the link is up and settled: the cable plugged, the trial, the cable pulled."""
        self.agent("wait_link", up=True)
        time.sleep(SETTLE_S)
        self.agent("arm", floor=floor)
        self.world.plug()
        result = self.agent("trial")
        self.world.unplug()
        return result

    def norvid_trial(self):
        """The daemon runs only for its own trials: in off mode it would keep the floor's link
        down. Its start is measured on the way."""
        started = self.start_daemon()
        self.agent("call", method="SetNormalMode", args=["wired"])
        result = self.plugged_trial(floor=False)
        self.agent("wait_event", what=f"Disconnected {WIRED}")
        self.agent("call", method="SetOffMode")
        self.agent("wait_link", up=False)
        self.stop_daemon()
        return {**result, **started}

    def floor_trial(self):
        self.world.run(["ip", "link", "set", WIRED, "up"], check=True)
        result = self.plugged_trial(floor=True)
        self.world.run(["ip", "addr", "flush", "dev", WIRED], check=True)
        self.world.run(["ip", "link", "set", WIRED, "down"], check=True)
        self.agent("wait_link", up=False)
        return result

    def plug(self):
        trials = {"norvid": [], "floor": []}
        for repetition in range(self.options.repetitions):
            order = ("norvid", "floor") if repetition % 2 == 0 else ("floor", "norvid")
            for kind in order:
                trial = self.norvid_trial if kind == "norvid" else self.floor_trial
                trials[kind].append(trial())
        report_plug(trials)
        if self.options.dump_log:
            print("\n".join(f"{at:9.3f} {line}" for at, line in trials["norvid"][-1]["log"]))

    # -- idle, details, flaps ------------------------------------------------------------

    def connect_wired(self):
        self.agent("call", method="SetNormalMode", args=["wired"])
        self.world.plug()
        self.agent("wait_event", what=f"Connected {WIRED}")

    def idle(self):
        seconds = self.options.idle_seconds
        before = self.agent("usage")
        time.sleep(seconds)
        after = self.agent("usage")
        print(f"\n== Idle and connected for {seconds} s")
        print(f"  CPU {after['cpu_ms'] - before['cpu_ms']:.0f} ms (children "
              f"{after['cpu_children_ms'] - before['cpu_children_ms']:.0f} ms), wake-ups "
              f"{sum(after['wakeups'].values()) - sum(before['wakeups'].values())}, threads "
              f"{after['threads']}, VmRSS "
              f"{after['rss_kb']} kB, Pss {after['pss_kb']} kB")
        print("  wake-ups by thread: " + ", ".join(
            f"{name} {count - before['wakeups'].get(name, 0)}"
            for name, count in after["wakeups"].items()))
        print("  Pss by mapping: " + ", ".join(f"{name} {kb} kB"
                                               for name, kb in after["pss_by_mapping"]))

    def flap_script(self):
        edge = f"ip link set {world.PEER_ETH0}"
        return ["sh", "-c", f"i=0; while [ $i -lt {self.options.flaps} ]; do {edge} down; "
                f"sleep {FLAP_INTERVAL_S}; {edge} up; sleep {FLAP_INTERVAL_S}; i=$((i+1)); done"]

    def details(self):
        quiet = self.agent("details", count=self.options.calls)
        during = {"Details": [], "InterfaceDetails": []}
        while sum(len(took) for took in during.values()) < self.options.calls:
            storm = self.world.peer_spawn(self.flap_script())
            while storm.poll() is None:
                batch = self.agent("details", count=DETAILS_BATCH)
                for name in during:
                    during[name] += batch[name]
            self.agent("wait_event", what=f"Connected {WIRED}")
        print(f"\n== Details / InterfaceDetails latency, {self.options.calls} calls from one "
              "connection")
        for name in during:
            print(f"  {name:17s} quiet: p50 {percentile(quiet[name], 0.5):6.2f} ms  p99 "
                  f"{percentile(quiet[name], 0.99):6.2f} ms   during {self.options.flaps} flaps: "
                  f"p50 {percentile(during[name], 0.5):6.2f} ms  p99 "
                  f"{percentile(during[name], 0.99):6.2f} ms  (n={len(during[name])})")

    def flaps(self):
        before = self.agent("usage")
        starts = self.agent("count_log", text=DHCP_CLIENT_STARTED)["count"]
        self.world.peer_run(self.flap_script(), check=True, timeout=600)
        settled = self.agent("wait_event", what=f"Connected {WIRED}")
        after = self.agent("usage")
        starts = self.agent("count_log", text=DHCP_CLIENT_STARTED)["count"] - starts
        own = after["cpu_ms"] - before["cpu_ms"]
        children = after["cpu_children_ms"] - before["cpu_children_ms"]
        print(f"\n== {self.options.flaps} cable flaps, {FLAP_INTERVAL_S * 1000:.0f} ms apart")
        print(f"  daemon CPU {own:.0f} ms, with children {own + children:.0f} ms; last plug -> "
              f"Connected {settled['after_ms']:.1f} ms; DHCP client started {starts} times")

    # -- Wi-Fi with the real wpa_supplicant ----------------------------------------------

    def wifi(self):
        self.world.plug(WIRELESS)
        self.agent("set", name="WirelessNetworks", value={WIRELESS_SSID: {}})
        self.agent("set", name="WirelessIpSettings", value=WIRELESS_STATIC)
        enable, disable, to_wifi, to_cable = [], [], [], []
        self.agent("timed_call", method="SetOffMode", args=[], what=f"Disconnected {WIRED}")
        for _ in range(self.options.wifi_repetitions):
            enable.append(self.agent("timed_call", method="SetNormalMode", args=["wireless"],
                                     what=f"Connected {WIRELESS}")["after_ms"])
            disable.append(self.agent("timed_call", method="SetOffMode", args=[],
                                      what=f"Disconnected {WIRELESS}")["after_ms"])
        self.agent("timed_call", method="SetNormalMode", args=["automatic"],
                   what=f"Connected {WIRED}")
        for _ in range(self.options.wifi_repetitions):
            self.world.unplug()
            to_wifi.append(self.agent("wait_event", what=f"Connected {WIRELESS}")["after_ms"])
            self.world.plug()
            to_cable.append(self.agent("wait_event", what=f"Connected {WIRED}")["after_ms"])
        print("\n== Wi-Fi, the real wpa_supplicant on wlan0 (open network, static address)")
        print(f"  SetNormalMode(wireless) -> Connected(\"{WIRELESS}\")  {summary(enable)}")
        print(f"  SetOffMode -> Disconnected(\"{WIRELESS}\")           {summary(disable)}")
        print(f"  automatic, cable pulled  -> Connected(\"{WIRELESS}\")  {summary(to_wifi)}")
        print(f"  automatic, cable plugged -> Connected(\"{WIRED}\")   {summary(to_cable)}")


def phase_times(trial):
    """Milliseconds from the carrier to the first of each thing seen, in order."""
    first = {}
    for at, what in trial["events"]:
        first.setdefault(what, at)
    return first


CONNECTED = f"Connected {WIRED}"
NORVID_PHASES = ("carrier", "DISCOVER", "OFFER", "REQUEST", "ACK", "address", "route",
                 f"Connected {WIRED}")
FLOOR_PHASES = ("carrier", "DHCP client started", "DISCOVER", "OFFER", "REQUEST", "ACK",
                "address", "route", "DHCP client finished")


def spans(runs, start, end):
    """end - start of each run, None where the run lacks either."""
    return [r[end] - r[start] if start in r and end in r else None for r in runs]


def present(values):
    return [v for v in values if v is not None]


def paired(first, second):
    return [a - b for a, b in zip(first, second) if a is not None and b is not None]


def report_plug(trials):
    norvid = [phase_times(t) for t in trials["norvid"]]
    floor = [phase_times(t) for t in trials["floor"]]
    connected = spans(norvid, "carrier", CONNECTED)
    floor_done = spans(floor, "carrier", "route")
    addressed, floor_addressed = spans(norvid, "carrier", "address"), spans(floor, "carrier",
                                                                          "address")
    print("\n== Start-up: exec -> name owned / Started, stale clean-up included")
    print(f"  name owned   {summary([t['owned_ms'] for t in trials['norvid']])}")
    print(f"  Started      {summary([t['started_ms'] for t in trials['norvid']])}")
    print("\n== Cable plug (carrier as the kernel reports it) -> connected")
    print(f"  norvid  -> Connected(\"{WIRED}\")  {summary(present(connected))}")
    print(f"  norvid  -> address on {WIRED}     {summary(present(addressed))}")
    print(f"  floor   -> address on {WIRED}     {summary(present(floor_addressed))}")
    print(f"  floor   -> default route       {summary(present(floor_done))}")
    print(f"  overhead Connected - floor route, paired   {summary(paired(connected, floor_done))}")
    print(f"  overhead address - floor address, paired   "
          f"{summary(paired(addressed, floor_addressed))}")
    # From the ACK on, the kernel's time stamp of the packet starts the clock, not this
    # observer's view of the carrier, and the DHCP exchange itself is left out.
    after_ack, floor_after_ack = spans(norvid, "ACK", CONNECTED), spans(floor, "ACK", "route")
    print(f"  ACK -> Connected, norvid              {summary(present(after_ack))}")
    print(f"  ACK -> default route, floor           {summary(present(floor_after_ack))}")
    print(f"  overhead after the ACK, paired        {summary(paired(after_ack, floor_after_ack))}")
    print("  phases (median ms after carrier):")
    for name, runs, phases in (("norvid", norvid, NORVID_PHASES), ("floor", floor, FLOOR_PHASES)):
        cells = [f"{phase} {statistics.median([r[phase] for r in runs if phase in r]):.1f}"
                 for phase in phases if any(phase in r for r in runs)]
        print(f"    {name:7s} " + " | ".join(cells))
    for phase, pattern in LOG_PHASES:
        times = [first_log(t, pattern) for t in trials["norvid"]]
        times = [t for t in times if t is not None]
        if times:
            print(f"    norvid log: {phase:24s} {summary(times)}")
    resolver = [t["resolver_ms"] for t in trials["norvid"]]
    print(f"    norvid resolver written        {summary(resolver)}")
    for kind in ("norvid", "floor"):
        print(f"  processes (pids) started, {kind:6s}: "
              f"{summary([t['pids'] for t in trials[kind]], unit='')}")


# Log lines of the daemon that mark its own steps, as (phase, text the line contains).
LOG_PHASES = (
    ("carrier seen", "Netlink received interface status update"),
    ("DHCP client started", DHCP_CLIENT_STARTED),
    ("lease script output read", "NORVID_FINISHED"),
    ("resolver written", 'Writing "/etc/resolv.conf"'),
    ("address manager connected", "address connected"),
)


def first_log(trial, pattern):
    for at, line in trial["log"]:
        if pattern in line:
            return at
    return None


def machine():
    cpus = os.cpu_count()
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                  if line.startswith("model name")), platform.machine())
    load = open("/proc/loadavg").read().split()[:3]
    return f"{model}, {cpus} CPUs, kernel {platform.release()}, load average {' '.join(load)}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(TOP / "build"))
    parser.add_argument("--repetitions", type=int, default=15)
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--flaps", type=int, default=200)
    parser.add_argument("--only", nargs="*", default=None,
                        help="plug idle details flaps wifi (default: all)")
    parser.add_argument("--wifi-repetitions", type=int, default=15)
    parser.add_argument("--dump-log", action="store_true",
                        help="print the daemon's output of the last plug")
    parser.add_argument("--daemon-args", nargs="*", default=[],
                        help="extra arguments for norvid, e.g. -d for its debug log")
    options = parser.parse_args()
    wanted = options.only or ["plug", "idle", "details", "flaps", "wifi"]
    print(f"norvid benchmark on {machine()}")
    with world.Sandbox(plugged=False, supplicant="real") as sandbox:
        sandbox.start_dhcp_server()
        bench = Bench(options, sandbox)
        if "plug" in wanted:
            bench.plug()
        bench.start_daemon()
        bench.connect_wired()
        for step in ("idle", "details", "flaps", "wifi"):
            if step in wanted:
                getattr(bench, step)()
        bench.stop_daemon()
        bench.agent("quit")
    print(f"\nload average at the end: {open('/proc/loadavg').read().split()[:3]}")


if __name__ == "__main__":
    main()
