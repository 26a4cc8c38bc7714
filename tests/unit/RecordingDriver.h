#pragma once

#include "NetworkDriver.h"

#include <QStringList>

#include <utility>

// Writes down the driver operations it is asked for ("up eth0", "flush 4 eth0", "add
// 10.0.0.5/24 eth0") instead of changing any link.
class RecordingDriver : public NetworkDriver
{
public:
    void up(const InterfaceName &interface) override { record("up " + interface.toString()); }
    void down(const InterfaceName &interface) override { record("down " + interface.toString()); }
    void flush(Proto proto, const InterfaceName &interface, bool scopeGlobal) override
    {
        record(QStringLiteral("flush %1 %2%3")
                   .arg(proto == Ipv4 ? 4 : 6)
                   .arg(interface.toString(), scopeGlobal ? " global" : ""));
    }
    void setMacAddress(const Bssid &, const InterfaceName &interface) override
    {
        record("mac " + interface.toString());
    }
    void setIpAddress(const QString &ip, int prefixLength, const InterfaceName &interface) override
    {
        record(QStringLiteral("set %1/%2 %3").arg(ip).arg(prefixLength).arg(interface.toString()));
    }
    void addIpAddress(const QString &ip, int prefixLength, const InterfaceName &interface) override
    {
        record(QStringLiteral("add %1/%2 %3").arg(ip).arg(prefixLength).arg(interface.toString()));
    }
    // Whether a default route is flushed first depends on the machine the test runs on.
    void routeFlush(Proto) override {}
    void addDefaultRoute(const QString &gateway, const InterfaceName &interface) override
    {
        record("route " + gateway + " " + interface.toString());
    }

    const QStringList &commands() const { return m_commands; }
    QStringList take() { return std::exchange(m_commands, {}); }

private:
    void record(const QString &command) { m_commands.append(command); }

    QStringList m_commands;
};
