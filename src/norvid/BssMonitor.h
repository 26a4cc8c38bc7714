#pragma once

#include "WirelessNetwork.h"

#include <QDBusObjectPath>
#include <QObject>
#include <QVariantMap>

class fi_w1_wpa_supplicant1_BSS;

// Follows one access point wpa_supplicant has seen and keeps its description for scan results.
// Lives on the main thread. Changes that alter what the access point is (name, security,
// frequency) are reported for a complete re-read; a signal change is taken up in place.
class BssMonitor : public QObject
{
    Q_OBJECT

public:
    explicit BssMonitor(const QDBusObjectPath &path);
    ~BssMonitor() override;

    const ApDescription &getApDescription() const { return m_description; }
    QByteArray ssid() const { return m_description.ssid.toBinary(); }
    const Bssid &bssid() const { return m_description.bssid; }

    // Read from wpa_supplicant at the time of the call; 0 or false when unreadable.
    qint16 signal() const;
    quint16 frequency() const;
    bool getPrivacy() const;

signals:
    void bssReread(QDBusObjectPath path);
    void bssSignalUpdated(QDBusObjectPath path);

private slots:
    void on_propertiesChanged(const QVariantMap &properties);

private:
    ApDescription createApDescription() const;
    QStringList keyManagement() const;

    const QDBusObjectPath m_path;
    fi_w1_wpa_supplicant1_BSS *const m_bss;
    ApDescription m_description;
};
