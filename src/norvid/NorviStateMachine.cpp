#include "NorviStateMachine.h"

#include <QTimer>

#include <utility>

namespace {

QString nameOf(const QEvent *event)
{
    return NorviEvents::instance().name(event->type());
}

} // namespace

NorviEvents &NorviEvents::instance()
{
    // Never destroyed: events may still be named while static objects go away at exit.
    static NorviEvents *const events = new NorviEvents;
    return *events;
}

void NorviEvents::registerEvent(QEvent::Type type, const QString &name)
{
    m_names.insert(type, name);
}

QString NorviEvents::name(QEvent::Type type) const
{
    const auto found = m_names.constFind(type);
    if (found == m_names.constEnd()) {
        return QStringLiteral("Unknown event %1").arg(type);
    }
    return *found;
}

namespace norvi {

QEvent::Type newEventType(const char *name)
{
    const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    NorviEvents::instance().registerEvent(type, QString::fromLatin1(name));
    return type;
}

void Trigger::add(QState *source, QAbstractState *target) const
{
    if (m_signal == nullptr) {
        source->addTransition(new NorviTransition(QEvent(m_event), target));
    } else if (source->addTransition(m_sender, m_signal, target) == nullptr) {
        nvCritical() << "Couldn't add transition on: " << m_signal;
        nvFatal();
    }
}

void addTransitions(std::initializer_list<TransitionRow> table)
{
    for (const TransitionRow &row : table) {
        row.trigger.add(row.source, row.target);
    }
}

} // namespace norvi

NorviTransition::NorviTransition(const QEvent &templateEvent, QAbstractState *target)
    : m_type(templateEvent.type())
{
    setTargetState(target);
}

bool NorviTransition::eventTest(QEvent *event)
{
    return event != nullptr && event->type() == m_type;
}

void NorviTransition::onTransition(QEvent *) {}

NorviInterfaceTransition::NorviInterfaceTransition(const InterfaceName &interface,
                                                   const QEvent &templateEvent,
                                                   QAbstractState *target)
    : NorviTransition(templateEvent, target), m_interface(interface)
{}

bool NorviInterfaceTransition::eventTest(QEvent *event)
{
    if (!NorviTransition::eventTest(event)) {
        return false;
    }
    // The type number alone is not enough: only the class guarantees what the event carries.
    const auto *named = dynamic_cast<const EventWithValue<InterfaceName> *>(event);
    return named != nullptr && named->value() == m_interface;
}

NorviStateMachine::NorviStateMachine(QObject *parent, int holdIntervalMs)
    : QStateMachine(parent), m_waitTimer(new QTimer(this))
{
    m_waitTimer->setSingleShot(true);
    m_waitTimer->setInterval(holdIntervalMs);
    norvi::connect(m_waitTimer, SIGNAL(timeout()), this, SLOT(unpause()));
    norvi::connect(this, SIGNAL(started()), this, SLOT(on_started()));
}

NorviStateMachine::~NorviStateMachine()
{
    qDeleteAll(m_earlyEvents);
    qDeleteAll(m_heldEvents);
}

void NorviStateMachine::postEvent(QEvent *event)
{
    const QEvent::Type type = event->type();
    if (!m_started) {
        nvDebug() << "Keeping event until started: " << nameOf(event);
        m_earlyEvents.append(event);
    } else if (!m_paused) {
        nvDebug() << "Posting event: " << nameOf(event);
        QStateMachine::postEvent(event, NormalPriority);
    } else if (m_unpauseTypes.contains(type)) {
        m_heldEvents.append(event);
        unpause();
    } else if (m_immediateTypes.contains(type)) {
        nvDebug() << "Posting immediate event: " << nameOf(event);
        QStateMachine::postEvent(event, NormalPriority);
    } else {
        hold(event);
    }
}

void NorviStateMachine::hold(QEvent *event)
{
    const bool first = !m_waitTimer->isActive();
    if (first) {
        nvDebug() << "Starting wait period...";
        m_waitTimer->start();
    }
    nvDebug() << "Queuing event: " << nameOf(event);
    m_heldEvents.append(event);
    // Announced only once the event is held and the timer runs, so that whatever a receiver
    // posts in reply queues up behind it instead of starting the period again.
    if (first) {
        emit paused(m_waitingState, event->type());
    }
}

void NorviStateMachine::waitAndPostEvent(QState *waitingState)
{
    nvDebug() << "Will wait on next event!";
    norvi::connect(waitingState, SIGNAL(exited()), this, SLOT(unpause()));
    m_waitingState = waitingState;
    m_paused = true;
}

void NorviStateMachine::addUnpauseEvent(const QEvent &event)
{
    m_unpauseTypes.insert(event.type());
}

void NorviStateMachine::addImmediateNoUnpauseEvent(const QEvent &event)
{
    m_immediateTypes.insert(event.type());
}

void NorviStateMachine::on_started()
{
    m_started = true;
    for (QEvent *event : std::exchange(m_earlyEvents, {})) {
        postEvent(event);
    }
}

void NorviStateMachine::unpause()
{
    m_paused = false;
    m_waitTimer->stop();
    if (m_waitingState) {
        norvi::disconnect(m_waitingState, SIGNAL(exited()), this, SLOT(unpause()));
        m_waitingState.clear();
    }
    const QList<QEvent *> released = std::exchange(m_heldEvents, {});
    for (QEvent *event : released) {
        nvDebug() << "Posting delayed event: " << nameOf(event);
        QStateMachine::postEvent(event, NormalPriority);
    }
}
