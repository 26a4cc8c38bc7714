"""The daemon driven round after round for a while (two minutes by default, an hour with
--soak-seconds=3600): mode switches, cable flaps, scans, soft-AP starts and stops and Details
reads. Its memory, descriptors and threads are sampled; what grows after the first rounds must
stay within bounds, and the figures go to soak-report.txt in the build directory."""

import os
import time

from conftest import Daemon, WpaDouble, wait_until

# Growth allowed between the first sample after warm-up and the last one.
RSS_GROWTH_KB = 4096
FD_GROWTH = 2
THREAD_GROWTH = 2
WARM_UP_ROUNDS = 3
MODES = ("wired", "wireless", "hybrid", "automatic")


def sample(pid):
    with open(f"/proc/{pid}/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    return {"rss_kb": int(fields["VmRSS"].split()[0]), "threads": int(fields["Threads"]),
            "fds": len(os.listdir(f"/proc/{pid}/fd"))}


def one_round(daemon, wpa, mode):
    client, sandbox = daemon.client, daemon.sandbox
    client.call("SetNormalMode", mode)
    client.until("Mode", mode.capitalize() + "Mode")
    sandbox.unplug()
    sandbox.plug()
    scans = len(wpa.calls("Scan"))
    client.call("Scan")
    if mode != "wired" and wait_until(lambda: len(wpa.calls("Scan")) > scans, 5):
        wpa.add_bss(ssid="Soak", bssid="02:00:00:00:00:09")
        wpa.scan_done()
    client.call("StartSoftAp", "uap0", {"ssid": "Soak", "channel": "6"})
    assert wait_until(lambda: client.details("uap0").get("SoftApUp") is True, 20)
    client.call("StopSoftAp", "uap0")
    assert wait_until(lambda: client.details("uap0").get("SoftApUp") is False, 20)
    client.get("Details")
    client.call("SetOffMode")
    client.until("Mode", "OffMode")


def test_soak(make_sandbox, norvid_binary, source_dir, build_dir, soak_seconds):
    sandbox = make_sandbox(softap=True, supplicant="double")
    sandbox.start_dhcp_server()
    daemon = Daemon(sandbox, norvid_binary, source_dir)
    wpa = WpaDouble(sandbox)
    pid = daemon.output.process.inner_pid()
    samples = []
    deadline = time.monotonic() + soak_seconds
    rounds = 0
    while rounds < WARM_UP_ROUNDS + 1 or time.monotonic() < deadline:
        one_round(daemon, wpa, MODES[rounds % len(MODES)])
        rounds += 1
        if rounds == 1:
            # The soft AP's start stored its settings: from here on they must hold.
            daemon.configured["SoftApModeSettings"] = daemon.client.get("SoftApModeSettings")
        if rounds >= WARM_UP_ROUNDS:
            samples.append(sample(pid))
    first, last = samples[0], samples[-1]
    growth = {key: last[key] - first[key] for key in first}
    report = (f"{rounds} rounds in {soak_seconds:.0f}s; after warm-up {first}, at the end {last},"
              f" growth {growth}, peak RSS {max(s['rss_kb'] for s in samples)} kB\n")
    (build_dir / "soak-report.txt").write_text(report)
    print(report)
    assert daemon.running() and daemon.intact()
    # Under AddressSanitizer freed memory sits in quarantine, so RSS says nothing about leaks
    # there (LeakSanitizer checks those at exit).
    with open(f"/proc/{pid}/maps") as maps:
        sanitized = "libasan" in maps.read()
    assert sanitized or growth["rss_kb"] <= RSS_GROWTH_KB, report
    assert growth["fds"] <= FD_GROWTH, report
    assert growth["threads"] <= THREAD_GROWTH, report
