#include "NetworkDriver.h"

#include "NetworkUtilities.h"
#include "NorviProcess.h"
#include "WirelessNetwork.h"

namespace {

const QString IpProgram = QStringLiteral("ip");
const QString Ipv4Option = QStringLiteral("-4");
const QString Ipv6Option = QStringLiteral("-6");

bool isIpv4(const QString &address)
{
    return norvi::parseHostAddress(address).protocol() == QAbstractSocket::IPv4Protocol;
}

// Anything that is not IPv4 goes to ip as IPv6, which rejects what is neither.
QString familyOption(const QString &address)
{
    return isIpv4(address) ? Ipv4Option : Ipv6Option;
}

QStringList familyOptions(NetworkDriver::Proto proto)
{
    switch (proto) {
    case NetworkDriver::Ipv4:
        return {Ipv4Option};
    case NetworkDriver::Ipv6:
        return {Ipv6Option};
    case NetworkDriver::Both:
        break;
    }
    return {Ipv4Option, Ipv6Option};
}

} // namespace

NetworkDriverIp::NetworkDriverIp(QObject *parent) : QObject(parent) {}

void NetworkDriverIp::runIp(const QStringList &arguments)
{
    m_commands.execute(IpProgram, arguments);
}

void NetworkDriverIp::setLink(const InterfaceName &interface, const QStringList &settings)
{
    runIp(QStringList{"link", "set", "dev", interface.toString()} + settings);
}

void NetworkDriverIp::up(const InterfaceName &interface)
{
    setLink(interface, {"up"});
}

void NetworkDriverIp::down(const InterfaceName &interface)
{
    setLink(interface, {"down"});
}

void NetworkDriverIp::flush(Proto proto, const InterfaceName &interface, bool scopeGlobal)
{
    for (const QString &family : familyOptions(proto)) {
        QStringList arguments{family, "addr", "flush", "dev", interface.toString()};
        if (scopeGlobal) {
            arguments << "scope"
                      << "global";
        }
        runIp(arguments);
    }
}

void NetworkDriverIp::setMacAddress(const Bssid &mac, const InterfaceName &interface)
{
    setLink(interface, {"address", mac.toString()});
}

void NetworkDriverIp::setIpAddress(const QString &ip, int prefixLength,
                                   const InterfaceName &interface)
{
    switch (norvi::parseHostAddress(ip).protocol()) {
    case QAbstractSocket::IPv4Protocol:
        flush(Ipv4, interface, false);
        break;
    case QAbstractSocket::IPv6Protocol:
        flush(Ipv6, interface, true);
        break;
    default:
        nvWarning() << "Not setting unparsable IP address " << ip << " on " << interface;
        return;
    }
    addIpAddress(ip, prefixLength, interface);
}

void NetworkDriverIp::addIpAddress(const QString &ip, int prefixLength,
                                   const InterfaceName &interface)
{
    QStringList arguments{familyOption(ip), "address", "add",
                          ip + QLatin1Char('/') + QString::number(prefixLength)};
    // ip refuses a broadcast address for anything but IPv4 and would then add nothing.
    if (isIpv4(ip)) {
        arguments << "broadcast"
                  << "+";
    }
    runIp(arguments + QStringList{"dev", interface.toString()});
}

void NetworkDriverIp::routeFlush(Proto proto)
{
    for (const QString &family : familyOptions(proto)) {
        runIp({family, "route", "flush", "to", "default"});
    }
}

void NetworkDriverIp::addDefaultRoute(const QString &gateway, const InterfaceName &interface)
{
    runIp({familyOption(gateway), "route", "add", "default", "via", gateway, "dev",
           interface.toString()});
}

void NetworkDriverIp::afterOperations(const Step &step)
{
    m_commands.then(step);
}

void NetworkDriverIp::finishOperations()
{
    m_commands.finish();
}

IpAddressSetter::IpAddressSetter(NetworkDriver *driver) : m_driver(driver) {}

void IpAddressSetter::setIpAndNetmask(const InterfaceConfiguration &config)
{
    const QNetworkAddressEntry entry = config.getNetworkAddressEntry();
    const InterfaceName interface = config.getInterface();
    nvDebug() << "Setting Ip address: " << entry.ip().toString()
              << " to interface: " << interface.toString();
    if (interface.isEmpty()) {
        return;
    }
    m_driver->flush(NetworkDriver::Ipv4, interface, false);
    if (!config.hasAddress()) {
        return;
    }
    int prefixLength = entry.prefixLength();
    if (prefixLength < 0) {
        nvWarning() << "No netmask defined, assuming /24 network";
        prefixLength = DefaultPrefixLength;
    }
    m_driver->addIpAddress(entry.ip().toString(), prefixLength, interface);
}

void IpAddressSetter::setGateway(const InterfaceConfiguration &config)
{
    const InterfaceName interface = config.getInterface();
    nvDebug() << "Setting gateway address: " << config.getGateway().toString()
              << " to interface: " << interface.toString();
    if (interface.isEmpty() || !config.hasGateway()) {
        return;
    }
    // The routes are looked at once the address changes asked for before have been made: a
    // flushed address takes its routes along.
    NetworkDriver *const driver = m_driver;
    const QString gateway = config.getGateway().toString();
    m_driver->afterOperations([driver, gateway, interface] {
        if (!NetworkUtilities::getGateway().isEmpty()) {
            driver->routeFlush(NetworkDriver::Ipv4);
        }
        driver->addDefaultRoute(gateway, interface);
    });
}
