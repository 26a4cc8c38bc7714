#pragma once

#include "NorviCommon.h"
#include "NorviDBus.h"
#include "WirelessNetwork.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class InterfaceBase;
class InterfaceWired;
class InterfaceWireless;
class NetlinkWatcher;
class NetworkConfiguration;
class NetworkDriverIp;
class QStateMachine;
class ResolvConfImpl;
class UDevWatcher;

// The daemon in normal mode: owns every component, serves the control interface, turns commands
// into requests for the mode machine or the controllers and the controllers' reports into the
// interface's signals, and hands the kernel's news about each interface to its controller.
class NetworkManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool Connected READ isConnected)
    Q_PROPERTY(QString Mode READ getMode)
    Q_PROPERTY(QVariantMap Details READ getDetails)
    Q_PROPERTY(int LogLevel READ getLogLevel WRITE setLogLevel)
    Q_PROPERTY(QVariantMap SoftApModeSettings READ getSoftApModeSettings)
    Q_PROPERTY(QVariantMap WirelessNetworks READ getWirelessNetworks WRITE setWirelessNetworks)
    Q_PROPERTY(QVariantMap WiredIpSettings READ getWiredIpSettings WRITE setWiredIpSettings)
    Q_PROPERTY(
        QVariantMap WirelessIpSettings READ getWirelessIpSettings WRITE setWirelessIpSettings)

public:
    NetworkManager(const QString &wiredName, const QString &wirelessName,
                   const QStringList &softApNames, QObject *parent = nullptr);
    ~NetworkManager() override;

    bool isConnected() const;
    QString getMode() const;
    QVariantMap getDetails() const;
    int getLogLevel() const;
    void setLogLevel(int level);
    QVariantMap getSoftApModeSettings() const;
    QVariantMap getWirelessNetworks() const;
    void setWirelessNetworks(const QVariantMap &networks);
    QVariantMap getWiredIpSettings() const;
    void setWiredIpSettings(const QVariantMap &settings);
    QVariantMap getWirelessIpSettings() const;
    void setWirelessIpSettings(const QVariantMap &settings);

    // The names of the mode machine's active states.
    QStringList getStates() const;
    static QStringList getListOfModes();

signals:
    void Started();
    void Connected(const QString &name);
    void Disconnected(const QString &name);
    void Disconnecting(const QString &name);
    void Error(const QString &description);
    void AuthError(const QString &ssid, const QString &description);
    void CableStatus(bool pluggedIn);
    void WpsCredentials(const QVariantMap &credentials);
    void WpsError(const QString &message);
    void ScanResults(const QVariantMap &results);
    void AddressesChanged();
    void InterfaceStatusChanged(const QString &name, int status);
    void StationConnected(const QString &mac);
    void StationDisconnected(const QString &mac);

public slots:
    QVariantMap InterfaceDetails(const QString &name) const;
    void SetOffMode();
    void SetNormalMode(const QString &mode);
    void ForceWifiReconnect();
    void StartSoftAp(const QString &interface, const QVariantMap &settings);
    void StopSoftAp(const QString &interface);
    void WpsPbc();
    void WpsPin(const QString &pin);
    void Scan();

private slots:
    void on_wiredConnected();
    void on_wiredDisconnecting();
    void on_wiredDisconnected();
    void on_wiredStatusChanged(InterfaceStatus status);
    void on_wirelessConnected();
    void on_wirelessDisconnecting();
    void on_wirelessDisconnected();
    void on_wirelessStatusChanged(InterfaceStatus status);
    void on_softapReady(InterfaceName softAp);
    void on_softapUnready(InterfaceName softAp);
    void on_reconnecting();
    void on_authError(Ssid ssid, QString message);
    void on_wpsCredentials(WirelessNetwork network);
    void on_scanResults(QList<ApDescription> aps);
    void on_interfaceNetlinkChanged(const QByteArray &name, bool up, bool running);
    void on_interfaceAdded(const QByteArray &name);
    void on_interfaceRemoved(const QByteArray &name);

private:
    void findInterfaces();
    void createWired(const QString &name);
    void createWireless(const QString &name, const QStringList &softApNames);
    void connectWatchers();
    void setUpState(const InterfaceName &name, bool up);
    void setRunningState(const InterfaceName &name, bool running);
    InterfaceBase *controllerOf(const InterfaceName &name) const;
    bool isActive(const QString &stateName) const;
    void putControllerDetails(QVariantMap &details, const InterfaceName &name) const;

    QStateMachine *m_machine;
    NetworkConfiguration *m_config;
    NetworkDriverIp *m_driver;
    NetlinkWatcher *m_netlink;
    UDevWatcher *m_udev;
    ResolvConfImpl *m_resolvConf;
    QSet<InterfaceName> m_present;
    QSet<InterfaceName> m_up;
    QSet<InterfaceName> m_running;
    QMap<InterfaceName, InterfaceBase *> m_controllers;
    InterfaceWired *m_wired = nullptr;
    InterfaceWireless *m_wireless = nullptr;
};
