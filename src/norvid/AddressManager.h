#pragma once

#include "AutoIpD.h"
#include "DhcpClient.h"
#include "InterfaceConfiguration.h"
#include "NetworkDriver.h"
#include "NorviCommon.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

class NetlinkWatcher;
class ResolvConf;

// One address family's part in an interface's addressing: whether the family has a usable
// configuration, and the name servers and search domains it has learned.
class IpAddressManager : public QObject
{
    Q_OBJECT

public:
    ~IpAddressManager() override = default;

    virtual void start(const InterfaceConfiguration &configuration) = 0;
    virtual void stop() = 0;
    virtual QList<QHostAddress> getNameservers() const;
    virtual QStringList getSearchDomains() const;
    virtual bool isConnected() const;

signals:
    void connected();
    void disconnected();
    void nameserversChanged();
    void searchDomainsChanged();

protected:
    // Each emits its signal only on a real change.
    void updateConnected(bool connected);
    void updateNameservers(const QList<QHostAddress> &servers);
    void updateSearchDomains(const QStringList &domains);
    // Withdraws everything the family contributed.
    void updateUnconfigured();

private:
    QList<QHostAddress> m_nameservers;
    QStringList m_searchDomains;
    bool m_connected = false;
};

// IPv4 from static settings, or from DHCP with a fallback to a link-local address when no lease
// comes in time.
class Ipv4AddressManager : public IpAddressManager
{
    Q_OBJECT

public:
    using DhcpClientFactory = std::function<DhcpClient *(const InterfaceName &)>;

    // How long DHCP may take before the link-local fallback starts.
    static constexpr int LinkLocalFallbackMs = 24000;

    static DhcpClient *makeUdhcpc(const InterfaceName &interface);

    Ipv4AddressManager(const InterfaceName &interface, NetworkDriver *driver,
                       int linkLocalFallbackMs = LinkLocalFallbackMs,
                       const DhcpClientFactory &dhcpClientFactory = &makeUdhcpc,
                       const QString &autoIpDProgram = AutoIpD::Program);
    ~Ipv4AddressManager() override;

    void start(const InterfaceConfiguration &configuration) override;
    void stop() override;

    // Why a lease from a DHCP server cannot be applied; null for a usable one.
    static const char *unusableLease(const InterfaceConfiguration &lease);

private slots:
    void on_dhcpClient_finished(InterfaceConfiguration addr);
    void on_dhcpClient_error(QString msg);
    void on_autoipTimer_timeout();

private:
    // A /31 has no subnet or broadcast address of its own; both of its addresses are hosts.
    static constexpr int MaximumUsefulPrefix = 31;

    void refuseLease(const InterfaceConfiguration &lease, const char *problem);
    void applyConfiguration(const InterfaceConfiguration &addr);
    void publishOnceApplied(const InterfaceConfiguration &addr);
    void startDhcpClient();
    void clearConfiguration();

    const InterfaceName m_interface;
    const DhcpClientFactory m_dhcpClientFactory;
    const QString m_autoIpDProgram;
    NetworkDriver *const m_driver;
    QTimer m_autoipTimer;
    IpAddressSetter m_addressSetter;
    std::unique_ptr<DhcpClient> m_dhcpClient;
    std::unique_ptr<AutoIpD> m_autoIpD;
    InterfaceConfiguration m_configuration;
    // Counts the configurations applied and cleared; a publication waiting for its commands
    // goes ahead only if no other came after it.
    quint64 m_applications = 0;
};

// IPv6 as the kernel configures it from router advertisements: connected while the interface has
// a global address.
class Ipv6AddressManager : public IpAddressManager
{
    Q_OBJECT

public:
    Ipv6AddressManager(const InterfaceName &interface, NetlinkWatcher *watcher,
                       NetworkDriver *driver);

    // The configuration holds nothing for IPv6; the kernel's own autoconfiguration is followed.
    void start(const InterfaceConfiguration &configuration) override;
    void stop() override;

private slots:
    void on_netlink_addressesChanged();
    void on_netlink_nameserversChanged();
    void on_netlink_searchDomainsChanged();

private:
    QSet<QString> globalAddresses() const;

    const InterfaceName m_interface;
    NetlinkWatcher *const m_watcher;
    NetworkDriver *const m_driver;
    bool m_running = false;
    // Addresses flushed by the last stop() that the watcher still lists: the kernel's notice of
    // their removal has not been read yet.
    QSet<QString> m_flushed;
};

// Gets one station interface addressed by both families and reports whether either has a usable
// configuration. Keeps the interface's share of the resolver configuration current.
class AddressManager : public QObject
{
    Q_OBJECT

public:
    AddressManager(const InterfaceName &interface, NetlinkWatcher *watcher, NetworkDriver *driver,
                   ResolvConf *resolvConf, QObject *parent,
                   int linkLocalFallbackMs = Ipv4AddressManager::LinkLocalFallbackMs);
    ~AddressManager() override;

    void start(const InterfaceConfiguration &configuration);
    void stop();

signals:
    void connected();
    void disconnected();

private slots:
    void on_ipAddrMngr_connected();
    void on_ipAddrMngr_disconnected();
    void on_ipAddrMngr_nameserversChanged();
    void on_ipAddrMngr_searchDomainsChanged();

private:
    void addFamily(IpAddressManager *manager);
    void updateResolvConf();

    const InterfaceName m_interface;
    ResolvConf *const m_resolvConf;
    // IPv4 first: its name servers and domains come first in the resolver's share.
    QList<IpAddressManager *> m_managers;
    bool m_connected = false;
};
