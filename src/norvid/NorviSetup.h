#pragma once

#include "NorviCommon.h"

#include <QState>

class InterfaceWired;
class InterfaceWireless;
class NetworkConfiguration;
class QStateMachine;

// What every mode state works with: the two controllers and the configuration. The manager owns
// all three; the states only use them.
class NorviSetup
{
public:
    NorviSetup(InterfaceWired *wired, InterfaceWireless *wireless, NetworkConfiguration *config)
        : m_wired(wired), m_wireless(wireless), m_config(config)
    {}

    InterfaceWired *wired() const { return m_wired; }
    InterfaceWireless *wireless() const { return m_wireless; }
    NetworkConfiguration *config() const { return m_config; }

private:
    InterfaceWired *m_wired;
    InterfaceWireless *m_wireless;
    NetworkConfiguration *m_config;
};

// The name of a mode state ("WiredConnectedState").
class NorviStateName : public norvi::TextName<NorviStateName>
{
public:
    using TextName::TextName;
};

// A state of the mode machine: logs its entry and exit, then runs its entry action on the
// controllers. The action sees the event that led into the state, so that a state can tell a
// reconnect or a WPS PIN request from any other way in.
class NorviState : public QState
{
    Q_OBJECT

public:
    using Action = void (*)(const NorviSetup &setup, const QEvent *event);

    NorviState(QState *parent, const NorviSetup &setup, NorviStateName name,
               Action entry = nullptr);

    QString getName() const { return m_name.toString(); }
    const NorviStateName &getNorviState() const { return m_name; }

    // The station's usual progress from waiting through IP set-up to connected, as children of
    // this state.
    void addWiredStates();
    void addWirelessStates();

protected:
    void onEntry(QEvent *event) override;
    void onExit(QEvent *event) override;

    const NorviSetup &setup() const { return m_setup; }

private:
    const NorviSetup m_setup;
    const NorviStateName m_name;
    const Action m_entry;
};

namespace norvi {

// Builds the five modes with their states and transitions into machine, OffMode initial. The
// machine is not started.
void buildModeStates(QStateMachine *machine, const NorviSetup &setup);

// The names of the five modes, in the order they are built.
QStringList modeNames();

} // namespace norvi
