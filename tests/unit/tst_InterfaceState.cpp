#include "InterfaceState.h"
#include "LogRecorder.h"
#include "NorviStateMachine.h"

#include <QtTest>

namespace {

// A concrete state with an entry action of its own, as the controllers' states have.
class CountingState : public InterfaceState
{
public:
    CountingState(QState *parent, const InterfaceName &interface, const QString &name)
        : InterfaceState(parent, interface, InterfaceStateName(name))
    {}

    int entries = 0;
    QStringList linesBeforeAction;

protected:
    void onEntry(QEvent *event) override
    {
        InterfaceState::onEntry(event);
        ++entries;
        linesBeforeAction = LogRecorder::texts(QtInfoMsg);
    }
};

QString entering(const char *state)
{
    return QStringLiteral("Interface eth0 entering state: ") + QLatin1String(state);
}

QString exiting(const char *state)
{
    return QStringLiteral("Interface eth0 exiting state: ") + QLatin1String(state);
}

} // namespace

class TestInterfaceState : public QObject
{
    Q_OBJECT

private:
    // Parent (WiredInterfaceContainer) with the siblings WiredWaiting and WiredReady, and a
    // second parent (WiredLinkContainer) holding WiredDisconnected.
    InterfaceName interface = InterfaceName(QStringLiteral("eth0"));
    NorviStateMachine *machine = nullptr;
    CountingState *container = nullptr;
    CountingState *waiting = nullptr;
    CountingState *ready = nullptr;
    CountingState *otherContainer = nullptr;
    CountingState *disconnected = nullptr;

    void post(QEvent *event, CountingState *entered)
    {
        LogRecorder::messages().clear();
        const int before = entered->entries;
        machine->postEvent(event);
        QTRY_COMPARE(entered->entries, before + 1);
    }

private slots:
    void init()
    {
        LogRecorder::start();
        machine = new NorviStateMachine;
        container =
            new CountingState(machine, interface, QStringLiteral("WiredInterfaceContainer"));
        waiting = new CountingState(container, interface, QStringLiteral("WiredWaiting"));
        ready = new CountingState(container, interface, QStringLiteral("WiredReady"));
        otherContainer =
            new CountingState(machine, interface, QStringLiteral("WiredLinkContainer"));
        disconnected =
            new CountingState(otherContainer, interface, QStringLiteral("WiredDisconnected"));
        container->setInitialState(waiting);
        otherContainer->setInitialState(disconnected);
        machine->setInitialState(container);
        waiting->addTransition(new NorviTransition(WiredEvent::IpSetupComplete(), ready));
        ready->addTransition(new NorviTransition(WiredEvent::ReloadIp(), ready));
        ready->addTransition(new NorviTransition(WiredEvent::CableUnplugged(), disconnected));
        machine->start();
        QTRY_VERIFY(waiting->active());
    }

    void cleanup() { delete machine; }

    void startEntersOutermostFirst()
    {
        QCOMPARE(LogRecorder::texts(QtInfoMsg),
                 QStringList({entering("WiredInterfaceContainer"), entering("WiredWaiting")}));
    }

    void siblingTransitionLogsExitThenEntry()
    {
        post(new WiredEvent::IpSetupComplete, ready);
        QCOMPARE(LogRecorder::texts(QtInfoMsg),
                 QStringList({exiting("WiredWaiting"), entering("WiredReady")}));
        // The parent stays active: no line for it.
        QCOMPARE(container->entries, 1);
        QCOMPARE(ready->linesBeforeAction.size(), 2);
    }

    void selfTransitionExitsAndEntersAgain()
    {
        post(new WiredEvent::IpSetupComplete, ready);
        post(new WiredEvent::ReloadIp, ready);
        QCOMPARE(LogRecorder::texts(QtInfoMsg),
                 QStringList({exiting("WiredReady"), entering("WiredReady")}));
        QCOMPARE(ready->entries, 2);
        QCOMPARE(container->entries, 1);
    }

    void leavingAParentExitsInnermostFirst()
    {
        post(new WiredEvent::IpSetupComplete, ready);
        post(new WiredEvent::CableUnplugged, disconnected);
        QCOMPARE(LogRecorder::texts(QtInfoMsg),
                 QStringList({exiting("WiredReady"), exiting("WiredInterfaceContainer"),
                              entering("WiredLinkContainer"), entering("WiredDisconnected")}));
    }

    void stateNameIsTheInterfaceNameOfItsController()
    {
        QCOMPARE(&waiting->getName(), &interface);
        QCOMPARE(qHash(InterfaceStateName(QStringLiteral("WiredReady"))),
                 qHash(QStringLiteral("WiredReady")));
    }
};

QTEST_GUILESS_MAIN(TestInterfaceState)
#include "tst_InterfaceState.moc"
