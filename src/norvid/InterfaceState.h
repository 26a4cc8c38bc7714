#pragma once

#include "NorviCommon.h"

#include <QState>

#include <utility>

class InterfaceWired;
class InterfaceWireless;

// What the manager passes on to the controller of an interface, whatever its kind.
class InterfaceBase
{
public:
    virtual ~InterfaceBase() = default;

    virtual void interfaceAdded(const InterfaceName &name) = 0;
    virtual void interfaceRemoved(const InterfaceName &name) = 0;
    virtual void setUpState(const InterfaceName &name, bool up) = 0;
    virtual void setRunningState(bool running) = 0;
};

// The name of a controller's state ("WiredReady").
class InterfaceStateName : public norvi::TextName<InterfaceStateName>
{
public:
    using TextName::TextName;
};

// A state of a controller's machine that logs its entry and exit and carries its name as its
// objectName. Subclasses call the base hook first, so the log line comes before the state's own
// action.
class InterfaceState : public QState
{
    Q_OBJECT

public:
    // The interface name is referenced, not copied: it is the controller's own member, and the
    // controller owns its states through its machine.
    InterfaceState(QState *parent, const InterfaceName &interface, InterfaceStateName name);

    const InterfaceName &getName() const { return m_interface; }

protected:
    void onEntry(QEvent *event) override;
    void onExit(QEvent *event) override;

private:
    const InterfaceName &m_interface;
    const InterfaceStateName m_name;
};

// The base of the states of one kind of controller: gives each state its controller.
template <typename Controller> class InterfaceControllerState : public InterfaceState
{
public:
    InterfaceControllerState(QState *parent, Controller *controller, const InterfaceName &interface,
                             InterfaceStateName name)
        : InterfaceState(parent, interface, std::move(name)), m_controller(controller)
    {}

protected:
    Controller *controller() const { return m_controller; }

private:
    Controller *const m_controller;
};

using InterfaceWiredState = InterfaceControllerState<InterfaceWired>;
using InterfaceWirelessState = InterfaceControllerState<InterfaceWireless>;
