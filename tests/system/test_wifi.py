"""Wi-Fi through the daemon in normal mode, as a set-up client on the bus sees it: the soft AP
with Debian's hostapd and busybox udhcpd serving the sandbox's client device, and the station
side with the real wpa_supplicant and with its double where a radio would be needed."""

import re
import time

import dbus

from conftest import (HELPER_TIMEOUT, NAME, SUPPLICANT_PATH, UNPRIVILEGED, Signals, WpaDouble,
                      active_states, added_networks, messages, start_helper, state_changes,
                      wait_until)

AP_ADDRESS = "192.168.200.1"
DOMAIN = "setup.example"
OTHER_MAC = "02:11:22:33:44:55"
REMOVE_UAP0 = ["ip", "link", "del", "uap0"]


def pids(sandbox, program):
    """Of the program itself: a stand-in's own forks carry its name for a moment."""
    return sandbox.run(["pgrep", "-f", r"^(\S*python3 )?\S*/%s " % program]).stdout.split()


def soft_ap(client, command, *settings, signal="Connected"):
    client.call(command, "uap0", *settings)
    return client.expect(signal, "uap0")


def test_soft_ap_serves_a_device_and_follows_its_interface_and_the_station(make_daemon):
    norvid = make_daemon(softap=True, supplicant="double")
    sandbox, client = norvid.sandbox, norvid.client
    client.ignored = "eth0"

    # Settings that would smuggle lines into a daemon's file, and a file planted where ours
    # goes, start nothing.
    for settings in ({"ssid": "open\nwpa=2"}, {"vendorSpecificData": "zz"},
                     {"domainName": "a.example\t10.0.0.1"}, {"ssid": "planted"}):
        if settings == {"ssid": "planted"}:
            sandbox.run(["ln", "-s", "/tmp/victim", "/tmp/hostapd_uap0.conf.new"], check=True)
        soft_ap(client, "StartSoftAp", settings)
        assert pids(sandbox, "hostapd") == pids(sandbox, "udhcpd") == []
        soft_ap(client, "StopSoftAp", signal="Disconnected")
    assert sandbox.run(["ls", "/tmp"]).stdout.split() == ["hostapd_uap0.conf.new"]
    sandbox.run(["rm", "/tmp/hostapd_uap0.conf.new"], check=True)

    # The real hostapd takes the file: with a country code it waits for the regulatory domain.
    mac = sandbox.run(["cat", "/sys/class/net/uap0/address"]).stdout.strip()
    soft_ap(client, "StartSoftAp", {"ssid": "Setup", "channel": "36", "countryCode": "DE",
                                    "vendorSpecificData": "dd0411223344", "bssid": mac.upper()})
    assert sandbox.read_file("/tmp/hostapd_uap0.conf").splitlines()[1:] == [
        "interface=uap0", "ssid=Setup", "hw_mode=a", "channel=36", "macaddr_acl=0",
        "ieee80211n=1", "country_code=DE", "vendor_elements=dd0411223344"]
    assert norvid.output.wait_for("UNINITIALIZED->COUNTRY_UPDATE", timeout=10)
    assert not any("Setting softap BSSID" in m for m in messages(norvid.output))
    assert sandbox.run(["ls", "/tmp/dnsd_uap0.conf"]).returncode != 0

    # New settings restart it; the client device gets an address and the set-up name resolves.
    sandbox.run(["touch", "/run/dnsd.ignore-term"], check=True)
    assert soft_ap(client, "StartSoftAp", {"ssid": "Setup", "channel": "14",
                                           "domainName": DOMAIN, "bssid": OTHER_MAC})[-2:] == [
        ("Disconnected", "uap0"), ("Connected", "uap0")]
    assert sandbox.run(["cat", "/sys/class/net/uap0/address"]).stdout.strip() == OTHER_MAC
    assert client.details("uap0")["SoftApUp"] is True
    assert client.get("SoftApModeSettings")["uap0"]["domainName"] == DOMAIN
    assert "hw_mode=g\nchannel=14\n" in sandbox.read_file("/tmp/hostapd_uap0.conf")
    assert "option\tdns\t%s\n" % AP_ADDRESS in sandbox.read_file("/tmp/udhcpd_uap0.conf")
    leased = sandbox.peer_run(["busybox", "udhcpc", "-i", "puap0", "-f", "-q", "-n", "-t", "5",
                               "-s", "/bin/true"], timeout=30)
    found = re.search(r"lease of (192\.168\.200\.\d+) obtained from (\S+),", leased.stderr)
    assert found and found.group(2) == AP_ADDRESS, leased
    sandbox.peer_run(["ip", "addr", "add", found.group(1) + "/24", "dev", "puap0"], check=True)
    lookup = sandbox.peer_run(["busybox", "nslookup", DOMAIN, AP_ADDRESS])
    assert "Address: %s" % AP_ADDRESS in lookup.stdout, lookup
    # hostapd's wired driver takes the device's first frames for its association.
    device = sandbox.peer_run(["cat", "/sys/class/net/puap0/address"]).stdout.strip()
    assert client.arguments("StationConnected") == (device,)
    # hostapd says goodbye to its stations; this dnsd ignores SIGTERM and is killed.
    assert soft_ap(client, "StopSoftAp", signal="Disconnected")[-2:] == [
        ("StationDisconnected", device), ("Disconnected", "uap0")]
    assert pids(sandbox, "dnsd") == pids(sandbox, "hostapd") == pids(sandbox, "udhcpd") == []
    assert client.details("uap0")["SoftApUp"] is False

    # A start while the interface is missing is carried out once it appears.
    sandbox.run(REMOVE_UAP0, check=True)
    assert wait_until(lambda: client.details("uap0")["Present"] == 0)
    client.call("StartSoftAp", "uap0", {"ssid": "Setup", "channel": "11"})
    sandbox.run(["iw", "phy", "phy0", "interface", "add", "uap0", "type", "__ap"], check=True)
    client.expect("Connected", "uap0")

    # The radio has one channel: each association of the station moves the soft AP to it.
    wpa = WpaDouble(sandbox)
    sandbox.run(["ip", "link", "set", "wlan0", "up"], check=True)
    client.call("SetNormalMode", "wireless")
    wpa.wait_for_call("AddNetwork")
    for frequency, channel in ((2437, 6), (2412, 1)):
        [hostapd] = pids(sandbox, "hostapd")
        bss = wpa.add_bss(ssid="Open", bssid="02:00:00:00:00:%02d" % channel,
                          frequency=frequency)
        wpa.set_state("completed", CurrentBSS=dbus.ObjectPath(bss))
        assert wait_until(lambda: pids(sandbox, "hostapd") not in ([], [hostapd]), timeout=5)
        assert "channel=%d\n" % channel in sandbox.read_file("/tmp/hostapd_uap0.conf")
        wpa.set_state("disconnected", CurrentBSS=dbus.ObjectPath("/"))
    sandbox.run(REMOVE_UAP0, check=True)
    client.expect("Disconnected", "uap0")
    assert pids(sandbox, "hostapd") == []
    assert wait_until(lambda: client.details("uap0") == {"Interface": "uap0", "Present": 0})
    assert norvid.running()


def scanned(client, wpa, scans):
    """(ssid, bssid, type, signal, frequency) of each network of the next scan's results."""
    client.call("Scan")
    wpa.wait_for_call("Scan", scans)
    wpa.scan_done()
    [results] = client.arguments("ScanResults")
    return sorted((ssid, ap["bssid"][-2:], ap["type"], ap["signal"], ap["frequency"])
                  for ssid, ap in results.items())


def test_station_scans_and_joins_through_the_double(make_daemon):
    norvid = make_daemon(supplicant="double")
    sandbox, client = norvid.sandbox, norvid.client
    wpa = WpaDouble(sandbox)
    client.ignored = "eth0"
    sandbox.run(["ip", "link", "set", "wlan0", "up"], check=True)

    # Without wpa_supplicant the client still gets its answers, and the networks it set are
    # handed over once wpa_supplicant is there.
    wpa.vanish()
    client.call("SetNormalMode", "wireless")
    client.call("Scan")
    assert client.arguments("ScanResults") == ({},)
    client.call("WpsPbc")
    assert client.arguments("WpsError") == ("Wireless interface not present!",)
    client.set("WirelessNetworks", {"HomeNet": {}, "Office": {"wpa_psk": "secret123"}})
    assert norvid.output.wait_for("Couldn't create interface wlan0 due to error: "
                                  '"org.freedesktop.DBus.Error.Spawn.ChildExited"')
    wpa.come_back()
    wpa.wait_for_call("Reassociate")
    assert set(added_networks(wpa)) == {"HomeNet", "Office"}

    # Only networks of this connect are reported; the wait for the association goes on.
    wpa.network_temp_disabled(SUPPLICANT_PATH + "/Interfaces/0/Networks/99")
    wpa.network_temp_disabled(added_networks(wpa)["Office"], "WRONG_KEY")
    assert client.arguments("AuthError") == ("Office", "WRONG_KEY")
    wpa.set_state("completed")
    assert client.expect("Connected", "wlan0") == [("Connected", "wlan0")]

    # Each network once, by its strongest access point (the first of equals), of its kind; no
    # EAP-only, nameless, overlong or untyped ones.
    opened = wpa.add_bss(ssid="Open", bssid="02:00:00:00:00:01", frequency=5180)
    mixed = wpa.add_bss(ssid="Mixed", bssid="02:00:00:00:00:02", privacy=True,
                        wpa=["wpa-psk"], rsn=["wpa-eap"])
    wpa.add_bss(ssid="Mixed", bssid="02:00:00:00:00:09", signal=-50, privacy=True, rsn=["wpa-psk"])
    wpa.add_bss(ssid="Corp", bssid="02:00:00:00:00:03", privacy=True, rsn=["wpa-eap"])
    old = wpa.add_bss(ssid="Old", bssid="02:00:00:00:00:04", privacy=True)
    wpa.add_bss(ssid="", bssid="02:00:00:00:00:05")
    wpa.add_bss(ssid="x" * 33, bssid="02:00:00:00:00:06")
    wpa.add_bss(bssid="02:00:00:00:00:07", raw={"SSID": "Typed"})
    wpa.add_bss(ssid="Odd", bssid="02:00:00:00:00:08",
                raw={"Signal": "loud", "Frequency": dbus.Int32(2412), "RSN": "wpa-psk"})
    assert scanned(client, wpa, 1) == [
        ("Mixed", "02", "wpa_psk", -50, 2412), ("Odd", "08", "unsecured", 0, 0),
        ("Old", "04", "wep", -50, 2412), ("Open", "01", "unsecured", -50, 5180)]
    # A signal change is taken up in place, a security change re-reads the access point.
    wpa.change_bss(mixed, {"Signal": dbus.Int16(-80)})
    wpa.change_bss(opened, {"Privacy": True})
    wpa.remove_bss(old)
    assert scanned(client, wpa, 2) == [
        ("Mixed", "09", "wpa_psk", -50, 2412), ("Odd", "08", "unsecured", 0, 0),
        ("Open", "01", "wep", -50, 5180)]

    wpa.set_state("completed", CurrentBSS=dbus.ObjectPath(opened), CurrentAuthMode="NONE")
    wpa.set_signal_poll({"rssi": dbus.Int32(-61), "frequency": dbus.UInt32(5180)})
    station = {"Ssid": "Open", "Bssid": "02:00:00:00:00:01", "Encryption": "wep",
               "Signal": -61, "Frequency": 5180, "Channel": 36}
    assert wait_until(lambda: client.details("wlan0").items() >= station.items())
    wpa.refuse("SignalPoll", "fi.w1.wpa_supplicant1.Error")
    details = client.details("wlan0")
    assert (details["Signal"], details["Frequency"], details["Channel"]) == (0, 0, -481)

    # A refused network is tried again, unchanged, on wpa_supplicant's next state report.
    wpa.refuse("AddNetwork", "fi.w1.wpa_supplicant1.InvalidArgs")
    client.set("WirelessNetworks", {"Cafe": {}})
    first, second = wpa.wait_for_call("AddNetwork", 4)[2:4]
    assert first[2] == second[2]
    wpa.allow("AddNetwork")
    wpa.set_state("disconnected")
    wpa.wait_for_call("AddNetwork", 5)
    wpa.set_state("completed")
    client.expect("Connected", "wlan0")
    assert norvid.running()


NO_CREDENTIALS = ("WpsError", "WPS session ended without receiving network credentials")
TIMED_OUT = ("WpsError", "WPS session timed out")


def credentials(ssid="HomeNet", key="secret123", auth="wpa2-psk", raw=None):
    return lambda wpa, client: wpa.wps_credentials(ssid, key, auth, "aes", raw)


def event(name, **arguments):
    return lambda wpa, client: wpa.wps_event(name, arguments)


SUCCESS = event("success")
# request, what happens once the session runs, the signal that ends it
WPS_SESSIONS = [
    (["WpsPbc"], [credentials(), SUCCESS],
     ("WpsCredentials", {"ssid": "HomeNet", "type": "wpa-psk", "wpa_psk": "secret123",
                         "priority": 0})),
    (["WpsPin", "12345670"], [SUCCESS], NO_CREDENTIALS),
    (["WpsPbc"], [credentials(key="short"), SUCCESS], NO_CREDENTIALS),
    (["WpsPbc"], [credentials(auth="open", key="abcde"), SUCCESS],
     ("WpsCredentials", {"ssid": "HomeNet", "type": "wep", "wep_key": "abcde", "priority": 0})),
    (["WpsPbc"], [credentials(raw={"SSID": dbus.Int32(5), "Key": dbus.ByteArray(b"secret123")}),
                  credentials(raw={"SSID": dbus.ByteArray(b"\xff\xfe"),
                                   "Key": dbus.ByteArray(b"secret123")}),
                  SUCCESS], NO_CREDENTIALS),
    (["WpsPbc"], [event("fail", msg=dbus.Int32(12))],
     ("WpsError", "Multiple PBC sessions detected")),
    (["WpsPbc"], [event("fail", msg=dbus.Int32(19))], ("WpsError", "19")),
    (["WpsPbc"], [event("fail", msg=dbus.Int32(-1))], ("WpsError", "-1")),
    (["WpsPbc"], [event("fail", msg="no answer")], ("WpsError", "no answer")),
    (["WpsPbc"], [lambda wpa, client: wpa.set_state("inactive")], TIMED_OUT),
    (["WpsPbc"], [lambda wpa, client: client.call("ForceWifiReconnect")],
     ("WpsError", "WPS session ended")),
]


def test_wps_sessions_end_once_each_and_a_reconnect_starts_afresh(make_daemon, source_dir):
    norvid = make_daemon(supplicant="double")
    sandbox, client = norvid.sandbox, norvid.client
    wpa = WpaDouble(sandbox)
    nobody = Signals(sandbox, source_dir, UNPRIVILEGED)
    sandbox.run(["ip", "link", "set", "wlan0", "up"], check=True)

    def entered(state):
        return state_changes(norvid.output).count("Entering state: " + state)

    # In wired mode the first session borrows the wireless interface, which is off again after
    # it; the rest run in wireless mode.
    client.call("SetNormalMode", "wired")
    assert wait_until(lambda: entered("WiredWaitingState") == 1)
    client.ignored = "eth0"
    for number, (request, steps, ending) in enumerate(WPS_SESSIONS):
        client.call(*request)
        wpa.wait_for_call("Start", number + 1)
        for step in steps:
            step(wpa, client)
        assert client.until_signal(lambda signal: signal[0].startswith("Wps"))[-1] == ending, \
            number
        if number == 0:
            assert wait_until(lambda: entered("WirelessDisabledState") == 3)
            assert entered("WirelessWaitingState") == 0
            client.call("SetNormalMode", "wireless")
    starts = [dict(args[0]) for _, _, args in wpa.calls("Start")]
    assert starts[:2] == [{"Role": "enrollee", "Type": "pbc"},
                          {"Role": "enrollee", "Type": "pin", "Pin": "12345670"}]
    wpa.refuse("Start", "fi.w1.wpa_supplicant1.InvalidArgs")
    client.call("WpsPbc")
    assert client.arguments("WpsError") == ("Could not start WPS: refused by the test",)
    assert not [s for s in client.signals.quiet() if s[0].startswith("Wps")]

    # A forced reconnect starts from waiting again, connected or not.
    for state in ("WirelessWaitingState", "WirelessConnectedState"):
        assert wait_until(lambda: state in active_states(norvid.output)), state
        waiting, joins = entered("WirelessWaitingState"), len(wpa.calls("Reassociate"))
        client.call("ForceWifiReconnect")
        assert wait_until(lambda: entered("WirelessWaitingState") == waiting + 1), state
        wpa.wait_for_call("Reassociate", joins + 1)
        wpa.set_state("completed")
        client.expect("Connected", "wlan0")

    # Nobody unprivileged may speak for the daemon, nor hear the keys it hands out.
    anyone = Signals(sandbox, source_dir, senders=["anyone"])
    sandbox.run([*UNPRIVILEGED, "dbus-send", "--system", "--type=signal", "/com/brenvik/norvi",
                 NAME + ".WpsCredentials", "dict:string:string:wpa_psk,attackers-key"],
                timeout=30, check=True)
    client.call("Scan")
    wpa.wait_for_call("Scan")
    wpa.scan_done()
    assert nobody.wait_for('"ScanResults"') and anyone.wait_for('"ScanResults"')
    assert not any('"WpsCredentials"' in line for line in nobody.lines + anyone.lines)
    assert norvid.running()


def test_the_worker_bounds_what_wpa_supplicant_holds_up(make_sandbox, build_dir):
    # The daemon's bounds are minutes and seconds: the worker alone is run with short ones.
    sandbox = make_sandbox(supplicant="double")
    wpa = WpaDouble(sandbox)
    worker = start_helper(sandbox, build_dir, "supplicant_run", "-d", "1500", "1500", "wlan0")
    wpa.wait_for_call("Disconnect")  # attached: quieting it has begun
    # Associated and never leaving: a session that nothing ends is ended by our bound, and the
    # wait for the disconnect after it too; a scan asked for meanwhile runs after that wait.
    wpa.set_state("completed")
    wpa.refuse("Disconnect", "fi.w1.wpa_supplicant1.NotConnected")
    worker.send("pbc")
    wpa.wait_for_call("Start")
    assert worker.expect("wpsError WPS session timed out") == []
    ended = time.monotonic()
    worker.send("scan")
    wpa.wait_for_call("Scan")
    assert time.monotonic() - ended >= 1.0
    worker.process.stdin.close()
    assert worker.process.wait(timeout=HELPER_TIMEOUT) == 0, worker.output()
