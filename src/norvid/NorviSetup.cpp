#include "NorviSetup.h"

#include "InterfaceWired.h"
#include "InterfaceWireless.h"
#include "NetworkConfiguration.h"
#include "NorviStateMachine.h"

#include <QSignalTransition>
#include <QStateMachine>

#include <utility>

NorviState::NorviState(QState *parent, const NorviSetup &setup, NorviStateName name, Action entry)
    : QState(parent), m_setup(setup), m_name(std::move(name)), m_entry(entry)
{
    setObjectName(m_name.toString());
}

void NorviState::onEntry(QEvent *event)
{
    nvInfo() << "Entering state: " << m_name;
    if (m_entry != nullptr) {
        m_entry(m_setup, event);
    }
}

void NorviState::onExit(QEvent *)
{
    nvInfo() << "Exiting state: " << m_name;
}

namespace {

// Entry actions.

void disableBoth(const NorviSetup &setup, const QEvent *)
{
    setup.wired()->disableInterface();
    setup.wireless()->disableInterface();
}

void enableBoth(const NorviSetup &setup, const QEvent *)
{
    setup.wired()->enableInterface();
    setup.wireless()->enableInterface(setup.config()->getApSetup());
}

void disableWired(const NorviSetup &setup, const QEvent *)
{
    setup.wired()->disableInterface();
}

void disableWireless(const NorviSetup &setup, const QEvent *)
{
    setup.wireless()->disableInterface();
}

void enableWired(const NorviSetup &setup, const QEvent *)
{
    setup.wired()->enableInterface();
}

// A reconnect is the wireless controller's own doing: enabling it again would interrupt it.
void enableWireless(const NorviSetup &setup, const QEvent *event)
{
    if (event != nullptr && event->type() == ManagerEvent::Reconnecting::staticType()) {
        return;
    }
    setup.wireless()->enableInterface(setup.config()->getApSetup());
}

void activateWired(const NorviSetup &setup, const QEvent *)
{
    setup.wired()->activate(setup.config()->wiredSettings());
}

void activateWireless(const NorviSetup &setup, const QEvent *)
{
    setup.wireless()->activate(setup.config()->wirelessSettings());
}

void startWps(const NorviSetup &setup, const QEvent *event)
{
    if (const auto *pin = dynamic_cast<const ManagerEvent::WpsPin *>(event)) {
        setup.wireless()->wpsPin(pin->value());
    } else {
        setup.wireless()->wpsPbc();
    }
}

constexpr NorviState::Action NoAction = nullptr;

#define NORVI_MODE_STATE(Name, entry, childMode)                                                   \
    class Name : public NorviState                                                                 \
    {                                                                                              \
    public:                                                                                        \
        Name(QState *parent, const NorviSetup &setup)                                              \
            : NorviState(parent, setup, NorviStateName(QStringLiteral(#Name)), entry)              \
        {                                                                                          \
            setChildMode(childMode);                                                               \
        }                                                                                          \
    }

constexpr QState::ChildMode Exclusive = QState::ExclusiveStates;
constexpr QState::ChildMode Parallel = QState::ParallelStates;

// clang-format off
//               state                              entry             children
NORVI_MODE_STATE(OffMode,                           disableBoth,      Exclusive);
NORVI_MODE_STATE(WiredMode,                         NoAction,         Exclusive);
NORVI_MODE_STATE(WiredModeState,                    NoAction,         Parallel);
NORVI_MODE_STATE(WirelessMode,                      NoAction,         Exclusive);
NORVI_MODE_STATE(WirelessModeState,                 NoAction,         Exclusive);
NORVI_MODE_STATE(AutomaticMode,                     NoAction,         Parallel);
NORVI_MODE_STATE(HybridMode,                        enableBoth,       Parallel);
NORVI_MODE_STATE(WiredStateContainer,               NoAction,         Exclusive);
NORVI_MODE_STATE(WirelessStateContainer,            NoAction,         Exclusive);
NORVI_MODE_STATE(WiredDisabledState,                disableWired,     Exclusive);
NORVI_MODE_STATE(WiredWaitingState,                 enableWired,      Exclusive);
NORVI_MODE_STATE(WiredIpsetupState,                 activateWired,    Exclusive);
NORVI_MODE_STATE(WiredConnectedState,               NoAction,         Exclusive);
NORVI_MODE_STATE(WirelessDisabledState,             disableWireless,  Exclusive);
NORVI_MODE_STATE(WirelessWaitingState,              enableWireless,   Exclusive);
NORVI_MODE_STATE(WirelessIpsetupState,              activateWireless, Exclusive);
NORVI_MODE_STATE(WirelessConnectedState,            NoAction,         Exclusive);
NORVI_MODE_STATE(WirelessWpsState,                  startWps,         Exclusive);
// Automatic mode's markers of where the wireless side stands while the wired side decides.
NORVI_MODE_STATE(AutomaticWirelessEnabledContainer, NoAction,         Exclusive);
NORVI_MODE_STATE(AutomaticWirelessDisabledState,    NoAction,         Exclusive);
NORVI_MODE_STATE(AutomaticWpsTargetEnabledState,    NoAction,         Exclusive);
NORVI_MODE_STATE(AutomaticWpsTargetDisabledState,   NoAction,         Exclusive);
// clang-format on

#undef NORVI_MODE_STATE

// Any PIN: transitions look at the event's type only.
const ManagerEvent::WpsPin AnyPin{QString()};

} // namespace

void NorviState::addWiredStates()
{
    nvDebug() << "Adding wired states to NorviState...";
    const InterfaceWired *wired = m_setup.wired();
    auto *waiting = new WiredWaitingState(this, m_setup);
    auto *ipSetup = new WiredIpsetupState(this, m_setup);
    auto *connected = new WiredConnectedState(this, m_setup);
    setInitialState(waiting);
    // clang-format off
    norvi::addTransitions({
        // source   trigger                                           target
        {waiting,   {wired, SIGNAL(waitingInterfaceRunning())},       ipSetup},
        {waiting,   {wired, SIGNAL(waitingIpSetup())},                ipSetup},
        {waiting,   {wired, SIGNAL(ready())},                         connected},
        {ipSetup,   {wired, SIGNAL(ready())},                         connected},
        {ipSetup,   {wired, SIGNAL(disconnected())},                  waiting},
        {connected, {wired, SIGNAL(disconnected())},                  waiting},
    });
    // clang-format on
}

void NorviState::addWirelessStates()
{
    using namespace ManagerEvent;
    nvDebug() << "Adding wireless states to NorviState...";
    const InterfaceWireless *wireless = m_setup.wireless();
    auto *waiting = new WirelessWaitingState(this, m_setup);
    auto *ipSetup = new WirelessIpsetupState(this, m_setup);
    auto *connected = new WirelessConnectedState(this, m_setup);
    auto *wps = new WirelessWpsState(this, m_setup);
    setInitialState(waiting);
    // clang-format off
    norvi::addTransitions({
        // source   trigger                                                target
        {waiting,   {wireless, SIGNAL(waitingInterfaceRunning())},         ipSetup},
        {waiting,   {wireless, SIGNAL(waitingIpSetup())},                  ipSetup},
        {waiting,   {wireless, SIGNAL(ready())},                           connected},
        {waiting,   Reconnecting(),                                        waiting},
        {waiting,   WpsPbc(),                                              wps},
        {waiting,   AnyPin,                                                wps},
        {waiting,   ReloadAps(),                                           waiting},
        {ipSetup,   {wireless, SIGNAL(ready())},                           connected},
        {ipSetup,   {wireless, SIGNAL(waiting())},                         waiting},
        {ipSetup,   Reconnecting(),                                        waiting},
        {ipSetup,   WpsPbc(),                                              wps},
        {ipSetup,   AnyPin,                                                wps},
        {ipSetup,   ReloadAps(),                                           waiting},
        {connected, {wireless, SIGNAL(waiting())},                         waiting},
        {connected, {wireless, SIGNAL(waitingInterfaceRunning())},         ipSetup},
        {connected, Reconnecting(),                                        waiting},
        {connected, WpsPbc(),                                              wps},
        {connected, AnyPin,                                                wps},
        {connected, ReloadAps(),                                           waiting},
        {wps,       {wireless, SIGNAL(wpsCredentials(WirelessNetwork))},   waiting},
        {wps,       {wireless, SIGNAL(wpsError(QString))},                 waiting},
        {wps,       WpsPbc(),                                              wps},
        {wps,       AnyPin,                                                wps},
        {wps,       ReloadAps(),                                           waiting},
    });
    // clang-format on
}

namespace {

// The wireless interface is switched off first; the wired side starts once the wireless
// controller confirms. A WPS session may still borrow the wireless interface meanwhile.
void buildWiredMode(QState *mode, const NorviSetup &setup)
{
    using namespace ManagerEvent;
    const InterfaceWireless *wireless = setup.wireless();
    auto *wirelessOff = new WirelessDisabledState(mode, setup);
    auto *modeState = new WiredModeState(mode, setup);
    mode->setInitialState(wirelessOff);
    (new WiredStateContainer(modeState, setup))->addWiredStates();
    auto *wirelessSide = new WirelessStateContainer(modeState, setup);
    auto *disabled = new WirelessDisabledState(wirelessSide, setup);
    auto *wps = new WirelessWpsState(wirelessSide, setup);
    wirelessSide->setInitialState(disabled);
    // clang-format off
    norvi::addTransitions({
        // source     trigger                                                target
        {wirelessOff, {wireless, SIGNAL(disabled())},                        modeState},
        {disabled,    WpsPbc(),                                              wps},
        {disabled,    AnyPin,                                                wps},
        {wps,         WpsPbc(),                                              wps},
        {wps,         AnyPin,                                                wps},
        {wps,         {wireless, SIGNAL(wpsCredentials(WirelessNetwork))},   disabled},
        {wps,         {wireless, SIGNAL(wpsError(QString))},                 disabled},
    });
    // clang-format on
}

void buildWirelessMode(QState *mode, const NorviSetup &setup)
{
    auto *wiredOff = new WiredDisabledState(mode, setup);
    auto *modeState = new WirelessModeState(mode, setup);
    mode->setInitialState(wiredOff);
    modeState->addWirelessStates();
    norvi::addTransitions({{wiredOff, {setup.wired(), SIGNAL(disabled())}, modeState}});
}

void buildHybridMode(NorviState *mode, const NorviSetup &setup)
{
    (new WiredStateContainer(mode, setup))->addWiredStates();
    (new WirelessStateContainer(mode, setup))->addWirelessStates();
}

// The wired side leads: once its interface is usable it switches the wireless side off, and
// only brings up IP when the wireless controller confirms. Whenever the wired side is back to
// waiting, the wireless side is enabled again. The WPS states remember which of the two the
// wireless side returns to after a session.
void buildAutomaticMode(QState *mode, const NorviSetup &setup)
{
    using namespace ManagerEvent;
    const InterfaceWired *wired = setup.wired();
    const InterfaceWireless *wireless = setup.wireless();

    auto *wiredSide = new WiredStateContainer(mode, setup);
    auto *wiredWaiting = new WiredWaitingState(wiredSide, setup);
    auto *wirelessOff = new WirelessDisabledState(wiredSide, setup);
    auto *wiredIpSetup = new WiredIpsetupState(wiredSide, setup);
    auto *wiredConnected = new WiredConnectedState(wiredSide, setup);
    wiredSide->setInitialState(wiredWaiting);

    auto *wirelessSide = new WirelessStateContainer(mode, setup);
    auto *enabled = new AutomaticWirelessEnabledContainer(wirelessSide, setup);
    auto *disabled = new AutomaticWirelessDisabledState(wirelessSide, setup);
    auto *wps = new WirelessWpsState(wirelessSide, setup);
    wirelessSide->setInitialState(enabled);
    auto *waiting = new WirelessWaitingState(enabled, setup);
    auto *ipSetup = new WirelessIpsetupState(enabled, setup);
    auto *connected = new WirelessConnectedState(enabled, setup);
    enabled->setInitialState(waiting);
    auto *toEnabled = new AutomaticWpsTargetEnabledState(wps, setup);
    auto *toDisabled = new AutomaticWpsTargetDisabledState(wps, setup);
    wps->setInitialState(toEnabled);

    const norvi::Trigger wiredWaitingEntered(wiredWaiting, SIGNAL(entered()));
    const norvi::Trigger wiredWaitingExited(wiredWaiting, SIGNAL(exited()));
    // clang-format off
    norvi::addTransitions({
        // source       trigger                                                target
        {wiredWaiting,   {wired, SIGNAL(waitingInterfaceRunning())},           wirelessOff},
        {wiredWaiting,   {wired, SIGNAL(disconnected())},                      wiredWaiting},
        {wirelessOff,    {wired, SIGNAL(waiting())},                           wiredWaiting},
        {wirelessOff,    {wired, SIGNAL(disconnected())},                      wiredWaiting},
        {wirelessOff,    {wireless, SIGNAL(disabled())},                       wiredIpSetup},
        {wiredIpSetup,   {wired, SIGNAL(ready())},                             wiredConnected},
        {wiredIpSetup,   {wired, SIGNAL(waiting())},                           wiredWaiting},
        {wiredIpSetup,   {wired, SIGNAL(waitingInterfaceRunning())},           wirelessOff},
        {wiredIpSetup,   {wired, SIGNAL(disconnected())},                      wiredWaiting},
        {wiredConnected, {wired, SIGNAL(disconnected())},                      wiredWaiting},
        {wiredConnected, {wired, SIGNAL(waiting())},                           wiredWaiting},
        {wiredConnected, {wired, SIGNAL(waitingInterfaceRunning())},           wirelessOff},

        {disabled,       wiredWaitingEntered,                                  enabled},
        {disabled,       WpsPbc(),                                             toDisabled},
        {disabled,       AnyPin,                                               toDisabled},
        {enabled,        wiredWaitingExited,                                   disabled},
        {enabled,        WpsPbc(),                                             toEnabled},
        {enabled,        AnyPin,                                               toEnabled},
        {enabled,        ReloadAps(),                                          waiting},
        {waiting,        {wireless, SIGNAL(waitingInterfaceRunning())},        ipSetup},
        {waiting,        Reconnecting(),                                       waiting},
        {ipSetup,        {wireless, SIGNAL(ready())},                          connected},
        {ipSetup,        {wireless, SIGNAL(waiting())},                        waiting},
        {ipSetup,        Reconnecting(),                                       waiting},
        {connected,      {wireless, SIGNAL(waiting())},                        waiting},
        {connected,      {wireless, SIGNAL(waitingInterfaceRunning())},        ipSetup},
        {connected,      Reconnecting(),                                       waiting},
        {toEnabled,      {wireless, SIGNAL(wpsCredentials(WirelessNetwork))},  enabled},
        {toEnabled,      {wireless, SIGNAL(wpsError(QString))},                enabled},
        {toEnabled,      wiredWaitingExited,                                   toDisabled},
        {toEnabled,      WpsPbc(),                                             toEnabled},
        {toEnabled,      AnyPin,                                               toEnabled},
        {toDisabled,     {wireless, SIGNAL(wpsCredentials(WirelessNetwork))},  disabled},
        {toDisabled,     {wireless, SIGNAL(wpsError(QString))},                disabled},
        {toDisabled,     wiredWaitingEntered,                                  toEnabled},
        {toDisabled,     WpsPbc(),                                             toDisabled},
        {toDisabled,     AnyPin,                                               toDisabled},
    });
    // clang-format on
}

} // namespace

namespace norvi {

void buildModeStates(QStateMachine *machine, const NorviSetup &setup)
{
    using namespace ManagerEvent;
    auto *off = new OffMode(machine, setup);
    auto *wired = new WiredMode(machine, setup);
    auto *wireless = new WirelessMode(machine, setup);
    auto *automatic = new AutomaticMode(machine, setup);
    auto *hybrid = new HybridMode(machine, setup);
    buildWiredMode(wired, setup);
    buildWirelessMode(wireless, setup);
    buildAutomaticMode(automatic, setup);
    buildHybridMode(hybrid, setup);

    // Every mode is left for any other on that mode's request; asking for the active mode
    // matches nothing, so it is not left and entered again.
    struct Mode
    {
        QState *state;
        Trigger request;
    };
    // clang-format off
    const Mode modes[] = {
        {off,       Off()},
        {wired,     Wired()},
        {wireless,  Wireless()},
        {automatic, Automatic()},
        {hybrid,    Hybrid()},
    };
    // clang-format on
    for (const Mode &from : modes) {
        for (const Mode &to : modes) {
            if (from.state != to.state) {
                to.request.add(from.state, to.state);
            }
        }
    }
    machine->setInitialState(off);
}

QStringList modeNames()
{
    return {QStringLiteral("OffMode"), QStringLiteral("WiredMode"), QStringLiteral("WirelessMode"),
            QStringLiteral("AutomaticMode"), QStringLiteral("HybridMode")};
}

} // namespace norvi
