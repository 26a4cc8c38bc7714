#pragma once

#include "NorviCommon.h"

#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QNetworkAddressEntry>
#include <QStringList>
#include <QVariantMap>

namespace norvi {

// Parses an IPv4 or IPv6 address. IPv4 must be written as four dotted decimal parts without
// leading zeros: the shorthand forms the platform parser also accepts ("10.1" for 10.0.0.1) are
// almost always typing mistakes in settings, and it reads a zero-padded part as octal ("010" as
// 8), which is never what was meant. Both give a null address like any other unparsable text.
QHostAddress parseHostAddress(const QString &text);

// The blank-separated words of a list setting, such as the name servers or search domains.
QStringList splitWords(const QString &text);

} // namespace norvi

// How one interface is to be addressed: a static address with netmask (none means DHCP),
// gateway, name servers and search domains. Also the form of the IP settings on D-Bus.
class InterfaceConfiguration
{
public:
    InterfaceConfiguration() = default;
    explicit InterfaceConfiguration(const InterfaceName &interface);
    InterfaceConfiguration(const InterfaceName &interface, const QString &ip,
                           const QString &netmask, const QString &gateway,
                           const QStringList &dnsList, const QStringList &searchDomains);

    void basicSetup(const QString &ip, const QString &netmask, const QStringList &dnsList);

    InterfaceName getInterface() const { return m_interface; }
    QNetworkAddressEntry getNetworkAddressEntry() const { return m_addressEntry; }
    QHostAddress getGateway() const { return m_gateway; }
    QList<QHostAddress> getDnsList() const { return m_dnsList; }
    QStringList getSearchDomains() const { return m_searchDomains; }

    bool hasAddress() const { return !m_addressEntry.ip().isNull(); }
    bool hasGateway() const { return !m_gateway.isNull(); }

    bool operator==(const InterfaceConfiguration &other) const;
    bool operator!=(const InterfaceConfiguration &other) const { return !(*this == other); }

    static InterfaceConfiguration fromVariantMap(const InterfaceName &interface,
                                                 const QVariantMap &map);
    QVariantMap getVariantMap() const;

private:
    InterfaceName m_interface;
    QNetworkAddressEntry m_addressEntry;
    QHostAddress m_gateway;
    QList<QHostAddress> m_dnsList;
    QStringList m_searchDomains;
};

QDebug operator<<(QDebug stream, const InterfaceConfiguration &configuration);

Q_DECLARE_METATYPE(InterfaceConfiguration)
