"""The wired controller on the sandbox's eth0 with everything real: the link driven through ip,
carrier and presence from the netlink and udev watchers, busybox udhcpc and the lease script
against the DHCP server at the other end of the cable.

A helper program runs the controller, passes it the watchers' reports as the manager does, and
writes its signals as lines starting with "@"; the tests send it the manager's requests.
"""

import subprocess
import time

from test_address_manager import HELPER_TIMEOUT, Manager, ipv4_addresses, leased


def start_controller(sandbox, build_dir):
    helper = str(build_dir / "tests" / "helpers" / "wired_run")
    process = sandbox.spawn([helper, "-d", "eth0"], stdin=subprocess.PIPE)
    controller = Manager(process)
    controller.expect("started")
    return controller


def stop_controller(controller):
    controller.process.stdin.close()
    assert controller.process.wait(timeout=HELPER_TIMEOUT) == 0, controller.output()


def link_is_up(sandbox):
    flags = sandbox.run(["ip", "-o", "link", "show", "dev", "eth0"], check=True).stdout
    return ",UP" in flags or "<UP" in flags


def connect(controller):
    """Enables and activates as the mode machine does once the carrier is there; returns the
    signals passed over on the way to ready()."""
    controller.send("enable")
    passed = controller.expect("waitingInterfaceRunning")
    controller.send("activate")
    return passed + controller.expect("ready")


def test_plug_connect_pull_and_reconnect(make_sandbox, build_dir):
    sandbox = make_sandbox(plugged=False)
    sandbox.start_dhcp_server()
    controller = start_controller(sandbox, build_dir)
    try:
        controller.expect("disabled")
        assert not link_is_up(sandbox)

        plugged = time.monotonic()
        sandbox.plug()
        passed = connect(controller)
        print("plug to ready(): %.0f ms" % ((time.monotonic() - plugged) * 1000))
        assert passed == ["waiting", "cable in", "waitingIpSetup"]
        assert link_is_up(sandbox)
        [address] = leased(sandbox)
        assert address.network.prefixlen == 24

        # Pulling the cable ends the hold at once: no disconnecting() first.
        sandbox.unplug()
        assert controller.expect("disconnected") == ["cable out", "unready"]
        assert ipv4_addresses(sandbox) == []

        # Plugged again, nothing happens until the manager asks once more.
        sandbox.plug()
        assert controller.expect("disconnected") == ["cable in"]
        assert ipv4_addresses(sandbox) == []
        assert connect(controller) == ["waitingIpSetup"]
        assert leased(sandbox)
        assert controller.count("@ready") == 2
        assert controller.count("@disconnecting") == 0
    finally:
        stop_controller(controller)
