#include "WirelessNetwork.h"

#include <QDBusArgument>
#include <QDBusVariant>
#include <QRegularExpression>

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

constexpr int WepTextKeyShort = 5;
constexpr int WepTextKeyLong = 13;
constexpr int WepHexKeyShort = 10;
constexpr int WepHexKeyLong = 26;
constexpr int MinimumPassphraseLength = 8;
constexpr int PskHexLength = 64;
constexpr int BssidBytes = 6;

constexpr int Band24First = 2412;
constexpr int Band24Last = 2472;
constexpr int Band24Channel14 = 2484;
constexpr int Band5First = 5170;
constexpr int Band5Last = 5825;
constexpr int Band5FirstChannel = 34;
constexpr int ChannelSpacing = 5;

const QString KeySsid = QStringLiteral("ssid");
const QString KeyKeyMgmt = QStringLiteral("key_mgmt");
const QString KeyType = QStringLiteral("type");
const QString KeyPriority = QStringLiteral("priority");
const QString KeyUnsecured = QStringLiteral("unsecured");
const QString KeyWepKey = QStringLiteral("wep_key");
const QString KeyWpaPsk = QStringLiteral("wpa_psk");

// A nested value inside a variant ("v" in "a{sv}") is read as a QDBusVariant wrapper.
QVariant unwrapped(QVariant value)
{
    while (value.userType() == qMetaTypeId<QDBusVariant>()) {
        value = value.value<QDBusVariant>().variant();
    }
    return value;
}

std::optional<QVariantMap> fromDBusArgument(const QDBusArgument &argument)
{
    // Reading an element as a type it does not have trips libdbus's own checks, which end the
    // process; so the signature decides before anything is read.
    if (argument.currentType() != QDBusArgument::MapType ||
        !argument.currentSignature().startsWith(QLatin1String("a{s"))) {
        return std::nullopt;
    }
    QVariantMap map;
    argument.beginMap();
    while (!argument.atEnd()) {
        QString key;
        argument.beginMapEntry();
        argument >> key;
        map.insert(key, unwrapped(argument.asVariant()));
        argument.endMapEntry();
    }
    argument.endMap();
    return map;
}

bool isHexDigit(QChar c)
{
    return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
           (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

// QByteArray::fromHex skips characters it does not know, which would turn a mistyped key into a
// shorter, different one. A key that is not entirely hexadecimal is refused instead.
std::optional<QByteArray> hexBytes(const QString &key)
{
    if (!std::all_of(key.cbegin(), key.cend(), isHexDigit)) {
        return std::nullopt;
    }
    return QByteArray::fromHex(key.toLatin1());
}

std::optional<WirelessNetworkType::Type> typeOfCredentials(const QVariantMap &credentials)
{
    // Qt's conversion: a number other than 0, or any text but "", "0" and "false" ("yes", and
    // "no" as well) make an open network, whatever key comes with it.
    if (credentials.isEmpty() || credentials.value(KeyUnsecured).toBool()) {
        return WirelessNetworkType::Unsecured;
    }
    if (credentials.contains(KeyWepKey)) {
        return WirelessNetworkType::Wep;
    }
    if (credentials.contains(KeyWpaPsk)) {
        return WirelessNetworkType::WpaPsk;
    }
    return std::nullopt;
}

// The credentials entry that holds the key of a network of this type; none for an open one.
QString keyEntryOf(WirelessNetworkType::Type type)
{
    switch (type) {
    case WirelessNetworkType::Wep:
        return KeyWepKey;
    case WirelessNetworkType::WpaPsk:
        return KeyWpaPsk;
    case WirelessNetworkType::Unsecured:
        break;
    }
    return QString();
}

QString keyOfCredentials(const QString &ssidText, const QVariant &value)
{
    const std::optional<QString> key = norvi::toText(value);
    if (!key) {
        nvWarning() << "Key of wireless network " << norvi::clientText(ssidText)
                    << " is not text but " << value.typeName() << ", the network can't be used";
    }
    return key.value_or(QString());
}

int priorityOfCredentials(const QString &ssidText, const QVariantMap &credentials)
{
    if (!credentials.contains(KeyPriority)) {
        return 0;
    }
    const std::optional<int> priority = norvi::toInt(credentials.value(KeyPriority));
    if (!priority) {
        nvWarning() << "Priority of wireless network " << norvi::clientText(ssidText)
                    << " is not a 32-bit number, using 0";
    }
    return priority.value_or(0);
}

std::optional<WirelessNetwork> notAdding(const QString &ssidText)
{
    nvInfo() << "Not adding network: " << norvi::clientText(ssidText);
    return std::nullopt;
}

} // namespace

namespace norvi {

std::optional<QVariantMap> toVariantMap(const QVariant &value)
{
    const int type = value.userType();
    if (type == QMetaType::QVariantMap || type == QMetaType::QVariantHash) {
        return value.toMap();
    }
    if (type == qMetaTypeId<QDBusArgument>()) {
        return fromDBusArgument(value.value<QDBusArgument>());
    }
    return std::nullopt;
}

std::optional<QString> toText(const QVariant &value)
{
    QVariant converted = value;
    if (!converted.convert(QMetaType::QString)) {
        return std::nullopt;
    }
    return converted.toString();
}

std::optional<int> toInt(const QVariant &value)
{
    const int type = value.userType();
    if (type == QMetaType::Double || type == QMetaType::Float) {
        const double number = std::round(value.toDouble());
        if (!std::isfinite(number) || number < INT_MIN || number > INT_MAX) {
            return std::nullopt;
        }
        return static_cast<int>(number);
    }
    if (type == QMetaType::ULongLong) {
        const qulonglong number = value.toULongLong();
        return number <= INT_MAX ? std::optional<int>(static_cast<int>(number)) : std::nullopt;
    }
    bool ok = false;
    const qlonglong number = value.toLongLong(&ok);
    if (!ok || number < INT_MIN || number > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(number);
}

bool hasControlCharacter(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) {
        const QChar::Category category = c.category();
        return category == QChar::Other_Control || category == QChar::Separator_Line ||
               category == QChar::Separator_Paragraph;
    });
}

void registerWirelessMetaTypes()
{
    qRegisterMetaType<Ssid>();
    qRegisterMetaType<Bssid>();
    qRegisterMetaType<WirelessNetwork>();
    qRegisterMetaType<QSet<WirelessNetwork>>();
    qRegisterMetaType<ApDescription>();
    qRegisterMetaType<QList<ApDescription>>();
}

} // namespace norvi

Ssid Ssid::fromBinary(const QByteArray &bytes)
{
    if (bytes.size() > MaximumBytes) {
        nvWarning() << "SSID is too long: " << norvi::clientText(QString::fromLatin1(bytes.toHex()))
                    << ", rejecting!";
        return Ssid();
    }
    return Ssid(QString::fromUtf8(bytes));
}

Ssid Ssid::fromString(const QString &text)
{
    if (text.toUtf8().size() > MaximumBytes) {
        nvWarning() << "SSID is too long: " << norvi::clientText(text) << ", rejecting!";
        return Ssid();
    }
    return Ssid(text);
}

// The seed is fixed so that a network's hash is the same in every container.
uint qHash(const Ssid &ssid, uint)
{
    return qHash(ssid.toString(), 0);
}

QDebug operator<<(QDebug stream, const Ssid &ssid)
{
    return stream << ssid.toString();
}

Bssid Bssid::fromBinary(const QByteArray &bytes)
{
    if (bytes.size() != BssidBytes) {
        return Bssid();
    }
    return Bssid(QString::fromLatin1(bytes.toHex(':').toUpper()));
}

Bssid Bssid::fromString(const QString &text)
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("[0-9a-fA-F]{2}:[0-9a-fA-F]{2}:[0-9a-fA-F]{2}:[0-9a-fA-F]{2}:[0-9a-fA-F]{2}:"
                       "[0-9a-fA-F]{2}")));
    return pattern.match(text).hasMatch() ? Bssid(text) : Bssid();
}

uint qHash(const Bssid &bssid, uint seed)
{
    return qHash(bssid.toString(), seed);
}

QDebug operator<<(QDebug stream, const Bssid &bssid)
{
    return stream << bssid.toString();
}

QString WirelessNetworkType::toString(Type type)
{
    switch (type) {
    case Unsecured:
        return QStringLiteral("unsecured");
    case Wep:
        return QStringLiteral("wep");
    case WpaPsk:
        return QStringLiteral("wpa_psk");
    }
    return QString();
}

WirelessNetwork::WirelessNetwork(const Ssid &ssid, WirelessNetworkType::Type type,
                                 const QString &key, int priority)
    : m_ssid(ssid), m_key(key), m_priority(priority), m_type(type)
{}

std::optional<WirelessNetwork> WirelessNetwork::fromCredentials(const QString &ssidText,
                                                                const QVariant &credentials)
{
    const std::optional<QVariantMap> map = norvi::toVariantMap(credentials);
    if (!map) {
        nvWarning() << "Credentials of wireless network " << norvi::clientText(ssidText)
                    << " are not a dictionary but " << credentials.typeName();
        return notAdding(ssidText);
    }
    nvDebug() << "Received wireless network: credentials: " << norvi::clientText(*map);
    // An empty SSID would reach wpa_supplicant as a wildcard that matches every network.
    if (ssidText.isEmpty()) {
        nvWarning() << "Wireless network without SSID would match any network, dropping it";
        return notAdding(ssidText);
    }
    const Ssid ssid = Ssid::fromString(ssidText);
    const std::optional<WirelessNetworkType::Type> type = typeOfCredentials(*map);
    if (!ssid.isValid() || !type) {
        return notAdding(ssidText);
    }
    const QString keyEntry = keyEntryOf(*type);
    const QString key =
        keyEntry.isEmpty() ? QString() : keyOfCredentials(ssidText, map->value(keyEntry));
    return WirelessNetwork(ssid, *type, key, priorityOfCredentials(ssidText, *map));
}

QSet<WirelessNetwork> WirelessNetwork::fromNetworksMap(const QVariantMap &networks)
{
    QSet<WirelessNetwork> result;
    for (auto entry = networks.cbegin(); entry != networks.cend(); ++entry) {
        nvInfo() << "Received wireless network: " << norvi::clientText(entry.key());
        if (const std::optional<WirelessNetwork> network =
                fromCredentials(entry.key(), entry.value())) {
            result.insert(*network);
        }
    }
    return result;
}

bool WirelessNetwork::isValid() const
{
    const int length = m_key.size();
    switch (m_type) {
    case WirelessNetworkType::Unsecured:
        return true;
    case WirelessNetworkType::Wep:
        return length == WepTextKeyShort || length == WepTextKeyLong || length == WepHexKeyShort ||
               length == WepHexKeyLong;
    case WirelessNetworkType::WpaPsk:
        return length >= MinimumPassphraseLength;
    }
    return false;
}

QVariantMap WirelessNetwork::getWpaSupplicantParams() const
{
    if (!isValid()) {
        return {};
    }
    if (!m_ssid.isValid()) {
        nvWarning() << "Network without SSID would match any network, not configuring it!";
        return {};
    }
    const std::optional<QVariant> key = keyParam();
    if (!key) {
        nvWarning() << "Network " << m_ssid
                    << " has a hexadecimal key with other characters, not configuring it!";
        return {};
    }
    QVariantMap params{{QStringLiteral("ssid"), m_ssid.toBinary()},
                       {QStringLiteral("scan_ssid"), 1}};
    switch (m_type) {
    case WirelessNetworkType::Unsecured:
        params.insert(KeyKeyMgmt, QStringLiteral("NONE"));
        break;
    case WirelessNetworkType::Wep:
        params.insert(KeyKeyMgmt, QStringLiteral("NONE"));
        params.insert(QStringLiteral("wep_key0"), *key);
        params.insert(QStringLiteral("auth_alg"), QStringLiteral("OPEN SHARED"));
        break;
    case WirelessNetworkType::WpaPsk:
        params.insert(KeyKeyMgmt, QStringLiteral("WPA-PSK WPA-PSK-SHA256"));
        params.insert(QStringLiteral("psk"), *key);
        params.insert(QStringLiteral("ieee80211w"), 1);
        break;
    }
    if (m_priority >= 0) {
        params.insert(KeyPriority, m_priority);
    } else {
        nvWarning() << "Network " << m_ssid << " has illegal priority: " << m_priority;
    }
    return params;
}

// A key of a hexadecimal length goes over as the bytes it spells, any other as text; no value
// when a character of a hexadecimal-length key is not a hexadecimal digit.
std::optional<QVariant> WirelessNetwork::keyParam() const
{
    const int length = m_key.size();
    const bool hexadecimal = m_type == WirelessNetworkType::Wep
                                 ? length == WepHexKeyShort || length == WepHexKeyLong
                                 : m_type == WirelessNetworkType::WpaPsk && length == PskHexLength;
    if (!hexadecimal) {
        return QVariant(m_key);
    }
    const std::optional<QByteArray> bytes = hexBytes(m_key);
    return bytes ? std::optional<QVariant>(*bytes) : std::nullopt;
}

QVariantMap WirelessNetwork::getMap() const
{
    if (!isValid()) {
        return {};
    }
    QVariantMap map{{KeySsid, m_ssid.toString()}};
    switch (m_type) {
    case WirelessNetworkType::Unsecured:
        map.insert(KeyType, QStringLiteral("unsecured"));
        break;
    case WirelessNetworkType::Wep:
        map.insert(KeyType, QStringLiteral("wep"));
        map.insert(KeyWepKey, m_key);
        break;
    case WirelessNetworkType::WpaPsk:
        map.insert(KeyType, QStringLiteral("wpa-psk"));
        map.insert(KeyWpaPsk, m_key);
        break;
    }
    if (m_priority >= 0) {
        map.insert(KeyPriority, m_priority);
    }
    return map;
}

bool WirelessNetwork::operator==(const WirelessNetwork &other) const
{
    return m_ssid == other.m_ssid && m_key == other.m_key && m_priority == other.m_priority &&
           m_type == other.m_type;
}

// The fields are summed with wrap-around, so networks that differ only in priority hash apart.
uint qHash(const WirelessNetwork &network, uint)
{
    return qHash(network.ssid()) + qHash(network.key(), 0) + static_cast<uint>(network.type()) +
           static_cast<uint>(network.priority());
}

int ApDescription::freq_to_channel(int frequency)
{
    if (frequency >= Band24First && frequency <= Band24Last) {
        return (frequency - Band24First) / ChannelSpacing + 1;
    }
    if (frequency == Band24Channel14) {
        return 14;
    }
    if (frequency >= Band5First && frequency <= Band5Last) {
        return (frequency - Band5First) / ChannelSpacing + Band5FirstChannel;
    }
    return 0;
}

QVariantMap ApDescription::toVariantMap() const
{
    return {{KeySsid, ssid.toString()},
            {KeyType, WirelessNetworkType::toString(type)},
            {QStringLiteral("bssid"), bssid.toString()},
            {QStringLiteral("signal"), static_cast<int>(signal)},
            {QStringLiteral("frequency"), static_cast<int>(frequency)},
            {QStringLiteral("channel"), freq_to_channel(frequency)},
            {QStringLiteral("ies"), ies}};
}

QDebug operator<<(QDebug stream, const ApDescription &ap)
{
    QDebugStateSaver saver(stream);
    stream.nospace();
    if (!ap.ssid.isValid()) {
        stream << "Invalid Ap";
    } else {
        stream << "Ap ssid: " << ap.ssid << " bssid: " << ap.bssid << " freq: " << ap.frequency;
    }
    return stream;
}
