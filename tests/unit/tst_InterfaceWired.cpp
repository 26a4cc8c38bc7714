#include "AddressManager.h"
#include "InterfaceWired.h"
#include "NetlinkWatcher.h"
#include "RecordingDriver.h"
#include "ResolvConf.h"
#include "StdoutCapture.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr int TestHoldMs = 300;
// No such interface on any machine: boots without interface, and nothing can happen to it.
const InterfaceName Absent(QStringLiteral("nvwtest0"));
// Exists and is up everywhere. Only ever booted, never activated.
const InterfaceName Loopback(QStringLiteral("lo"));

class NullResolver : public ResolvConf
{
public:
    void setNameservers(const QList<QHostAddress> &, const QString &) override {}
    void clearNameservers(const QString &) override {}
    void setSearchDomains(const QStringList &, const QString &) override {}
    void clearSearchDomains(const QString &) override {}
};

// Static settings only: a DHCP start would run udhcpc on a host interface.
InterfaceConfiguration staticSettings(const QString &ip)
{
    return InterfaceConfiguration(Absent, ip, QStringLiteral("255.255.255.0"), QString(), {}, {});
}

const QStringList StartFirst{"flush 4 nvwtest0", "add 10.1.0.5/24 nvwtest0"};
const QStringList StopAddressing{"flush 4 nvwtest0", "flush 6 nvwtest0 global"};

const QStringList StatusNames{"Removed", "Down", "Up"};

} // namespace

class TestInterfaceWired : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir sysClassNet;
    RecordingDriver driver;
    NullResolver resolver;
    NetlinkWatcher *watcher = nullptr;
    AddressManager *addresses = nullptr;
    InterfaceWired *wired = nullptr;
    std::unique_ptr<StdoutCapture> capture;
    QStringList logMessages;
    QSet<QString> active;
    // The controller's signals in emission order, by name ("ready", "cableStatus(true)").
    QStringList emitted;

    void boot(const InterfaceName &name, int holdMs = TestHoldMs)
    {
        addresses = new AddressManager(name, watcher, &driver, &resolver, nullptr);
        wired =
            new InterfaceWired(name, &driver, addresses, nullptr, sysClassNet.path() + '/', holdMs);
        for (const char *signal :
             {SIGNAL(enabled()), SIGNAL(disabled()), SIGNAL(waiting()),
              SIGNAL(waitingInterfaceRunning()), SIGNAL(waitingIpSetup()), SIGNAL(ready()),
              SIGNAL(disconnecting()), SIGNAL(disconnected()), SIGNAL(unready())}) {
            norvi::connect(wired, signal, this, SLOT(recordSignal()));
        }
        norvi::connect(wired, SIGNAL(statusChanged(InterfaceStatus)), this,
                       SLOT(recordStatus(InterfaceStatus)));
        norvi::connect(wired, SIGNAL(cableStatus(bool)), this, SLOT(recordCable(bool)));
    }

    void writeCarrier(const InterfaceName &name, const QByteArray &content)
    {
        QDir(sysClassNet.path()).mkpath(name.toString());
        QFile file(carrierPath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    QString carrierPath(const InterfaceName &name) const
    {
        return sysClassNet.filePath(name.toString() + "/carrier");
    }

    // Lets the machine take what was posted (holds aside), then reads the log written meanwhile.
    void settle(int ms = 40)
    {
        QTest::qWait(ms);
        const QStringList lines = capture->lines();
        capture = std::make_unique<StdoutCapture>();
        static const QRegularExpression change(
            QStringLiteral("^Interface \\S+ (entering|exiting) state: (\\w+)$"));
        for (const LogLine &line : LogLine::parse(lines)) {
            logMessages.append(line.message);
            const auto match = change.match(line.message);
            if (match.hasMatch() && match.captured(1) == "entering") {
                active.insert(match.captured(2));
            } else if (match.hasMatch()) {
                active.remove(match.captured(2));
            }
        }
    }

    // What the controller emitted since the last call.
    QStringList signalsSoFar()
    {
        settle();
        return std::exchange(emitted, {});
    }

    // The active states of the life-cycle region (the presence region has its own tests).
    QStringList lifeCycle()
    {
        settle();
        static const QSet<QString> others{"WiredStateMachineContainer", "WiredInterfaceContainer",
                                          "WiredPresentContainer",      "WiredNoInterface",
                                          "WiredInterfaceDown",         "WiredInterfaceUp"};
        QStringList states = (active - others).values();
        states.sort();
        return states;
    }

    QString presence()
    {
        settle();
        const QSet<QString> present =
            active & QSet<QString>{"WiredNoInterface", "WiredInterfaceDown", "WiredInterfaceUp"};
        return present.size() == 1 ? *present.begin()
                                   : QStringLiteral("(%1 states)").arg(present.size());
    }

    // Drives the controller of an absent interface through a script of steps:
    // A added, R removed, E enable, D disable, P cable in, U cable out, C activate, L address lost.
    void drive(const QString &steps)
    {
        for (const QChar step : steps) {
            switch (step.toLatin1()) {
            case 'A':
                wired->interfaceAdded(Absent);
                break;
            case 'R':
                wired->interfaceRemoved(Absent);
                break;
            case 'E':
                wired->enableInterface();
                break;
            case 'D':
                wired->disableInterface();
                break;
            case 'P':
                wired->setRunningState(true);
                break;
            case 'U':
                wired->setRunningState(false);
                break;
            case 'C':
                wired->activate(staticSettings("10.1.0.5"));
                break;
            case 'L':
                emit addresses->disconnected();
                break;
            default:
                QFAIL("unknown step");
            }
            settle();
        }
    }

    void bootAndReachReady(int holdMs = TestHoldMs)
    {
        boot(Absent, holdMs);
        drive("AEPC");
        QCOMPARE(lifeCycle(), QStringList({"WiredIpRunning", "WiredReady"}));
        QVERIFY(wired->isConnected());
        driver.take();
        emitted.clear();
        logMessages.clear();
    }

public slots:
    void recordSignal()
    {
        emitted.append(
            QString::fromLatin1(wired->metaObject()->method(senderSignalIndex()).name()));
    }
    void recordStatus(InterfaceStatus status)
    {
        emitted.append("statusChanged(" + StatusNames.value(status) + ')');
    }
    void recordCable(bool pluggedIn)
    {
        emitted.append(QStringLiteral("cableStatus(%1)").arg(pluggedIn ? "true" : "false"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(sysClassNet.isValid());
        norvi::registerMetaTypes();
        qInstallMessageHandler(norvidMessageOutput);
        watcher = new NetlinkWatcher(this);
    }

    void init()
    {
        norvidGlobalLogLevel = 1;
        capture = std::make_unique<StdoutCapture>();
    }

    void cleanup()
    {
        delete wired;
        delete addresses;
        wired = nullptr;
        addresses = nullptr;
        capture.reset();
        logMessages.clear();
        active.clear();
        emitted.clear();
        driver.take();
        norvidGlobalLogLevel = 0;
    }

    // --- start-up ---

    void bootWithInterfacePresent_data()
    {
        QTest::addColumn<QByteArray>("carrier"); // null: no carrier file at all
        QTest::addColumn<QString>("initial");
        QTest::addColumn<QString>("complaint");
        QTest::newRow("carrier") << QByteArray("1\n") << "WiredDisabledInterfaceRunning"
                                 << "";
        QTest::newRow("no carrier") << QByteArray("0\n") << "WiredDisabled"
                                    << "";
        QTest::newRow("no carrier file") << QByteArray() << "WiredDisabled"
                                         << "Couldn't open wired interface carrier file: ";
    }

    void bootWithInterfacePresent()
    {
        QFETCH(QByteArray, carrier);
        QFETCH(QString, initial);
        QFETCH(QString, complaint);
        QFile::remove(carrierPath(Loopback));
        if (!carrier.isNull()) {
            writeCarrier(Loopback, carrier);
        }
        boot(Loopback);
        settle();
        const QStringList complaints = logMessages.filter(QStringLiteral("carrier file"));
        if (complaint.isEmpty()) {
            QCOMPARE(complaints, QStringList());
        } else {
            QCOMPARE(complaints, QStringList(complaint + '"' + carrierPath(Loopback) + '"'));
        }
        QCOMPARE(lifeCycle(), QStringList(initial));
        QCOMPARE(presence(), QStringLiteral("WiredInterfaceUp"));
        QCOMPARE(signalsSoFar(), QStringList({"disabled", "statusChanged(Up)"}));
        QCOMPARE(driver.take(), QStringList("down lo"));
        QCOMPARE(wired->isCablePluggedIn(), initial == "WiredDisabledInterfaceRunning");
    }

    void presenceFollowsTheInterface()
    {
        boot(Absent);
        QCOMPARE(lifeCycle(), QStringList("WiredNoInterfaceDisabled"));
        QCOMPARE(presence(), QStringLiteral("WiredNoInterface"));
        QCOMPARE(signalsSoFar(), QStringList({"disabled", "statusChanged(Removed)"}));
        QVERIFY(!wired->isConnected());
        wired->setUpState(Absent, false);
        wired->setUpState(Absent, true);
        wired->setUpState(Absent, true);
        wired->interfaceRemoved(Absent);
        wired->setUpState(Absent, true);
        wired->interfaceRemoved(Absent);
        wired->setUpState(Absent, false);
        wired->setUpState(Absent, true);
        wired->setUpState(Absent, false);
        wired->interfaceAdded(Absent);
        QCOMPARE(presence(), QStringLiteral("WiredInterfaceDown"));
        QCOMPARE(signalsSoFar(),
                 QStringList({"statusChanged(Down)", "statusChanged(Up)", "statusChanged(Removed)",
                              "statusChanged(Up)", "statusChanged(Removed)", "statusChanged(Down)",
                              "statusChanged(Up)", "statusChanged(Down)",
                              // the life cycle moves on too; the presence region stays
                              "disabled"}));
    }

    // --- connecting and disconnecting ---

    void fullConnectAndDisconnectCycle()
    {
        boot(Absent);
        signalsSoFar();

        drive("A");
        wired->setUpState(Absent, true);
        drive("EPC");
        QVERIFY(wired->isConnected());
        // Carrier comes only on a link that is up: it brings no second "up".
        QCOMPARE(driver.take(), QStringList({"down nvwtest0", "up nvwtest0"}) + StartFirst);
        QCOMPARE(signalsSoFar(),
                 QStringList({"disabled", "statusChanged(Down)", "statusChanged(Up)", "waiting",
                              "cableStatus(true)", "waitingInterfaceRunning", "waitingIpSetup",
                              "ready"}));

        // Cable pulled: the hold ends at once, without a disconnecting() first.
        drive("U");
        QVERIFY(!wired->isConnected());
        QCOMPARE(driver.take(), StopAddressing);
        QCOMPARE(signalsSoFar(), QStringList({"cableStatus(false)", "unready", "disconnected"}));
        QCOMPARE(lifeCycle(), QStringList("WiredDisconnected"));

        // Plugged in again: nothing is brought up until the manager asks once more.
        drive("P");
        QCOMPARE(driver.take(), QStringList());
        QCOMPARE(signalsSoFar(), QStringList({"cableStatus(true)", "disconnected"}));
        drive("EC");
        QVERIFY(wired->isConnected());
        QCOMPARE(driver.take(), QStringList("up nvwtest0") + StartFirst);
        QCOMPARE(signalsSoFar(),
                 QStringList({"waitingInterfaceRunning", "waitingIpSetup", "ready"}));

        // Pulled and plugged again before the manager reacts, then disabled.
        drive("UPD");
        QCOMPARE(lifeCycle(), QStringList({"WiredDisabledInterfaceRunning"}));
        QCOMPARE(driver.take(), StopAddressing + QStringList("down nvwtest0"));
    }

    void requestWhileReadyIsHeld_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("settled");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("reload IP")
            << "ReloadIp"
            << "WiredReady"
            << StopAddressing + QStringList({"flush 4 nvwtest0", "add 10.1.0.6/24 nvwtest0"})
            << QStringList({"unready", "waitingIpSetup", "ready"});
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
        if (request == "ReloadIp") {
            wired->reloadIpSettings(staticSettings("10.1.0.6"));
        } else {
            drive(request);
        }
        QCOMPARE(signalsSoFar(), QStringList("disconnecting"));
        QCOMPARE(driver.commands(), QStringList());
        QVERIFY(wired->isConnected());
        QTRY_VERIFY(lifeCycle().contains(settled) && !driver.commands().isEmpty());
        QVERIFY(held.elapsed() >= TestHoldMs);
        QCOMPARE(driver.take(), commands);
        QCOMPARE(signalsSoFar(), expected);
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
        wired->reloadIpSettings(staticSettings("10.1.0.6"));
        QCOMPARE(signalsSoFar(), QStringList("disconnecting"));
        drive(cut);
        // The held reload comes first, whatever the cut does after it.
        QCOMPARE(driver.take().mid(0, 4),
                 StopAddressing + QStringList({"flush 4 nvwtest0", "add 10.1.0.6/24 nvwtest0"}));
        QCOMPARE(lifeCycle(), cut == "U" ? QStringList{"WiredDisconnected"}
                                         : QStringList({"WiredIpRunning", "WiredReady"}));
    }

    void addressLossWhileReady()
    {
        bootAndReachReady();
        drive("L");
        QCOMPARE(lifeCycle(), QStringList({"WiredIpRunning", "WiredWaitingIpSetup"}));
        QVERIFY(!wired->isConnected());
        // Addressing goes on: no unready(), nothing stopped.
        QCOMPARE(signalsSoFar(), QStringList("waitingIpSetup"));
        QCOMPARE(driver.commands(), QStringList());
        emit addresses->connected();
        QCOMPARE(lifeCycle(), QStringList({"WiredIpRunning", "WiredReady"}));
        QCOMPARE(signalsSoFar(), QStringList("ready"));

        // Destroyed while ready: it stops quietly, without signals.
        delete wired;
        wired = nullptr;
        QCOMPARE(signalsSoFar(), QStringList());
        QVERIFY(logMessages.contains("nvwtest0 disabling..."));
    }

    void interfaceRemoved_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("after");
        QTest::addColumn<bool>("stopsAddressing");
        QTest::newRow("WiredNoInterfaceDisabled") << ""
                                                  << "WiredNoInterfaceDisabled" << false;
        QTest::newRow("WiredNoInterfaceEnabled") << "E"
                                                 << "WiredNoInterfaceEnabled" << false;
        QTest::newRow("WiredDisabled") << "A"
                                       << "WiredNoInterfaceDisabled" << false;
        QTest::newRow("WiredDisabledInterfaceRunning") << "AP"
                                                       << "WiredNoInterfaceDisabled" << false;
        QTest::newRow("WiredWaiting") << "AE"
                                      << "WiredNoInterfaceEnabled" << false;
        QTest::newRow("WiredWaitingInterfaceRunning") << "AEP"
                                                      << "WiredNoInterfaceEnabled" << false;
        QTest::newRow("WiredWaitingIpSetup") << "AEPCL"
                                             << "WiredNoInterfaceEnabled" << true;
        QTest::newRow("WiredReady") << "AEPC"
                                    << "WiredNoInterfaceEnabled" << true;
        QTest::newRow("WiredDisconnected unplugged") << "AEPCU"
                                                     << "WiredNoInterfaceEnabled" << false;
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
        driver.take();
        drive("R");
        QTRY_COMPARE(lifeCycle(), QStringList{after});
        QCOMPARE(presence(), QStringLiteral("WiredNoInterface"));
        QCOMPARE(driver.take(), stopsAddressing ? StopAddressing : QStringList());
    }

    void activateNeedsCarrierButKeepsTheSettings()
    {
        boot(Absent);
        drive("AE");
        driver.take();
        wired->activate(staticSettings("10.1.0.7"));
        QCOMPARE(lifeCycle(), QStringList({"WiredWaiting"}));
        // The refused activation is not remembered for when the carrier comes.
        drive("P");
        QCOMPARE(lifeCycle(), QStringList({"WiredWaitingInterfaceRunning"}));
        QCOMPARE(driver.take(), QStringList());

        // While connected, an activation is held and then dropped, but the next restart uses
        // its settings.
        drive("C");
        driver.take();
        wired->reloadIpSettings(staticSettings("10.1.0.6"));
        wired->activate(staticSettings("10.1.0.8"));
        QTRY_VERIFY(driver.commands().size() >= 4);
        QCOMPARE(driver.take(),
                 StopAddressing + QStringList({"flush 4 nvwtest0", "add 10.1.0.8/24 nvwtest0"}));
        QTest::qWait(TestHoldMs);
        QCOMPARE(lifeCycle(), QStringList({"WiredIpRunning", "WiredReady"}));
    }

    void repeatedRequestsEnterAgain()
    {
        boot(Absent);
        signalsSoFar();
        drive("DEE");
        QCOMPARE(signalsSoFar(), QStringList({"disabled", "enabled"}));
        QCOMPARE(driver.take(), QStringList());

        drive("DADD");
        QCOMPARE(driver.take(), QStringList({"down nvwtest0", "down nvwtest0", "down nvwtest0"}));
        drive("EE");
        QCOMPARE(driver.take(), QStringList({"up nvwtest0", "up nvwtest0"}));
        drive("PPEE");
        QCOMPARE(driver.take(), QStringList({"up nvwtest0", "up nvwtest0"}));
        drive("DD");
        QCOMPARE(driver.take(), QStringList({"down nvwtest0", "down nvwtest0"}));
        // Each repeated request enters its state again and says so.
        QCOMPARE(signalsSoFar().count("waitingInterfaceRunning"), 3);
    }
};

QTEST_GUILESS_MAIN(TestInterfaceWired)
#include "tst_InterfaceWired.moc"
