#include "InterfaceWired.h"

#include "AddressManager.h"
#include "NetworkDriver.h"

#include <QFile>
#include <QNetworkInterface>
#include <QPair>
#include <QVector>

const QString InterfaceWired::SysClassNetPath = QStringLiteral("/sys/class/net/");

// A state of the wired machine, with what the controller does when it is entered and exited.
class WiredStateBase : public InterfaceActionState<InterfaceWired>
{
public:
    using InterfaceActionState::InterfaceActionState;

protected:
    static constexpr Action LinkUp = &InterfaceWired::linkUp;
    static constexpr Action LinkDown = &InterfaceWired::linkDown;
    static constexpr Action StartAddressing = &InterfaceWired::startAddressing;
    static constexpr Action StopAddressing = &InterfaceWired::stopAddressing;
    static constexpr Action HoldEvents = &InterfaceWired::holdEvents;
};

namespace {

#define NORVI_WIRED_STATE(Name, entry, exit)                                                       \
    class Name : public WiredStateBase                                                             \
    {                                                                                              \
    public:                                                                                        \
        Name(QState *parent, InterfaceWired *wired)                                                \
            : WiredStateBase(parent, wired, #Name, entry, exit)                                    \
        {}                                                                                         \
    }

// Both regions of the machine run side by side.
class WiredStateMachineContainer : public WiredStateBase
{
public:
    WiredStateMachineContainer(QState *parent, InterfaceWired *wired)
        : WiredStateBase(parent, wired, "WiredStateMachineContainer", NoAction, NoAction)
    {
        setChildMode(QState::ParallelStates);
    }
};

// clang-format off
//                state                          entry            exit
NORVI_WIRED_STATE(WiredInterfaceContainer,       NoAction,        NoAction);
NORVI_WIRED_STATE(WiredPresentContainer,         NoAction,        NoAction);
NORVI_WIRED_STATE(WiredNoInterface,              NoAction,        NoAction);
NORVI_WIRED_STATE(WiredInterfaceDown,            NoAction,        NoAction);
NORVI_WIRED_STATE(WiredInterfaceUp,              NoAction,        NoAction);
NORVI_WIRED_STATE(WiredNoInterfaceDisabled,      NoAction,        NoAction);
NORVI_WIRED_STATE(WiredNoInterfaceEnabled,       NoAction,        NoAction);
// Exists but not wanted: the link is kept down.
NORVI_WIRED_STATE(WiredDisabled,                 LinkDown,        NoAction);
NORVI_WIRED_STATE(WiredDisabledInterfaceRunning, LinkDown,        NoAction);
// Wanted: the link is brought up, carrier or not.
NORVI_WIRED_STATE(WiredWaiting,                  LinkUp,          NoAction);
// WiredWaitingInterfaceRunning (below):         LinkUp unless entered on carrier
// Addressing runs for as long as this state is active, whichever child is.
NORVI_WIRED_STATE(WiredIpRunning,                StartAddressing, StopAddressing);
NORVI_WIRED_STATE(WiredWaitingIpSetup,           NoAction,        NoAction);
// Connected. Requests that would end the connection are held for a while, so that a burst of
// them tears it down once instead of once each.
NORVI_WIRED_STATE(WiredReady,                    HoldEvents,      NoAction);
// Two states of this class: one for while the cable is out, one for once it is back.
NORVI_WIRED_STATE(WiredDisconnected,             NoAction,        NoAction);
// clang-format on

#undef NORVI_WIRED_STATE

// The kernel reports carrier only on a link that is up: entered on carrier, the link is left as
// it is, which spares a command on the way from plug to address. Entered on a request, the link
// may be down and is brought up.
class WiredWaitingInterfaceRunning : public WiredStateBase
{
public:
    WiredWaitingInterfaceRunning(QState *parent, InterfaceWired *wired)
        : WiredStateBase(parent, wired, "WiredWaitingInterfaceRunning", NoAction, NoAction)
    {}

protected:
    void onEntry(QEvent *event) override
    {
        WiredStateBase::onEntry(event);
        if (event == nullptr || event->type() != WiredEvent::CablePluggedIn::staticType()) {
            (controller()->*LinkUp)();
        }
    }
};

} // namespace

struct InterfaceWired::States
{
    QState *container = nullptr;
    QState *interfaceContainer = nullptr;
    QState *presentContainer = nullptr;
    QState *noInterface = nullptr;
    QState *interfaceDown = nullptr;
    QState *interfaceUp = nullptr;
    QState *noInterfaceDisabled = nullptr;
    QState *noInterfaceEnabled = nullptr;
    QState *disabled = nullptr;
    QState *disabledInterfaceRunning = nullptr;
    QState *waiting = nullptr;
    QState *waitingInterfaceRunning = nullptr;
    QState *ipRunning = nullptr;
    QState *waitingIpSetup = nullptr;
    QState *ready = nullptr;
    QState *disconnectedUnplugged = nullptr;
    QState *disconnectedPlugged = nullptr;
};

InterfaceWired::InterfaceWired(const InterfaceName &name, NetworkDriver *driver,
                               AddressManager *addressManager, QObject *parent,
                               const QString &sysClassNetPath, int holdIntervalMs)
    : QObject(parent), m_name(name), m_driver(driver), m_addressManager(addressManager),
      m_sysClassNetPath(sysClassNetPath), m_machine(new NorviStateMachine(this, holdIntervalMs))
{
    nvDebug() << "Creating wired interface: " << m_name;
    norvi::connect(m_addressManager, SIGNAL(connected()), this, SLOT(on_address_connected()));
    norvi::connect(m_addressManager, SIGNAL(disconnected()), this, SLOT(on_address_disconnected()));
    const QNetworkInterface probed = QNetworkInterface::interfaceFromName(m_name.toString());
    States states;
    buildStates(states, probed);
    addTransitions(states);
    connectSignals(states);
    configureHold();
    states.interfaceContainer->setInitialState(initialLifeCycle(states, probed));
    m_machine->start();
    nvDebug() << "Finished creating wired interface: " << m_name;
}

InterfaceWired::~InterfaceWired()
{
    // Whoever listens may be halfway through its own destruction: a hold that the request
    // starts must not call back into it.
    blockSignals(true);
    disableInterface();
}

void InterfaceWired::buildStates(States &s, const QNetworkInterface &probed)
{
    s.container = new WiredStateMachineContainer(m_machine, this);
    m_machine->setInitialState(s.container);
    s.interfaceContainer = new WiredInterfaceContainer(s.container, this);
    s.presentContainer = new WiredPresentContainer(s.container, this);
    s.noInterface = new WiredNoInterface(s.presentContainer, this);
    s.interfaceDown = new WiredInterfaceDown(s.presentContainer, this);
    s.interfaceUp = new WiredInterfaceUp(s.presentContainer, this);
    s.presentContainer->setInitialState(initialPresence(s, probed));

    s.noInterfaceDisabled = new WiredNoInterfaceDisabled(s.interfaceContainer, this);
    s.noInterfaceEnabled = new WiredNoInterfaceEnabled(s.interfaceContainer, this);
    s.disabled = new WiredDisabled(s.interfaceContainer, this);
    s.disabledInterfaceRunning = new WiredDisabledInterfaceRunning(s.interfaceContainer, this);
    s.waiting = new WiredWaiting(s.interfaceContainer, this);
    s.waitingInterfaceRunning = new WiredWaitingInterfaceRunning(s.interfaceContainer, this);
    s.ipRunning = new WiredIpRunning(s.interfaceContainer, this);
    s.waitingIpSetup = new WiredWaitingIpSetup(s.ipRunning, this);
    s.ready = new WiredReady(s.ipRunning, this);
    s.ipRunning->setInitialState(s.waitingIpSetup);
    s.disconnectedUnplugged = new WiredDisconnected(s.interfaceContainer, this);
    s.disconnectedPlugged = new WiredDisconnected(s.interfaceContainer, this);
    m_ready = s.ready;
}

QState *InterfaceWired::initialPresence(const States &s, const QNetworkInterface &probed)
{
    if (!probed.isValid()) {
        return s.noInterface;
    }
    return probed.flags().testFlag(QNetworkInterface::IsUp) ? s.interfaceUp : s.interfaceDown;
}

QState *InterfaceWired::initialLifeCycle(const States &s, const QNetworkInterface &probed) const
{
    // Always not wanted at first: the manager enables the interface when its mode wants it.
    if (!probed.isValid()) {
        return s.noInterfaceDisabled;
    }
    return isCablePluggedIn() ? s.disabledInterfaceRunning : s.disabled;
}

void InterfaceWired::addTransitions(const States &s)
{
    using namespace WiredEvent;
    struct Row
    {
        QState *source;
        QEvent event;
        QState *target;
    };
    // clang-format off
    const Row table[] = {
        // source                      event               target
        {s.noInterface,                InterfaceAdded(),   s.interfaceDown},
        {s.noInterface,                InterfaceStopped(), s.interfaceDown},
        {s.noInterface,                InterfaceStarted(), s.interfaceUp},
        {s.interfaceUp,                InterfaceRemoved(), s.noInterface},
        {s.interfaceUp,                InterfaceStopped(), s.interfaceDown},
        {s.interfaceDown,              InterfaceRemoved(), s.noInterface},
        {s.interfaceDown,              InterfaceStarted(), s.interfaceUp},

        {s.noInterfaceDisabled,        Disable(),          s.noInterfaceDisabled},
        {s.noInterfaceDisabled,        Enable(),           s.noInterfaceEnabled},
        {s.noInterfaceDisabled,        InterfaceAdded(),   s.disabled},
        {s.noInterfaceEnabled,         Disable(),          s.noInterfaceDisabled},
        {s.noInterfaceEnabled,         InterfaceAdded(),   s.waiting},
        {s.disabled,                   Disable(),          s.disabled},
        {s.disabled,                   Enable(),           s.waiting},
        {s.disabled,                   CablePluggedIn(),   s.disabledInterfaceRunning},
        {s.disabled,                   InterfaceRemoved(), s.noInterfaceDisabled},
        {s.disabledInterfaceRunning,   Disable(),          s.disabledInterfaceRunning},
        {s.disabledInterfaceRunning,   Enable(),           s.waitingInterfaceRunning},
        {s.disabledInterfaceRunning,   CableUnplugged(),   s.disabled},
        {s.disabledInterfaceRunning,   InterfaceRemoved(), s.noInterfaceDisabled},
        {s.waiting,                    Enable(),           s.waiting},
        {s.waiting,                    CablePluggedIn(),   s.waitingInterfaceRunning},
        {s.waiting,                    Disable(),          s.disabled},
        {s.waiting,                    InterfaceRemoved(), s.noInterfaceEnabled},
        {s.waitingInterfaceRunning,    Enable(),           s.waitingInterfaceRunning},
        {s.waitingInterfaceRunning,    CableUnplugged(),   s.waiting},
        {s.waitingInterfaceRunning,    Activate(),         s.ipRunning},
        {s.waitingInterfaceRunning,    Disable(),          s.disabledInterfaceRunning},
        {s.waitingInterfaceRunning,    InterfaceRemoved(), s.noInterfaceEnabled},
        {s.ipRunning,                  Enable(),           s.waitingInterfaceRunning},
        {s.ipRunning,                  CableUnplugged(),   s.disconnectedUnplugged},
        {s.ipRunning,                  ReloadIp(),         s.ipRunning},
        {s.ipRunning,                  Disable(),          s.disabledInterfaceRunning},
        {s.ipRunning,                  InterfaceRemoved(), s.noInterfaceEnabled},
        {s.waitingIpSetup,             IpSetupComplete(),  s.ready},
        {s.ready,                      IpSetupError(),     s.waitingIpSetup},
        {s.disconnectedUnplugged,      CablePluggedIn(),   s.disconnectedPlugged},
        {s.disconnectedUnplugged,      Disable(),          s.disabled},
        {s.disconnectedUnplugged,      Enable(),           s.waiting},
        {s.disconnectedUnplugged,      InterfaceRemoved(), s.noInterfaceEnabled},
        {s.disconnectedPlugged,        CableUnplugged(),   s.disconnectedUnplugged},
        {s.disconnectedPlugged,        Disable(),          s.disabledInterfaceRunning},
        {s.disconnectedPlugged,        Enable(),           s.waitingInterfaceRunning},
        {s.disconnectedPlugged,        InterfaceRemoved(), s.noInterfaceEnabled},
    };
    // clang-format on
    for (const Row &row : table) {
        row.source->addTransition(new NorviTransition(row.event, row.target));
    }
}

void InterfaceWired::connectSignals(const States &s)
{
    // clang-format off
    const QVector<QPair<QState *, const char *>> entries{
        {s.noInterfaceEnabled,       SIGNAL(enabled())},
        {s.noInterfaceDisabled,      SIGNAL(disabled())},
        {s.disabled,                 SIGNAL(disabled())},
        {s.disabledInterfaceRunning, SIGNAL(disabled())},
        {s.waiting,                  SIGNAL(waiting())},
        {s.waitingInterfaceRunning,  SIGNAL(waitingInterfaceRunning())},
        {s.waitingIpSetup,           SIGNAL(waitingIpSetup())},
        {s.ready,                    SIGNAL(ready())},
        {s.disconnectedUnplugged,    SIGNAL(disconnected())},
        {s.disconnectedPlugged,      SIGNAL(disconnected())},
        {s.interfaceUp,              SLOT(on_interfaceUp())},
        {s.interfaceDown,            SLOT(on_interfaceDown())},
        {s.noInterface,              SLOT(on_interfaceRemoved())},
    };
    // clang-format on
    for (const auto &[state, member] : entries) {
        norvi::connect(state, SIGNAL(entered()), this, member);
    }
    norvi::connect(s.ipRunning, SIGNAL(exited()), this, SIGNAL(unready()));
}

void InterfaceWired::configureHold()
{
    norvi::connect(m_machine, SIGNAL(paused(QState *, QEvent::Type)), this,
                   SLOT(on_stateMachinePaused(QState *)));
    m_machine->addUnpauseEvent(WiredEvent::CablePluggedIn());
    m_machine->addUnpauseEvent(WiredEvent::CableUnplugged());
    m_machine->addUnpauseEvent(WiredEvent::IpSetupError());
    m_machine->addImmediateNoUnpauseEvent(WiredEvent::IpSetupComplete());
}

void InterfaceWired::enableInterface()
{
    nvInfo() << m_name << " enabling...";
    m_machine->postEvent(new WiredEvent::Enable);
}

void InterfaceWired::disableInterface()
{
    nvInfo() << m_name << " disabling...";
    m_machine->postEvent(new WiredEvent::Disable);
}

void InterfaceWired::activate(const InterfaceConfiguration &configuration)
{
    nvInfo() << m_name << " activating...";
    m_configuration = configuration;
    m_machine->postEvent(new WiredEvent::Activate);
}

void InterfaceWired::reloadIpSettings(const InterfaceConfiguration &configuration)
{
    nvInfo() << m_name << " reloading IP...";
    m_configuration = configuration;
    m_machine->postEvent(new WiredEvent::ReloadIp);
}

bool InterfaceWired::isConnected() const
{
    return m_machine->configuration().contains(m_ready);
}

bool InterfaceWired::isCablePluggedIn() const
{
    const QString path = m_sysClassNetPath + m_name.toString() + QStringLiteral("/carrier");
    QFile carrier(path);
    if (!carrier.open(QIODevice::ReadOnly)) {
        nvCritical() << "Couldn't open wired interface carrier file: " << path;
        return false;
    }
    char state = '\0';
    if (!carrier.getChar(&state)) {
        nvCritical() << "Couldn't read status from wired interface carrier file: " << path;
        return false;
    }
    return state == '1';
}

void InterfaceWired::interfaceAdded(const InterfaceName &name)
{
    nvInfo() << "Interface " << name << " added";
    m_machine->postEvent(new WiredEvent::InterfaceAdded);
}

void InterfaceWired::interfaceRemoved(const InterfaceName &name)
{
    nvInfo() << "Interface " << name << " removed";
    m_machine->postEvent(new WiredEvent::InterfaceRemoved);
}

void InterfaceWired::setUpState(const InterfaceName &, bool up)
{
    if (up) {
        m_machine->postEvent(new WiredEvent::InterfaceStarted);
    } else {
        m_machine->postEvent(new WiredEvent::InterfaceStopped);
    }
}

void InterfaceWired::setRunningState(bool running)
{
    nvInfo() << m_name << " is now " << (running ? "up" : "down");
    if (running) {
        m_machine->postEvent(new WiredEvent::CablePluggedIn);
    } else {
        m_machine->postEvent(new WiredEvent::CableUnplugged);
    }
    emit cableStatus(running);
}

void InterfaceWired::on_address_connected()
{
    nvInfo() << m_name << " address connected";
    m_machine->postEvent(new WiredEvent::IpSetupComplete);
}

void InterfaceWired::on_address_disconnected()
{
    nvInfo() << m_name << " address disconnected";
    m_machine->postEvent(new WiredEvent::IpSetupError);
}

void InterfaceWired::on_stateMachinePaused(QState *)
{
    emit disconnecting();
}

void InterfaceWired::on_interfaceUp()
{
    emit statusChanged(StatusUp);
}

void InterfaceWired::on_interfaceDown()
{
    emit statusChanged(StatusDown);
}

void InterfaceWired::on_interfaceRemoved()
{
    emit statusChanged(StatusRemoved);
}

void InterfaceWired::linkUp()
{
    m_driver->up(m_name);
}

void InterfaceWired::linkDown()
{
    m_driver->down(m_name);
}

void InterfaceWired::startAddressing()
{
    m_addressManager->start(m_configuration);
}

void InterfaceWired::stopAddressing()
{
    m_addressManager->stop();
}

void InterfaceWired::holdEvents()
{
    m_machine->waitAndPostEvent(m_ready);
}
