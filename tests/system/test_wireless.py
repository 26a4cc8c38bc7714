"""The wireless controller on the sandbox's wlan0 with everything real: Debian's wpa_supplicant
(wired driver) joined through the supplicant worker, the link watched by netlink and udev, and
busybox udhcpc leasing from busybox udhcpd at the other end of the link.

A helper program runs the controller, passes it the watchers' reports as the manager does, and
writes its signals as lines starting with "@"; the tests send it the manager's requests.
"""

import ipaddress
import subprocess

from conftest import wait_until
from test_address_manager import HELPER_TIMEOUT, Manager
from test_wpa_supplicant import get_interface, state

PEER_WLAN0 = "pwlan0"
NETWORK = ipaddress.ip_network("10.78.0.0/24")


def start_dhcp_server(sandbox):
    """busybox udhcpd on the peer end of wlan0, which gets an address of its own subnet."""
    sandbox.peer_run(["ip", "addr", "add", "10.78.0.1/24", "dev", PEER_WLAN0], check=True)
    conf = sandbox.state_dir / "udhcpd-wlan0.conf"
    conf.write_text("start 10.78.0.100\nend 10.78.0.150\ninterface %s\nlease_file %s\n"
                    "pidfile %s\noption subnet 255.255.255.0\noption router 10.78.0.1\n"
                    % (PEER_WLAN0, sandbox.state_dir / "udhcpd-wlan0.leases",
                       sandbox.state_dir / "udhcpd-wlan0.pid"))
    (sandbox.state_dir / "udhcpd-wlan0.leases").touch()
    return sandbox.peer_spawn(["busybox", "udhcpd", "-f", str(conf)])


def leased(sandbox):
    shown = sandbox.run(["ip", "-4", "-o", "addr", "show", "dev", "wlan0"], check=True).stdout
    return [word for word in shown.split() if "/" in word and
            ipaddress.ip_interface(word) in NETWORK]


def test_open_network_leases_and_follows_the_interface(make_sandbox, build_dir):
    sandbox = make_sandbox(supplicant="real")
    sandbox.plug("wlan0")
    server = start_dhcp_server(sandbox)
    helper = str(build_dir / "tests" / "helpers" / "wireless_run")
    controller = Manager(sandbox.spawn([helper, "-d", "wlan0"], stdin=subprocess.PIPE))
    try:
        controller.expect("started")
        controller.expect("disabled")
        controller.send("enable HomeNet")
        # Before or after wpa_supplicant brings wlan0 up (disabled() once more), then "completed".
        assert controller.expect("waitingInterfaceRunning")[-2:] == ["enabled", "waiting"]
        bus = sandbox.bus()
        assert state(bus, get_interface(bus)) == "completed"
        controller.send("activate")
        assert controller.expect("ready") == ["waitingIpSetup"]
        assert wait_until(lambda: leased(sandbox), timeout=HELPER_TIMEOUT)

        # wpa_supplicant's wired driver ignores the carrier: the link is lost by taking wlan0
        # down, which ends the connection without a hold.
        sandbox.run(["ip", "link", "set", "wlan0", "down"], check=True)
        assert controller.expect("unready") == []
        assert not leased(sandbox)
        sandbox.run(["ip", "link", "set", "wlan0", "up"], check=True)
        assert controller.expect("waitingInterfaceRunning") == ["enabled", "waiting"]
        controller.send("activate")
        assert controller.expect("ready") == ["waitingIpSetup"]
        assert wait_until(lambda: leased(sandbox), timeout=HELPER_TIMEOUT)
        assert controller.count("@disconnecting") == 0
    finally:
        controller.process.stdin.close()
        assert controller.process.wait(timeout=HELPER_TIMEOUT) == 0, controller.output()
        server.kill()
