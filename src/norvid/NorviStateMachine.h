#pragma once

#include "NorviCommon.h"
#include "WirelessNetwork.h"

#include <QAbstractTransition>
#include <QEvent>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QState>
#include <QStateMachine>

#include <initializer_list>

class QTimer;

// Printable names of the daemon's event types, for the log. Type numbers are handed out at run
// time, so this is the only way to tell in a log line which event was meant.
class NorviEvents
{
public:
    static NorviEvents &instance();

    void registerEvent(QEvent::Type type, const QString &name);
    QString name(QEvent::Type type) const;

private:
    NorviEvents() = default;

    QHash<QEvent::Type, QString> m_names;
};

// An event that carries one value to the state that takes it.
template <typename T> class EventWithValue : public QEvent
{
public:
    EventWithValue(QEvent::Type type, const T &value) : QEvent(type), m_value(value) {}

    const T &value() const { return m_value; }

private:
    const T m_value;
};

namespace norvi {

// A fresh user event type, registered with NorviEvents under the given name.
QEvent::Type newEventType(const char *name);

} // namespace norvi

// staticType(): the class's event type, taken and named on first use. The function-local static
// makes a concurrent first use safe.
#define NORVI_EVENT_TYPE(Name)                                                                     \
    static QEvent::Type staticType()                                                               \
    {                                                                                              \
        static const QEvent::Type type = norvi::newEventType(#Name);                               \
        return type;                                                                               \
    }

#define NORVI_EVENT(Name)                                                                          \
    class Name : public QEvent                                                                     \
    {                                                                                              \
    public:                                                                                        \
        Name() : QEvent(staticType()) {}                                                           \
        NORVI_EVENT_TYPE(Name)                                                                     \
    }

#define NORVI_VALUE_EVENT(Name, Value)                                                             \
    class Name : public EventWithValue<Value>                                                      \
    {                                                                                              \
    public:                                                                                        \
        explicit Name(const Value &value) : EventWithValue(staticType(), value) {}                 \
        NORVI_EVENT_TYPE(Name)                                                                     \
    }

// Mode commands, posted by the manager to the mode state machine.
namespace ManagerEvent {
NORVI_EVENT(Off);
NORVI_EVENT(Wired);
NORVI_EVENT(Wireless);
NORVI_EVENT(Automatic);
NORVI_EVENT(Hybrid);
NORVI_EVENT(Scan);
NORVI_EVENT(WpsPbc);
NORVI_VALUE_EVENT(WpsPin, QString);
NORVI_EVENT(Reconnecting);
NORVI_EVENT(ReloadAps);
} // namespace ManagerEvent

// Requests and reports for the wired controller's own machine.
namespace WiredEvent {
NORVI_EVENT(Enable);
NORVI_EVENT(Disable);
NORVI_EVENT(Activate);
NORVI_EVENT(ReloadIp);
NORVI_EVENT(InterfaceAdded);
NORVI_EVENT(InterfaceRemoved);
NORVI_EVENT(InterfaceStarted);
NORVI_EVENT(InterfaceStopped);
NORVI_EVENT(CablePluggedIn);
NORVI_EVENT(CableUnplugged);
NORVI_EVENT(IpSetupComplete);
NORVI_EVENT(IpSetupError);
} // namespace WiredEvent

// Requests and reports for the wireless controller's station and soft-AP machines.
namespace WirelessEvent {
NORVI_VALUE_EVENT(Enable, QSet<WirelessNetwork>);
NORVI_EVENT(Disable);
NORVI_EVENT(Activate);
NORVI_EVENT(ReloadIp);
NORVI_VALUE_EVENT(InterfaceAdded, InterfaceName);
NORVI_VALUE_EVENT(InterfaceRemoved, InterfaceName);
NORVI_EVENT(InterfaceStarted);
NORVI_EVENT(InterfaceStopped);
NORVI_EVENT(IpSetupComplete);
NORVI_EVENT(IpSetupError);
NORVI_EVENT(Wps);
NORVI_VALUE_EVENT(StartSoftAp, InterfaceName);
NORVI_VALUE_EVENT(StopSoftAp, InterfaceName);
NORVI_VALUE_EVENT(SoftApReload, InterfaceName);
NORVI_EVENT(SupplicantConnected);
NORVI_EVENT(SupplicantConfigured);
NORVI_EVENT(Scan);
NORVI_EVENT(ScanFinished);
} // namespace WirelessEvent

// Fires on every event of the template event's type.
class NorviTransition : public QAbstractTransition
{
    Q_OBJECT

public:
    NorviTransition(const QEvent &templateEvent, QAbstractState *target);

protected:
    bool eventTest(QEvent *event) override;
    void onTransition(QEvent *event) override;

private:
    const QEvent::Type m_type;
};

// Fires on events of the template event's type that carry the given interface name, so that one
// machine can serve several interfaces.
class NorviInterfaceTransition : public NorviTransition
{
    Q_OBJECT

public:
    NorviInterfaceTransition(const InterfaceName &interface, const QEvent &templateEvent,
                             QAbstractState *target);

protected:
    bool eventTest(QEvent *event) override;

private:
    const InterfaceName m_interface;
};

namespace norvi {

// What fires one row of a transition table: an event of the given type, or a signal.
class Trigger
{
public:
    Trigger(const QEvent &event) : m_event(event.type()) {}
    Trigger(const QObject *sender, const char *signal) : m_sender(sender), m_signal(signal) {}

    // A signal that does not exist is as fatal here as in a connection.
    void add(QState *source, QAbstractState *target) const;

private:
    QEvent::Type m_event = QEvent::None;
    const QObject *m_sender = nullptr;
    const char *m_signal = nullptr;
};

struct TransitionRow
{
    QState *source;
    Trigger trigger;
    QAbstractState *target;
};

void addTransitions(std::initializer_list<TransitionRow> table);

} // namespace norvi

// A state machine that can hold back the events posted to it while a state waits, and then
// deliver them in order: a connected controller collects what arrives for a while instead of
// tearing the connection down at the first request.
class NorviStateMachine : public QStateMachine
{
    Q_OBJECT

public:
    static constexpr int HoldIntervalMs = 5000;

    explicit NorviStateMachine(QObject *parent = nullptr, int holdIntervalMs = HoldIntervalMs);
    ~NorviStateMachine() override;

    // Takes ownership of the event. Always use this one: the base class's postEvent bypasses
    // the hold, and drops what is posted between start() and the entry of the initial states.
    void postEvent(QEvent *event);
    // Begins a hold that lasts until the hold interval has passed since the first ordinary
    // event, an unpause event arrives or the waiting state is exited.
    void waitAndPostEvent(QState *waitingState);
    void addUnpauseEvent(const QEvent &event);
    void addImmediateNoUnpauseEvent(const QEvent &event);

signals:
    void paused(QState *waitingState, QEvent::Type type);

private slots:
    void unpause();
    void on_started();

private:
    void hold(QEvent *event);

    bool m_started = false;
    // Posted before the initial states were entered; delivered right after.
    QList<QEvent *> m_earlyEvents;
    bool m_paused = false;
    QTimer *m_waitTimer;
    QPointer<QState> m_waitingState;
    QList<QEvent *> m_heldEvents;
    QSet<QEvent::Type> m_unpauseTypes;
    QSet<QEvent::Type> m_immediateTypes;
};
