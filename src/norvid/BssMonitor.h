#pragma once

#include "WirelessNetwork.h"

#include <QDBusObjectPath>
#include <QObject>
#include <QVariantMap>

#include <functional>

class fi_w1_wpa_supplicant1_BSS;

// Follows one access point wpa_supplicant has seen and keeps its description for scan results.
// Lives on the main thread. Changes that alter what the access point is (name, security,
// frequency) are reported for a complete re-read; a signal change is taken up in place.
class BssMonitor : public QObject
{
    Q_OBJECT

public:
    // Reads one property of an access point; an invalid value when it cannot be read.
    using PropertyReader = std::function<QVariant(const char *name)>;

    explicit BssMonitor(const QDBusObjectPath &path);
    ~BssMonitor() override;

    const ApDescription &getApDescription() const { return m_description; }
    QByteArray ssid() const { return m_description.ssid.toBinary(); }
    const Bssid &bssid() const { return m_description.bssid; }

    // Read from wpa_supplicant at the time of the call; 0 or false when unreadable.
    qint16 signal() const;
    quint16 frequency() const;
    bool getPrivacy() const;

    // Describes an access point from its properties, each of which may be missing or of any
    // type; an empty description for one the daemon does not join (EAP).
    static ApDescription describe(const PropertyReader &property, const QString &path);

signals:
    void bssReread(QDBusObjectPath path);
    void bssSignalUpdated(QDBusObjectPath path);

private slots:
    void on_propertiesChanged(const QVariantMap &properties);

private:
    // The property as the given type, or an invalid value (logged) when it is not that.
    static QVariant read(const PropertyReader &property, const char *name, int type,
                         const QString &path);
    static QByteArray bytes(const PropertyReader &property, const char *name, const QString &path);
    static QStringList keyManagement(const PropertyReader &property, const QString &path);
    PropertyReader reader() const;

    const QDBusObjectPath m_path;
    fi_w1_wpa_supplicant1_BSS *const m_bss;
    ApDescription m_description;
};
