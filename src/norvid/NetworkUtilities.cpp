#include "NetworkUtilities.h"

#include "NorviCommon.h"

#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QtEndian>

#include <optional>

namespace {

const QString NameserverKeyword = QStringLiteral("nameserver");

// /proc/net/route: interface, destination, gateway, flags, refcnt, use, metric, mask, mtu,
// window, irtt; addresses as eight hex digits.
constexpr int RouteFieldCount = 11;
constexpr int RouteDestinationField = 1;
constexpr int RouteGatewayField = 2;
const QString AnyDestination4 = QStringLiteral("00000000");

// /proc/net/ipv6_route: destination, its prefix, source, its prefix, next hop, metric, refcnt,
// use, flags, interface; addresses as 32 hex digits.
constexpr int Route6FieldCount = 10;
constexpr int Route6DestinationField = 0;
constexpr int Route6NextHopField = 4;
constexpr int Route6InterfaceField = 9;
const QString AnyDestination6 = QStringLiteral("00000000000000000000000000000000");
const QString LoopbackInterface = QStringLiteral("lo");

// An unreadable file reads as an empty one: to the callers the system then simply has no such
// entry.
QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        nvWarning() << "Cannot read " << path << ": " << file.errorString();
        return QStringList();
    }
    // Sized conversion: the plain one would stop at a stray zero byte.
    const QByteArray content = file.readAll();
    return QString::fromUtf8(content.constData(), content.size()).split(QLatin1Char('\n'));
}

QHostAddress parseIpv4Hex(const QString &text)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{8}$"));
    if (!hex.match(text).hasMatch()) {
        return QHostAddress();
    }
    // The kernel prints the address's bytes, which are in network order, as one native number.
    return QHostAddress(qFromBigEndian<quint32>(text.toUInt(nullptr, 16)));
}

QHostAddress parseIpv6Hex(const QString &text)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{32}$"));
    if (!hex.match(text).hasMatch()) {
        return QHostAddress();
    }
    const QByteArray bytes = QByteArray::fromHex(text.toLatin1());
    Q_IPV6ADDR address;
    std::copy(bytes.cbegin(), bytes.cend(), address.c);
    return QHostAddress(address);
}

// The gateway field of a line of /proc/net/route that is a default route.
std::optional<QString> defaultRouteGateway4(const QString &line)
{
    const QStringList pieces = line.split(QLatin1Char('\t'));
    if (pieces.size() != RouteFieldCount || pieces.at(RouteDestinationField) != AnyDestination4) {
        return std::nullopt;
    }
    return pieces.at(RouteGatewayField);
}

// The next-hop field of a line of /proc/net/ipv6_route that is a default route. Default routes
// on lo are the kernel's own unreachable entries.
std::optional<QString> defaultRouteGateway6(const QString &line)
{
    const QStringList pieces = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (pieces.size() != Route6FieldCount || pieces.at(Route6DestinationField) != AnyDestination6 ||
        pieces.at(Route6InterfaceField) == LoopbackInterface) {
        return std::nullopt;
    }
    return pieces.at(Route6NextHopField);
}

QString firstDefaultGateway(const QString &path,
                            std::optional<QString> (*gatewayField)(const QString &line),
                            QHostAddress (*parse)(const QString &text))
{
    for (const QString &line : readLines(path)) {
        const std::optional<QString> field = gatewayField(line);
        if (!field) {
            continue;
        }
        const QHostAddress gateway = parse(*field);
        if (!gateway.isNull()) {
            return gateway.toString();
        }
        nvWarning() << "Ignoring default route with unreadable gateway " << *field << " in "
                    << path;
    }
    return QString();
}

} // namespace

QStringList NetworkUtilities::getDnsServers(const QString &path)
{
    QStringList servers;
    for (const QString &line : readLines(path)) {
        if (!line.startsWith(NameserverKeyword)) {
            continue;
        }
        const QStringList pieces = line.split(QLatin1Char(' '));
        if (pieces.size() == 2) {
            servers << pieces.at(1);
        }
    }
    return servers;
}

QString NetworkUtilities::getGateway(const QString &path)
{
    return firstDefaultGateway(path, defaultRouteGateway4, parseIpv4Hex);
}

QString NetworkUtilities::getGateway6(const QString &path)
{
    return firstDefaultGateway(path, defaultRouteGateway6, parseIpv6Hex);
}

QNetworkInterface NetworkUtilities::findInterface(const QString &name)
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        if (interface.name() == name) {
            return interface;
        }
    }
    return QNetworkInterface();
}
