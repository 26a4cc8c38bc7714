#include "NorviStateMachine.h"
#include "StdoutCapture.h"

#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <numeric>
#include <vector>

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

// Posts another event from inside the paused() emission.
class ReplyingReceiver : public QObject
{
    Q_OBJECT

public:
    explicit ReplyingReceiver(NorviStateMachine *machine) : m_machine(machine) {}

public slots:
    void postReply() { m_machine->postEvent(new WiredEvent::Disable); }

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

// What a capture got: the messages without their "File.cpp:LINE " prefix, and the level words.
struct Log
{
    QStringList messages;
    QSet<QString> levels;

    explicit Log(StdoutCapture &capture)
    {
        for (const LogLine &line : LogLine::parse(capture.lines())) {
            messages.append(line.message);
            levels.insert(line.level);
        }
    }
};

const QSet<QString> OnlyDebug{QStringLiteral("DEBUG")};

QEvent *make(QEvent::Type type)
{
    return new QEvent(type);
}

QList<QEvent::Type> types(std::initializer_list<QEvent::Type> list)
{
    return QList<QEvent::Type>(list);
}

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

private slots:
    void initTestCase()
    {
        qRegisterMetaType<QState *>();
        qRegisterMetaType<QEvent::Type>();
    }

    void init()
    {
        qInstallMessageHandler(norvidMessageOutput);
        norvidGlobalLogLevel = 1;
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

    void cleanup()
    {
        delete machine;
        norvidGlobalLogLevel = 0;
    }

    // --- delivery order ---

    void notHoldingDeliversEverythingInCallOrder()
    {
        StdoutCapture capture;
        for (QEvent::Type type : {A, Unpause, Immediate, B}) {
            machine->postEvent(make(type));
        }
        const Log log(capture);
        QCOMPARE(log.messages, QStringList({
                                   QStringLiteral("Posting event: \"Enable\""),
                                   QStringLiteral("Posting event: \"CableUnplugged\""),
                                   QStringLiteral("Posting event: \"IpSetupComplete\""),
                                   QStringLiteral("Posting event: \"Disable\""),
                               }));
        QCOMPARE(log.levels, OnlyDebug);
        QTRY_COMPARE(machine->delivered, types({A, Unpause, Immediate, B}));
    }

    void unpauseEventFollowsHeldEvents()
    {
        QSignalSpy paused(machine, SIGNAL(paused(QState *, QEvent::Type)));
        enterHold();
        StdoutCapture capture;
        for (QEvent::Type type : {A, B, C}) {
            machine->postEvent(make(type));
        }
        settle();
        const bool heldBack = machine->delivered.isEmpty();
        machine->postEvent(make(Unpause));
        const Log log(capture);
        QVERIFY(heldBack);
        QTRY_COMPARE(machine->delivered, types({A, B, C, Unpause}));

        QCOMPARE(paused.size(), 1);
        QCOMPARE(paused[0][0].value<QState *>(), static_cast<QState *>(ready));
        QCOMPARE(paused[0][1].value<QEvent::Type>(), A);
        QCOMPARE(log.messages, QStringList({
                                   QStringLiteral("Starting wait period..."),
                                   QStringLiteral("Queuing event: \"Enable\""),
                                   QStringLiteral("Queuing event: \"Disable\""),
                                   QStringLiteral("Queuing event: \"ReloadIp\""),
                                   QStringLiteral("Posting delayed event: \"Enable\""),
                                   QStringLiteral("Posting delayed event: \"Disable\""),
                                   QStringLiteral("Posting delayed event: \"ReloadIp\""),
                                   QStringLiteral("Posting delayed event: \"CableUnplugged\""),
                               }));
        QCOMPARE(log.levels, OnlyDebug);
        // The timer was stopped with the hold: nothing comes later.
        QTest::qWait(TestHoldMs * 2);
        QCOMPARE(machine->delivered.size(), 4);
    }

    void immediateEventOvertakesHeldOnesAndHoldGoesOn()
    {
        QSignalSpy paused(machine, SIGNAL(paused(QState *, QEvent::Type)));
        enterHold();
        StdoutCapture capture;
        machine->postEvent(make(A));
        machine->postEvent(make(Immediate));
        QCOMPARE(Log(capture).messages,
                 QStringList({
                     QStringLiteral("Starting wait period..."),
                     QStringLiteral("Queuing event: \"Enable\""),
                     QStringLiteral("Posting immediate event: \"IpSetupComplete\""),
                 }));
        QTRY_COMPARE(machine->delivered, types({Immediate}));
        machine->postEvent(make(B));
        settle();
        QCOMPARE(machine->delivered, types({Immediate}));
        machine->postEvent(make(Unpause));
        QTRY_COMPARE(machine->delivered, types({Immediate, A, B, Unpause}));
        QCOMPARE(paused.size(), 1);
    }

    void holdEndsAfterIntervalWithoutFurtherEvents()
    {
        enterHold();
        machine->postEvent(make(A));
        machine->postEvent(make(B));
        settle();
        QCOMPARE(machine->delivered, types({}));
        QTRY_COMPARE(machine->delivered, types({A, B}));
        QVERIFY(ready->active());
        // The hold is over: the next event goes straight through.
        StdoutCapture capture;
        machine->postEvent(make(C));
        QCOMPARE(Log(capture).messages, QStringList(QStringLiteral("Posting event: \"ReloadIp\"")));
        QTRY_COMPARE(machine->delivered, types({A, B, C}));
    }

    void steadyTrafficCannotExtendTheHold()
    {
        enterHold();
        for (int sent = 0; sent < 20 && machine->delivered.isEmpty(); ++sent) {
            machine->postEvent(make(A));
            QTest::qWait(TestHoldMs / 5);
        }
        QVERIFY(!machine->delivered.isEmpty());
    }

    void exitOfWaitingStateReleasesHold()
    {
        enterHold();
        machine->postEvent(make(A));
        machine->postEvent(make(B));
        machine->postEvent(make(ImmediateLeaving));
        QTRY_COMPARE(machine->delivered, types({ImmediateLeaving, A, B}));
        QVERIFY(idle->active());
        StdoutCapture capture;
        machine->postEvent(make(C));
        QCOMPARE(Log(capture).messages, QStringList(QStringLiteral("Posting event: \"ReloadIp\"")));
        QTRY_COMPARE(machine->delivered.size(), 4);
    }

    void holdWithoutEventsNeverTimesOut()
    {
        QSignalSpy paused(machine, SIGNAL(paused(QState *, QEvent::Type)));
        enterHold();
        QTest::qWait(TestHoldMs * 3);
        machine->postEvent(make(A));
        settle();
        QCOMPARE(machine->delivered, types({}));
        QCOMPARE(paused.size(), 1);
        machine->postEvent(make(ImmediateLeaving));
        QTRY_COMPARE(machine->delivered, types({ImmediateLeaving, A}));
    }

    void secondHoldStartsEmpty()
    {
        QSignalSpy paused(machine, SIGNAL(paused(QState *, QEvent::Type)));
        enterHold();
        machine->postEvent(make(A));
        machine->postEvent(make(Unpause)); // also leaves the waiting state
        QTRY_VERIFY(idle->active());
        enterHold();
        machine->postEvent(make(C));
        machine->postEvent(make(Unpause));
        QTRY_COMPARE(machine->delivered, types({C, Unpause}));
        QTest::qWait(TestHoldMs * 2);
        QCOMPARE(machine->delivered.size(), 2);
        QCOMPARE(paused.size(), 2);
        QCOMPARE(paused[1][1].value<QEvent::Type>(), C);
    }

    void eventPostedFromPausedSignalQueuesBehind()
    {
        QSignalSpy paused(machine, SIGNAL(paused(QState *, QEvent::Type)));
        ReplyingReceiver receiver(machine);
        norvi::connect(machine, SIGNAL(paused(QState *, QEvent::Type)), &receiver,
                       SLOT(postReply()));
        enterHold();
        machine->postEvent(make(A));
        machine->postEvent(make(Unpause));
        QTRY_COMPARE(machine->delivered, types({A, B, Unpause}));
        QCOMPARE(paused.size(), 1);
    }

    void heldEventsDieWithTheMachine()
    {
        enterHold();
        struct Counted : QEvent
        {
            explicit Counted(int &alive) : QEvent(A), alive(alive) { ++alive; }
            ~Counted() override { --alive; }
            int &alive;
        };
        int alive = 0;
        machine->postEvent(new Counted(alive));
        machine->postEvent(new Counted(alive));
        QCOMPARE(alive, 2);
        delete machine;
        machine = nullptr;
        QCOMPARE(alive, 0);
    }

    // Random traffic with holds starting and ending by every route: nothing is lost or
    // delivered twice, and only immediate events ever overtake.
    void manyEventsInFlight()
    {
        const QList<QEvent::Type> kinds{A, B, C, Unpause, Immediate, ImmediateLeaving, Connect};
        QRandomGenerator random(20261205);
        constexpr int Count = 20000;
        QList<int> overtakers;
        StdoutCapture capture;
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
        const Log log(capture);

        std::vector<int> sorted(machine->deliveredNumbers.cbegin(),
                                machine->deliveredNumbers.cend());
        std::sort(sorted.begin(), sorted.end());
        std::vector<int> expected(Count + 1);
        std::iota(expected.begin(), expected.end(), 0);
        QCOMPARE(sorted, expected);

        QList<int> ordinary;
        for (int number : qAsConst(machine->deliveredNumbers)) {
            if (!std::binary_search(overtakers.cbegin(), overtakers.cend(), number)) {
                ordinary.append(number);
            }
        }
        QVERIFY(std::is_sorted(ordinary.cbegin(), ordinary.cend()));
        QVERIFY(log.messages.count(QStringLiteral("Starting wait period...")) > 10);
        QCOMPARE(log.levels, OnlyDebug);
    }

    // --- events and transitions ---

    void everyEventClassHasItsOwnNumberAndName()
    {
        const QList<QPair<QEvent::Type, const char *>> all{
            {ManagerEvent::Off::staticType(), "Off"},
            {ManagerEvent::WpsPin::staticType(), "WpsPin"},
            {ManagerEvent::ReloadAps::staticType(), "ReloadAps"},
            {WiredEvent::Enable::staticType(), "Enable"},
            {WiredEvent::IpSetupError::staticType(), "IpSetupError"},
            {WirelessEvent::Enable::staticType(), "Enable"},
            {WirelessEvent::Disable::staticType(), "Disable"},
            {WirelessEvent::StartSoftAp::staticType(), "StartSoftAp"},
            {WirelessEvent::ScanFinished::staticType(), "ScanFinished"},
            {WiredEvent::Disable::staticType(), "Disable"},
            {ManagerEvent::Scan::staticType(), "Scan"},
            {WirelessEvent::Scan::staticType(), "Scan"},
        };
        QSet<QEvent::Type> numbers;
        for (const auto &[type, name] : all) {
            QVERIFY(type >= QEvent::User && type <= QEvent::MaxUser);
            QCOMPARE(NorviEvents::instance().name(type), QString::fromLatin1(name));
            numbers.insert(type);
        }
        QCOMPARE(numbers.size(), all.size());
        const QSet<WirelessNetwork> networks{
            WirelessNetwork(Ssid::fromString(QStringLiteral("home")), WirelessNetworkType::WpaPsk,
                            QStringLiteral("a secret key"), 1)};
        QCOMPARE(WirelessEvent::Enable(networks).value(), networks);
        QCOMPARE(NorviEvents::instance().name(QEvent::Type(QEvent::User)),
                 QStringLiteral("Unknown event 1000"));
    }

    void staticTypeRegistersItsNameOnce()
    {
        const QEvent::Type type = WiredEvent::Activate::staticType();
        NorviEvents::instance().registerEvent(type, QStringLiteral("Renamed"));
        QCOMPARE(WiredEvent::Activate::staticType(), type);
        QCOMPARE(WiredEvent::Activate().type(), type);
        QCOMPARE(NorviEvents::instance().name(type), QStringLiteral("Renamed"));
        NorviEvents::instance().registerEvent(type, QStringLiteral("Activate"));
    }

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

    void plainTransitionIgnoresThePayload()
    {
        auto *target = new QState(machine);
        idle->addTransition(new NorviTransition(
            WirelessEvent::StopSoftAp(InterfaceName(QStringLiteral("uap0"))), target));
        machine->postEvent(new WirelessEvent::StopSoftAp(InterfaceName(QStringLiteral("uap7"))));
        QTRY_VERIFY(target->active());
    }
};

QTEST_GUILESS_MAIN(TestNorviStateMachine)
#include "tst_NorviStateMachine.moc"
