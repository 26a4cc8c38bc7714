#pragma once

#include "InterfaceConfiguration.h"
#include "NorviCommon.h"
#include "NorviProcess.h"

#include <QObject>
#include <QString>

#include <functional>

class Bssid;

// Changes links, addresses and routes. Operations report nothing back: failures are logged by
// the command runner and callers carry on. They take effect in the order they were asked for,
// though not necessarily before the call returns.
class NetworkDriver
{
public:
    using Step = std::function<void()>;

    enum Proto
    {
        Ipv4 = 0,
        Ipv6 = 1,
        Both = 2
    };

    virtual ~NetworkDriver() = default;

    virtual void up(const InterfaceName &interface) = 0;
    virtual void down(const InterfaceName &interface) = 0;
    // With scopeGlobal, link-local addresses survive the flush.
    virtual void flush(Proto proto, const InterfaceName &interface, bool scopeGlobal) = 0;
    virtual void setMacAddress(const Bssid &mac, const InterfaceName &interface) = 0;
    // Replaces the interface's addresses of the address's family by this one.
    virtual void setIpAddress(const QString &ip, int prefixLength,
                              const InterfaceName &interface) = 0;
    virtual void addIpAddress(const QString &ip, int prefixLength,
                              const InterfaceName &interface) = 0;
    // Removes every default route of the family, whichever interface it leaves through.
    virtual void routeFlush(Proto proto) = 0;
    virtual void addDefaultRoute(const QString &gateway, const InterfaceName &interface) = 0;

    // Runs step once every operation asked for so far has taken effect; operations the step asks
    // for come before any asked for after this call. A driver that works synchronously runs it
    // at once.
    virtual void afterOperations(const Step &step) { step(); }
    // Returns once every operation asked for so far has taken effect.
    virtual void finishOperations() {}
};

// The driver on top of the ip command. The commands run one after the other while the event
// loop goes on.
class NetworkDriverIp : public QObject, public NetworkDriver
{
    Q_OBJECT

public:
    explicit NetworkDriverIp(QObject *parent = nullptr);

    void up(const InterfaceName &interface) override;
    void down(const InterfaceName &interface) override;
    void flush(Proto proto, const InterfaceName &interface, bool scopeGlobal) override;
    void setMacAddress(const Bssid &mac, const InterfaceName &interface) override;
    void setIpAddress(const QString &ip, int prefixLength, const InterfaceName &interface) override;
    void addIpAddress(const QString &ip, int prefixLength, const InterfaceName &interface) override;
    void routeFlush(Proto proto) override;
    void addDefaultRoute(const QString &gateway, const InterfaceName &interface) override;
    void afterOperations(const Step &step) override;
    void finishOperations() override;

private:
    void runIp(const QStringList &arguments);
    void setLink(const InterfaceName &interface, const QStringList &settings);

    NorviProcessQueue m_commands;
};

// Applies a configuration's static IPv4 address and gateway.
class IpAddressSetterInterface
{
public:
    virtual ~IpAddressSetterInterface() = default;

    virtual void setIpAndNetmask(const InterfaceConfiguration &config) = 0;
    virtual void setGateway(const InterfaceConfiguration &config) = 0;
};

class IpAddressSetter : public IpAddressSetterInterface
{
public:
    // A record with an address but no usable netmask gets this prefix length.
    static constexpr int DefaultPrefixLength = 24;

    explicit IpAddressSetter(NetworkDriver *driver);

    // Clears the interface's IPv4 addresses even when the record has none of its own.
    void setIpAndNetmask(const InterfaceConfiguration &config) override;
    // Replaces any existing IPv4 default route.
    void setGateway(const InterfaceConfiguration &config) override;

private:
    NetworkDriver *m_driver;
};
