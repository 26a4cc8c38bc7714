#include "InterfaceState.h"
#include "NorviStateMachine.h"
#include "StdoutCapture.h"

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

protected:
    void onEntry(QEvent *event) override
    {
        InterfaceState::onEntry(event);
        ++entries;
    }
};

// Log lines as "LEVEL message", without the time, ids and "File.cpp:LINE ".
QStringList levelsAndMessages(StdoutCapture &capture)
{
    QStringList lines;
    for (const LogLine &line : LogLine::parse(capture.lines())) {
        lines.append(line.level + QLatin1Char(' ') + line.message);
    }
    return lines;
}

QString entering(const char *state)
{
    return QStringLiteral("INFO Interface eth0 entering state: ") + QLatin1String(state);
}

QString exiting(const char *state)
{
    return QStringLiteral("INFO Interface eth0 exiting state: ") + QLatin1String(state);
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
    QStringList logged; // by the last start or post

    void post(QEvent *event, CountingState *entered)
    {
        StdoutCapture capture;
        const int before = entered->entries;
        machine->postEvent(event);
        QTRY_COMPARE(entered->entries, before + 1);
        logged = levelsAndMessages(capture);
    }

private slots:
    void init()
    {
        qInstallMessageHandler(norvidMessageOutput);
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
        StdoutCapture capture;
        machine->start();
        QTRY_VERIFY(waiting->active());
        logged = levelsAndMessages(capture);
    }

    void cleanup() { delete machine; }

    void transitionsLogExitsInnermostFirstThenEntries()
    {
        QCOMPARE(logged,
                 QStringList({entering("WiredInterfaceContainer"), entering("WiredWaiting")}));
        // Between siblings the parent stays active: no line for it.
        post(new WiredEvent::IpSetupComplete, ready);
        QCOMPARE(logged, QStringList({exiting("WiredWaiting"), entering("WiredReady")}));
        post(new WiredEvent::ReloadIp, ready);
        QCOMPARE(logged, QStringList({exiting("WiredReady"), entering("WiredReady")}));
        QCOMPARE(container->entries, 1);
        post(new WiredEvent::CableUnplugged, disconnected);
        QCOMPARE(logged,
                 QStringList({exiting("WiredReady"), exiting("WiredInterfaceContainer"),
                              entering("WiredLinkContainer"), entering("WiredDisconnected")}));
    }
};

QTEST_GUILESS_MAIN(TestInterfaceState)
#include "tst_InterfaceState.moc"
