#pragma once

#include <QNetworkInterface>
#include <QString>
#include <QStringList>

// Read-only views of the system's current resolver and routing state. The paths default to the
// real files; tests hand in their own.
class NetworkUtilities
{
public:
    static constexpr const char *ResolvConfPath = "/etc/resolv.conf";
    static constexpr const char *RoutePath = "/proc/net/route";
    static constexpr const char *Ipv6RoutePath = "/proc/net/ipv6_route";

    // The name servers listed in the resolver file.
    static QStringList getDnsServers(const QString &path = ResolvConfPath);
    // The IPv4 default gateway in dotted form, or empty.
    static QString getGateway(const QString &path = RoutePath);
    // The IPv6 default gateway, or empty. Default routes on lo are the kernel's own
    // unreachable entries and do not count.
    static QString getGateway6(const QString &path = Ipv6RoutePath);

    // By exact name: the platform's own lookup also takes a number as an interface index, so
    // that asking for "1" would describe the loopback interface. Invalid when there is none.
    static QNetworkInterface findInterface(const QString &name);

    NetworkUtilities() = delete;
};
