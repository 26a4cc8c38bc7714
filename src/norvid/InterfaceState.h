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

using InterfaceWirelessState = InterfaceControllerState<InterfaceWireless>;

// A state that is logged and found under the name of its class and has the controller act when
// it is entered and exited. Actions take the event that caused the transition if `EventArg` is
// given, for a controller that must tell one cause from another.
template <typename Controller, typename... EventArg>
class InterfaceActionState : public InterfaceControllerState<Controller>
{
public:
    using Action = void (Controller::*)(EventArg...);

    InterfaceActionState(QState *parent, Controller *controller, const char *name, Action entry,
                         Action exit)
        : InterfaceControllerState<Controller>(parent, controller, controller->getName(),
                                               InterfaceStateName(QString::fromLatin1(name))),
          m_entry(entry), m_exit(exit)
    {}

protected:
    static constexpr Action NoAction = nullptr;

    void onEntry(QEvent *event) override
    {
        InterfaceState::onEntry(event);
        run(m_entry, event);
    }
    void onExit(QEvent *event) override
    {
        InterfaceState::onExit(event);
        run(m_exit, event);
    }

private:
    void run(Action action, [[maybe_unused]] QEvent *event) const
    {
        if (action == NoAction) {
            return;
        }
        if constexpr (sizeof...(EventArg) == 0) {
            (this->controller()->*action)();
        } else {
            (this->controller()->*action)(event);
        }
    }

    const Action m_entry;
    const Action m_exit;
};
