#pragma once

#include "NorviCommon.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class NetlinkWatcher;
class QTimer;

// The daemon's passive mode: serves the control interface, changes nothing on the system and
// refuses every command. It reports what it observes of the wired and the wireless interface:
// carrier, whether each has an IPv4 address, and address changes.
class NetworkMonitor : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool Connected READ isConnected)
    Q_PROPERTY(QString Mode READ getMode)
    Q_PROPERTY(QVariantMap Details READ getDetails)
    Q_PROPERTY(int LogLevel READ getLogLevel WRITE setLogLevel)
    Q_PROPERTY(
        QVariantMap SoftApModeSettings READ getSoftApModeSettings WRITE setSoftApModeSettings)
    Q_PROPERTY(QVariantMap WirelessNetworks READ getWirelessNetworks WRITE setWirelessNetworks)
    Q_PROPERTY(QVariantMap WiredIpSettings READ getWiredIpSettings WRITE setWiredIpSettings)
    Q_PROPERTY(
        QVariantMap WirelessIpSettings READ getWirelessIpSettings WRITE setWirelessIpSettings)

public:
    // An interface that already holds its address at start-up or when carrier comes back
    // produces no address change to react to; a check this long afterwards catches it.
    static constexpr int CheckIntervalMs = 10000;

    // The soft-AP names are accepted for the command line's sake; the monitor has no use for
    // them.
    NetworkMonitor(const QString &wiredName, const QString &wirelessName,
                   const QStringList &softApNames, int checkIntervalMs = CheckIntervalMs,
                   QObject *parent = nullptr);

    bool isConnected() const;
    QString getMode() const;
    QVariantMap getDetails() const;
    int getLogLevel() const;
    void setLogLevel(int level);
    QVariantMap getSoftApModeSettings() const;
    void setSoftApModeSettings(const QVariantMap &settings);
    QVariantMap getWirelessNetworks() const;
    void setWirelessNetworks(const QVariantMap &networks);
    QVariantMap getWiredIpSettings() const;
    void setWiredIpSettings(const QVariantMap &settings);
    QVariantMap getWirelessIpSettings() const;
    void setWirelessIpSettings(const QVariantMap &settings);

signals:
    void Started();
    void Connected(const QString &name);
    void Disconnected(const QString &name);
    void CableStatus(bool pluggedIn);
    void AddressesChanged();
    void Disconnecting(const QString &name);
    void Error(const QString &description);
    // One argument where the control interface has two: this signal never reaches the bus.
    void AuthError(const QString &description);
    void WpsCredentials(const QVariantMap &credentials);
    void WpsError(const QString &message);
    void ScanResults(const QVariantMap &results);

public slots:
    QVariantMap InterfaceDetails(const QString &name) const;
    void SetOffMode();
    void SetNormalMode(const QString &mode);
    void SetSoftApMode(const QString &mode);
    void WpsPbc();
    void WpsPin(const QString &pin);
    void Scan();

private slots:
    void on_addressesChanged();
    void on_interfaceNetlinkChanged(const QByteArray &name, bool up, bool running);

private:
    enum class LinkState
    {
        Disconnected = 0, // no carrier
        Waiting = 1,      // carrier, no IPv4 address seen yet
        Connected = 2     // carrier and an IPv4 address
    };

    struct Watched
    {
        InterfaceName name;
        LinkState state;
    };

    static Watched initialState(const QString &name);
    static bool carrierChanged(const Watched &interface, bool running);
    void onCarrier(Watched &interface, bool running);
    void checkAddress(Watched &interface);

    Watched m_wired;
    Watched m_wireless;
    NetlinkWatcher *m_netlink = nullptr;
    QTimer *m_checkTimer = nullptr;
};
