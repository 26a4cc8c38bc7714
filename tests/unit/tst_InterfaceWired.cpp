#include "AddressManager.h"
#include "InterfaceWired.h"
#include "NetlinkWatcher.h"
#include "RecordingDriver.h"
#include "ResolvConf.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int TestHoldMs = 300;
// No such interface on any machine: boots without interface, and nothing can happen to it.
const InterfaceName Absent(QStringLiteral("nvwtest0"));

// Static settings only: a DHCP start would run udhcpc on a host interface.
InterfaceConfiguration staticSettings(const QString &ip)
{
    return InterfaceConfiguration(Absent, ip, QStringLiteral("255.255.255.0"), QString(), {}, {});
}

const QStringList StopAddressing{"flush 4 nvwtest0", "flush 6 nvwtest0 global"};
const QStringList Restart6{"flush 4 nvwtest0", "flush 6 nvwtest0 global", "flush 4 nvwtest0",
                           "add 10.1.0.6/24 nvwtest0"};
const QSet<QString> Presence{"WiredNoInterface", "WiredInterfaceDown", "WiredInterfaceUp"};
const QSet<QString> Containers{"WiredStateMachineContainer", "WiredInterfaceContainer",
                               "WiredPresentContainer"};

} // namespace

class TestInterfaceWired : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir sysClassNet;
    RecordingDriver driver;
    ResolvConfImpl *resolver = nullptr;
    NetlinkWatcher *watcher = nullptr;
    AddressManager *addresses = nullptr;
    InterfaceWired *wired = nullptr;
    // The controller's signals in emission order, by name ("ready", "cableStatus(true)").
    QStringList emitted;

    void boot(const InterfaceName &name, int holdMs = TestHoldMs)
    {
        addresses = new AddressManager(name, watcher, &driver, resolver, nullptr);
        wired =
            new InterfaceWired(name, &driver, addresses, nullptr, sysClassNet.path() + '/', holdMs);
        for (const char *signal :
             {SIGNAL(enabled()), SIGNAL(disabled()), SIGNAL(waiting()),
              SIGNAL(waitingInterfaceRunning()), SIGNAL(waitingIpSetup()), SIGNAL(ready()),
              SIGNAL(disconnecting()), SIGNAL(disconnected()), SIGNAL(unready())}) {
            norvi::connect(wired, signal, this, SLOT(recordSignal()));
        }
    }

    QSet<QString> active() const
    {
        QSet<QString> names;
        for (const QAbstractState *state : wired->findChild<QStateMachine *>()->configuration()) {
            names.insert(state->objectName());
        }
        return names;
    }

    // The active states of the life-cycle region, sorted.
    QStringList lifeCycle() const
    {
        QStringList states = (active() - Presence - Containers).values();
        states.sort();
        return states;
    }

    QStringList presence() const { return (active() & Presence).values(); }

    QStringList take() { return std::exchange(emitted, {}); }

    // Drives the controller of an absent interface, one step per letter, each taken before the
    // next: A added, R removed, E enable, D disable, P cable in, U cable out, C activate, L
    // address lost, S reload other settings.
    void drive(const QString &steps)
    {
        for (const QChar step : steps) {
            switch (step.toLatin1()) {
                // clang-format off
            case 'A': wired->interfaceAdded(Absent); break;
            case 'R': wired->interfaceRemoved(Absent); break;
            case 'E': wired->enableInterface(); break;
            case 'D': wired->disableInterface(); break;
            case 'P': wired->setRunningState(true); break;
            case 'U': wired->setRunningState(false); break;
            case 'C': wired->activate(staticSettings("10.1.0.5")); break;
            case 'L': emit addresses->disconnected(); break;
            case 'S': wired->reloadIpSettings(staticSettings("10.1.0.6")); break;
            default: QFAIL("unknown step");
                // clang-format on
            }
            QCoreApplication::processEvents();
        }
    }

    void bootAndReachReady(int holdMs = TestHoldMs)
    {
        boot(Absent, holdMs);
        drive("AEPC");
        QTRY_COMPARE(lifeCycle(), QStringList({"WiredIpRunning", "WiredReady"}));
        QVERIFY(wired->isConnected());
        driver.take();
        emitted.clear();
    }

public slots:
    void recordSignal()
    {
        emitted.append(
            QString::fromLatin1(wired->metaObject()->method(senderSignalIndex()).name()));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(sysClassNet.isValid());
        norvi::registerMetaTypes();
        watcher = new NetlinkWatcher(this);
        resolver = new ResolvConfImpl(this, sysClassNet.filePath("resolv.conf"));
    }

    void cleanup()
    {
        delete wired;
        delete addresses;
        wired = nullptr;
        addresses = nullptr;
        emitted.clear();
        driver.take();
    }

    void requestWhileReadyIsHeld_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("settled");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("reload IP")
            << "S"
            << "WiredReady" << Restart6 << QStringList({"unready", "waitingIpSetup", "ready"});
        QTest::newRow("enable") << "E"
                                << "WiredWaitingInterfaceRunning"
                                << StopAddressing + QStringList("up nvwtest0")
                                << QStringList({"unready", "waitingInterfaceRunning"});
        QTest::newRow("disable") << "D"
                                 << "WiredDisabledInterfaceRunning"
                                 << StopAddressing + QStringList("down nvwtest0")
                                 << QStringList({"unready", "disabled"});
    }

    void requestWhileReadyIsHeld()
    {
        QFETCH(QString, request);
        QFETCH(QString, settled);
        QFETCH(QStringList, commands);
        QFETCH(QStringList, expected);
        bootAndReachReady();
        QElapsedTimer held;
        held.start();
        drive(request);
        QTRY_COMPARE(emitted, QStringList("disconnecting"));
        QCOMPARE(driver.commands(), QStringList());
        QVERIFY(wired->isConnected());
        QTRY_VERIFY(lifeCycle().contains(settled) && driver.commands() == commands);
        QVERIFY(held.elapsed() >= TestHoldMs);
        QTRY_COMPARE(emitted, QStringList("disconnecting") + expected);
    }

    void holdCutShort_data()
    {
        QTest::addColumn<QString>("cut");
        QTest::newRow("address lost") << "L";
        QTest::newRow("carrier reported") << "P";
        QTest::newRow("cable pulled") << "U";
    }

    void holdCutShort()
    {
        QFETCH(QString, cut);
        constexpr int LongHoldMs = 60000;
        bootAndReachReady(LongHoldMs);
        drive("S");
        QTRY_COMPARE(emitted, QStringList("disconnecting"));
        drive(cut);
        // The held reload comes first, whatever the cut does after it.
        QTRY_COMPARE(lifeCycle(), cut == "U" ? QStringList{"WiredDisconnected"}
                                             : QStringList({"WiredIpRunning", "WiredReady"}));
        QCOMPARE(driver.take().mid(0, 4), Restart6);
    }

    void addressLossWhileReady()
    {
        bootAndReachReady();
        drive("L");
        QTRY_COMPARE(lifeCycle(), QStringList({"WiredIpRunning", "WiredWaitingIpSetup"}));
        QVERIFY(!wired->isConnected());
        // Addressing goes on: no unready(), nothing stopped.
        QCOMPARE(take(), QStringList("waitingIpSetup"));
        QCOMPARE(driver.commands(), QStringList());
        emit addresses->connected();
        QTRY_COMPARE(lifeCycle(), QStringList({"WiredIpRunning", "WiredReady"}));
        QCOMPARE(take(), QStringList("ready"));
        // Destroyed while ready: it stops quietly, without signals.
        delete wired;
        wired = nullptr;
        QCOMPARE(take(), QStringList());
    }

    void interfaceRemoved_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("after");
        QTest::addColumn<bool>("stopsAddressing");
        QTest::newRow("WiredDisabledInterfaceRunning") << "AP"
                                                       << "WiredNoInterfaceDisabled" << false;
        QTest::newRow("WiredWaitingIpSetup") << "AEPCL"
                                             << "WiredNoInterfaceEnabled" << true;
        QTest::newRow("WiredReady") << "AEPC"
                                    << "WiredNoInterfaceEnabled" << true;
        QTest::newRow("WiredDisconnected plugged") << "AEPCUP"
                                                   << "WiredNoInterfaceEnabled" << false;
    }

    void interfaceRemoved()
    {
        QFETCH(QString, script);
        QFETCH(QString, after);
        QFETCH(bool, stopsAddressing);
        boot(Absent);
        drive(script);
        const QString before = QString::fromLatin1(QTest::currentDataTag()).section(' ', 0, 0);
        QTRY_VERIFY(lifeCycle().contains(before));
        driver.take();
        drive("R");
        QTRY_COMPARE(lifeCycle(), QStringList{after});
        QCOMPARE(presence(), QStringList("WiredNoInterface"));
        QCOMPARE(driver.take(), stopsAddressing ? StopAddressing : QStringList());
    }
};

QTEST_GUILESS_MAIN(TestInterfaceWired)
#include "tst_InterfaceWired.moc"
