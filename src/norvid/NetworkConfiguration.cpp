#include "NetworkConfiguration.h"

#include <algorithm>

namespace {

const QString KeySsid = QStringLiteral("ssid");
const QString KeyBssid = QStringLiteral("bssid");
const QString KeyApAddress = QStringLiteral("apAddress");
const QString KeyNetmask = QStringLiteral("apNetmask");
const QString KeyRangeFrom = QStringLiteral("dhcpRangeFrom");
const QString KeyRangeTo = QStringLiteral("dhcpRangeTo");
const QString KeyCountryCode = QStringLiteral("countryCode");
const QString KeyChannel = QStringLiteral("channel");
const QString KeyVendorData = QStringLiteral("vendorSpecificData");
const QString KeyApInterface = QStringLiteral("apInterface");
const QString KeyDomainName = QStringLiteral("domainName");

const QString DefaultApAddress = QStringLiteral("192.168.200.1");
const QString DefaultNetmask = QStringLiteral("255.255.255.0");
const QString DefaultRangeFrom = QStringLiteral("192.168.200.10");
const QString DefaultRangeTo = QStringLiteral("192.168.200.210");

QString textSetting(const QVariantMap &map, const QString &key)
{
    const QVariant value = map.value(key);
    const std::optional<QString> text = norvi::toText(value);
    if (!text && map.contains(key)) {
        nvWarning() << "Soft AP setting " << key << " is not text but " << value.typeName()
                    << ", using an empty value";
    }
    return text.value_or(QString());
}

QHostAddress addressSetting(const QVariantMap &map, const QString &key,
                            const QString &defaultAddress)
{
    const QString text = map.contains(key) ? textSetting(map, key) : defaultAddress;
    const QHostAddress address = norvi::parseHostAddress(text);
    if (address.isNull() && !text.isEmpty()) {
        nvWarning() << "Soft AP setting " << key
                    << " is not an IP address: " << norvi::clientText(text);
    }
    return address;
}

int channelSetting(const QVariantMap &map)
{
    if (!map.contains(KeyChannel)) {
        return SoftApSetup::DefaultChannel;
    }
    const std::optional<int> channel = norvi::toInt(map.value(KeyChannel));
    if (!channel) {
        nvWarning() << "Soft AP setting " << KeyChannel
                    << " is not a number: " << map.value(KeyChannel) << ", using 0";
    }
    return channel.value_or(0);
}

Bssid bssidSetting(const QVariantMap &map)
{
    const QString text = textSetting(map, KeyBssid);
    const Bssid bssid = Bssid::fromString(text);
    if (bssid.isEmpty() && !text.isEmpty()) {
        nvWarning() << "Soft AP setting " << KeyBssid
                    << " is not a hardware address: " << norvi::clientText(text);
    }
    return bssid;
}

// Stores the new value only when it differs; tells whether it did.
template <typename T> bool replaceIfDifferent(T &stored, const T &value)
{
    if (stored == value) {
        return false;
    }
    stored = value;
    return true;
}

bool hasWhiteSpace(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.isSpace(); });
}

} // namespace

SoftApSetup::SoftApSetup(const QVariantMap &map)
{
    setFromMap(map);
}

SoftApSetup::SoftApSetup(const Ssid &ssid, const QString &apInterface)
    : m_ssid(ssid), m_apInterface(apInterface)
{
    setFromMap(QVariantMap());
}

void SoftApSetup::setFromMap(const QVariantMap &map)
{
    if (map.contains(KeySsid)) {
        m_ssid = Ssid::fromString(textSetting(map, KeySsid));
    }
    if (map.contains(KeyBssid)) {
        m_bssid = bssidSetting(map);
    }
    m_apAddress = addressSetting(map, KeyApAddress, DefaultApAddress);
    m_subnet = addressSetting(map, KeyNetmask, DefaultNetmask);
    m_startAddress = addressSetting(map, KeyRangeFrom, DefaultRangeFrom);
    m_endAddress = addressSetting(map, KeyRangeTo, DefaultRangeTo);
    m_countryCode = textSetting(map, KeyCountryCode);
    m_channel = channelSetting(map);
    m_vendorSpecificData = textSetting(map, KeyVendorData);
    if (map.contains(KeyApInterface)) {
        m_apInterface = textSetting(map, KeyApInterface);
    }
    m_domainName = textSetting(map, KeyDomainName);
}

QVariantMap SoftApSetup::toVariantMap() const
{
    return {{KeySsid, m_ssid.toString()},          {KeyBssid, m_bssid.toString()},
            {KeyApAddress, apAddress()},           {KeyNetmask, subnet()},
            {KeyRangeFrom, startAddress()},        {KeyRangeTo, endAddress()},
            {KeyCountryCode, m_countryCode},       {KeyChannel, m_channel},
            {KeyVendorData, m_vendorSpecificData}, {KeyApInterface, m_apInterface},
            {KeyDomainName, m_domainName}};
}

QStringList SoftApSetup::unsafeTextSettings() const
{
    const QList<std::pair<QString, bool>> checks{
        {KeySsid, norvi::hasControlCharacter(m_ssid.toString())},
        {KeyCountryCode, norvi::hasControlCharacter(m_countryCode)},
        {KeyVendorData, norvi::hasControlCharacter(m_vendorSpecificData)},
        {KeyApInterface, hasWhiteSpace(m_apInterface) ||
                             norvi::hasControlCharacter(m_apInterface) ||
                             m_apInterface.contains(QLatin1Char('/'))},
        {KeyDomainName, hasWhiteSpace(m_domainName) || norvi::hasControlCharacter(m_domainName)}};
    QStringList unsafe;
    for (const auto &check : checks) {
        if (check.second) {
            unsafe << check.first;
        }
    }
    return unsafe;
}

bool SoftApSetup::operator==(const SoftApSetup &other) const
{
    return m_ssid == other.m_ssid && m_bssid == other.m_bssid && m_apAddress == other.m_apAddress &&
           m_subnet == other.m_subnet && m_startAddress == other.m_startAddress &&
           m_endAddress == other.m_endAddress && m_countryCode == other.m_countryCode &&
           m_channel == other.m_channel && m_vendorSpecificData == other.m_vendorSpecificData &&
           m_apInterface == other.m_apInterface;
}

NetworkConfiguration::NetworkConfiguration(QObject *parent, const QString &wiredName,
                                           const QString &wirelessName,
                                           const QStringList &softApNames)
    : QObject(parent), m_wiredName(wiredName), m_wirelessName(wirelessName)
{
    for (const QString &name : softApNames) {
        m_softApNames.insert(InterfaceName(name));
    }
}

bool NetworkConfiguration::setWiredSettings(const InterfaceConfiguration &settings)
{
    const bool changed = replaceIfDifferent(m_wiredSettings, settings);
    if (changed) {
        emit wiredSettingsChanged();
    }
    return changed;
}

bool NetworkConfiguration::setWirelessSettings(const InterfaceConfiguration &settings)
{
    const bool changed = replaceIfDifferent(m_wirelessSettings, settings);
    if (changed) {
        emit wirelessSettingsChanged();
    }
    return changed;
}

bool NetworkConfiguration::setSoftApSettings(const InterfaceName &interface,
                                             const SoftApSetup &setup)
{
    const auto stored = m_softApSettings.constFind(interface);
    if (stored != m_softApSettings.cend() && *stored == setup) {
        return false;
    }
    m_softApSettings.insert(interface, setup);
    emit softApSettingsChanged(interface);
    return true;
}

bool NetworkConfiguration::setAps(const QSet<WirelessNetwork> &networks)
{
    const bool changed = replaceIfDifferent(m_networks, networks);
    if (changed) {
        emit apsChanged();
    }
    return changed;
}
