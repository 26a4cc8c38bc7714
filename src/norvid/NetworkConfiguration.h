#pragma once

#include "InterfaceConfiguration.h"
#include "NorviCommon.h"
#include "WirelessNetwork.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// The settings of one soft access point, as StartSoftAp hands them over.
class SoftApSetup
{
public:
    static constexpr int DefaultChannel = 11;

    SoftApSetup() = default;
    explicit SoftApSetup(const QVariantMap &map);
    explicit SoftApSetup(const Ssid &ssid, const QString &apInterface = QString());

    // Every key present replaces its field, even with an empty or unusable value; an absent
    // key gives the default (the SSID, BSSID and interface then stay as they are).
    void setFromMap(const QVariantMap &map);
    QVariantMap toVariantMap() const;

    const Ssid &ssid() const { return m_ssid; }
    const Bssid &bssid() const { return m_bssid; }
    QString apAddress() const { return m_apAddress.toString(); }
    QString subnet() const { return m_subnet.toString(); }
    QString startAddress() const { return m_startAddress.toString(); }
    QString endAddress() const { return m_endAddress.toString(); }
    const QString &countryCode() const { return m_countryCode; }
    int channel() const { return m_channel; }
    const QString &vendorSpecificData() const { return m_vendorSpecificData; }
    const QString &apInterface() const { return m_apInterface; }
    const QString &domainName() const { return m_domainName; }

    void setApInterface(const QString &apInterface) { m_apInterface = apInterface; }

    // The keys of the text settings that can't be written into hostapd's, udhcpd's or dnsd's
    // line-based configuration files: a line break or other control character anywhere, white
    // space in the domain name (dnsd splits its lines at it), and white space or a slash in the
    // interface name (it is also part of the files' names). A client could otherwise add lines
    // or fields of its own to those files.
    QStringList unsafeTextSettings() const;
    bool hasUnsafeText() const { return !unsafeTextSettings().isEmpty(); }

    // The domain name is not compared.
    bool operator==(const SoftApSetup &other) const;
    bool operator!=(const SoftApSetup &other) const { return !(*this == other); }

private:
    Ssid m_ssid;
    Bssid m_bssid;
    QHostAddress m_apAddress;
    QHostAddress m_subnet;
    QHostAddress m_startAddress;
    QHostAddress m_endAddress;
    QString m_countryCode;
    // A record that never went through setFromMap still names a channel every radio has.
    int m_channel = DefaultChannel;
    QString m_vendorSpecificData;
    QString m_apInterface;
    QString m_domainName;
};

// Which kind of WPS session to run.
class WpsSetup
{
public:
    enum Type
    {
        Unset = 0,
        Pin = 1,
        Pbc = 2
    };

    WpsSetup() = default;
    WpsSetup(Type type, const QString &pin) : m_type(type), m_pin(pin) {}

    Type type() const { return m_type; }
    const QString &pin() const { return m_pin; }

private:
    Type m_type = Unset;
    QString m_pin;
};

// The daemon's current configuration as clients set it. Every setter reports whether it changed
// anything, so that a client repeating its settings does not make the daemon reapply them.
class NetworkConfiguration : public QObject
{
    Q_OBJECT

public:
    NetworkConfiguration(QObject *parent, const QString &wiredName, const QString &wirelessName,
                         const QStringList &softApNames);

    const QString &getWiredName() const { return m_wiredName; }
    const QString &getWirelessName() const { return m_wirelessName; }
    const QSet<InterfaceName> &getSoftApNames() const { return m_softApNames; }

    InterfaceConfiguration wiredSettings() const { return m_wiredSettings; }
    InterfaceConfiguration wirelessSettings() const { return m_wirelessSettings; }
    bool setWiredSettings(const InterfaceConfiguration &settings);
    bool setWirelessSettings(const InterfaceConfiguration &settings);

    const QHash<InterfaceName, SoftApSetup> &getSoftApSettings() const { return m_softApSettings; }
    // Settings that differ only in the domain name count as unchanged and are not stored.
    bool setSoftApSettings(const InterfaceName &interface, const SoftApSetup &setup);

    bool setAps(const QSet<WirelessNetwork> &networks);
    const QSet<WirelessNetwork> &getApSetup() const { return m_networks; }

signals:
    void wiredSettingsChanged();
    void wirelessSettingsChanged();
    void softApSettingsChanged(const InterfaceName &interface);
    void apsChanged();

private:
    QString m_wiredName;
    QString m_wirelessName;
    QSet<InterfaceName> m_softApNames;
    InterfaceConfiguration m_wiredSettings;
    InterfaceConfiguration m_wirelessSettings;
    QHash<InterfaceName, SoftApSetup> m_softApSettings;
    QSet<WirelessNetwork> m_networks;
};
