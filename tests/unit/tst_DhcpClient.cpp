#include "DhcpClient.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

QStringList logLines;

// Keeps every message without its "File.cpp:LINE " prefix.
void collect(QtMsgType, const QMessageLogContext &, const QString &message)
{
    logLines << message.section(' ', 1);
}

QStringList linesStartingWith(const QString &start)
{
    return logLines.filter(QRegularExpression('^' + QRegularExpression::escape(start)));
}

InterfaceConfiguration configurationAt(const QSignalSpy &spy, int index)
{
    return spy.at(index).at(0).value<InterfaceConfiguration>();
}

} // namespace

// The client runs a stand-in for udhcpc that plays the scenario named by the interface.
class TestDhcpClient : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Udhcpc> startClient(const QString &scenario)
    {
        auto client = std::make_unique<Udhcpc>(InterfaceName(scenario), m_fakeProgram);
        client->start();
        return client;
    }

    QString m_fakeProgram;

private slots:
    void initTestCase()
    {
        qRegisterMetaType<InterfaceConfiguration>();
        m_fakeProgram = QFINDTESTDATA("../doubles/fake_udhcpc");
        QVERIFY(!m_fakeProgram.isEmpty());
        qInstallMessageHandler(collect);
    }

    void init() { logLines.clear(); }

    void reportInPiecesGivesOneConfigurationAndLogsEveryLine()
    {
        auto client = startClient("pieces");
        QSignalSpy finished(client.get(), SIGNAL(finished(InterfaceConfiguration)));
        QSignalSpy error(client.get(), SIGNAL(error(QString)));
        QVERIFY(finished.wait(5000));
        QTest::qWait(300);
        QCOMPARE(finished.count(), 1);
        // Seven rounds three seconds apart before udhcpc pauses, reporting through our script.
        QCOMPARE(linesStartingWith("Starting dhcp client ")
                     .filter("\"-t\", \"7\", \"-T\", \"3\", \"-i\", \"pieces\", \"-s\", "
                             "\"/usr/share/norvid/norvid_udhcpc.sh\")")
                     .size(),
                 1);

        // Only the first of several gateways counts.
        QCOMPARE(configurationAt(finished, 0),
                 InterfaceConfiguration(InterfaceName("pieces"), "10.0.0.5", "255.255.255.0",
                                        "10.0.0.1", {"10.0.0.53"}, {"a.test", "b.test"}));

        // The client's output is logged escaped: it cannot forge log lines or terminal codes.
        QCOMPARE(
            linesStartingWith("Dhcp output: \"garbage \\u0001\\u001B[2J = \\\"quoted\\\"").size(),
            1);
        client->stop();
        QCOMPARE(error.count(), 0);
    }

    void laterLinesReplaceEarlierOnesAndRenewalsStartEmpty()
    {
        auto client = startClient("renewal");
        QSignalSpy finished(client.get(), SIGNAL(finished(InterfaceConfiguration)));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 5000);

        QCOMPARE(configurationAt(finished, 0),
                 InterfaceConfiguration(InterfaceName("renewal"), "10.0.0.5", "255.255.255.0",
                                        "10.0.0.1", {}, {"a.test"}));
        QCOMPARE(configurationAt(finished, 1),
                 InterfaceConfiguration(InterfaceName("renewal"), "10.0.0.6", "", "",
                                        {"10.0.0.54", "10.0.0.55"}, {}));
    }

    void everyMarkerInOneReadGetsItsOwnReport()
    {
        auto client = startClient("burst");
        QSignalSpy finished(client.get(), SIGNAL(finished(InterfaceConfiguration)));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 5000);
        QCOMPARE(configurationAt(finished, 0).getNetworkAddressEntry().ip(),
                 QHostAddress("10.0.0.7"));
        QCOMPARE(configurationAt(finished, 1).getNetworkAddressEntry().ip(),
                 QHostAddress("10.0.0.8"));
        QTest::qWait(300);
        QCOMPARE(finished.count(), 2);
    }

    void endlessChatterIsDroppedButTheReportSurvives()
    {
        auto client = startClient("chatter");
        QSignalSpy finished(client.get(), SIGNAL(finished(InterfaceConfiguration)));
        QVERIFY(finished.wait(10000));
        QCOMPARE(configurationAt(finished, 0).getNetworkAddressEntry().ip(),
                 QHostAddress("10.0.0.9"));
        QVERIFY(!linesStartingWith("chatter: dropping ").isEmpty());
        QVERIFY(linesStartingWith("Dhcp output: ").size() < 3000);
    }

    void processFailures_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<bool>("reported");

        QTest::newRow("clean exit is only logged")
            << "exit" << QString() << "exit: dhcp client process finished, exit code: 3" << false;
        QTest::newRow("program missing")
            << "missing"
            << "/nonexistent/udhcpc"
            << "missing: An error occurred in the dhcp client FailedToStart" << true;
    }

    void processFailures()
    {
        QFETCH(QString, scenario);
        QFETCH(QString, program);
        QFETCH(QString, logged);
        QFETCH(bool, reported);

        Udhcpc client(InterfaceName(scenario), program.isEmpty() ? m_fakeProgram : program);
        QSignalSpy finished(&client, SIGNAL(finished(InterfaceConfiguration)));
        QSignalSpy error(&client, SIGNAL(error(QString)));
        client.start();
        QTRY_COMPARE_WITH_TIMEOUT(linesStartingWith(logged).size(), 1, 5000);
        QTest::qWait(100);
        QCOMPARE(error.count(), reported ? 1 : 0);
        if (reported) {
            QCOMPARE(error.at(0).at(0).toString(), "dhcpc: " + scenario + ": an error occurred!");
        }
        QCOMPARE(finished.count(), 0);
    }

    // A stopped client has nothing more to report: its owner has moved on.
    void dyingOnStopIsLoggedButNotReported()
    {
        auto client = startClient("diesonterm");
        QSignalSpy error(client.get(), SIGNAL(error(QString)));
        QTest::qWait(300);
        client->stop();
        client->start();
        QTest::qWait(300);
        client.reset();
        QTRY_COMPARE(
            linesStartingWith("diesonterm: An error occurred in the dhcp client Crashed").size(),
            2);
        QCOMPARE(error.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDhcpClient)
#include "tst_DhcpClient.moc"
