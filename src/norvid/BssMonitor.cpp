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

QByteArray bytesOf(const QVariant &value)
{
    return value.userType() == QMetaType::QByteArray ? value.toByteArray() : QByteArray();
}

} // namespace

BssMonitor::BssMonitor(const QDBusObjectPath &path)
    : m_path(path), m_bss(new fi_w1_wpa_supplicant1_BSS(SupplicantService, path.path(),
                                                        QDBusConnection::systemBus(), this)),
      m_description(createApDescription())
{
    norvi::connect(m_bss, SIGNAL(PropertiesChanged(QVariantMap)), this,
                   SLOT(on_propertiesChanged(QVariantMap)));
}

BssMonitor::~BssMonitor() = default;

qint16 BssMonitor::signal() const
{
    const QVariant value = m_bss->property("Signal");
    return value.userType() == QMetaType::Short ? value.value<qint16>() : 0;
}

quint16 BssMonitor::frequency() const
{
    const QVariant value = m_bss->property("Frequency");
    return value.userType() == QMetaType::UShort ? value.value<quint16>() : 0;
}

bool BssMonitor::getPrivacy() const
{
    const QVariant value = m_bss->property("Privacy");
    return value.userType() == QMetaType::Bool && value.toBool();
}

QStringList BssMonitor::keyManagement() const
{
    return keyManagementOf(m_bss->property("WPA")) + keyManagementOf(m_bss->property("RSN"));
}

ApDescription BssMonitor::createApDescription() const
{
    ApDescription ap;
    ap.ssid = Ssid::fromBinary(bytesOf(m_bss->property("SSID")));
    const QStringList keyManagement = this->keyManagement();
    if (!getPrivacy()) {
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
    ap.bssid = Bssid::fromBinary(bytesOf(m_bss->property("BSSID")));
    ap.signal = signal();
    ap.frequency = frequency();
    ap.ies = bytesOf(m_bss->property("IEs"));
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
