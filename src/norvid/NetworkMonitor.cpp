#include "NetworkMonitor.h"

#include "NetlinkWatcher.h"
#include "NetworkUtilities.h"
#include "NorviDBus.h"

#include <QNetworkInterface>
#include <QTimer>

#include <algorithm>

namespace {

const QString PassiveMode = QStringLiteral("Passive");

bool isIpv4(const QNetworkAddressEntry &entry)
{
    return entry.ip().protocol() == QAbstractSocket::IPv4Protocol;
}

bool hasIpv4Address(const QString &name)
{
    const QList<QNetworkAddressEntry> entries =
        NetworkUtilities::findInterface(name).addressEntries();
    return std::any_of(entries.begin(), entries.end(), isIpv4);
}

// "Ip" and "Netmask" of the first IPv4 address, both empty when there is none.
void putFirstIpv4(QVariantMap &details, const QNetworkInterface &interface)
{
    details.insert("Ip", QString());
    details.insert("Netmask", QString());
    const QList<QNetworkAddressEntry> entries = interface.addressEntries();
    const auto first = std::find_if(entries.begin(), entries.end(), isIpv4);
    if (first != entries.end()) {
        details.insert("Ip", first->ip().toString());
        details.insert("Netmask", first->netmask().toString());
    }
}

} // namespace

NetworkMonitor::NetworkMonitor(const QString &wiredName, const QString &wirelessName,
                               const QStringList &softApNames, int checkIntervalMs, QObject *parent)
    : QObject(parent), m_wired(initialState(wiredName)), m_wireless(initialState(wirelessName))
{
    Q_UNUSED(softApNames);
    m_netlink = new NetlinkWatcher(this);
    m_checkTimer = new QTimer(this);
    norvi::connect(m_netlink, SIGNAL(interfaceStatusChanged(QByteArray, bool, bool)), this,
                   SLOT(on_interfaceNetlinkChanged(QByteArray, bool, bool)));
    norvi::connect(m_netlink, SIGNAL(addressesChanged()), this, SLOT(on_addressesChanged()));
    if (m_wired.state != LinkState::Disconnected) {
        emit CableStatus(true);
    }
    m_checkTimer->setInterval(checkIntervalMs);
    m_checkTimer->setSingleShot(true);
    m_checkTimer->start();
    norvi::connect(m_checkTimer, SIGNAL(timeout()), this, SLOT(on_addressesChanged()));
    norvi::registerControlInterface(this);
    emit Started();
}

NetworkMonitor::Watched NetworkMonitor::initialState(const QString &name)
{
    const InterfaceName interface(name);
    if (NetworkUtilities::findInterface(name).flags().testFlag(QNetworkInterface::IsRunning)) {
        nvInfo() << "Interface " << name << " is runnig";
        return {interface, LinkState::Waiting};
    }
    nvInfo() << "Interface " << name << " is disconnected";
    return {interface, LinkState::Disconnected};
}

bool NetworkMonitor::isConnected() const
{
    return m_wired.state == LinkState::Connected || m_wireless.state == LinkState::Connected;
}

QString NetworkMonitor::getMode() const
{
    return PassiveMode;
}

QVariantMap NetworkMonitor::getDetails() const
{
    return norvi::detailsOf(*this, m_wired.name.toString(), m_wireless.name.toString());
}

int NetworkMonitor::getLogLevel() const
{
    return norvi::logLevel();
}

void NetworkMonitor::setLogLevel(int level)
{
    norvi::setLogLevel(level);
}

// The monitor holds no configuration: every configuration property reads empty and every
// write is refused.

QVariantMap NetworkMonitor::getSoftApModeSettings() const
{
    return QVariantMap();
}

void NetworkMonitor::setSoftApModeSettings(const QVariantMap &settings)
{
    nvInfo() << "COMMAND: Ignoring softAp settings: " << norvi::clientText(settings);
}

QVariantMap NetworkMonitor::getWirelessNetworks() const
{
    return QVariantMap();
}

// Nested maps (each network's credentials) are still undecoded D-Bus arguments here, so the
// log shows the SSIDs but no key.
void NetworkMonitor::setWirelessNetworks(const QVariantMap &networks)
{
    nvInfo() << "COMMAND: Ignoring wireless networks: " << norvi::clientText(networks);
}

QVariantMap NetworkMonitor::getWiredIpSettings() const
{
    return QVariantMap();
}

void NetworkMonitor::setWiredIpSettings(const QVariantMap &settings)
{
    nvInfo() << "COMMAND: Ignoring Wired Ip settings: " << norvi::clientText(settings);
}

QVariantMap NetworkMonitor::getWirelessIpSettings() const
{
    return QVariantMap();
}

void NetworkMonitor::setWirelessIpSettings(const QVariantMap &settings)
{
    nvInfo() << "COMMAND: Ignoring Wireless Ip settings: " << norvi::clientText(settings);
}

QVariantMap NetworkMonitor::InterfaceDetails(const QString &name) const
{
    nvInfo() << "COMMAND: Getting interface details for " << norvi::clientText(name);
    const QNetworkInterface interface = NetworkUtilities::findInterface(name);
    if (!interface.isValid()) {
        nvWarning() << "No such interface: " << norvi::clientText(name);
        return QVariantMap();
    }
    QVariantMap details{{"Interface", name}, {"Mac", interface.hardwareAddress()}};
    putFirstIpv4(details, interface);
    const InterfaceName interfaceName(name);
    if (interfaceName == m_wired.name) {
        details.insert("Connected", m_wired.state == LinkState::Connected);
        details.insert("CableStatus", m_wired.state != LinkState::Disconnected);
    } else if (interfaceName == m_wireless.name) {
        details.insert("Connected", m_wireless.state == LinkState::Connected);
    }
    details.insert("Gateway", NetworkUtilities::getGateway());
    details.insert("Dns", NetworkUtilities::getDnsServers().join(QLatin1Char(' ')));
    return details;
}

void NetworkMonitor::SetOffMode()
{
    nvInfo() << "COMMAND: Ignoring off mode request!";
}

void NetworkMonitor::SetNormalMode(const QString &mode)
{
    nvInfo() << "COMMAND: Ignoring normal mode request: " << norvi::clientText(mode);
}

void NetworkMonitor::SetSoftApMode(const QString &mode)
{
    nvInfo() << "COMMAND: Ignoring softAp mode request: " << norvi::clientText(mode);
}

void NetworkMonitor::WpsPbc()
{
    nvInfo() << "COMMAND: Ignoring WPS request";
}

// A PIN is a credential: it stays out of the log.
void NetworkMonitor::WpsPin(const QString &pin)
{
    Q_UNUSED(pin);
    nvInfo() << "COMMAND: Ignoring WPS PIN request";
}

void NetworkMonitor::Scan()
{
    nvInfo() << "COMMAND: Ignoring scan request!";
}

void NetworkMonitor::on_addressesChanged()
{
    checkAddress(m_wired);
    checkAddress(m_wireless);
    emit AddressesChanged();
}

// An interface still waiting for its address reports nothing: clients take Disconnected as the
// end of a connection that Connected announced, and none was.
void NetworkMonitor::checkAddress(Watched &interface)
{
    if (interface.state == LinkState::Disconnected) {
        return;
    }
    const bool hasIpv4 = hasIpv4Address(interface.name.toString());
    if (interface.state == LinkState::Waiting && hasIpv4) {
        interface.state = LinkState::Connected;
        emit Connected(interface.name.toString());
    } else if (interface.state == LinkState::Connected && !hasIpv4) {
        interface.state = LinkState::Waiting;
        emit Disconnected(interface.name.toString());
    }
}

// Only carrier counts; whether the link is administratively up is someone else's business.
// Link reports come for many other reasons (MTU, alias, promiscuous mode, queue length, a Wi-Fi
// background scan), and a report that leaves the carrier as it was changes nothing.
void NetworkMonitor::on_interfaceNetlinkChanged(const QByteArray &name, bool up, bool running)
{
    Q_UNUSED(up);
    const InterfaceName interface(QString::fromLatin1(name));
    if (interface == m_wired.name && carrierChanged(m_wired, running)) {
        emit CableStatus(running);
        onCarrier(m_wired, running);
    } else if (interface == m_wireless.name && carrierChanged(m_wireless, running)) {
        onCarrier(m_wireless, running);
    }
}

bool NetworkMonitor::carrierChanged(const Watched &interface, bool running)
{
    return running != (interface.state != LinkState::Disconnected);
}

void NetworkMonitor::onCarrier(Watched &interface, bool running)
{
    if (running) {
        interface.state = LinkState::Waiting;
        m_checkTimer->start();
        return;
    }
    emit Disconnected(interface.name.toString());
    interface.state = LinkState::Disconnected;
}
