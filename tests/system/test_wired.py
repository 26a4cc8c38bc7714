"""The daemon on the cable in the sandbox world, checked where the effects land: the kernel's
addresses and routes, the resolver file and the bus. The far end serves DHCP, router
advertisements or nothing at all."""

import ipaddress

import sandbox as world

from conftest import STATIC, Client, ipv4, start, wait_until

RA_SERVERS = ("fd77::53", "fe80::53")
RA_DOMAIN = "ra.test"
# A link-local server is of use only together with its interface.
RA_RESOLVER = ["nameserver fd77::53", "nameserver fe80::53%eth0"]
POOL = tuple(map(ipaddress.ip_address, world.DHCP_POOL))
LINK_LOCAL = ipaddress.ip_network("169.254.0.0/16")
# The daemon gives DHCP this long before it falls back to a link-local address.
FALLBACK_SECONDS = 24
SETTLE_TIMEOUT = 20


def wired_daemon(sandbox, norvid_binary, source_dir):
    client = Client(sandbox, source_dir)
    daemon = start(sandbox, [str(norvid_binary), "-d"])
    client.signals.expect("Started")
    client.ignored = "wlan0"
    client.call("SetNormalMode", "wired")
    return client, daemon


def global_ipv6(sandbox):
    """Those past duplicate address detection: a tentative address is not yet of use."""
    shown = sandbox.run(["ip", "-6", "-o", "addr", "show", "dev", "eth0", "scope", "global",
                         "-tentative"], check=True).stdout
    return [ipaddress.ip_interface(line.split()[3]) for line in shown.splitlines()]


def default_routes(sandbox):
    return sandbox.run(["ip", "-4", "route", "show", "default"], check=True).stdout.strip()


def broadcast(sandbox):
    shown = sandbox.run(["ip", "-4", "-o", "addr", "show", "dev", "eth0"], check=True).stdout
    return shown.split(" brd ")[1].split()[0] if " brd " in shown else None


def resolver(sandbox):
    return [line for line in sandbox.read_file("/etc/resolv.conf").splitlines()
            if line and not line.startswith("#")]


def settles(what, expected):
    assert wait_until(lambda: what() == expected, SETTLE_TIMEOUT), (what(), expected)


def leased(sandbox):
    return [a for a in ipv4(sandbox) if POOL[0] <= a.ip <= POOL[1]]


def test_lease_and_router_advertisements_through_ipv4_loss_static_settings_and_unplug(
        sandbox, norvid_binary, source_dir):
    sandbox.start_radvd(rdnss=RA_SERVERS, dnssl=(RA_DOMAIN,))
    sandbox.start_dhcp_server()
    client, daemon = wired_daemon(sandbox, norvid_binary, source_dir)
    client.expect("Connected", "eth0")
    assert wait_until(lambda: leased(sandbox) and global_ipv6(sandbox))
    [address] = leased(sandbox)
    assert address.network.prefixlen == world.PREFIX_LEN_V4
    assert broadcast(sandbox) == str(address.network.broadcast_address)
    assert default_routes(sandbox) == f"default via {world.PEER_IPV4} dev eth0"
    assert global_ipv6(sandbox)[0] in ipaddress.ip_network("fd77::/64")
    details = client.details("eth0")
    assert details["Gateway"] == world.PEER_IPV4
    assert details["Gateway6"].startswith("fe80::")
    # IPv4's share comes first; the search list is sorted.
    settles(lambda: resolver(sandbox), [f"nameserver {world.DNS_SERVER}", *RA_RESOLVER,
                                        f"search {RA_DOMAIN} {world.DOMAIN}"])

    # IPv4 alone losing its configuration (its client dies) leaves the cable connected.
    [udhcpc] = sandbox.run(["pgrep", "-x", "udhcpc"], check=True).stdout.split()
    sandbox.run(["kill", "-KILL", udhcpc], check=True)
    settles(lambda: resolver(sandbox), [*RA_RESOLVER, f"search {RA_DOMAIN}"])
    assert ipv4(sandbox) == []
    assert client.get("Connected") is True and client.signals.quiet() == []

    # Static settings replace DHCP; the address set up through the advertisements comes back
    # after the reload flushed it, and no stale report of its removal takes it away again.
    client.set("WiredIpSettings", STATIC)
    assert client.expect("Connected", "eth0") == [
        ("Disconnecting", "eth0"), ("Disconnected", "eth0"), ("Connected", "eth0")]
    assert [str(a) for a in ipv4(sandbox)] == ["10.77.0.20/24"]
    assert broadcast(sandbox) == "10.77.0.255"
    assert default_routes(sandbox) == f"default via {world.PEER_IPV4} dev eth0"
    assert sandbox.run(["pgrep", "-x", "udhcpc"]).stdout == ""
    settles(lambda: resolver(sandbox), [f"nameserver {STATIC['Dns']}", *RA_RESOLVER,
                                        f"search {RA_DOMAIN} {STATIC['SearchDomains']}"])
    assert wait_until(lambda: global_ipv6(sandbox), SETTLE_TIMEOUT)
    assert client.details("eth0")["Dns"].split() == \
        [STATIC["Dns"], *(line.split()[1] for line in RA_RESOLVER)]

    # No advertisement may bring the address back between the flush and the check.
    sandbox.stop_radvd()
    sandbox.unplug()
    assert client.expect("Disconnected", "eth0") == [("CableStatus", False),
                                                     ("Disconnected", "eth0")]
    assert ipv4(sandbox) == [] and global_ipv6(sandbox) == []
    assert default_routes(sandbox) == ""
    assert resolver(sandbox) == []
    assert daemon.process.poll() is None


def test_link_local_fallback_then_a_late_lease_through_a_read_only_resolver_link(
        sandbox, norvid_binary, source_dir):
    # Neither /etc nor the mount point can take a new file: the link's target is rewritten.
    sandbox.run(["sh", "-ec", """touch /run/resolv.conf /run/mounted
        mount --bind /run/mounted /run/resolv.conf
        ln -sf /run/resolv.conf /etc/resolv.conf
        mount --bind /etc /etc
        mount -o remount,bind,ro /etc"""], check=True)
    client, daemon = wired_daemon(sandbox, norvid_binary, source_dir)
    assert wait_until(lambda: client.get("Connected"), FALLBACK_SECONDS + SETTLE_TIMEOUT)
    assert client.expect("Connected", "eth0")[-1] == ("Connected", "eth0")
    assert wait_until(lambda: any(a.ip in LINK_LOCAL for a in ipv4(sandbox)), SETTLE_TIMEOUT)
    assert client.details("eth0")["Dhcp"] is True

    sandbox.start_dhcp_server()
    assert wait_until(lambda: leased(sandbox), SETTLE_TIMEOUT)
    settles(lambda: len(ipv4(sandbox)), 1)
    assert sandbox.run(["pgrep", "-x", "avahi-autoipd"]).stdout == ""
    assert default_routes(sandbox) == f"default via {world.PEER_IPV4} dev eth0"
    settles(lambda: resolver(sandbox), [f"nameserver {world.DNS_SERVER}",
                                        f"search {world.DOMAIN}"])
    assert sandbox.read_file("/run/mounted") == sandbox.read_file("/etc/resolv.conf")
    assert sandbox.run(["readlink", "/etc/resolv.conf"]).stdout == "/run/resolv.conf\n"
    # The late lease is no new connection.
    assert client.signals.quiet() == []
    assert daemon.process.poll() is None
