#include "AddressManager.h"
#include "InterfaceWireless.h"
#include "NetlinkWatcher.h"
#include "RecordingDriver.h"
#include "ResolvConf.h"
#include "Supplicant.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

// No such interface anywhere: boots without interface, and nothing can happen to it.
const InterfaceName Absent(QStringLiteral("nvwtest0"));
const QStringList StatusNames{"Removed", "Down", "Up"};

// Writes down what it is asked to do; the test plays wpa_supplicant's part through its signals.
class ScriptedSupplicant : public Supplicant
{
public:
    ScriptedSupplicant() : Supplicant(nullptr, Absent) {}
    bool enable(QSet<WirelessNetwork> networks) override
    {
        return record(QStringLiteral("enable %1").arg(networks.size()));
    }
    bool disable() override { return record("disable"); }
    bool wpsPbc() override { return record("wpsPbc"); }
    bool wpsPin(QString pin) override { return record("wpsPin " + pin); }
    void scan() override { record("scan"); }
    QVariantMap getNetworkDetails() override { return {}; }
    int getCurrentChannel() override { return channel; }
    void interfaceAdded() override { record("interfaceAdded"); }
    void interfaceRemoved() override { record("interfaceRemoved"); }
    bool record(const QString &call) { return calls.append(call), true; }

    QStringList calls;
    int channel = 0;
};

QSet<WirelessNetwork> networks(const QStringList &ssids)
{
    QSet<WirelessNetwork> set;
    for (const QString &ssid : ssids) {
        set.insert(WirelessNetwork(Ssid::fromString(ssid), WirelessNetworkType::Unsecured, {}, 0));
    }
    return set;
}

// Static settings: they connect at once, and a DHCP start would run udhcpc on a host interface.
InterfaceConfiguration settings(const QString &ip)
{
    return InterfaceConfiguration(Absent, ip, QStringLiteral("255.255.255.0"), QString(), {}, {});
}

// The walk to a connection: up, enabled with two networks, associated, activated.
const QString ToReady = "UEcI";
const QStringList ReadySignals{"disabled", "statusChanged(Up)",       "enabled",
                               "waiting",  "waitingInterfaceRunning", "waitingIpSetup",
                               "ready"};
const QStringList ReadyCalls{"interfaceAdded", "disable", "enable 2"};
const QStringList Start5{"flush 4 nvwtest0", "add 10.1.0.5/24 nvwtest0"};
const QStringList Stop{"flush 4 nvwtest0", "flush 6 nvwtest0 global"};

} // namespace

class TestInterfaceWireless : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    RecordingDriver driver;
    ResolvConfImpl *resolver = nullptr;
    NetlinkWatcher *watcher = nullptr;
    AddressManager *addresses = nullptr;
    InterfaceWireless *wireless = nullptr;
    ScriptedSupplicant *supplicant = nullptr;
    QStringList emitted;

    void boot(const InterfaceName &station)
    {
        WirelessPlatform platform;
        platform.mwifiexDrcsPath = dir.filePath("drcs");
        platform.mlanDrcsPath = dir.filePath("cfg80211_drcs");
        platform.iwProgram = dir.filePath("iw");
        platform.holdIntervalMs = 300;
        platform.scanTimeoutMs = 200;
        platform.supplicant = supplicant = new ScriptedSupplicant;
        addresses = new AddressManager(Absent, watcher, &driver, resolver, nullptr);
        wireless = new InterfaceWireless(station, {"nvwtestap0", "lo"}, &driver, addresses, nullptr,
                                         platform);
        for (const char *signal :
             {SIGNAL(enabled()), SIGNAL(disabled()), SIGNAL(waiting()),
              SIGNAL(waitingInterfaceRunning()), SIGNAL(waitingIpSetup()), SIGNAL(ready()),
              SIGNAL(disconnecting()), SIGNAL(reconnecting()), SIGNAL(unready())}) {
            norvi::connect(wireless, signal, this, SLOT(recordSignal()));
        }
        norvi::connect(wireless, SIGNAL(statusChanged(InterfaceStatus)), this,
                       SLOT(recordStatus(InterfaceStatus)));
        norvi::connect(wireless, SIGNAL(scanResults(QList<ApDescription>)), this,
                       SLOT(recordScan(QList<ApDescription>)));
    }

    // Plays the manager, the watchers and wpa_supplicant, one step per letter, each taken by
    // the machine before the next: the interface Up or Added, X another one up; Enable with
    // two networks or with New ones; supplicant c onnected or l ost; activate I, reLoad L;
    // s can; WPS by pin W, failing F.
    void drive(const QString &steps)
    {
        for (const QChar step : steps) {
            switch (step.toLatin1()) {
                // clang-format off
            case 'U': wireless->setUpState(Absent, true); break;
            case 'A': wireless->interfaceAdded(Absent); break;
            case 'X': wireless->setUpState(InterfaceName(QStringLiteral("nvwother0")), true); break;
            case 'E': wireless->enableInterface(networks({"home", "work"})); break;
            case 'N': wireless->enableInterface(networks({"new"})); break;
            case 'c': emit supplicant->connected(); break;
            case 'l': emit supplicant->configured(); break;
            case 'I': wireless->activate(settings("10.1.0.5")); break;
            case 'L': wireless->reloadIpSettings(settings("10.1.0.6")); break;
            case 's': wireless->scan(); break;
            case 'W': wireless->wpsPin("12345670"); break;
            case 'F': emit supplicant->wpsError("failed"); break;
            default: QFAIL("unknown step");
                // clang-format on
            }
            QCoreApplication::processEvents();
        }
    }

    bool in(const QString &state) const
    {
        const auto *machine = wireless->findChild<QStateMachine *>("stationMachine");
        const auto active = machine->configuration();
        return std::any_of(active.begin(), active.end(),
                           [&](const QAbstractState *s) { return s->objectName() == state; });
    }

public slots:
    void recordSignal()
    {
        emitted.append(wireless->metaObject()->method(senderSignalIndex()).name());
    }
    void recordStatus(InterfaceStatus status)
    {
        emitted.append("statusChanged(" + StatusNames.value(status) + ')');
    }
    void recordScan(QList<ApDescription> aps)
    {
        emitted.append(QStringLiteral("scanResults(%1)").arg(aps.size()));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        norvi::registerMetaTypes();
        watcher = new NetlinkWatcher(this);
        resolver = new ResolvConfImpl(this, dir.filePath("resolv.conf"));
        // Stands in for iw: writes its arguments down instead of adding interfaces to a radio.
        QFile iw(dir.filePath("iw"));
        QVERIFY(iw.open(QIODevice::WriteOnly));
        iw.write("#!/bin/sh\necho \"$@\" >> \"$(dirname \"$0\")/iw.log\"\n");
        iw.setPermissions(iw.permissions() | QFile::ExeOwner);
    }

    void cleanup()
    {
        delete wireless;
        delete addresses;
        wireless = nullptr;
        emitted.clear();
        driver.take();
        for (const char *file : {"iw.log", "drcs", "cfg80211_drcs"}) {
            QFile::remove(dir.filePath(file));
            QDir(dir.filePath(file)).removeRecursively();
        }
    }

    void walk_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QStringList>("signalNames"); // after the start-up's
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QString>("state");        // one the walk ends in
        QTest::addColumn<QStringList>("commands"); // on the station interface
        QTest::newRow("enabled before it exists")
            << "XEAU"
            << QStringList({"statusChanged(Down)", "enabled", "waiting", "statusChanged(Up)"})
            << QStringList({"interfaceAdded", "enable 2"}) << "WirelessWaiting" << QStringList();
        QTest::newRow("association lost when ready, and while waiting to run")
            << ToReady + "lcl"
            << ReadySignals + QStringList({"unready", "reconnecting", "waitingInterfaceRunning",
                                           "reconnecting"})
            << ReadyCalls << "WirelessReconnecting" << Start5 + Stop;
        QTest::newRow("enable when ready: held")
            << ToReady + "N"
            << ReadySignals + QStringList({"disconnecting", "unready", "enabled", "waiting"})
            << ReadyCalls + QStringList("enable 1") << "WirelessWaiting" << Start5 + Stop;
        QTest::newRow("reload when ready: held")
            << ToReady + "L"
            << ReadySignals + QStringList({"disconnecting", "unready", "waitingIpSetup", "ready"})
            << ReadyCalls << "WirelessReady"
            << Start5 + Stop + QStringList({"flush 4 nvwtest0", "add 10.1.0.6/24 nvwtest0"});
        QTest::newRow("WPS asked for while down")
            << "WUF" << QStringList({"statusChanged(Up)", "disabled"})
            << QStringList({"interfaceAdded", "wpsPin 12345670", "disable"}) << "WirelessDisabled"
            << QStringList();
        QTest::newRow("scan timed out")
            << "Us" << QStringList({"disabled", "statusChanged(Up)", "scanResults(0)"})
            << QStringList({"interfaceAdded", "disable", "scan"}) << "WirelessScanInactive"
            << QStringList();
    }

    // Each walk starts without the station interface.
    void walk()
    {
        QFETCH(QString, steps);
        QFETCH(QStringList, signalNames);
        QFETCH(QStringList, calls);
        QFETCH(QString, state);
        QFETCH(QStringList, commands);
        boot(Absent);
        QTRY_COMPARE(emitted, QStringList({"disabled", "statusChanged(Removed)"}));
        QCOMPARE(std::exchange(supplicant->calls, {}), QStringList("interfaceRemoved"));
        emitted.clear();
        drive(steps);
        QTRY_COMPARE(emitted, signalNames);
        QTRY_COMPARE(supplicant->calls, calls);
        QTRY_VERIFY(in(state));
        QCOMPARE(driver.take().filter(QRegularExpression("\\bnvwtest0\\b")), commands);
    }

    void multichannel_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content"); // null: a directory, which can't be written
        QTest::addColumn<int>("channel");
        QTest::newRow("no files") << "none" << QByteArray("") << 6;
        QTest::newRow("MLAN off") << "cfg80211_drcs" << QByteArray("0\n") << 6;
        QTest::newRow("MLAN on") << "cfg80211_drcs" << QByteArray("1\n") << 11;
        QTest::newRow("DRCS") << "drcs" << QByteArray("0") << 11;
        QTest::newRow("DRCS not writable") << "drcs" << QByteArray() << 6;
    }

    void multichannel()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        QFETCH(int, channel);
        QFile parameter(dir.filePath(file));
        if (content.isNull()) {
            QVERIFY(QDir(dir.path()).mkdir(file));
        } else if (file != "none") {
            QVERIFY(parameter.open(QIODevice::WriteOnly) && parameter.write(content));
            parameter.close();
        }
        boot(Absent);
        supplicant->channel = 6; // the station's
        QCOMPARE(wireless->get_softap_channnel(), channel);
        supplicant->channel = 0;
        QCOMPARE(wireless->get_softap_channnel(), SoftApSetup::DefaultChannel);
        if (file == "drcs" && parameter.open(QIODevice::ReadOnly)) {
            QCOMPARE(parameter.readAll(), "1");
        }
    }
};

QTEST_GUILESS_MAIN(TestInterfaceWireless)
#include "tst_InterfaceWireless.moc"
