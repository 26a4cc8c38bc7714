#include "BssMonitor.h"

#include "NorviDBus.h"
#include "fi_w1_wpa_supplicant1_BSS.h"

#include <QDBusConnection>

namespace {

const char *const SupplicantService = "fi.w1.wpa_supplicant1";

// Changes after which the access point may no longer be the one we described.
const QStringList VitalProperties = {"SSID", "WPA", "RSN", "Privacy", "Frequency"};
const QStringList PskKeyManagement = {"wpa-psk", "wpa-psk-sha256"};
const QStringList EapKeyManagement = {"wpa-eap", "wpa-eap-sha256"};

bool containsAny(const QStringList &list, const QStringList &wanted)
{
    return std::any_of(wanted.cbegin(), wanted.cend(),
                       [&list](const QString &entry) { return list.contains(entry); });
}

// The "KeyMgmt" list of a WPA or RSN property; nothing when it is not there or not a list.
QStringList keyManagementOf(const QVariant &property)
{
    const std::optional<QVariantMap> map = norvi::toVariantMap(property);
    if (!map) {
        return {};
    }
    return norvi::toTextList(map->value("KeyMgmt")).value_or(QStringList());
}

} // namespace

BssMonitor::BssMonitor(const QDBusObjectPath &path)
    : m_path(path), m_bss(new fi_w1_wpa_supplicant1_BSS(SupplicantService, path.path(),
                                                        QDBusConnection::systemBus(), this)),
      m_description(describe(reader(), path.path()))
{
    norvi::connect(m_bss, SIGNAL(PropertiesChanged(QVariantMap)), this,
                   SLOT(on_propertiesChanged(QVariantMap)));
}

BssMonitor::~BssMonitor() = default;

BssMonitor::PropertyReader BssMonitor::reader() const
{
    return [this](const char *name) {
        const QVariant value = m_bss->property(name);
        if (!value.isValid()) {
            nvWarning() << "Cannot read property " << name << " of BSS " << m_path.path() << ": "
                        << m_bss->lastError().message();
        }
        return value;
    };
}

QVariant BssMonitor::read(const PropertyReader &property, const char *name, int type,
                          const QString &path)
{
    const QVariant value = property(name);
    if (value.userType() != type) {
        nvWarning() << "Ignoring property " << name << " of BSS " << path
                    << ", missing or of another type";
        return QVariant();
    }
    return value;
}

qint16 BssMonitor::signal() const
{
    return read(reader(), "Signal", QMetaType::Short, m_path.path()).value<qint16>();
}

quint16 BssMonitor::frequency() const
{
    return read(reader(), "Frequency", QMetaType::UShort, m_path.path()).value<quint16>();
}

bool BssMonitor::getPrivacy() const
{
    return read(reader(), "Privacy", QMetaType::Bool, m_path.path()).toBool();
}

QByteArray BssMonitor::bytes(const PropertyReader &property, const char *name, const QString &path)
{
    return read(property, name, QMetaType::QByteArray, path).toByteArray();
}

QStringList BssMonitor::keyManagement(const PropertyReader &property, const QString &path)
{
    return keyManagementOf(read(property, "WPA", QMetaType::QVariantMap, path)) +
           keyManagementOf(read(property, "RSN", QMetaType::QVariantMap, path));
}

ApDescription BssMonitor::describe(const PropertyReader &property, const QString &path)
{
    ApDescription ap;
    ap.ssid = Ssid::fromBinary(bytes(property, "SSID", path));
    const QStringList keyManagement = BssMonitor::keyManagement(property, path);
    if (!read(property, "Privacy", QMetaType::Bool, path).toBool()) {
        ap.type = WirelessNetworkType::Unsecured;
        nvDebug() << "Found unsecured network: " << ap.ssid;
    } else if (containsAny(keyManagement, PskKeyManagement)) {
        ap.type = WirelessNetworkType::WpaPsk;
        nvDebug() << "Found WPA-PSK network: " << ap.ssid;
    } else if (containsAny(keyManagement, EapKeyManagement)) {
        nvDebug() << "Found (ignored) WPA-EPA network: " << ap.ssid;
        return ApDescription();
    } else {
        ap.type = WirelessNetworkType::Wep;
        nvDebug() << "Found WEP network: " << ap.ssid;
    }
    ap.bssid = Bssid::fromBinary(bytes(property, "BSSID", path));
    ap.signal = read(property, "Signal", QMetaType::Short, path).value<qint16>();
    ap.frequency = read(property, "Frequency", QMetaType::UShort, path).value<quint16>();
    ap.ies = bytes(property, "IEs", path);
    return ap;
}

void BssMonitor::on_propertiesChanged(const QVariantMap &properties)
{
    const QStringList names = properties.keys();
    nvDebug() << m_description.ssid << " changed properties: (" << names.join(", ") << ")";
    if (containsAny(names, VitalProperties)) {
        nvInfo() << m_description.ssid << " has changed vital property, repropagate!";
        emit bssReread(m_path);
    } else if (names.contains("Signal")) {
        m_description.signal = signal();
        emit bssSignalUpdated(m_path);
    }
}
