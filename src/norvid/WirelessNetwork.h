#pragma once

#include "NorviCommon.h"

#include <QByteArray>
#include <QDebug>
#include <QList>
#include <QMetaType>
#include <QSet>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <optional>

// Reading values that a D-Bus client sent. Clients put whatever they like into a variant, so
// every reader says whether the value really was what the key asks for instead of quietly
// producing an empty or zero value that would then be mistaken for a deliberate setting.
namespace norvi {

// A string-keyed map: a QVariantMap or QVariantHash handed over in-process, or a nested
// dictionary as it arrives from the bus (a QDBusArgument holding a{s...}). Anything else,
// including a map with non-text keys, gives no value.
std::optional<QVariantMap> toVariantMap(const QVariant &value);

// Text: strings, byte arrays (read as UTF-8), numbers and booleans in their text form.
std::optional<QString> toText(const QVariant &value);

// A signed 32-bit integer: numbers and numeric text within range. Fractions are rounded.
std::optional<int> toInt(const QVariant &value);

// True for a line break, a tab or any other control character: such text must not be written
// into a line-based configuration file.
bool hasControlCharacter(const QString &text);

} // namespace norvi

// A Wi-Fi network name: Unicode text of at most 32 bytes in UTF-8.
class Ssid
{
public:
    static constexpr int MaximumBytes = 32;

    Ssid() = default;

    // Both builders log a warning and give an empty SSID for a name over 32 bytes.
    static Ssid fromBinary(const QByteArray &bytes);
    static Ssid fromString(const QString &text);

    const QString &toString() const { return m_text; }
    QByteArray toBinary() const { return m_text.toUtf8(); }
    bool isValid() const { return !m_text.isEmpty(); }

    bool operator==(const Ssid &other) const { return m_text == other.m_text; }
    bool operator!=(const Ssid &other) const { return m_text != other.m_text; }
    bool operator<(const Ssid &other) const { return m_text < other.m_text; }

private:
    explicit Ssid(const QString &text) : m_text(text) {}

    QString m_text;
};

uint qHash(const Ssid &ssid, uint seed = 0);
QDebug operator<<(QDebug stream, const Ssid &ssid);

// An access point's hardware address as six colon-separated hexadecimal pairs. Empty when
// unknown. Compared as text, so "aa:..." and "AA:..." differ.
class Bssid
{
public:
    Bssid() = default;

    // Exactly six bytes, written in upper case; any other size gives an empty BSSID.
    static Bssid fromBinary(const QByteArray &bytes);
    // The text as given when it is exactly six pairs separated by colons, else empty.
    static Bssid fromString(const QString &text);

    const QString &toString() const { return m_text; }
    bool isEmpty() const { return m_text.isEmpty(); }

    bool operator==(const Bssid &other) const { return m_text == other.m_text; }
    bool operator!=(const Bssid &other) const { return m_text != other.m_text; }

private:
    explicit Bssid(const QString &text) : m_text(text) {}

    QString m_text;
};

uint qHash(const Bssid &bssid, uint seed = 0);
QDebug operator<<(QDebug stream, const Bssid &bssid);

class WirelessNetworkType
{
public:
    // A fixed underlying type, since any integer may arrive where a type is expected.
    enum Type : int
    {
        Unsecured = 0,
        Wep = 1,
        WpaPsk = 2
    };

    // "unsecured", "wep", "wpa_psk"; empty for a value outside the enumeration.
    static QString toString(Type type);
};

// One network the device is told to join.
class WirelessNetwork
{
public:
    WirelessNetwork() = default;
    WirelessNetwork(const Ssid &ssid, WirelessNetworkType::Type type, const QString &key,
                    int priority);

    // One entry of the WirelessNetworks property as a client writes it: the SSID text and its
    // credentials dictionary. Gives no network, after "Not adding network: ", when the
    // credentials are not a dictionary, name no usable security or the SSID is unusable.
    static std::optional<WirelessNetwork> fromCredentials(const QString &ssidText,
                                                          const QVariant &credentials);
    // The whole written WirelessNetworks property, entry by entry in SSID order.
    static QSet<WirelessNetwork> fromNetworksMap(const QVariantMap &networks);

    const Ssid &ssid() const { return m_ssid; }
    const QString &key() const { return m_key; }
    int priority() const { return m_priority; }
    WirelessNetworkType::Type type() const { return m_type; }

    // Whether the key has a length the security type allows. The SSID is not checked.
    bool isValid() const;

    // The parameters for wpa_supplicant's AddNetwork; empty for a network that must not be
    // handed over (invalid, nameless, or a hexadecimal key with other characters).
    QVariantMap getWpaSupplicantParams() const;
    // The form reported on the control interface (property read, WPS credentials).
    QVariantMap getMap() const;

    bool operator==(const WirelessNetwork &other) const;
    bool operator!=(const WirelessNetwork &other) const { return !(*this == other); }

private:
    std::optional<QVariant> keyParam() const;

    Ssid m_ssid;
    QString m_key;
    int m_priority = 0;
    WirelessNetworkType::Type m_type = WirelessNetworkType::Unsecured;
};

uint qHash(const WirelessNetwork &network, uint seed = 0);

// One access point seen by a scan. Access points are the same when their BSSIDs are.
struct ApDescription
{
    Ssid ssid;
    WirelessNetworkType::Type type = WirelessNetworkType::Unsecured;
    Bssid bssid;
    qint16 signal = 0;
    quint16 frequency = 0;
    QByteArray ies;

    // The 2.4 GHz and 5 GHz channel numbers; 0 for any other frequency.
    static int freq_to_channel(int frequency);

    // One entry of the ScanResults signal.
    QVariantMap toVariantMap() const;

    bool operator==(const ApDescription &other) const { return bssid == other.bssid; }
    bool operator!=(const ApDescription &other) const { return bssid != other.bssid; }
};

QDebug operator<<(QDebug stream, const ApDescription &ap);

Q_DECLARE_METATYPE(Ssid)
Q_DECLARE_METATYPE(Bssid)
Q_DECLARE_METATYPE(WirelessNetwork)
Q_DECLARE_METATYPE(ApDescription)

namespace norvi {

// Registers the wireless value types that travel through queued signals (WirelessNetwork and
// sets of them, Ssid, lists of ApDescription). Safe to call more than once.
void registerWirelessMetaTypes();

} // namespace norvi
