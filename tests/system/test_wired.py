"""The daemon on the cable in the sandbox world, checked where the effects land: the kernel's
addresses and routes, the resolver file and the bus. The far end serves DHCP, router
advertisements or nothing at all. Last, what the kernel reports about links and addresses, as
the daemon passes it on."""

import ipaddress
import signal

import sandbox as world

from conftest import STATIC, Client, ip, ipv4, start, wait_until

RA_SERVERS = ("fd77::53", "fe80::53")
RA_DOMAIN = "ra.test"
# A link-local server is of use only together with its interface.
RA_RESOLVER = ["nameserver fd77::53", "nameserver fe80::53%eth0"]
POOL = tuple(map(ipaddress.ip_address, world.DHCP_POOL))
LINK_LOCAL = ipaddress.ip_network("169.254.0.0/16")
# The daemon gives DHCP this long before it falls back to a link-local address.
FALLBACK_SECONDS = 24
SETTLE_TIMEOUT = 20
# Far more link changes than the daemon's netlink buffer holds.
BURST = 20000


def daemon_with_client(sandbox, norvid_binary, source_dir):
    client = Client(sandbox, source_dir)
    daemon = start(sandbox, [str(norvid_binary), "-d"])
    client.signals.expect("Started")
    client.ignored = "wlan0"
    return client, daemon


def global_ipv6(sandbox, usable_only=True):
    """Unless usable_only is False, those past duplicate address detection: a tentative
    address is not yet of use."""
    usable = ["-tentative"] if usable_only else []
    shown = sandbox.run(["ip", "-6", "-o", "addr", "show", "dev", "eth0", "scope", "global",
                         *usable], check=True).stdout
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
    client, daemon = daemon_with_client(sandbox, norvid_binary, source_dir)
    # A default route elsewhere gives way to the lease's instead of keeping it out.
    for args in (("link", "add", "other0", "type", "veth", "peer", "name", "other1"),
                 ("link", "set", "other1", "up"), ("link", "set", "other0", "up"),
                 ("addr", "add", "10.79.0.2/24", "dev", "other0"),
                 ("route", "add", "default", "via", "10.79.0.1")):
        ip(sandbox, *args)
    client.call("SetNormalMode", "wired")
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

    # Back to DHCP with no server: the advertisements alone connect, once the address the
    # reload flushed is configured again, not on the stale record of it.
    sandbox.stop_dhcp_server()
    client.set("WiredIpSettings", {})
    assert client.expect("Connected", "eth0")[-1] == ("Connected", "eth0")
    assert global_ipv6(sandbox, usable_only=False) and ipv4(sandbox) == []
    client.set("WiredIpSettings", STATIC)
    client.expect("Connected", "eth0")

    # No advertisement may bring the address back between the flush and the check.
    sandbox.stop_radvd()
    sandbox.unplug()
    assert client.expect("Disconnected", "eth0") == [("CableStatus", False),
                                                     ("Disconnected", "eth0")]
    assert ipv4(sandbox) == [] and global_ipv6(sandbox) == []
    assert default_routes(sandbox) == ""
    assert resolver(sandbox) == []
    # What the router advertised went with the carrier.
    sandbox.plug()
    client.expect("Connected", "eth0")
    settles(lambda: resolver(sandbox), [f"nameserver {STATIC['Dns']}",
                                        f"search {STATIC['SearchDomains']}"])
    assert daemon.process.poll() is None


def test_link_local_fallback_then_a_late_lease_through_a_read_only_resolver_link(
        sandbox, norvid_binary, source_dir):
    # Neither /etc nor the mount point can take a new file: the link's target is rewritten.
    sandbox.run(["sh", "-ec", """touch /run/resolv.conf /run/mounted
        mount --bind /run/mounted /run/resolv.conf
        ln -sf /run/resolv.conf /etc/resolv.conf
        mount --bind /etc /etc
        mount -o remount,bind,ro /etc"""], check=True)
    client, daemon = daemon_with_client(sandbox, norvid_binary, source_dir)
    client.call("SetNormalMode", "wired")
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


def present(client, name):
    return client.details(name)["Present"]


def test_address_reports_only_on_real_changes_and_a_renamed_interface(
        sandbox, norvid_binary, source_dir):
    client, _ = daemon_with_client(sandbox, norvid_binary, source_dir)
    client.signals.quiet(ignored=())  # the start's own reports
    ip(sandbox, "link", "add", "other0", "type", "veth", "peer", "name", "other1")
    for link in ("other0", "other1"):
        ip(sandbox, "link", "set", link, "addrgenmode", "none")
        ip(sandbox, "link", "set", link, "up")
    assert wait_until(lambda: present(client, "other0") == 2)
    assert client.signals.quiet(ignored=()) == []
    one_report = [("AddressesChanged", [])]

    ip(sandbox, "addr", "add", "10.79.0.5/24", "dev", "other0")
    assert client.signals.quiet(ignored=()) == one_report
    # A change that keeps every recorded field, a host-scope address and an address that is
    # deprecated from the start are no changes.
    ip(sandbox, "addr", "change", "10.79.0.5/24", "dev", "other0", "valid_lft", "600",
       "preferred_lft", "600")
    ip(sandbox, "addr", "add", "10.99.0.1/32", "dev", "other0", "scope", "host")
    ip(sandbox, "-6", "addr", "add", "fd79::7/64", "dev", "other0", "preferred_lft", "0", "nodad")
    assert client.signals.quiet(ignored=()) == []
    ip(sandbox, "-6", "addr", "add", "fd79::5/64", "dev", "other0", "nodad")
    assert client.signals.quiet(ignored=()) == one_report
    # An address that turns deprecated counts as gone.
    ip(sandbox, "-6", "addr", "change", "fd79::5/64", "dev", "other0", "preferred_lft", "0")
    assert client.signals.quiet(ignored=()) == one_report

    ip(sandbox, "link", "set", "other0", "down")
    ip(sandbox, "link", "set", "other0", "name", "ren0")
    assert wait_until(lambda: present(client, "ren0") == 1)


def test_notifications_lost_in_a_burst_are_read_again_from_the_kernel(
        sandbox, norvid_binary, source_dir):
    client, daemon = daemon_with_client(sandbox, norvid_binary, source_dir)
    client.set("WiredIpSettings", STATIC)
    client.call("SetNormalMode", "wired")
    client.expect("Connected", "eth0")

    # While the daemon reads nothing, the kernel drops what no longer fits: the last changes,
    # which take the carrier.
    daemon.process.send_signal(signal.SIGSTOP)
    burst = "".join(f"link set eth0 alias burst{i}\n" for i in range(BURST))
    sandbox.run(["ip", "-batch", "-"], input=burst, check=True)
    sandbox.unplug()
    daemon.process.send_signal(signal.SIGCONT)
    assert client.expect("Disconnected", "eth0")[-2:] == [("CableStatus", False),
                                                         ("Disconnected", "eth0")]
    # What was queued before the loss is older than what was read again: it must not bring
    # back the carrier.
    assert client.signals.quiet() == []
    assert client.details("eth0")["CableStatus"] is False
