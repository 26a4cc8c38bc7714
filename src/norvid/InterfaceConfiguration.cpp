#include "InterfaceConfiguration.h"

#include <QRegularExpression>

namespace {

const char *const IpKey = "Ip";
const char *const NetmaskKey = "Netmask";
const char *const GatewayKey = "Gateway";
const char *const DnsKey = "Dns";
const char *const SearchDomainsKey = "SearchDomains";

// Queued signals carry configurations between objects; register the type before any of them
// is connected.
void registerInterfaceConfiguration()
{
    qRegisterMetaType<InterfaceConfiguration>("InterfaceConfiguration");
}
Q_CONSTRUCTOR_FUNCTION(registerInterfaceConfiguration)

bool isDottedQuad(const QString &text)
{
    static const QRegularExpression dottedQuad(
        QStringLiteral("^\\s*(0|[1-9]\\d{0,2})(\\.(0|[1-9]\\d{0,2})){3}\\s*$"));
    return dottedQuad.match(text).hasMatch();
}

// Empty text is the normal way of saying "not set" and is not worth a warning.
QHostAddress parseSetting(const char *what, const QString &text)
{
    const QHostAddress address = norvi::parseHostAddress(text);
    if (address.isNull() && !text.trimmed().isEmpty()) {
        nvWarning() << "Ignoring unparsable " << what << ": " << norvi::clientText(text);
    }
    return address;
}

// D-Bus clients must send every value as a string; anything else counts as a missing key.
QString readString(const QVariantMap &map, const char *key)
{
    const QVariant value = map.value(QLatin1String(key));
    if (!value.isValid()) {
        return QString();
    }
    if (value.userType() != QMetaType::QString) {
        nvWarning() << "Ignoring IP setting " << key << " of type " << value.typeName()
                    << ", a string is expected";
        return QString();
    }
    return value.toString();
}

QStringList addressTexts(const QList<QHostAddress> &addresses)
{
    QStringList texts;
    for (const QHostAddress &address : addresses) {
        texts << address.toString();
    }
    return texts;
}

} // namespace

namespace norvi {

QStringList splitWords(const QString &text)
{
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    return text.split(blanks, Qt::SkipEmptyParts);
}

QHostAddress parseHostAddress(const QString &text)
{
    QHostAddress address;
    if (!address.setAddress(text)) {
        return QHostAddress();
    }
    if (address.protocol() == QAbstractSocket::IPv4Protocol && !isDottedQuad(text)) {
        return QHostAddress();
    }
    return address;
}

} // namespace norvi

InterfaceConfiguration::InterfaceConfiguration(const InterfaceName &interface)
    : m_interface(interface)
{}

InterfaceConfiguration::InterfaceConfiguration(const InterfaceName &interface, const QString &ip,
                                               const QString &netmask, const QString &gateway,
                                               const QStringList &dnsList,
                                               const QStringList &searchDomains)
    : m_interface(interface), m_gateway(parseSetting("gateway", gateway)),
      m_searchDomains(searchDomains)
{
    basicSetup(ip, netmask, dnsList);
}

void InterfaceConfiguration::basicSetup(const QString &ip, const QString &netmask,
                                        const QStringList &dnsList)
{
    m_addressEntry.setIp(parseSetting("IP address", ip));
    const QHostAddress mask = parseSetting("netmask", netmask);
    if (!mask.isNull()) {
        // The entry keeps only a contiguous mask of the address's own family.
        m_addressEntry.setNetmask(mask);
        if (hasAddress() && m_addressEntry.prefixLength() < 0) {
            nvWarning() << "Ignoring netmask " << norvi::clientText(netmask)
                        << " that does not fit address " << norvi::clientText(ip);
        }
    }
    for (const QString &server : dnsList) {
        const QHostAddress address = parseSetting("DNS server", server);
        if (!address.isNull()) {
            m_dnsList << address;
        }
    }
}

bool InterfaceConfiguration::operator==(const InterfaceConfiguration &other) const
{
    return m_interface == other.m_interface && m_addressEntry.ip() == other.m_addressEntry.ip() &&
           m_addressEntry.netmask() == other.m_addressEntry.netmask() &&
           m_gateway == other.m_gateway && m_dnsList == other.m_dnsList &&
           m_searchDomains == other.m_searchDomains;
}

InterfaceConfiguration InterfaceConfiguration::fromVariantMap(const InterfaceName &interface,
                                                              const QVariantMap &map)
{
    return InterfaceConfiguration(interface, readString(map, IpKey), readString(map, NetmaskKey),
                                  readString(map, GatewayKey),
                                  norvi::splitWords(readString(map, DnsKey)),
                                  norvi::splitWords(readString(map, SearchDomainsKey)));
}

QVariantMap InterfaceConfiguration::getVariantMap() const
{
    QVariantMap map;
    map.insert(IpKey, m_addressEntry.ip().toString());
    map.insert(NetmaskKey, m_addressEntry.netmask().toString());
    if (hasGateway()) {
        map.insert(GatewayKey, m_gateway.toString());
    }
    map.insert(DnsKey, addressTexts(m_dnsList).join(QLatin1Char(' ')));
    map.insert(SearchDomainsKey, m_searchDomains.join(QLatin1Char(' ')));
    return map;
}

QDebug operator<<(QDebug stream, const InterfaceConfiguration &configuration)
{
    QDebugStateSaver saver(stream);
    const QNetworkAddressEntry entry = configuration.getNetworkAddressEntry();
    stream.nospace() << configuration.getInterface() << " Ip: " << entry.ip().toString()
                     << " Netmask: " << entry.netmask().toString()
                     << " Gateway: " << configuration.getGateway().toString()
                     << " Dns: " << addressTexts(configuration.getDnsList())
                     << " SearchDomains: " << configuration.getSearchDomains();
    return stream;
}
