#pragma once

#include "InterfaceConfiguration.h"
#include "InterfaceState.h"
#include "NorviCommon.h"
#include "NorviDBus.h"
#include "NorviStateMachine.h"

#include <QObject>
#include <QString>

class AddressManager;
class QNetworkInterface;
class NetworkDriver;
class WiredStateBase;

// The controller of the wired Ethernet interface. The manager says whether the interface is
// wanted and when to bring up IP; the watchers say whether it exists, is up and has carrier.
// From both it drives the link and the addressing, and reports its progress as signals.
class InterfaceWired : public QObject, public InterfaceBase
{
    Q_OBJECT

public:
    // Where the kernel shows each interface's carrier, as <directory><interface>/carrier.
    static const QString SysClassNetPath;

    InterfaceWired(const InterfaceName &name, NetworkDriver *driver, AddressManager *addressManager,
                   QObject *parent, const QString &sysClassNetPath = SysClassNetPath,
                   int holdIntervalMs = NorviStateMachine::HoldIntervalMs);
    ~InterfaceWired() override;

    void enableInterface();
    void disableInterface();
    // The configuration is kept even when the machine is in no state to use it yet.
    void activate(const InterfaceConfiguration &configuration);
    void reloadIpSettings(const InterfaceConfiguration &configuration);

    bool isConnected() const;
    // A missing or unreadable carrier file counts as no carrier.
    bool isCablePluggedIn() const;
    const InterfaceName &getName() const { return m_name; }

    void interfaceAdded(const InterfaceName &name) override;
    void interfaceRemoved(const InterfaceName &name) override;
    void setUpState(const InterfaceName &name, bool up) override;
    // Every report is passed on, also one that repeats the previous.
    void setRunningState(bool running) override;

signals:
    void enabled();
    void disabled();
    void waiting();
    void waitingInterfaceRunning();
    void waitingIpSetup();
    void ready();
    void disconnecting();
    void disconnected();
    void unready();
    void cableStatus(bool pluggedIn);
    void statusChanged(InterfaceStatus status);
    void error(QString message);

private slots:
    void on_address_connected();
    void on_address_disconnected();
    void on_stateMachinePaused(QState *pausedState);
    void on_interfaceUp();
    void on_interfaceDown();
    void on_interfaceRemoved();

private:
    friend class WiredStateBase;

    struct States;

    void buildStates(States &states, const QNetworkInterface &probed);
    void addTransitions(const States &states);
    void connectSignals(const States &states);
    void configureHold();
    static QState *initialPresence(const States &states, const QNetworkInterface &probed);
    QState *initialLifeCycle(const States &states, const QNetworkInterface &probed) const;

    // For the states' entry and exit actions.
    void linkUp();
    void linkDown();
    void startAddressing();
    void stopAddressing();
    void holdEvents();

    const InterfaceName m_name;
    NetworkDriver *const m_driver;
    AddressManager *const m_addressManager;
    const QString m_sysClassNetPath;
    NorviStateMachine *const m_machine;
    QState *m_ready = nullptr;
    InterfaceConfiguration m_configuration;
};
