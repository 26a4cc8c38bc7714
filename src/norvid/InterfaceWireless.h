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
class WirelessStateBase;
class WirelessWaitingInterfaceRunning;

// What the wireless controller takes from the device: the Wi-Fi driver's parameter files, the
// program that adds interfaces to the radio, how long it waits, and the supplicant. Tests hand in
// their own.
struct WirelessPlatform
{
    // Marvell's mainline driver: writing "1" lets the soft AP keep a channel of its own.
    static const QString MwifiexDrcsPath;
    // Marvell's own driver: "1" when it was loaded with two channels enabled; read only.
    static const QString MlanDrcsPath;
    static const QString IwProgram;
    // A scan without results for this long counts as failed.
    static constexpr int ScanTimeoutMs = 15000;

    QString mwifiexDrcsPath = MwifiexDrcsPath;
    QString mlanDrcsPath = MlanDrcsPath;
    QString iwProgram = IwProgram;
    int holdIntervalMs = NorviStateMachine::HoldIntervalMs;
    int scanTimeoutMs = ScanTimeoutMs;
    // Taken over by the controller; none: the one the supplicant factory makes.
    Supplicant *supplicant = nullptr;
};

// The controller of the Wi-Fi station interface and owner of the soft-AP interfaces on the same
// chip. Requests become events for the station machine or the soft-AP machine; the machines'
// progress comes back out as this controller's signals.
class InterfaceWireless : public QObject, public InterfaceBase
{
    Q_OBJECT

public:
    InterfaceWireless(const InterfaceName &name, const QStringList &softApNames,
                      NetworkDriver *driver, AddressManager *addressManager, QObject *parent,
                      const WirelessPlatform &platform = WirelessPlatform());
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
    friend class WirelessStateBase;

    struct States;

    bool detectMultichannel(const WirelessPlatform &platform) const;
    void connectSupplicant();
    void buildStates(States &states);
    void addTransitions(const States &states);
    void connectSignals(const States &states);
    void configureHold();
    void buildSoftAps(WirelessWaitingInterfaceRunning *stationWaiting);
    // The machine that serves the interface; none for a name this controller does not own.
    NorviStateMachine *machineFor(const InterfaceName &name) const;

    // For the states' entry and exit actions; each gets the event that moved the machine.
    void storeNetworks(QEvent *event);
    void enableSupplicant(QEvent *event);
    void disableSupplicant(QEvent *event);
    void startWps(QEvent *event);
    void startScan(QEvent *event);
    void startAddressing(QEvent *event);
    void stopAddressing(QEvent *event);
    void holdEvents(QEvent *event);
    void createSoftApInterfaces(QEvent *event);

    const InterfaceName m_name;
    const QStringList m_softApNames;
    NetworkDriver *const m_driver;
    AddressManager *const m_addressManager;
    const QString m_iwProgram;
    const int m_scanTimeoutMs;
    NorviStateMachine *const m_softApMachine;
    NorviStateMachine *const m_stationMachine;
    QHash<InterfaceName, InterfaceSoftap *> m_softAps;
    InterfaceConfiguration m_ipSettings;
    Supplicant *m_supplicant = nullptr;
    QSet<WirelessNetwork> m_networks;
    WpsSetup m_wps;
    const bool m_multichannel;
    QState *m_ready = nullptr;
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
