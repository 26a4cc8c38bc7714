#include "AddressManager.h"

#include "NetlinkWatcher.h"
#include "ResolvConf.h"

#include <utility>

QList<QHostAddress> IpAddressManager::getNameservers() const
{
    return m_nameservers;
}

QStringList IpAddressManager::getSearchDomains() const
{
    return m_searchDomains;
}

bool IpAddressManager::isConnected() const
{
    return m_connected;
}

void IpAddressManager::updateConnected(bool connected)
{
    if (connected == m_connected) {
        return;
    }
    m_connected = connected;
    if (connected) {
        emit this->connected();
    } else {
        emit disconnected();
    }
}

void IpAddressManager::updateNameservers(const QList<QHostAddress> &servers)
{
    if (servers != m_nameservers) {
        m_nameservers = servers;
        emit nameserversChanged();
    }
}

void IpAddressManager::updateSearchDomains(const QStringList &domains)
{
    if (domains != m_searchDomains) {
        m_searchDomains = domains;
        emit searchDomainsChanged();
    }
}

void IpAddressManager::updateUnconfigured()
{
    updateNameservers({});
    updateSearchDomains({});
    updateConnected(false);
}

DhcpClient *Ipv4AddressManager::makeUdhcpc(const InterfaceName &interface)
{
    return new Udhcpc(interface);
}

Ipv4AddressManager::Ipv4AddressManager(const InterfaceName &interface, NetworkDriver *driver,
                                       int linkLocalFallbackMs,
                                       const DhcpClientFactory &dhcpClientFactory,
                                       const QString &autoIpDProgram)
    : m_interface(interface), m_dhcpClientFactory(dhcpClientFactory),
      m_autoIpDProgram(autoIpDProgram), m_driver(driver), m_addressSetter(driver),
      m_configuration(interface)
{
    m_autoipTimer.setSingleShot(true);
    m_autoipTimer.setInterval(linkLocalFallbackMs);
    norvi::connect(&m_autoipTimer, SIGNAL(timeout()), this, SLOT(on_autoipTimer_timeout()));
}

// Out of line so that the client and runner types are complete where they are destroyed.
Ipv4AddressManager::~Ipv4AddressManager() = default;

// The fallback is armed for static settings too; applying them disarms it at once.
void Ipv4AddressManager::start(const InterfaceConfiguration &configuration)
{
    m_autoipTimer.start();
    if (configuration.hasAddress()) {
        applyConfiguration(configuration);
    } else {
        startDhcpClient();
    }
}

// The client object stays: it is replaced on the next DHCP start. A client that is stopping
// reports nothing more, so the fallback stays disarmed.
void Ipv4AddressManager::stop()
{
    if (m_dhcpClient) {
        m_dhcpClient->stop();
    }
    m_autoipTimer.stop();
    clearConfiguration();
}

void Ipv4AddressManager::startDhcpClient()
{
    m_dhcpClient.reset(m_dhcpClientFactory(m_interface));
    norvi::connect(m_dhcpClient.get(), SIGNAL(finished(InterfaceConfiguration)), this,
                   SLOT(on_dhcpClient_finished(InterfaceConfiguration)));
    norvi::connect(m_dhcpClient.get(), SIGNAL(error(QString)), this,
                   SLOT(on_dhcpClient_error(QString)));
    m_dhcpClient->start();
}

void Ipv4AddressManager::on_dhcpClient_finished(InterfaceConfiguration addr)
{
    if (const char *problem = unusableLease(addr)) {
        refuseLease(addr, problem);
        return;
    }
    applyConfiguration(addr);
}

// A lease ends a running link-local fallback. A renewal that changes nothing is not applied
// again, and one that keeps address, netmask and router leaves them alone: re-adding them would
// leave the device without an address or a default route for a moment.
void Ipv4AddressManager::applyConfiguration(const InterfaceConfiguration &addr)
{
    m_autoipTimer.stop();
    m_autoIpD.reset();
    if (addr == m_configuration) {
        return;
    }
    const InterfaceConfiguration previous = std::exchange(m_configuration, addr);
    const QNetworkAddressEntry entry = addr.getNetworkAddressEntry();
    const QNetworkAddressEntry previousEntry = previous.getNetworkAddressEntry();
    const bool sameAddress =
        entry.ip() == previousEntry.ip() && entry.netmask() == previousEntry.netmask();
    const bool sameGateway = addr.getGateway() == previous.getGateway();
    // Only a flush of the address takes away a router that is no longer given.
    if (!sameAddress || (!addr.hasGateway() && previous.hasGateway())) {
        m_addressSetter.setIpAndNetmask(addr);
        m_addressSetter.setGateway(addr);
    } else if (!sameGateway) {
        m_addressSetter.setGateway(addr);
    }
    publishOnceApplied(addr);
}

// Connected means usable: the signal, and the name servers that a resolver file written on it
// would list, wait until address and route are in place. What was cleared or replaced in the
// meantime is not published.
void Ipv4AddressManager::publishOnceApplied(const InterfaceConfiguration &addr)
{
    const quint64 application = ++m_applications;
    const QPointer<Ipv4AddressManager> self(this);
    m_driver->afterOperations([self, application, addr] {
        if (self && self->m_applications == application) {
            self->updateNameservers(addr.getDnsList());
            self->updateSearchDomains(addr.getSearchDomains());
            self->updateConnected(true);
        }
    });
}

// What makes a lease unusable, or nullptr when it can be applied. Each of these would leave the
// interface without a working address or route while it counted as connected.
const char *Ipv4AddressManager::unusableLease(const InterfaceConfiguration &lease)
{
    const QNetworkAddressEntry entry = lease.getNetworkAddressEntry();
    const QHostAddress address = entry.ip();
    if (address.protocol() != QAbstractSocket::IPv4Protocol) {
        return "no IPv4 address";
    }
    const quint32 ip = address.toIPv4Address();
    const int prefix =
        entry.prefixLength() < 0 ? IpAddressSetter::DefaultPrefixLength : entry.prefixLength();
    const quint32 mask = prefix == 0 ? 0 : ~quint32(0) << (32 - prefix);
    if (ip == 0 || address.isLoopback() || address.isMulticast() || address.isBroadcast()) {
        return "the address is not one of a host";
    }
    if (prefix == 0 || prefix == 32) {
        return "the netmask leaves no subnet";
    }
    if (prefix < MaximumUsefulPrefix && ((ip & ~mask) == 0 || (ip | mask) == ~quint32(0))) {
        return "the address is that of the subnet or its broadcast";
    }
    if (!lease.hasGateway()) {
        return nullptr;
    }
    const QHostAddress gateway = lease.getGateway();
    if (gateway.protocol() != QAbstractSocket::IPv4Protocol || gateway.toIPv4Address() == 0) {
        return "the router is not an IPv4 host";
    }
    if ((gateway.toIPv4Address() & mask) != (ip & mask)) {
        return "the router is outside the leased subnet";
    }
    return nullptr;
}

// The interface stays as without a lease: one that turned unusable on renewal is withdrawn, and
// the fallback takes over if no usable lease follows.
void Ipv4AddressManager::refuseLease(const InterfaceConfiguration &lease, const char *problem)
{
    const QNetworkAddressEntry entry = lease.getNetworkAddressEntry();
    nvWarning() << m_interface << ": refusing dhcp lease, " << problem
                << ": address: " << entry.ip().toString()
                << " netmask: " << entry.netmask().toString()
                << " router: " << lease.getGateway().toString();
    if (!m_configuration.hasAddress()) {
        return;
    }
    if (!m_autoipTimer.isActive()) {
        m_autoipTimer.start();
    }
    clearConfiguration();
}

// The client keeps running and may still bring a lease, which is then applied as usual.
void Ipv4AddressManager::on_dhcpClient_error(QString msg)
{
    nvInfo() << "dhcp client error: " << msg;
    if (!m_autoipTimer.isActive()) {
        m_autoipTimer.start();
    }
    clearConfiguration();
}

// The interface counts as connected from the moment the fallback runs: avahi-autoipd claims its
// address on its own, and the link is usable for local peers.
void Ipv4AddressManager::on_autoipTimer_timeout()
{
    m_autoIpD.reset(new AutoIpD(this, m_interface, m_autoIpDProgram));
    m_autoIpD->start();
    updateConnected(true);
}

// Flushing the addresses also takes the routes through them.
void Ipv4AddressManager::clearConfiguration()
{
    ++m_applications;
    m_configuration = InterfaceConfiguration(m_interface);
    m_addressSetter.setIpAndNetmask(m_configuration);
    updateUnconfigured();
}

Ipv6AddressManager::Ipv6AddressManager(const InterfaceName &interface, NetlinkWatcher *watcher,
                                       NetworkDriver *driver)
    : m_interface(interface), m_watcher(watcher), m_driver(driver)
{
    norvi::connect(watcher, SIGNAL(addressesChanged()), this, SLOT(on_netlink_addressesChanged()));
    norvi::connect(watcher, SIGNAL(nameserversChanged()), this,
                   SLOT(on_netlink_nameserversChanged()));
    norvi::connect(watcher, SIGNAL(searchDomainsChanged()), this,
                   SLOT(on_netlink_searchDomainsChanged()));
}

// The watcher reports only changes: an address autoconfigured while addressing was stopped, or
// an advertisement that repeats what the watcher already knows, would otherwise go unseen until
// the link goes down. What the last stop() flushed does not count, though the watcher may still
// list it: a restart in one step (new IP settings) would otherwise connect on an address that
// is gone.
void Ipv6AddressManager::start(const InterfaceConfiguration &)
{
    m_running = true;
    on_netlink_addressesChanged();
    on_netlink_nameserversChanged();
    on_netlink_searchDomainsChanged();
}

// Link-local addresses stay: the kernel owns them and the link needs them.
void Ipv6AddressManager::stop()
{
    m_flushed = globalAddresses();
    m_driver->flush(NetworkDriver::Ipv6, m_interface, true);
    updateUnconfigured();
    m_running = false;
}

// Followed while stopped too, so that a flushed address the kernel configures again, once its
// removal has been seen, counts as new.
void Ipv6AddressManager::on_netlink_addressesChanged()
{
    const QSet<QString> global = globalAddresses();
    m_flushed.intersect(global);
    if (m_running) {
        updateConnected(!(global - m_flushed).isEmpty());
    }
}

QSet<QString> Ipv6AddressManager::globalAddresses() const
{
    QSet<QString> global;
    for (const NetlinkAddress &address :
         m_watcher->getAddressesForInterface(m_interface.toString().toUtf8())) {
        if (!address.isIpv4() && !address.isLinkLocal()) {
            global.insert(address.address());
        }
    }
    return global;
}

void Ipv6AddressManager::on_netlink_nameserversChanged()
{
    if (!m_running) {
        return;
    }
    const QByteArray name = m_interface.toString().toUtf8();
    QList<QHostAddress> servers;
    for (const NetlinkAddress &server : m_watcher->getNameservers()) {
        if (server.interfaceName() == name) {
            QHostAddress address(server.address());
            // Without its interface a link-local server cannot be reached: the resolver would
            // not know which link to send to.
            if (address.isLinkLocal()) {
                address.setScopeId(m_interface.toString());
            }
            servers.append(address);
        }
    }
    updateNameservers(servers);
}

// Router-advertised domains are not kept per interface: every interface offers them all.
void Ipv6AddressManager::on_netlink_searchDomainsChanged()
{
    if (m_running) {
        updateSearchDomains(m_watcher->getSearchDomains());
    }
}

AddressManager::AddressManager(const InterfaceName &interface, NetlinkWatcher *watcher,
                               NetworkDriver *driver, ResolvConf *resolvConf, QObject *parent,
                               int linkLocalFallbackMs)
    : QObject(parent), m_interface(interface), m_resolvConf(resolvConf)
{
    addFamily(new Ipv4AddressManager(interface, driver, linkLocalFallbackMs));
    addFamily(new Ipv6AddressManager(interface, watcher, driver));
}

AddressManager::~AddressManager()
{
    qDeleteAll(m_managers);
}

void AddressManager::addFamily(IpAddressManager *manager)
{
    m_managers.append(manager);
    norvi::connect(manager, SIGNAL(connected()), this, SLOT(on_ipAddrMngr_connected()));
    norvi::connect(manager, SIGNAL(disconnected()), this, SLOT(on_ipAddrMngr_disconnected()));
    norvi::connect(manager, SIGNAL(nameserversChanged()), this,
                   SLOT(on_ipAddrMngr_nameserversChanged()));
    norvi::connect(manager, SIGNAL(searchDomainsChanged()), this,
                   SLOT(on_ipAddrMngr_searchDomainsChanged()));
}

// Forgetting the old state without a signal lets a restart (new IP settings, say) end in a fresh
// connected().
void AddressManager::start(const InterfaceConfiguration &configuration)
{
    m_connected = false;
    for (IpAddressManager *manager : qAsConst(m_managers)) {
        manager->start(configuration);
    }
}

void AddressManager::stop()
{
    for (IpAddressManager *manager : qAsConst(m_managers)) {
        manager->stop();
    }
}

void AddressManager::on_ipAddrMngr_connected()
{
    if (!m_connected) {
        m_connected = true;
        emit connected();
    }
}

void AddressManager::on_ipAddrMngr_disconnected()
{
    for (const IpAddressManager *manager : qAsConst(m_managers)) {
        if (manager->isConnected()) {
            return;
        }
    }
    if (m_connected) {
        m_connected = false;
        emit disconnected();
    }
}

void AddressManager::on_ipAddrMngr_nameserversChanged()
{
    updateResolvConf();
}

void AddressManager::on_ipAddrMngr_searchDomainsChanged()
{
    updateResolvConf();
}

void AddressManager::updateResolvConf()
{
    QList<QHostAddress> servers;
    QStringList domains;
    for (const IpAddressManager *manager : qAsConst(m_managers)) {
        servers += manager->getNameservers();
        domains += manager->getSearchDomains();
    }
    m_resolvConf->setNameservers(servers, m_interface.toString());
    m_resolvConf->setSearchDomains(domains, m_interface.toString());
}
