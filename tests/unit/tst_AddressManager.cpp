#include "AddressManager.h"
#include "RecordingDriver.h"

#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>

#include <utility>

namespace {

// No such interface exists here; nothing of these tests may reach a real one anyway.
const InterfaceName Interface("eth9");
const QString Ifc = Interface.toString();
// Short, so that a test can wait for the fallback or see that it never comes.
constexpr int ShortFallbackMs = 200;

class RecordingDhcpClient : public DhcpClient
{
    Q_OBJECT

public:
    using DhcpClient::DhcpClient;
    void start() override { ++starts; }
    void stop() override { ++stops; }

    int starts = 0;
    int stops = 0;
};

InterfaceConfiguration lease(const QString &ip, const QStringList &dns = {"10.0.0.53"})
{
    return InterfaceConfiguration(Interface, ip, "255.255.255.0", "10.0.0.1", dns,
                                  {"example.test"});
}

QStringList applied(const QString &ip)
{
    return {"flush 4 " + Ifc, "add " + ip + "/24 " + Ifc, "route 10.0.0.1 " + Ifc};
}

} // namespace

class TestAddressManager : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_autoIpD = QFINDTESTDATA("../doubles/avahi-autoipd");
        QVERIFY(!m_autoIpD.isEmpty());
        QVERIFY(m_recordDir.isValid());
        qputenv("NORVID_TEST_RECORD", autoIpDRecord().toLocal8Bit());
        QFile::remove(autoIpDRecord());
        m_clients.clear();
        m_driver.take();
    }

    void staticSettingsAppliedAtOnceWithoutDhcp()
    {
        auto manager = makeIpv4();
        QSignalSpy connected(manager.get(), SIGNAL(connected()));
        QSignalSpy servers(manager.get(), SIGNAL(nameserversChanged()));

        manager->start(lease("10.0.0.7", {"10.0.0.53", "10.0.0.54"}));
        QCOMPARE(m_driver.take(), applied("10.0.0.7"));
        QCOMPARE(connected.count(), 1);
        QCOMPARE(servers.count(), 1);
        QCOMPARE(manager->getNameservers(),
                 QList<QHostAddress>({QHostAddress("10.0.0.53"), QHostAddress("10.0.0.54")}));
        QCOMPARE(manager->getSearchDomains(), QStringList{"example.test"});
        QVERIFY(m_clients.isEmpty());

        // The fallback was disarmed, not just outrun.
        QTest::qWait(2 * ShortFallbackMs);
        QCOMPARE(autoIpDCalls(), QStringList());
        QCOMPARE(connected.count(), 1);
    }

    void leaseAppliedOnceAndRenewalsOnlyWhenChanged()
    {
        auto manager = makeIpv4();
        QSignalSpy connected(manager.get(), SIGNAL(connected()));
        QSignalSpy servers(manager.get(), SIGNAL(nameserversChanged()));
        QSignalSpy domains(manager.get(), SIGNAL(searchDomainsChanged()));
        manager->start(InterfaceConfiguration(Interface));
        QCOMPARE(m_clients.size(), 1);
        QCOMPARE(m_clients[0]->starts, 1);
        QCOMPARE(m_driver.take(), QStringList());

        emit m_clients[0]->finished(lease("10.0.0.7"));
        QCOMPARE(m_driver.take(), applied("10.0.0.7"));
        emit m_clients[0]->finished(lease("10.0.0.7"));
        QCOMPARE(m_driver.take(), QStringList());
        QCOMPARE(servers.count(), 1);

        // Only the name servers changed: address and route stay as they are.
        emit m_clients[0]->finished(lease("10.0.0.7", {"10.0.0.54"}));
        QCOMPARE(m_driver.take(), QStringList());
        QCOMPARE(servers.count(), 2);
        QCOMPARE(domains.count(), 1);
        QCOMPARE(connected.count(), 1);
        emit m_clients[0]->finished(InterfaceConfiguration(
            Interface, "10.0.0.7", "255.255.255.0", "10.0.0.2", {"10.0.0.54"}, {"example.test"}));
        QCOMPARE(m_driver.take(), QStringList{"route 10.0.0.2 " + Ifc});
        // A renewal that differs in its search domains alone still counts.
        emit m_clients[0]->finished(InterfaceConfiguration(
            Interface, "10.0.0.7", "255.255.255.0", "10.0.0.2", {"10.0.0.54"}, {"other.test"}));
        QCOMPARE(manager->getSearchDomains(), QStringList{"other.test"});
    }

    void unusableLeaseRefused_data()
    {
        QTest::addColumn<QStringList>("unusableLease"); // address, netmask, router
        QTest::newRow("no address") << QStringList{"", "255.255.255.0", "10.0.0.1"};
        QTest::newRow("0.0.0.0") << QStringList{"0.0.0.0", "255.255.255.0", "10.0.0.1"};
        QTest::newRow("loopback") << QStringList{"127.0.0.5", "255.0.0.0", "127.0.0.1"};
        QTest::newRow("multicast") << QStringList{"224.0.0.7", "255.255.255.0", ""};
        QTest::newRow("broadcast") << QStringList{"255.255.255.255", "255.255.255.0", ""};
        QTest::newRow("subnet broadcast") << QStringList{"10.0.0.255", "255.255.255.0", ""};
        QTest::newRow("/0") << QStringList{"10.0.0.7", "0.0.0.0", "10.0.0.1"};
        QTest::newRow("/32") << QStringList{"10.0.0.7", "255.255.255.255", ""};
        QTest::newRow("router 0.0.0.0") << QStringList{"10.0.0.7", "255.255.255.0", "0.0.0.0"};
        QTest::newRow("router elsewhere") << QStringList{"10.0.0.7", "255.255.255.0", "10.9.0.1"};
        QTest::newRow("client error") << QStringList();
    }

    // Such a lease leaves the interface as without one: nothing applied, not connected, the
    // fallback still armed. One that turns unusable on renewal withdraws the old one, as a
    // client error does (the row without a lease).
    void unusableLeaseRefused()
    {
        QFETCH(QStringList, unusableLease);
        auto manager = makeIpv4();
        QSignalSpy connected(manager.get(), SIGNAL(connected()));
        QSignalSpy disconnected(manager.get(), SIGNAL(disconnected()));
        manager->start(InterfaceConfiguration(Interface));
        const auto withdraw = [&] {
            if (unusableLease.isEmpty()) {
                emit m_clients[0]->error("dhcpc: eth9: an error occurred!");
            } else {
                emit m_clients[0]->finished(InterfaceConfiguration(
                    Interface, unusableLease[0], unusableLease[1], unusableLease[2], {}, {}));
            }
        };
        withdraw();
        QVERIFY(m_driver.take().filter("add ").isEmpty());
        QCOMPARE(connected.count(), 0);

        emit m_clients[0]->finished(lease("10.0.0.7"));
        QCOMPARE(m_driver.take(), applied("10.0.0.7"));
        withdraw();
        QCOMPARE(m_driver.take(), QStringList{"flush 4 " + Ifc});
        QCOMPARE(disconnected.count(), 1);
        QVERIFY(manager->getNameservers().isEmpty());
        QVERIFY(manager->getSearchDomains().isEmpty());
        QTRY_COMPARE(autoIpDCalls(), QStringList({"-k " + Ifc, "-D " + Ifc}));
        QCOMPARE(connected.count(), 2);

        // A later lease ends the fallback.
        emit m_clients[0]->finished(lease("10.0.0.8"));
        QCOMPARE(autoIpDCalls().last(), "-k " + Ifc);
        QCOMPARE(m_clients.size(), 1);
    }

    // Stopped before any lease came: the fallback goes with the client.
    void stopBeforeAnyLeaseDisarmsTheFallback()
    {
        auto manager = makeIpv4();
        manager->start(InterfaceConfiguration(Interface));
        manager->stop();
        QCOMPARE(m_clients[0]->stops, 1);
        manager->start(InterfaceConfiguration(Interface));
        manager->stop();
        QTest::qWait(2 * ShortFallbackMs);
        QCOMPARE(autoIpDCalls(), QStringList());
    }

private:
    std::unique_ptr<Ipv4AddressManager> makeIpv4()
    {
        auto factory = [this](const InterfaceName &interface) {
            auto *client = new RecordingDhcpClient(interface);
            m_clients.append(client);
            return client;
        };
        return std::make_unique<Ipv4AddressManager>(Interface, &m_driver, ShortFallbackMs, factory,
                                                    m_autoIpD);
    }

    QString autoIpDRecord() const { return m_recordDir.filePath("autoipd"); }

    QStringList autoIpDCalls() const
    {
        QFile file(autoIpDRecord());
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    QTemporaryDir m_recordDir;
    QString m_autoIpD;
    RecordingDriver m_driver;
    QList<QPointer<RecordingDhcpClient>> m_clients;
};

QTEST_GUILESS_MAIN(TestAddressManager)
#include "tst_AddressManager.moc"
