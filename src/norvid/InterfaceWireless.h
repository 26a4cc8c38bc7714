#pragma once

#include "InterfaceConfiguration.h"
#include "InterfaceState.h"
#include "NetworkConfiguration.h"
#include "NorviCommon.h"
#include "NorviDBus.h"
#include "NorviStateMachine.h"
#include "WirelessNetwork.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class AddressManager;
class InterfaceSoftap;
class NetworkDriver;
class Supplicant;

// The controller of the Wi-Fi station interface and owner of the soft-AP interfaces on the same
// chip. Requests become events for the station machine or the soft-AP machine; the machines'
// progress comes back out as this controller's signals.
class InterfaceWireless : public QObject, public InterfaceBase
{
    Q_OBJECT

public:
    InterfaceWireless(const InterfaceName &name, const QStringList &softApNames,
                      NetworkDriver *driver, AddressManager *addressManager, QObject *parent);
    ~InterfaceWireless() override;

    void enableInterface(const QSet<WirelessNetwork> &networks);
    void disableInterface();
    void scan();
    void wpsPbc();
    void wpsPin(const QString &pin);
    void activate(const InterfaceConfiguration &configuration);
    void reloadIpSettings(const InterfaceConfiguration &configuration);
    void startSoftAp(const InterfaceName &softAp);
    void stopSoftAp(const InterfaceName &softAp);
    void reloadSoftApSettings(const SoftApSetup &settings);

    const InterfaceName &getName() const { return m_name; }
    QStringList getSoftApNames() const { return m_softApNames; }
    QVariantMap getNetworkDetails() const;
    bool isConnected() const;
    bool isSoftApUp(const InterfaceName &softAp) const;
    QVariantMap getSoftApSetup() const;
    int get_softap_channnel() const;

    void interfaceAdded(const InterfaceName &name) override;
    void interfaceRemoved(const InterfaceName &name) override;
    void setUpState(const InterfaceName &name, bool up) override;
    void setRunningState(bool running) override;

signals:
    void disabled();
    void enabled();
    void waiting();
    void waitingInterfaceRunning();
    void waitingIpSetup();
    void ready();
    void softapReady(InterfaceName softAp);
    void disconnecting();
    void reconnecting();
    void unready();
    void softapUnready(InterfaceName softAp);
    void authError(Ssid ssid, QString reason);
    void wpsCredentials(WirelessNetwork network);
    void wpsError(QString message);
    void scanResults(QList<ApDescription> aps);
    void statusChanged(InterfaceStatus status);
    void stationConnected(QString mac);
    void stationDisconnected(QString mac);

private slots:
    void on_address_connected();
    void on_address_disconnected();
    void on_supplicant_connected();
    void on_supplicant_configured();
    void on_supplicant_scanResults(QList<ApDescription> aps);
    void on_scanFailed();
    void on_interfaceUp();
    void on_interfaceDown();
    void on_interfaceRemoved();

private:
    const InterfaceName m_name;
    const QStringList m_softApNames;
    NetworkDriver *const m_driver;
    AddressManager *const m_addressManager;
};

// The soft-AP machine's parallel top state: each soft-AP controller adds its region to it.
class WirelessSoftapInterfaceContainer : public InterfaceWirelessState
{
    Q_OBJECT

public:
    WirelessSoftapInterfaceContainer(QState *parent, InterfaceWireless *controller);
};

// The station waits here for wpa_supplicant to associate; the soft-AP regions watch its entry
// to restart on the station's channel.
class WirelessWaitingInterfaceRunning : public InterfaceWirelessState
{
    Q_OBJECT

public:
    WirelessWaitingInterfaceRunning(QState *parent, InterfaceWireless *controller);
};
