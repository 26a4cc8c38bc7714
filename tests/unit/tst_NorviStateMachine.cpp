#include "NorviStateMachine.h"

#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>

namespace {

// Long enough that a loaded machine does not end a hold while a test still posts into it.
constexpr int TestHoldMs = 400;

// Records, in delivery order, every event the base machine takes from its queue.
class RecordingMachine : public NorviStateMachine
{
public:
    RecordingMachine() : NorviStateMachine(nullptr, TestHoldMs) {}

    QList<QEvent::Type> delivered;
    QList<int> deliveredNumbers;

protected:
    void beginSelectTransitions(QEvent *event) override
    {
        if (event->type() < QEvent::User) {
            return;
        }
        delivered.append(event->type());
        if (const auto *numbered = dynamic_cast<const EventWithValue<int> *>(event)) {
            deliveredNumbers.append(numbered->value());
        }
    }
};

// A connected state: entering it begins a hold, as the controllers' ready states do.
class HoldingState : public QState
{
public:
    explicit HoldingState(NorviStateMachine *machine) : QState(machine), m_machine(machine) {}

protected:
    void onEntry(QEvent *) override { m_machine->waitAndPostEvent(this); }

private:
    NorviStateMachine *m_machine;
};

const QEvent::Type A = WiredEvent::Enable::staticType();
const QEvent::Type B = WiredEvent::Disable::staticType();
const QEvent::Type C = WiredEvent::ReloadIp::staticType();
const QEvent::Type Unpause = WiredEvent::CableUnplugged::staticType();
const QEvent::Type Immediate = WiredEvent::IpSetupComplete::staticType();
const QEvent::Type ImmediateLeaving = WiredEvent::InterfaceStopped::staticType();
const QEvent::Type Connect = WiredEvent::InterfaceStarted::staticType();

QEvent *make(QEvent::Type type)
{
    return new QEvent(type);
}

using Types = QList<QEvent::Type>;

} // namespace

class TestNorviStateMachine : public QObject
{
    Q_OBJECT

private:
    // idle --Connect--> ready (holds) --Unpause or ImmediateLeaving--> idle
    RecordingMachine *machine = nullptr;
    QState *idle = nullptr;
    HoldingState *ready = nullptr;

    void enterHold()
    {
        machine->postEvent(make(Connect));
        QTRY_VERIFY(ready->active());
        machine->delivered.clear();
    }

    void settle() { QTest::qWait(TestHoldMs / 4); }

    // The next event goes straight through instead of waiting out a hold of its own.
    bool holdIsOver()
    {
        machine->postEvent(make(C));
        return QTest::qWaitFor([this] { return machine->delivered.endsWith(C); }, TestHoldMs / 2);
    }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<QState *>();
        qRegisterMetaType<QEvent::Type>();
    }

    void init()
    {
        machine = new RecordingMachine;
        idle = new QState(machine);
        ready = new HoldingState(machine);
        idle->addTransition(new NorviTransition(QEvent(Connect), ready));
        ready->addTransition(new NorviTransition(QEvent(Unpause), idle));
        ready->addTransition(new NorviTransition(QEvent(ImmediateLeaving), idle));
        machine->addUnpauseEvent(WiredEvent::CableUnplugged());
        machine->addUnpauseEvent(WiredEvent::CablePluggedIn());
        machine->addImmediateNoUnpauseEvent(WiredEvent::IpSetupComplete());
        machine->addImmediateNoUnpauseEvent(WiredEvent::InterfaceStopped());
        machine->setInitialState(idle);
        machine->start();
        QTRY_VERIFY(idle->active());
    }

    void cleanup() { delete machine; }

    // --- delivery order ---

    void unpauseEventFollowsHeldEvents()
    {
        QSignalSpy paused(machine, SIGNAL(paused(QState *, QEvent::Type)));
        enterHold();
        for (QEvent::Type type : {A, B, C}) {
            machine->postEvent(make(type));
        }
        settle();
        const bool heldBack = machine->delivered.isEmpty();
        machine->postEvent(make(Unpause));
        QVERIFY(heldBack);
        QTRY_COMPARE(machine->delivered, Types({A, B, C, Unpause}));

        QCOMPARE(paused.size(), 1);
        QCOMPARE(paused[0][0].value<QState *>(), static_cast<QState *>(ready));
        QCOMPARE(paused[0][1].value<QEvent::Type>(), A);
    }

    void immediateEventOvertakesHeldOnesAndHoldGoesOn()
    {
        QSignalSpy paused(machine, SIGNAL(paused(QState *, QEvent::Type)));
        enterHold();
        machine->postEvent(make(A));
        machine->postEvent(make(Immediate));
        QTRY_COMPARE(machine->delivered, Types({Immediate}));
        machine->postEvent(make(B));
        settle();
        QCOMPARE(machine->delivered, Types({Immediate}));
        machine->postEvent(make(Unpause));
        QTRY_COMPARE(machine->delivered, Types({Immediate, A, B, Unpause}));
        QCOMPARE(paused.size(), 1);
    }

    void holdEndsAfterIntervalWithoutFurtherEvents()
    {
        enterHold();
        machine->postEvent(make(A));
        machine->postEvent(make(B));
        settle();
        QCOMPARE(machine->delivered, Types({}));
        QTRY_COMPARE(machine->delivered, Types({A, B}));
        QVERIFY(ready->active());
        QVERIFY(holdIsOver());
    }

    void exitOfWaitingStateReleasesHold()
    {
        enterHold();
        machine->postEvent(make(A));
        machine->postEvent(make(B));
        machine->postEvent(make(ImmediateLeaving));
        QTRY_COMPARE(machine->delivered, Types({ImmediateLeaving, A, B}));
        QVERIFY(idle->active());
        QVERIFY(holdIsOver());
    }

    void eventsPostedBeforeStartWaitForTheInitialState()
    {
        RecordingMachine early;
        auto *first = new QState(&early);
        auto *second = new QState(&early);
        first->addTransition(new NorviTransition(QEvent(Connect), second));
        early.setInitialState(first);
        early.postEvent(make(A));
        early.start();
        early.postEvent(make(Connect));
        QTRY_VERIFY(second->active());
        QCOMPARE(early.delivered, Types({A, Connect}));
    }

    // Random traffic with holds starting and ending by every route: nothing is lost or
    // delivered twice, and only immediate events ever overtake.
    void manyEventsInFlight()
    {
        const QList<QEvent::Type> kinds{A, B, C, Unpause, Immediate, ImmediateLeaving, Connect};
        QRandomGenerator random(20261205);
        constexpr int Count = 20000;
        QList<int> overtakers;
        QSignalSpy holds(machine, SIGNAL(paused(QState *, QEvent::Type)));
        for (int number = 0; number < Count; ++number) {
            const QEvent::Type type = kinds[int(random.bounded(kinds.size()))];
            if (type == Immediate || type == ImmediateLeaving) {
                overtakers.append(number);
            }
            machine->postEvent(new EventWithValue<int>(type, number));
            if (random.bounded(50) == 0) {
                QCoreApplication::processEvents();
            }
            if (random.bounded(4000) == 0) {
                QTest::qWait(TestHoldMs + 20);
            }
        }
        machine->postEvent(new EventWithValue<int>(ImmediateLeaving, Count));
        QTRY_COMPARE(machine->deliveredNumbers.size(), Count + 1);

        // Nothing lost, nothing twice.
        QCOMPARE(
            QSet<int>(machine->deliveredNumbers.cbegin(), machine->deliveredNumbers.cend()).size(),
            Count + 1);

        QList<int> ordinary;
        for (int number : qAsConst(machine->deliveredNumbers)) {
            if (!std::binary_search(overtakers.cbegin(), overtakers.cend(), number)) {
                ordinary.append(number);
            }
        }
        QVERIFY(std::is_sorted(ordinary.cbegin(), ordinary.cend()));
        QVERIFY(holds.size() > 10);
    }

    // --- events and transitions ---

    void interfaceTransitionFiresOnlyForItsNameAndClass()
    {
        const InterfaceName uap0(QStringLiteral("uap0"));
        const QEvent::Type start = WirelessEvent::StartSoftAp::staticType();
        auto *target = new QState(machine);
        idle->addTransition(
            new NorviInterfaceTransition(uap0, WirelessEvent::StartSoftAp(uap0), target));
        const QList<QEvent *> strangers{
            new WirelessEvent::StartSoftAp(InterfaceName(QStringLiteral("uap1"))),
            new WirelessEvent::StartSoftAp(InterfaceName(QStringLiteral("UAP0"))),
            new WirelessEvent::StopSoftAp(uap0),
            new QEvent(start),
            new EventWithValue<QString>(start, QStringLiteral("uap0")),
        };
        for (QEvent *event : strangers) {
            machine->postEvent(event);
        }
        QTRY_COMPARE(machine->delivered.size(), strangers.size());
        QVERIFY(idle->active());
        machine->postEvent(new WirelessEvent::StartSoftAp(uap0));
        QTRY_VERIFY(target->active());
    }
};

QTEST_GUILESS_MAIN(TestNorviStateMachine)
#include "tst_NorviStateMachine.moc"
