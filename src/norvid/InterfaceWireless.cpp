#include "InterfaceWireless.h"

#include "AddressManager.h"
#include "InterfaceSoftap.h"
#include "NorviProcess.h"
#include "Supplicant.h"
#include "SupplicantFactory.h"

#include <QFile>
#include <QNetworkInterface>
#include <QPair>
#include <QSignalTransition>
#include <QTimer>
#include <QVector>

#include <memory>

const QString WirelessPlatform::MwifiexDrcsPath =
    QStringLiteral("/sys/module/mwifiex/parameters/drcs");
const QString WirelessPlatform::MlanDrcsPath =
    QStringLiteral("/sys/module/sd8xxx/parameters/cfg80211_drcs");
const QString WirelessPlatform::IwProgram = QStringLiteral("iw");

namespace {

// Soft-AP interfaces are added to the device's one radio.
const QString RadioName = QStringLiteral("phy0");

bool isEvent(const QEvent *event, const QEvent &kind)
{
    return event != nullptr && event->type() == kind.type();
}

} // namespace

// A state of the station machine, with what the controller does when it is entered and exited.
class WirelessStateBase : public InterfaceActionState<InterfaceWireless, QEvent *>
{
public:
    using InterfaceActionState::InterfaceActionState;

protected:
    static constexpr Action StoreNetworks = &InterfaceWireless::storeNetworks;
    static constexpr Action EnableSupplicant = &InterfaceWireless::enableSupplicant;
    static constexpr Action DisableSupplicant = &InterfaceWireless::disableSupplicant;
    static constexpr Action StartWps = &InterfaceWireless::startWps;
    static constexpr Action StartScan = &InterfaceWireless::startScan;
    static constexpr Action StartAddressing = &InterfaceWireless::startAddressing;
    static constexpr Action StopAddressing = &InterfaceWireless::stopAddressing;
    static constexpr Action HoldEvents = &InterfaceWireless::holdEvents;
    static constexpr Action CreateSoftApInterfaces = &InterfaceWireless::createSoftApInterfaces;
};

namespace {

#define NORVI_WIRELESS_STATE(Name, entry, exit)                                                    \
    class Name : public WirelessStateBase                                                          \
    {                                                                                              \
    public:                                                                                        \
        Name(QState *parent, InterfaceWireless *wireless)                                          \
            : WirelessStateBase(parent, wireless, #Name, entry, exit)                              \
        {}                                                                                         \
    }

// The scan, life-cycle and presence regions run side by side.
class WirelessStateMachineContainer : public WirelessStateBase
{
public:
    WirelessStateMachineContainer(QState *parent, InterfaceWireless *wireless)
        : WirelessStateBase(parent, wireless, "WirelessStateMachineContainer", NoAction, NoAction)
    {
        setChildMode(QState::ParallelStates);
    }
};

// A scan runs until its results come, or fails: on a timeout, on a new request, or when the
// interface goes down.
class WirelessScanActive : public WirelessStateBase
{
    Q_OBJECT

public:
    WirelessScanActive(QState *parent, InterfaceWireless *wireless, int timeoutMs)
        : WirelessStateBase(parent, wireless, "WirelessScanActive", StartScan, NoAction),
          m_timer(new QTimer(this))
    {
        m_timer->setSingleShot(true);
        m_timer->setInterval(timeoutMs);
        norvi::connect(m_timer, SIGNAL(timeout()), this, SIGNAL(timeout()));
    }

signals:
    void timeout();
    void scanFailed();

protected:
    void onEntry(QEvent *event) override
    {
        WirelessStateBase::onEntry(event);
        m_timer->start();
    }
    void onExit(QEvent *event) override
    {
        WirelessStateBase::onExit(event);
        m_timer->stop();
        if (!isEvent(event, WirelessEvent::ScanFinished())) {
            emit scanFailed();
        }
    }

private:
    QTimer *const m_timer;
};

// The interface is down: a scan requested now fails at once.
class WirelessScanDisabled : public WirelessStateBase
{
    Q_OBJECT

public:
    WirelessScanDisabled(QState *parent, InterfaceWireless *wireless)
        : WirelessStateBase(parent, wireless, "WirelessScanDisabled", NoAction, NoAction)
    {}

signals:
    void scanFailed();

protected:
    void onEntry(QEvent *event) override
    {
        WirelessStateBase::onEntry(event);
        if (isEvent(event, WirelessEvent::Scan())) {
            emit scanFailed();
        }
    }
};

// clang-format off
//                   state                          entry                   exit
NORVI_WIRELESS_STATE(WirelessScanContainer,         NoAction,               NoAction);
NORVI_WIRELESS_STATE(WirelessScanInactive,          NoAction,               NoAction);
NORVI_WIRELESS_STATE(WirelessInterfaceContainer,    NoAction,               NoAction);
NORVI_WIRELESS_STATE(WirelessInterfaceDownDisabled, NoAction,               NoAction);
// A request to join networks while the interface is down is kept for when it comes up.
NORVI_WIRELESS_STATE(WirelessInterfaceDownEnabled,  StoreNetworks,          NoAction);
NORVI_WIRELESS_STATE(WirelessInterfaceDownWps,      NoAction,               NoAction);
NORVI_WIRELESS_STATE(WirelessDisabled,              DisableSupplicant,      NoAction);
// Entered again by every Enable, so that a new set of networks replaces the one in use.
NORVI_WIRELESS_STATE(WirelessEnabled,               StoreNetworks,          NoAction);
NORVI_WIRELESS_STATE(WirelessWaiting,               EnableSupplicant,       NoAction);
// Addressing runs for as long as this state is active, whichever child is.
NORVI_WIRELESS_STATE(WirelessIpRunning,             StartAddressing,        StopAddressing);
NORVI_WIRELESS_STATE(WirelessWaitingIpSetup,        NoAction,               NoAction);
// Connected. Requests that would end the connection are held for a while, so that a burst of
// them tears it down once instead of once each.
NORVI_WIRELESS_STATE(WirelessReady,                 HoldEvents,             NoAction);
NORVI_WIRELESS_STATE(WirelessReconnecting,          NoAction,               NoAction);
NORVI_WIRELESS_STATE(WirelessWps,                   StartWps,               NoAction);
NORVI_WIRELESS_STATE(WirelessPresentContainer,      NoAction,               NoAction);
NORVI_WIRELESS_STATE(WirelessNoInterface,           NoAction,               NoAction);
NORVI_WIRELESS_STATE(WirelessInterfaceDown,         NoAction,               NoAction);
// The soft-AP interfaces can only be added to the radio while the station interface is up.
NORVI_WIRELESS_STATE(WirelessInterfaceUp,           CreateSoftApInterfaces, NoAction);
// clang-format on

#undef NORVI_WIRELESS_STATE

} // namespace

WirelessSoftapInterfaceContainer::WirelessSoftapInterfaceContainer(QState *parent,
                                                                   InterfaceWireless *controller)
    : InterfaceWirelessState(parent, controller, controller->getName(),
                             InterfaceStateName(QStringLiteral("softApContainer")))
{
    setObjectName(QStringLiteral("softApContainer"));
    setChildMode(QState::ParallelStates);
}

WirelessWaitingInterfaceRunning::WirelessWaitingInterfaceRunning(QState *parent,
                                                                 InterfaceWireless *controller)
    : InterfaceWirelessState(parent, controller, controller->getName(),
                             InterfaceStateName(QStringLiteral("WirelessWaitingInterfaceRunning")))
{
    setObjectName(QStringLiteral("WirelessWaitingInterfaceRunning"));
}

struct InterfaceWireless::States
{
    QState *container = nullptr;
    QState *scanContainer = nullptr;
    QState *scanInactive = nullptr;
    QState *scanActive = nullptr;
    QState *scanDisabled = nullptr;
    QState *interfaceContainer = nullptr;
    QState *interfaceDownDisabled = nullptr;
    QState *interfaceDownEnabled = nullptr;
    QState *interfaceDownWps = nullptr;
    QState *disabled = nullptr;
    QState *enabled = nullptr;
    QState *waiting = nullptr;
    WirelessWaitingInterfaceRunning *waitingInterfaceRunning = nullptr;
    QState *ipRunning = nullptr;
    QState *waitingIpSetup = nullptr;
    QState *ready = nullptr;
    QState *reconnecting = nullptr;
    QState *wps = nullptr;
    QState *presentContainer = nullptr;
    QState *noInterface = nullptr;
    QState *interfaceDown = nullptr;
    QState *interfaceUp = nullptr;
};

InterfaceWireless::InterfaceWireless(const InterfaceName &name, const QStringList &softApNames,
                                     NetworkDriver *driver, AddressManager *addressManager,
                                     QObject *parent, const WirelessPlatform &platform)
    : QObject(parent), m_name(name), m_softApNames(softApNames), m_driver(driver),
      m_addressManager(addressManager), m_iwProgram(platform.iwProgram),
      m_scanTimeoutMs(platform.scanTimeoutMs),
      m_softApMachine(new NorviStateMachine(this, platform.holdIntervalMs)),
      m_stationMachine(new NorviStateMachine(this, platform.holdIntervalMs)),
      m_supplicant(platform.supplicant), m_multichannel(detectMultichannel(platform))
{
    m_softApMachine->setObjectName(QStringLiteral("softApMachine"));
    m_stationMachine->setObjectName(QStringLiteral("stationMachine"));
    nvDebug() << "Creating wireless interface: " << m_name;
    norvi::connect(m_addressManager, SIGNAL(connected()), this, SLOT(on_address_connected()));
    norvi::connect(m_addressManager, SIGNAL(disconnected()), this, SLOT(on_address_disconnected()));
    connectSupplicant();
    States states;
    buildStates(states);
    addTransitions(states);
    connectSignals(states);
    buildSoftAps(states.waitingInterfaceRunning);
    configureHold();
    m_stationMachine->start();
    m_softApMachine->start();
}

InterfaceWireless::~InterfaceWireless()
{
    // Whoever listens may be halfway through its own destruction: a hold that the request
    // starts must not call back into it.
    blockSignals(true);
    disableInterface();
}

bool InterfaceWireless::detectMultichannel(const WirelessPlatform &platform) const
{
    QFile drcs(platform.mwifiexDrcsPath);
    if (drcs.exists() && drcs.open(QIODevice::WriteOnly)) {
        drcs.write("1");
        nvInfo() << m_name << " has multichannel support (Marvell DRCS)";
        return true;
    }
    QFile mlan(platform.mlanDrcsPath);
    char enabled = '\0';
    if (mlan.exists() && mlan.open(QIODevice::ReadOnly) && mlan.getChar(&enabled)) {
        if (enabled == '1') {
            nvInfo() << m_name << " has multichannel support (Marvell MLAN driver)";
            return true;
        }
        nvWarning() << m_name
                    << " supports multichannel but is NOT enabled. Please enable support by "
                       "passing cfg80211_drcs=1 when modprobe-ing the driver. (Marvell MLAN "
                       "driver)";
    }
    nvInfo() << m_name << " & " << m_softApNames
             << " have no multichannel support, falling back to softap channel following";
    return false;
}

void InterfaceWireless::connectSupplicant()
{
    if (m_supplicant == nullptr) {
        m_supplicant = SupplicantFactory().getSupplicant(this, m_name);
    } else {
        m_supplicant->setParent(this);
    }
    // clang-format off
    const QVector<QPair<const char *, const char *>> forwarded{
        {SIGNAL(connected()),                        SLOT(on_supplicant_connected())},
        {SIGNAL(configured()),                       SLOT(on_supplicant_configured())},
        {SIGNAL(authError(Ssid, QString)),           SIGNAL(authError(Ssid, QString))},
        {SIGNAL(scanResults(QList<ApDescription>)),  SLOT(on_supplicant_scanResults(QList<ApDescription>))},
        {SIGNAL(wpsFinished(WirelessNetwork)),       SIGNAL(wpsCredentials(WirelessNetwork))},
        {SIGNAL(wpsError(QString)),                  SIGNAL(wpsError(QString))},
    };
    // clang-format on
    for (const auto &[signal, member] : forwarded) {
        norvi::connect(m_supplicant, signal, this, member);
    }
}

void InterfaceWireless::buildStates(States &s)
{
    // Sampled once: from here on the watchers' reports move the machine.
    const QNetworkInterface probed = QNetworkInterface::interfaceFromName(m_name.toString());
    const bool up = probed.isValid() && probed.flags().testFlag(QNetworkInterface::IsUp);

    s.container = new WirelessStateMachineContainer(m_stationMachine, this);
    m_stationMachine->setInitialState(s.container);

    s.scanContainer = new WirelessScanContainer(s.container, this);
    s.scanInactive = new WirelessScanInactive(s.scanContainer, this);
    s.scanActive = new WirelessScanActive(s.scanContainer, this, m_scanTimeoutMs);
    s.scanDisabled = new WirelessScanDisabled(s.scanContainer, this);
    s.scanContainer->setInitialState(up ? s.scanInactive : s.scanDisabled);

    s.interfaceContainer = new WirelessInterfaceContainer(s.container, this);
    s.interfaceDownDisabled = new WirelessInterfaceDownDisabled(s.interfaceContainer, this);
    s.interfaceDownEnabled = new WirelessInterfaceDownEnabled(s.interfaceContainer, this);
    s.interfaceDownWps = new WirelessInterfaceDownWps(s.interfaceContainer, this);
    s.disabled = new WirelessDisabled(s.interfaceContainer, this);
    s.enabled = new WirelessEnabled(s.interfaceContainer, this);
    s.waiting = new WirelessWaiting(s.enabled, this);
    s.waitingInterfaceRunning = new WirelessWaitingInterfaceRunning(s.enabled, this);
    s.ipRunning = new WirelessIpRunning(s.enabled, this);
    s.waitingIpSetup = new WirelessWaitingIpSetup(s.ipRunning, this);
    s.ready = new WirelessReady(s.ipRunning, this);
    s.reconnecting = new WirelessReconnecting(s.enabled, this);
    s.wps = new WirelessWps(s.interfaceContainer, this);
    s.enabled->setInitialState(s.waiting);
    s.ipRunning->setInitialState(s.waitingIpSetup);
    // Never wanted at first: the manager enables the interface when its mode wants it.
    s.interfaceContainer->setInitialState(up ? s.disabled : s.interfaceDownDisabled);

    s.presentContainer = new WirelessPresentContainer(s.container, this);
    s.noInterface = new WirelessNoInterface(s.presentContainer, this);
    s.interfaceDown = new WirelessInterfaceDown(s.presentContainer, this);
    s.interfaceUp = new WirelessInterfaceUp(s.presentContainer, this);
    if (!probed.isValid()) {
        s.presentContainer->setInitialState(s.noInterface);
    } else {
        s.presentContainer->setInitialState(up ? s.interfaceUp : s.interfaceDown);
    }
    m_ready = s.ready;
}

void InterfaceWireless::addTransitions(const States &s)
{
    using namespace WirelessEvent;
    const InterfaceAdded added(m_name);
    const InterfaceRemoved removed(m_name);
    const Enable enable({});
    // clang-format off
    norvi::addTransitions({
        // source                   trigger                                          target
        {s.scanInactive,            Scan(),                                          s.scanActive},
        {s.scanActive,              Scan(),                                          s.scanActive},
        {s.scanActive,              ScanFinished(),                                  s.scanInactive},
        {s.scanActive,              {s.scanActive, SIGNAL(timeout())},               s.scanInactive},
        {s.scanActive,              InterfaceStopped(),                              s.scanDisabled},
        {s.scanInactive,            InterfaceStopped(),                              s.scanDisabled},
        {s.scanDisabled,            InterfaceStarted(),                              s.scanInactive},
        {s.scanDisabled,            Scan(),                                          s.scanDisabled},

        {s.interfaceDownDisabled,   Disable(),                                       s.interfaceDownDisabled},
        {s.interfaceDownDisabled,   enable,                                          s.interfaceDownEnabled},
        {s.interfaceDownDisabled,   Wps(),                                           s.interfaceDownWps},
        {s.interfaceDownDisabled,   InterfaceStarted(),                              s.disabled},
        {s.interfaceDownEnabled,    Disable(),                                       s.interfaceDownDisabled},
        {s.interfaceDownEnabled,    Wps(),                                           s.interfaceDownWps},
        {s.interfaceDownEnabled,    InterfaceStarted(),                              s.enabled},
        {s.interfaceDownWps,        Disable(),                                       s.interfaceDownDisabled},
        {s.interfaceDownWps,        enable,                                          s.interfaceDownEnabled},
        {s.interfaceDownWps,        InterfaceStarted(),                              s.wps},
        {s.disabled,                Disable(),                                       s.disabled},
        {s.disabled,                enable,                                          s.enabled},
        {s.disabled,                Wps(),                                           s.wps},
        {s.disabled,                removed,                                         s.interfaceDownDisabled},
        {s.disabled,                InterfaceStopped(),                              s.interfaceDownDisabled},
        {s.enabled,                 enable,                                          s.enabled},
        {s.enabled,                 Disable(),                                       s.disabled},
        {s.enabled,                 Wps(),                                           s.wps},
        {s.enabled,                 removed,                                         s.interfaceDownEnabled},
        {s.enabled,                 InterfaceStopped(),                              s.interfaceDownEnabled},
        {s.waiting,                 SupplicantConnected(),                           s.waitingInterfaceRunning},
        {s.waitingInterfaceRunning, Activate(),                                      s.ipRunning},
        {s.waitingInterfaceRunning, SupplicantConfigured(),                          s.reconnecting},
        {s.reconnecting,            SupplicantConnected(),                           s.waitingInterfaceRunning},
        {s.ipRunning,               ReloadIp(),                                      s.ipRunning},
        {s.ipRunning,               SupplicantConfigured(),                          s.reconnecting},
        {s.waitingIpSetup,          IpSetupComplete(),                               s.ready},
        {s.ready,                   IpSetupError(),                                  s.waitingIpSetup},
        {s.wps,                     Wps(),                                           s.wps},
        {s.wps,                     enable,                                          s.enabled},
        {s.wps,                     Disable(),                                       s.disabled},
        {s.wps,                     removed,                                         s.interfaceDownWps},
        {s.wps,                     InterfaceStopped(),                              s.interfaceDownWps},
        {s.wps,                     {this, SIGNAL(wpsCredentials(WirelessNetwork))}, s.disabled},
        {s.wps,                     {this, SIGNAL(wpsError(QString))},               s.disabled},

        {s.noInterface,             added,                                           s.interfaceDown},
        {s.noInterface,             InterfaceStopped(),                              s.interfaceDown},
        {s.noInterface,             InterfaceStarted(),                              s.interfaceUp},
        {s.interfaceUp,             removed,                                         s.noInterface},
        {s.interfaceUp,             InterfaceStopped(),                              s.interfaceDown},
        {s.interfaceDown,           removed,                                         s.noInterface},
        {s.interfaceDown,           InterfaceStarted(),                              s.interfaceUp},
    });
    // clang-format on
}

void InterfaceWireless::connectSignals(const States &s)
{
    struct Wire
    {
        const QObject *sender;
        const char *signal;
        const QObject *receiver;
        const char *member;
    };
    // clang-format off
    const Wire wires[] = {
        {s.disabled,                SIGNAL(entered()),    this,         SIGNAL(disabled())},
        {s.interfaceDownDisabled,   SIGNAL(entered()),    this,         SIGNAL(disabled())},
        {s.enabled,                 SIGNAL(entered()),    this,         SIGNAL(enabled())},
        {s.waiting,                 SIGNAL(entered()),    this,         SIGNAL(waiting())},
        {s.waitingInterfaceRunning, SIGNAL(entered()),    this,         SIGNAL(waitingInterfaceRunning())},
        {s.waitingIpSetup,          SIGNAL(entered()),    this,         SIGNAL(waitingIpSetup())},
        {s.ready,                   SIGNAL(entered()),    this,         SIGNAL(ready())},
        {s.reconnecting,            SIGNAL(entered()),    this,         SIGNAL(reconnecting())},
        {s.ipRunning,               SIGNAL(exited()),     this,         SIGNAL(unready())},
        {s.interfaceUp,             SIGNAL(entered()),    this,         SLOT(on_interfaceUp())},
        {s.interfaceDown,           SIGNAL(entered()),    this,         SLOT(on_interfaceDown())},
        {s.noInterface,             SIGNAL(entered()),    this,         SLOT(on_interfaceRemoved())},
        {s.noInterface,             SIGNAL(entered()),    m_supplicant, SLOT(interfaceRemoved())},
        {s.noInterface,             SIGNAL(exited()),     m_supplicant, SLOT(interfaceAdded())},
        {s.scanActive,              SIGNAL(scanFailed()), this,         SLOT(on_scanFailed())},
        {s.scanDisabled,            SIGNAL(scanFailed()), this,         SLOT(on_scanFailed())},
        {m_stationMachine, SIGNAL(paused(QState *, QEvent::Type)), this, SIGNAL(disconnecting())},
    };
    // clang-format on
    for (const Wire &wire : wires) {
        norvi::connect(wire.sender, wire.signal, wire.receiver, wire.member);
    }
}

void InterfaceWireless::buildSoftAps(WirelessWaitingInterfaceRunning *stationWaiting)
{
    auto *container = new WirelessSoftapInterfaceContainer(m_softApMachine, this);
    m_softApMachine->setInitialState(container);
    for (const QString &softApName : m_softApNames) {
        const InterfaceName name(softApName);
        m_softAps.insert(name,
                         new InterfaceSoftap(name, container, stationWaiting, this, m_driver));
    }
}

void InterfaceWireless::configureHold()
{
    using namespace WirelessEvent;
    // Losing the link or the address ends a hold: there is nothing left to keep up.
    m_stationMachine->addUnpauseEvent(InterfaceRemoved(m_name));
    m_stationMachine->addUnpauseEvent(InterfaceStopped());
    m_stationMachine->addUnpauseEvent(IpSetupError());
    // Reports of what already happened are never held back.
    for (const QEvent &event : {QEvent(IpSetupComplete()), QEvent(Scan()), QEvent(ScanFinished()),
                                QEvent(SupplicantConfigured()), QEvent(SupplicantConnected())}) {
        m_stationMachine->addImmediateNoUnpauseEvent(event);
    }
}

void InterfaceWireless::enableInterface(const QSet<WirelessNetwork> &networks)
{
    nvInfo() << m_name << " enabling with a list of " << networks.size() << " networks";
    m_stationMachine->postEvent(new WirelessEvent::Enable(networks));
}

void InterfaceWireless::disableInterface()
{
    nvInfo() << m_name << " disabling...";
    m_stationMachine->postEvent(new WirelessEvent::Disable);
}

void InterfaceWireless::scan()
{
    nvInfo() << m_name << " scanning...";
    m_stationMachine->postEvent(new WirelessEvent::Scan);
}

void InterfaceWireless::wpsPbc()
{
    nvInfo() << m_name << " starting wps";
    m_wps = WpsSetup(WpsSetup::Pbc, QString());
    m_stationMachine->postEvent(new WirelessEvent::Wps);
}

void InterfaceWireless::wpsPin(const QString &pin)
{
    nvInfo() << m_name << " starting wps with PIN " << pin;
    m_wps = WpsSetup(WpsSetup::Pin, pin);
    m_stationMachine->postEvent(new WirelessEvent::Wps);
}

void InterfaceWireless::activate(const InterfaceConfiguration &configuration)
{
    nvInfo() << m_name << " activating...";
    m_ipSettings = configuration;
    m_stationMachine->postEvent(new WirelessEvent::Activate);
}

void InterfaceWireless::reloadIpSettings(const InterfaceConfiguration &configuration)
{
    nvInfo() << m_name << " reloading IP...";
    m_ipSettings = configuration;
    m_stationMachine->postEvent(new WirelessEvent::ReloadIp);
}

void InterfaceWireless::startSoftAp(const InterfaceName &softAp)
{
    nvInfo() << m_name << " starting softAp: " << softAp;
    m_softApMachine->postEvent(new WirelessEvent::StartSoftAp(softAp));
}

void InterfaceWireless::stopSoftAp(const InterfaceName &softAp)
{
    nvInfo() << m_name << " stopping softAp: " << softAp;
    m_softApMachine->postEvent(new WirelessEvent::StopSoftAp(softAp));
}

void InterfaceWireless::reloadSoftApSettings(const SoftApSetup &settings)
{
    nvDebug() << "Saving updated softap settings";
    const InterfaceName name(settings.apInterface());
    InterfaceSoftap *const softap = m_softAps.value(name);
    if (softap == nullptr) {
        nvCritical() << "Interface '" << name << "' does not exist";
        return;
    }
    if (softap->getSettings() != settings) {
        softap->setSettings(settings);
        m_softApMachine->postEvent(new WirelessEvent::SoftApReload(name));
    }
}

QVariantMap InterfaceWireless::getNetworkDetails() const
{
    return m_supplicant->getNetworkDetails();
}

bool InterfaceWireless::isConnected() const
{
    return m_stationMachine->configuration().contains(m_ready);
}

bool InterfaceWireless::isSoftApUp(const InterfaceName &softAp) const
{
    const InterfaceSoftap *const softap = m_softAps.value(softAp);
    return softap != nullptr && m_softApMachine->configuration().contains(softap->startedState());
}

QVariantMap InterfaceWireless::getSoftApSetup() const
{
    QVariantMap setup;
    for (auto softap = m_softAps.cbegin(); softap != m_softAps.cend(); ++softap) {
        setup.insert(softap.key().toString(), softap.value()->getSettings().toVariantMap());
    }
    return setup;
}

int InterfaceWireless::get_softap_channnel() const
{
    // The first soft AP in the command line's order stands for all of them.
    if (m_softApNames.isEmpty()) {
        return 0;
    }
    const int configured =
        m_softAps.value(InterfaceName(m_softApNames.first()))->getSettings().channel();
    if (m_multichannel) {
        return configured;
    }
    const int current = m_supplicant->getCurrentChannel();
    return current != 0 ? current : configured;
}

NorviStateMachine *InterfaceWireless::machineFor(const InterfaceName &name) const
{
    if (name == m_name) {
        return m_stationMachine;
    }
    return m_softAps.contains(name) ? m_softApMachine : nullptr;
}

void InterfaceWireless::interfaceAdded(const InterfaceName &name)
{
    nvInfo() << "Interface " << name << " added";
    postPresence(name, std::make_unique<WirelessEvent::InterfaceAdded>(name));
}

void InterfaceWireless::interfaceRemoved(const InterfaceName &name)
{
    nvInfo() << "Interface " << name << " removed";
    postPresence(name, std::make_unique<WirelessEvent::InterfaceRemoved>(name));
}

void InterfaceWireless::postPresence(const InterfaceName &name, std::unique_ptr<QEvent> event)
{
    NorviStateMachine *const machine = machineFor(name);
    if (machine == nullptr) {
        nvCritical() << "Invalid interface name: " << name;
        return;
    }
    machine->postEvent(event.release());
}

void InterfaceWireless::setUpState(const InterfaceName &name, bool up)
{
    NorviStateMachine *const machine = machineFor(name);
    if (machine == nullptr) {
        nvWarning() << "InterfaceWireless::setUpState called with unknown interface name: " << name
                    << ", status = " << up;
        return;
    }
    if (up) {
        machine->postEvent(new WirelessEvent::InterfaceStarted);
    } else {
        machine->postEvent(new WirelessEvent::InterfaceStopped);
    }
}

void InterfaceWireless::setRunningState(bool)
{
    // The supplicant's association, not the carrier, tells whether the station link is usable.
}

void InterfaceWireless::on_address_connected()
{
    nvInfo() << m_name << " address connected";
    m_stationMachine->postEvent(new WirelessEvent::IpSetupComplete);
}

void InterfaceWireless::on_address_disconnected()
{
    nvInfo() << m_name << " address disconnected";
    m_stationMachine->postEvent(new WirelessEvent::IpSetupError);
}

void InterfaceWireless::on_supplicant_connected()
{
    m_stationMachine->postEvent(new WirelessEvent::SupplicantConnected);
}

void InterfaceWireless::on_supplicant_configured()
{
    m_stationMachine->postEvent(new WirelessEvent::SupplicantConfigured);
}

void InterfaceWireless::on_supplicant_scanResults(QList<ApDescription> aps)
{
    emit scanResults(aps);
    m_stationMachine->postEvent(new WirelessEvent::ScanFinished);
}

void InterfaceWireless::on_scanFailed()
{
    emit scanResults({});
}

void InterfaceWireless::on_interfaceUp()
{
    emit statusChanged(StatusUp);
}

void InterfaceWireless::on_interfaceDown()
{
    emit statusChanged(StatusDown);
}

void InterfaceWireless::on_interfaceRemoved()
{
    emit statusChanged(StatusRemoved);
}

void InterfaceWireless::storeNetworks(QEvent *event)
{
    // Entries for any other reason go on with the set they have.
    if (const auto *enable = dynamic_cast<const WirelessEvent::Enable *>(event)) {
        m_networks = enable->value();
    }
}

void InterfaceWireless::enableSupplicant(QEvent *)
{
    nvDebug() << m_name << "Adding list of networks";
    m_supplicant->enable(m_networks);
}

void InterfaceWireless::disableSupplicant(QEvent *)
{
    m_supplicant->disable();
}

void InterfaceWireless::startWps(QEvent *)
{
    if (m_wps.type() == WpsSetup::Pin) {
        m_supplicant->wpsPin(m_wps.pin());
    } else {
        m_supplicant->wpsPbc();
    }
}

void InterfaceWireless::startScan(QEvent *)
{
    m_supplicant->scan();
}

void InterfaceWireless::startAddressing(QEvent *)
{
    m_addressManager->start(m_ipSettings);
}

void InterfaceWireless::stopAddressing(QEvent *)
{
    m_addressManager->stop();
}

void InterfaceWireless::holdEvents(QEvent *)
{
    m_stationMachine->waitAndPostEvent(m_ready);
}

void InterfaceWireless::createSoftApInterfaces(QEvent *)
{
    for (const QString &softApName : m_softApNames) {
        if (QNetworkInterface::interfaceFromName(softApName).isValid()) {
            continue;
        }
        const InterfaceName name(softApName);
        nvInfo() << "Creating " << name << " interface";
        NorviProcess::execute(m_iwProgram,
                              {QStringLiteral("phy"), RadioName, QStringLiteral("interface"),
                               QStringLiteral("add"), softApName, QStringLiteral("type"),
                               QStringLiteral("__ap")});
    }
}

#include "InterfaceWireless.moc"
