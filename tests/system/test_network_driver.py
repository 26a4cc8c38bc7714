"""The link driver, the address setter and the gateway readers against the real kernel of the
sandbox world."""

import json

import pytest

from conftest import wait_until


def driver(sandbox, build_dir, *args):
    """Runs one driver operation inside the sandbox; returns its log output."""
    helper = build_dir / "tests" / "helpers" / "netconfig_driver"
    result = sandbox.run([str(helper), *args])
    output = result.stdout + result.stderr
    assert result.returncode == 0, output
    return output


def ip_json(sandbox, *args):
    result = sandbox.run(["ip", "-j", *args], check=True)
    return json.loads(result.stdout or "[]")


def addresses(sandbox, link, family, scope="global"):
    infos = [info for entry in ip_json(sandbox, family, "addr", "show", "dev", link)
             for info in entry.get("addr_info", [])]
    return sorted((info["local"], info["prefixlen"]) for info in infos if info["scope"] == scope)


def broadcast(sandbox, link, address):
    for entry in ip_json(sandbox, "-4", "addr", "show", "dev", link):
        for info in entry["addr_info"]:
            if info["local"] == address:
                return info.get("broadcast")
    return None


def default_routes(sandbox, family):
    return sorted((route.get("gateway"), route["dev"])
                  for route in ip_json(sandbox, family, "route", "show", "default"))


def assert_no_failed_command(output):
    assert "finished with error code" not in output, output
    assert "failed to start" not in output, output


@pytest.fixture
def eth0_up(sandbox, build_dir):
    assert_no_failed_command(driver(sandbox, build_dir, "up", "eth0"))
    assert wait_until(lambda: addresses(sandbox, "eth0", "-6", scope="link"))
    return sandbox


def test_link_up_down_and_mac_address(sandbox, build_dir):
    for args in (("up", "wlan0"), ("set-mac", "02:77:00:ab:cd:05", "wlan0")):
        assert_no_failed_command(driver(sandbox, build_dir, *args))
    link = ip_json(sandbox, "link", "show", "dev", "wlan0")[0]
    assert "UP" in link["flags"] and link["address"] == "02:77:00:ab:cd:05"
    assert_no_failed_command(driver(sandbox, build_dir, "down", "wlan0"))
    assert "UP" not in ip_json(sandbox, "link", "show", "dev", "wlan0")[0]["flags"]


def test_addresses_are_added_replaced_and_flushed(eth0_up, build_dir):
    sandbox = eth0_up
    link_local = addresses(sandbox, "eth0", "-6", scope="link")

    for args in (("add-ip", "10.77.0.5", "24", "eth0"), ("add-ip", "10.77.0.9", "28", "eth0"),
                 ("add-ip", "fd77::5", "64", "eth0")):
        assert_no_failed_command(driver(sandbox, build_dir, *args))
    assert addresses(sandbox, "eth0", "-4") == [("10.77.0.5", 24), ("10.77.0.9", 28)]
    assert broadcast(sandbox, "eth0", "10.77.0.5") == "10.77.0.255"
    assert addresses(sandbox, "eth0", "-6") == [("fd77::5", 64)]

    # Replacing an address of one family leaves the other family alone.
    assert_no_failed_command(driver(sandbox, build_dir, "set-ip", "10.77.0.6", "16", "eth0"))
    assert addresses(sandbox, "eth0", "-4") == [("10.77.0.6", 16)]
    assert addresses(sandbox, "eth0", "-6") == [("fd77::5", 64)]
    assert_no_failed_command(driver(sandbox, build_dir, "set-ip", "fd77::6", "64", "eth0"))
    assert addresses(sandbox, "eth0", "-6") == [("fd77::6", 64)]
    assert addresses(sandbox, "eth0", "-4") == [("10.77.0.6", 16)]

    assert_no_failed_command(driver(sandbox, build_dir, "flush", "ipv6", "eth0", "global"))
    assert addresses(sandbox, "eth0", "-6") == []
    assert addresses(sandbox, "eth0", "-6", scope="link") == link_local

    assert_no_failed_command(driver(sandbox, build_dir, "flush", "both", "eth0", "all"))
    assert addresses(sandbox, "eth0", "-4") == []
    assert addresses(sandbox, "eth0", "-6", scope="link") == []


def test_address_setter_applies_netmask_or_assumes_24(eth0_up, build_dir):
    sandbox = eth0_up
    driver(sandbox, build_dir, "add-ip", "10.77.0.20", "24", "eth0")

    driver(sandbox, build_dir, "set-ip-and-netmask", "eth0", "10.77.0.7", "255.255.0.0")
    assert addresses(sandbox, "eth0", "-4") == [("10.77.0.7", 16)]

    output = driver(sandbox, build_dir, "set-ip-and-netmask", "eth0", "10.77.0.8", "255.0.255.0")
    assert "No netmask defined, assuming /24 network" in output
    assert 'Setting Ip address: "10.77.0.8" to interface: "eth0"' in output
    assert addresses(sandbox, "eth0", "-4") == [("10.77.0.8", 24)]

    # A record without address (DHCP) clears the interface's static address.
    driver(sandbox, build_dir, "set-ip-and-netmask", "eth0", "", "")
    assert addresses(sandbox, "eth0", "-4") == []


def test_default_routes_and_gateway_readers(eth0_up, build_dir):
    sandbox = eth0_up
    driver(sandbox, build_dir, "add-ip", "10.77.0.5", "24", "eth0")
    driver(sandbox, build_dir, "add-ip", "fd77::5", "64", "eth0")
    assert driver(sandbox, build_dir, "gateway").splitlines()[-1] == ""

    assert_no_failed_command(driver(sandbox, build_dir, "add-default-route", "10.77.0.1", "eth0"))
    assert_no_failed_command(driver(sandbox, build_dir, "add-default-route", "fd77::1", "eth0"))
    assert default_routes(sandbox, "-4") == [("10.77.0.1", "eth0")]
    assert default_routes(sandbox, "-6") == [("fd77::1", "eth0")]
    assert driver(sandbox, build_dir, "gateway").splitlines()[-1] == "10.77.0.1"
    assert driver(sandbox, build_dir, "gateway6").splitlines()[-1] == "fd77::1"

    # The setter replaces the existing default route instead of failing next to it.
    output = driver(sandbox, build_dir, "set-gateway", "eth0", "10.77.0.2")
    assert 'Setting gateway address: "10.77.0.2" to interface: "eth0"' in output
    assert_no_failed_command(output)
    assert default_routes(sandbox, "-4") == [("10.77.0.2", "eth0")]

    assert_no_failed_command(driver(sandbox, build_dir, "route-flush", "ipv4"))
    assert default_routes(sandbox, "-4") == []
    assert default_routes(sandbox, "-6") == [("fd77::1", "eth0")]
    driver(sandbox, build_dir, "route-flush", "both")
    assert default_routes(sandbox, "-6") == []
    assert driver(sandbox, build_dir, "gateway6").splitlines()[-1] == ""


def test_dns_servers_are_read_from_the_resolver_file(sandbox, build_dir):
    sandbox.write_file("/etc/resolv.conf", "nameserver 10.77.0.53\nsearch sandbox.test\n"
                                           "nameserver fd77::53\n")
    assert driver(sandbox, build_dir, "dns-servers").splitlines()[-1] == "10.77.0.53 fd77::53"


def test_values_that_cannot_apply_change_nothing(eth0_up, build_dir):
    sandbox = eth0_up
    driver(sandbox, build_dir, "add-ip", "10.77.0.5", "24", "eth0")
    driver(sandbox, build_dir, "add-default-route", "10.77.0.1", "eth0")
    for args in (("set-gateway", "eth0", ""), ("set-ip", "not-an-address", "24", "eth0"),
                 ("set-ip-and-netmask", "", "10.77.0.6", "255.255.255.0")):
        assert_no_failed_command(driver(sandbox, build_dir, *args))
    assert addresses(sandbox, "eth0", "-4") == [("10.77.0.5", 24)]
    assert default_routes(sandbox, "-4") == [("10.77.0.1", "eth0")]
