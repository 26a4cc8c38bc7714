#include "AddressManager.h"
#include "InterfaceWireless.h"
#include "NetlinkWatcher.h"
#include "RecordingDriver.h"
#include "ResolvConf.h"
#include "Supplicant.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int TestHoldMs = 300;
// No such interface anywhere: boots without interface, and nothing can happen to it.
const InterfaceName Absent(QStringLiteral("nvwtest0"));
const QStringList StatusNames{"Removed", "Down", "Up"};
const QStringList StopAddressing{"flush 4 nvwtest0", "flush 6 nvwtest0 global"};

// Writes down what it is asked to do; the test plays wpa_supplicant's part through its signals.
class ScriptedSupplicant : public Supplicant
{
public:
    ScriptedSupplicant() : Supplicant(nullptr, Absent) {}
    bool enable(QSet<WirelessNetwork> networks) override
    {
        QStringList ssids;
        for (const WirelessNetwork &network : networks) {
            ssids.append(network.ssid().toString());
        }
        ssids.sort();
        return record("enable " + ssids.join(','));
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
        platform.holdIntervalMs = TestHoldMs;
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

    // The soft-AP regions drive their own interfaces.
    QStringList stationCommands()
    {
        return driver.take().filter(QRegularExpression(QStringLiteral("\\bnvwtest0\\b")));
    }

    bool in(const QString &state) const
    {
        const auto *machine = wireless->findChild<QStateMachine *>("stationMachine");
        const auto active = machine->configuration();
        return std::any_of(active.begin(), active.end(),
                           [&](const QAbstractState *s) { return s->objectName() == state; });
    }

    // Waits for exactly these signals and supplicant calls since the last step.
    void expect(const QStringList &signalNames, const QStringList &calls)
    {
        QTRY_COMPARE(emitted, signalNames);
        QTRY_COMPARE(supplicant->calls, calls);
        emitted.clear();
        supplicant->calls.clear();
    }

    // From an absent interface, enabled before it is added and comes up, through association
    // to a connection.
    void reachReady()
    {
        boot(Absent);
        wireless->setUpState(InterfaceName(QStringLiteral("nvwother0")), true);
        wireless->enableInterface(networks({"home", "work"}));
        wireless->interfaceAdded(Absent);
        expect({"disabled", "statusChanged(Removed)", "statusChanged(Down)"},
               {"interfaceRemoved", "interfaceAdded"});
        wireless->setUpState(Absent, true);
        expect({"enabled", "waiting", "statusChanged(Up)"}, {"enable home,work"});
        emit supplicant->connected();
        wireless->activate(settings("10.1.0.5"));
        expect({"waitingInterfaceRunning", "waitingIpSetup", "ready"}, {});
        QVERIFY(wireless->isConnected());
        QCOMPARE(stationCommands(), QStringList({"flush 4 nvwtest0", "add 10.1.0.5/24 nvwtest0"}));
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

    void startupWithInterfaceUpAddsMissingSoftAp()
    {
        boot(InterfaceName(QStringLiteral("lo")));
        expect({"disabled", "statusChanged(Up)"}, {"disable"});
        QTRY_VERIFY(in("WirelessScanInactive"));
        QFile log(dir.filePath("iw.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(log.readAll(), "phy phy0 interface add nvwtestap0 type __ap\n");
    }

    void associationLost()
    {
        reachReady();
        emit supplicant->configured();
        expect({"unready", "reconnecting"}, {});
        QCOMPARE(stationCommands(), StopAddressing);
        emit supplicant->connected();
        expect({"waitingInterfaceRunning"}, {});
        emit supplicant->configured();
        expect({"reconnecting"}, {});
        QCOMPARE(stationCommands(), QStringList());
    }

    void requestWhileReady_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QStringList>("after"); // the signals once the request is delivered
        QTest::addColumn<QString>("state");
        QTest::newRow("enable") << "enable" << QStringList({"unready", "enabled", "waiting"})
                                << "WirelessWaiting";
        QTest::newRow("reload IP")
            << "reload" << QStringList({"unready", "waitingIpSetup", "ready"}) << "WirelessReady";
        QTest::newRow("interface stopped, not held")
            << "stop" << QStringList({"unready", "statusChanged(Down)"})
            << "WirelessInterfaceDownEnabled";
    }

    void requestWhileReady()
    {
        QFETCH(QString, request);
        QFETCH(QStringList, after);
        QFETCH(QString, state);
        reachReady();
        if (request == "enable") {
            wireless->enableInterface(networks({"new"}));
        } else if (request == "reload") {
            wireless->reloadIpSettings(settings("10.1.0.6"));
        } else {
            wireless->setUpState(Absent, false);
        }
        const bool held = request != "stop";
        if (held) {
            expect({"disconnecting"}, {});
            QVERIFY(wireless->isConnected());
        }
        expect(after, request == "enable" ? QStringList("enable new") : QStringList());
        QTRY_VERIFY(in(state));
        QCOMPARE(stationCommands().mid(2),
                 request == "reload" ? QStringList({"flush 4 nvwtest0", "add 10.1.0.6/24 nvwtest0"})
                                     : QStringList());
    }

    void wpsEndsDisabled_data()
    {
        QTest::addColumn<bool>("up");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("pin");
        QTest::newRow("from disabled, push button") << true << false << false;
        QTest::newRow("from enabled, PIN") << true << true << true;
        QTest::newRow("from interface down, PIN") << false << false << true;
    }

    void wpsEndsDisabled()
    {
        QFETCH(bool, up);
        QFETCH(bool, enabled);
        QFETCH(bool, pin);
        boot(Absent);
        wireless->setUpState(Absent, up);
        if (enabled) {
            wireless->enableInterface(networks({"home"}));
        }
        pin ? wireless->wpsPin("12345670") : wireless->wpsPbc();
        wireless->setUpState(Absent, true);
        QTRY_VERIFY(in("WirelessWps"));
        QCOMPARE(supplicant->calls.last(), pin ? "wpsPin 12345670" : "wpsPbc");
        if (pin) {
            emit supplicant->wpsError("failed");
        } else {
            emit supplicant->wpsFinished(*networks({"x"}).begin());
        }
        QTRY_VERIFY(in("WirelessDisabled"));
        QCOMPARE(supplicant->calls.last(), "disable");
    }

    void scanning()
    {
        boot(Absent);
        wireless->scan();
        expect({"disabled", "statusChanged(Removed)", "scanResults(0)"}, {"interfaceRemoved"});
        QTRY_VERIFY(in("WirelessScanDisabled"));
        wireless->setUpState(Absent, true);
        wireless->scan();
        wireless->scan();
        expect({"disabled", "statusChanged(Up)", "scanResults(0)"},
               {"interfaceAdded", "disable", "scan", "scan"});
        emit supplicant->scanResults({ApDescription(), ApDescription()});
        expect({"scanResults(2)"}, {});
        QTRY_VERIFY(in("WirelessScanInactive"));
        wireless->scan(); // and no results: timed out
        expect({"scanResults(0)"}, {"scan"});
        QTRY_VERIFY(in("WirelessScanInactive"));
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
