#include "NetworkManager.h"

#include "AddressManager.h"
#include "InterfaceWired.h"
#include "InterfaceWireless.h"
#include "NetlinkWatcher.h"
#include "NetworkConfiguration.h"
#include "NetworkDriver.h"
#include "NetworkUtilities.h"
#include "NorviSetup.h"
#include "NorviStateMachine.h"
#include "ResolvConf.h"
#include "UDevWatcher.h"

#include <QNetworkInterface>
#include <QStateMachine>

#include <algorithm>
#include <functional>

namespace {

const QString OffModeName = QStringLiteral("OffMode");

// A list as the log writes lists, cut like any client's text.
norvi::ClientText listText(const QStringList &items)
{
    QString text;
    QDebug(&text).nospace() << items;
    return norvi::ClientText(text, false);
}

// An IPv4 link-local address, or an IPv6 one in fe80::/16.
bool isLinkLocal(const QHostAddress &address)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        return address.isInSubnet(QHostAddress(QStringLiteral("169.254.0.0")), 16);
    }
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    return bytes[0] == 0xfe && bytes[1] == 0x80;
}

// "address/prefix", with "l" after a link-local one.
QString addressesText(const QNetworkInterface &interface)
{
    QStringList items;
    const QList<QNetworkAddressEntry> entries = interface.addressEntries();
    for (const QNetworkAddressEntry &entry : entries) {
        QHostAddress address = entry.ip();
        address.setScopeId(QString());
        items << QStringLiteral("%1/%2%3")
                     .arg(address.toString())
                     .arg(entry.prefixLength())
                     .arg(isLinkLocal(address) ? QStringLiteral("l") : QString());
    }
    return items.join(QLatin1Char(' '));
}

// SSIDs may contain commas; escaped, the list can still be split at the bare ones.
QString configuredNetworksText(const QSet<WirelessNetwork> &networks)
{
    QStringList ssids;
    for (const WirelessNetwork &network : networks) {
        QString ssid = network.ssid().toString();
        ssids << ssid.replace(QLatin1Char(','), QStringLiteral("\\,"));
    }
    return ssids.join(QLatin1Char(','));
}

// Settings a client sends with a value of the wrong kind, or an address that is no address,
// were not meant as DHCP: they are refused as a whole instead of read as absent.
bool isWellFormedIpSettings(const QVariantMap &settings)
{
    const QStringList wrong = norvi::keysWithoutText(settings);
    if (!wrong.isEmpty()) {
        nvWarning() << "IP settings with values that are not text: " << listText(wrong);
        return false;
    }
    const QString ip = settings.value(QStringLiteral("Ip")).toString();
    if (!ip.isEmpty() && norvi::parseHostAddress(ip).isNull()) {
        nvWarning() << "IP settings with an unusable address: " << norvi::clientText(ip);
        return false;
    }
    return true;
}

} // namespace

NetworkManager::NetworkManager(const QString &wiredName, const QString &wirelessName,
                               const QStringList &softApNames, QObject *parent)
    : QObject(parent), m_machine(new QStateMachine(this)),
      m_config(new NetworkConfiguration(this, wiredName, wirelessName, softApNames)),
      m_driver(new NetworkDriverIp(this)), m_netlink(new NetlinkWatcher(this)),
      m_udev(new UDevWatcher(this)), m_resolvConf(new ResolvConfImpl(this))
{
    qRegisterMetaType<InterfaceName>();
    norvi::registerWirelessMetaTypes();
    findInterfaces();
    createWired(wiredName);
    createWireless(wirelessName, softApNames);
    connectWatchers();
    norvi::registerControlInterface(this);
    norvi::buildModeStates(m_machine, NorviSetup(m_wired, m_wireless, m_config));
    nvDebug() << "Starting the NetworkManager state machine...";
    m_machine->start();
    emit Started();
}

NetworkManager::~NetworkManager() = default;

void NetworkManager::findInterfaces()
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const InterfaceName name(interface.name());
        const QNetworkInterface::InterfaceFlags flags = interface.flags();
        m_present.insert(name);
        if (flags.testFlag(QNetworkInterface::IsUp)) {
            m_up.insert(name);
            nvInfo() << "Found interface: " << name << ", status: up";
        } else {
            nvInfo() << "Found interface: " << name << ", status: down";
        }
        if (flags.testFlag(QNetworkInterface::IsRunning)) {
            m_running.insert(name);
            nvInfo() << "Found interface: " << name << ", status: running";
        } else {
            nvInfo() << "Found interface: " << name << ", status: not running";
        }
    }
}

void NetworkManager::createWired(const QString &name)
{
    const InterfaceName interface(name);
    auto *address = new AddressManager(interface, m_netlink, m_driver, m_resolvConf, this);
    m_wired = new InterfaceWired(interface, m_driver, address, this);
    norvi::connect(m_wired, SIGNAL(ready()), this, SLOT(on_wiredConnected()));
    norvi::connect(m_wired, SIGNAL(disconnecting()), this, SLOT(on_wiredDisconnecting()));
    norvi::connect(m_wired, SIGNAL(unready()), this, SLOT(on_wiredDisconnected()));
    norvi::connect(m_wired, SIGNAL(cableStatus(bool)), this, SIGNAL(CableStatus(bool)));
    norvi::connect(m_wired, SIGNAL(statusChanged(InterfaceStatus)), this,
                   SLOT(on_wiredStatusChanged(InterfaceStatus)));
    m_controllers.insert(interface, m_wired);
}

void NetworkManager::createWireless(const QString &name, const QStringList &softApNames)
{
    const InterfaceName interface(name);
    auto *address = new AddressManager(interface, m_netlink, m_driver, m_resolvConf, this);
    m_wireless = new InterfaceWireless(interface, softApNames, m_driver, address, this);
    // clang-format off
    const std::pair<const char *, const char *> connections[] = {
        {SIGNAL(authError(Ssid, QString)),            SLOT(on_authError(Ssid, QString))},
        {SIGNAL(scanResults(QList<ApDescription>)),   SLOT(on_scanResults(QList<ApDescription>))},
        {SIGNAL(wpsCredentials(WirelessNetwork)),     SLOT(on_wpsCredentials(WirelessNetwork))},
        {SIGNAL(wpsError(QString)),                   SIGNAL(WpsError(QString))},
        {SIGNAL(ready()),                             SLOT(on_wirelessConnected())},
        {SIGNAL(disconnecting()),                     SLOT(on_wirelessDisconnecting())},
        {SIGNAL(unready()),                           SLOT(on_wirelessDisconnected())},
        {SIGNAL(statusChanged(InterfaceStatus)),      SLOT(on_wirelessStatusChanged(InterfaceStatus))},
        {SIGNAL(softapReady(InterfaceName)),          SLOT(on_softapReady(InterfaceName))},
        {SIGNAL(softapUnready(InterfaceName)),        SLOT(on_softapUnready(InterfaceName))},
        {SIGNAL(reconnecting()),                      SLOT(on_reconnecting())},
        {SIGNAL(stationConnected(QString)),           SIGNAL(StationConnected(QString))},
        {SIGNAL(stationDisconnected(QString)),        SIGNAL(StationDisconnected(QString))},
    };
    // clang-format on
    for (const auto &[signal, member] : connections) {
        norvi::connect(m_wireless, signal, this, member);
    }
    m_controllers.insert(interface, m_wireless);
    for (const QString &softAp : m_wireless->getSoftApNames()) {
        m_controllers.insert(InterfaceName(softAp), m_wireless);
    }
}

void NetworkManager::connectWatchers()
{
    norvi::connect(m_netlink, SIGNAL(addressesChanged()), this, SIGNAL(AddressesChanged()));
    norvi::connect(m_netlink, SIGNAL(interfaceStatusChanged(QByteArray, bool, bool)), this,
                   SLOT(on_interfaceNetlinkChanged(QByteArray, bool, bool)));
    norvi::connect(m_udev, SIGNAL(interfaceAdded(QByteArray)), this,
                   SLOT(on_interfaceAdded(QByteArray)));
    norvi::connect(m_udev, SIGNAL(interfaceRemoved(QByteArray)), this,
                   SLOT(on_interfaceRemoved(QByteArray)));
}

QStringList NetworkManager::getStates() const
{
    QStringList names;
    const QSet<QAbstractState *> active = m_machine->configuration();
    for (const QAbstractState *state : active) {
        if (const auto *named = qobject_cast<const NorviState *>(state)) {
            names << named->getName();
        }
    }
    return names;
}

QStringList NetworkManager::getListOfModes()
{
    return norvi::modeNames();
}

bool NetworkManager::isActive(const QString &stateName) const
{
    return getStates().contains(stateName);
}

bool NetworkManager::isConnected() const
{
    const QStringList states = getStates();
    return std::any_of(states.begin(), states.end(), [](const QString &name) {
        return name.contains(QLatin1String("connected"), Qt::CaseInsensitive);
    });
}

QString NetworkManager::getMode() const
{
    const QStringList modes = getListOfModes();
    const QStringList states = getStates();
    for (const QString &state : states) {
        if (modes.contains(state)) {
            return state;
        }
    }
    return QString();
}

QVariantMap NetworkManager::getDetails() const
{
    return norvi::detailsOf(*this, m_wired->getName().toString(), m_wireless->getName().toString());
}

int NetworkManager::getLogLevel() const
{
    return norvi::logLevel();
}

void NetworkManager::setLogLevel(int level)
{
    norvi::setLogLevel(level);
}

QVariantMap NetworkManager::getSoftApModeSettings() const
{
    return m_wireless->getSoftApSetup();
}

QVariantMap NetworkManager::getWirelessNetworks() const
{
    QVariantMap networks;
    for (const WirelessNetwork &network : m_config->getApSetup()) {
        networks.insert(network.ssid().toString(), network.getMap());
    }
    return networks;
}

void NetworkManager::setWirelessNetworks(const QVariantMap &networks)
{
    nvInfo() << "COMMAND: Received wireless networks: " << listText(networks.keys());
    const QSet<WirelessNetwork> received = WirelessNetwork::fromNetworksMap(networks);
    // Only garbage is no request to forget every network.
    if (!networks.isEmpty() &&
        std::none_of(received.begin(), received.end(), std::mem_fn(&WirelessNetwork::isValid))) {
        nvWarning() << "None of the received wireless networks is usable, keeping the "
                       "configured ones";
        return;
    }
    if (m_config->setAps(received)) {
        m_machine->postEvent(new ManagerEvent::ReloadAps);
    }
}

QVariantMap NetworkManager::getWiredIpSettings() const
{
    return m_config->wiredSettings().getVariantMap();
}

void NetworkManager::setWiredIpSettings(const QVariantMap &settings)
{
    if (!isWellFormedIpSettings(settings)) {
        nvWarning() << "COMMAND: Refusing Wired Ip settings: " << norvi::clientText(settings);
        return;
    }
    const InterfaceConfiguration configuration =
        InterfaceConfiguration::fromVariantMap(m_wired->getName(), settings);
    if (configuration.hasAddress()) {
        nvInfo() << "COMMAND: Setting Wired Ip to static settings: " << norvi::clientText(settings);
    } else {
        nvInfo() << "COMMAND: Setting Wired Ip to DHCP settings: " << norvi::clientText(settings);
    }
    if (m_config->setWiredSettings(configuration)) {
        m_wired->reloadIpSettings(m_config->wiredSettings());
    }
}

QVariantMap NetworkManager::getWirelessIpSettings() const
{
    return m_config->wirelessSettings().getVariantMap();
}

void NetworkManager::setWirelessIpSettings(const QVariantMap &settings)
{
    if (!isWellFormedIpSettings(settings)) {
        nvWarning() << "COMMAND: Refusing Wireless Ip settings: " << norvi::clientText(settings);
        return;
    }
    const InterfaceConfiguration configuration =
        InterfaceConfiguration::fromVariantMap(m_wireless->getName(), settings);
    if (configuration.hasAddress()) {
        nvInfo() << "COMMAND: Setting Wireless Ip to static settings: "
                 << norvi::clientText(settings);
    } else {
        nvInfo() << "COMMAND: Setting Wireless Ip to DHCP settings: "
                 << norvi::clientText(settings);
    }
    if (m_config->setWirelessSettings(configuration)) {
        m_wireless->reloadIpSettings(m_config->wirelessSettings());
    }
}

QVariantMap NetworkManager::InterfaceDetails(const QString &name) const
{
    nvInfo() << "COMMAND: Getting interface details for " << norvi::clientText(name);
    QVariantMap details{{"Interface", name}};
    const InterfaceName interfaceName(name);
    if (!m_present.contains(interfaceName)) {
        details.insert("Present", int(StatusRemoved));
        return details;
    }
    // Up as the kernel's link flag says, which the up set follows: the platform's interface
    // list does not count a link as up while its carrier is missing.
    details.insert("Present", int(m_up.contains(interfaceName) ? StatusUp : StatusDown));
    const QNetworkInterface interface = NetworkUtilities::findInterface(name);
    details.insert("Mac", interface.hardwareAddress());
    details.insert("Ips", addressesText(interface));
    putControllerDetails(details, interfaceName);
    details.insert("Gateway", NetworkUtilities::getGateway());
    details.insert("Gateway6", NetworkUtilities::getGateway6());
    details.insert("Dns", NetworkUtilities::getDnsServers().join(QLatin1Char(' ')));
    return details;
}

void NetworkManager::putControllerDetails(QVariantMap &details, const InterfaceName &name) const
{
    if (name == m_wired->getName()) {
        details.insert("Connected", m_wired->isConnected());
        details.insert("CableStatus", m_wired->isCablePluggedIn());
        details.insert("Dhcp", !m_config->wiredSettings().hasAddress());
    } else if (name == m_wireless->getName()) {
        details.insert("Connected", m_wireless->isConnected());
        details.insert("Dhcp", !m_config->wirelessSettings().hasAddress());
        details.insert(m_wireless->getNetworkDetails());
        details.insert("Configured Networks", configuredNetworksText(m_config->getApSetup()));
    } else if (m_wireless->getSoftApNames().contains(name.toString())) {
        details.insert("SoftApUp", m_wireless->isSoftApUp(name));
    }
}

void NetworkManager::SetOffMode()
{
    nvInfo() << "COMMAND: Setting off mode";
    m_machine->postEvent(new ManagerEvent::Off);
}

void NetworkManager::SetNormalMode(const QString &mode)
{
    nvInfo() << "COMMAND: Setting normal mode: " << norvi::clientText(mode);
    if (mode == QLatin1String("hybrid")) {
        m_machine->postEvent(new ManagerEvent::Hybrid);
    } else if (mode == QLatin1String("wired")) {
        m_machine->postEvent(new ManagerEvent::Wired);
    } else if (mode == QLatin1String("wireless")) {
        m_machine->postEvent(new ManagerEvent::Wireless);
    } else {
        m_machine->postEvent(new ManagerEvent::Automatic);
    }
}

void NetworkManager::ForceWifiReconnect()
{
    nvInfo() << "COMMAND: Force Wifi Reconnect";
    m_machine->postEvent(new ManagerEvent::ReloadAps);
}

void NetworkManager::StartSoftAp(const QString &interface, const QVariantMap &settings)
{
    nvInfo() << "COMMAND: Starting softap with settings: " << norvi::clientText(settings);
    const InterfaceName softAp(interface);
    if (!m_wireless->getSoftApNames().contains(interface)) {
        nvWarning() << "Not a soft-AP interface: " << norvi::clientText(interface)
                    << ", not starting it";
        return;
    }
    SoftApSetup setup(settings);
    setup.setApInterface(interface);
    if (m_config->setSoftApSettings(softAp, setup)) {
        m_wireless->reloadSoftApSettings(setup);
    }
    m_wireless->startSoftAp(softAp);
}

void NetworkManager::StopSoftAp(const QString &interface)
{
    nvInfo() << "COMMAND: Stopping softap";
    m_wireless->stopSoftAp(InterfaceName(interface));
}

void NetworkManager::WpsPbc()
{
    nvInfo() << "COMMAND: Starting Wps...";
    m_machine->postEvent(new ManagerEvent::WpsPbc);
}

void NetworkManager::WpsPin(const QString &pin)
{
    nvInfo() << "COMMAND: Starting Wps with PIN " << norvi::clientText(pin);
    m_machine->postEvent(new ManagerEvent::WpsPin(pin));
}

void NetworkManager::Scan()
{
    if (isActive(OffModeName)) {
        return;
    }
    nvInfo() << "COMMAND: Starting Scan...";
    m_wireless->scan();
    m_machine->postEvent(new ManagerEvent::Scan);
}

void NetworkManager::on_wiredConnected()
{
    emit Connected(m_wired->getName().toString());
}

void NetworkManager::on_wiredDisconnecting()
{
    emit Disconnecting(m_wired->getName().toString());
}

void NetworkManager::on_wiredDisconnected()
{
    emit Disconnected(m_wired->getName().toString());
}

void NetworkManager::on_wiredStatusChanged(InterfaceStatus status)
{
    emit InterfaceStatusChanged(m_wired->getName().toString(), status);
}

void NetworkManager::on_wirelessConnected()
{
    emit Connected(m_wireless->getName().toString());
}

void NetworkManager::on_wirelessDisconnecting()
{
    emit Disconnecting(m_wireless->getName().toString());
}

void NetworkManager::on_wirelessDisconnected()
{
    emit Disconnected(m_wireless->getName().toString());
}

void NetworkManager::on_wirelessStatusChanged(InterfaceStatus status)
{
    emit InterfaceStatusChanged(m_wireless->getName().toString(), status);
}

void NetworkManager::on_softapReady(InterfaceName softAp)
{
    emit Connected(softAp.toString());
}

void NetworkManager::on_softapUnready(InterfaceName softAp)
{
    emit Disconnected(softAp.toString());
}

void NetworkManager::on_reconnecting()
{
    m_machine->postEvent(new ManagerEvent::Reconnecting);
}

void NetworkManager::on_authError(Ssid ssid, QString message)
{
    nvInfo() << "Emitting auth error: " << ssid.toString() << " : " << norvi::clientText(message);
    emit AuthError(ssid.toString(), message);
}

void NetworkManager::on_wpsCredentials(WirelessNetwork network)
{
    const QVariantMap credentials = network.getMap();
    nvDebug() << "Emitting WPS credentials: " << norvi::clientText(credentials);
    emit WpsCredentials(credentials);
}

// One entry per SSID: the access point with the strongest signal, the first of equals.
void NetworkManager::on_scanResults(QList<ApDescription> aps)
{
    QVariantMap results;
    for (const ApDescription &ap : aps) {
        const QString ssid = ap.ssid.toString();
        const auto stored = results.constFind(ssid);
        if (stored == results.constEnd() ||
            ap.signal > stored->toMap().value(QStringLiteral("signal")).toInt()) {
            results.insert(ssid, ap.toVariantMap());
        }
    }
    emit ScanResults(results);
}

void NetworkManager::on_interfaceNetlinkChanged(const QByteArray &name, bool up, bool running)
{
    const InterfaceName interface(QString::fromLatin1(name));
    if (!m_present.contains(interface)) {
        nvWarning() << "Ignoring netlink update for non-existent interface: " << interface;
        return;
    }
    if (up && !m_up.contains(interface)) {
        m_up.insert(interface);
        setUpState(interface, true);
    }
    if (running && !m_running.contains(interface)) {
        m_running.insert(interface);
        setRunningState(interface, true);
    } else if (!running && m_running.remove(interface)) {
        setRunningState(interface, false);
    }
    if (!up && m_up.remove(interface)) {
        setUpState(interface, false);
    }
}

void NetworkManager::setUpState(const InterfaceName &name, bool up)
{
    nvDebug() << "Interface " << name << (up ? " up" : " down");
    if (InterfaceBase *controller = controllerOf(name)) {
        controller->setUpState(name, up);
    }
}

void NetworkManager::setRunningState(const InterfaceName &name, bool running)
{
    nvDebug() << "Interface " << name << (running ? " running" : " not running");
    if (InterfaceBase *controller = controllerOf(name)) {
        controller->setRunningState(running);
    }
}

InterfaceBase *NetworkManager::controllerOf(const InterfaceName &name) const
{
    return m_controllers.value(name, nullptr);
}

void NetworkManager::on_interfaceAdded(const QByteArray &name)
{
    const InterfaceName interface(QString::fromLatin1(name));
    if (m_present.contains(interface)) {
        return;
    }
    m_present.insert(interface);
    nvInfo() << "Interface " << interface << " added";
    if (InterfaceBase *controller = controllerOf(interface)) {
        controller->interfaceAdded(interface);
    }
}

void NetworkManager::on_interfaceRemoved(const QByteArray &name)
{
    on_interfaceNetlinkChanged(name, false, false);
    const InterfaceName interface(QString::fromLatin1(name));
    if (!m_present.remove(interface)) {
        return;
    }
    nvInfo() << "Interface " << interface << " removed";
    if (InterfaceBase *controller = controllerOf(interface)) {
        controller->interfaceRemoved(interface);
    }
}
