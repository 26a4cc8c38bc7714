#include "StdoutCapture.h"

#include <QCoreApplication>
#include <QProcess>
#include <QtTest>

#include <csignal>

// Runs the startup_fatal helper, which ends itself the way a broken daemon would, and checks
// what the log and the crash handler leave behind.
class TestCrashHandler : public QObject
{
    Q_OBJECT

private:
    QString m_helper;

    struct Ending
    {
        QVector<LogLine> log;
        QStringList crashReport;
        int signalNumber = 0;
    };

    Ending runHelper(const QString &how)
    {
        QProcess helper;
        helper.start(m_helper, {how});
        Ending ending;
        if (!helper.waitForFinished(60000) || helper.exitStatus() != QProcess::CrashExit) {
            return ending;
        }
        ending.signalNumber = helper.exitCode();
        for (const LogLine &line : LogLine::parse(QString::fromUtf8(helper.readAllStandardOutput())
                                                      .split('\n', Qt::SkipEmptyParts))) {
            // Qt's own warning about the bad signature comes without a file and line.
            if (!line.level.isEmpty()) {
                ending.log << line;
            }
        }
        ending.crashReport =
            QString::fromUtf8(helper.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
        return ending;
    }

private slots:
    void initTestCase()
    {
        m_helper = QCoreApplication::applicationDirPath() + "/../helpers/startup_fatal";
        QVERIFY2(QFileInfo(m_helper).isExecutable(),
                 qPrintable("build the test helpers first: " + m_helper));
    }

    void failedConnectionEndsTheProcess_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("error");
        // Qt's SIGNAL()/SLOT() code digit before a signature may be shown or not.
        QTest::newRow("connect") << "connect"
                                 << R"(Couldn't connect: 2?noSuchSignal\(\) -> 1?deleteLater\(\))";
        QTest::newRow("disconnect")
            << "disconnect"
            << R"(Couldn't disconnect: 2?destroyed\(\) -> 1?deleteLater\(\))";
    }

    void failedConnectionEndsTheProcess()
    {
        QFETCH(QString, how);
        QFETCH(QString, error);
        const Ending ending = runHelper(how);
        QCOMPARE(ending.signalNumber, SIGABRT);
        QCOMPARE(ending.log.size(), 2);
        QCOMPARE(ending.log[0].level, QStringLiteral("ERROR"));
        QVERIFY2(QRegularExpression('^' + error + '$').match(ending.log[0].message).hasMatch(),
                 qPrintable(ending.log[0].message));
        QCOMPARE(ending.log[1].level, QStringLiteral("FATAL"));
        QCOMPARE(ending.log[1].message, QStringLiteral("Aborting program due to fatal error!"));
        QCOMPARE(ending.crashReport.value(0),
                 QStringLiteral("norvid: fatal signal 6 (ABRT), backtrace:"));
    }

    void crashWritesBacktraceAndEndsWithTheSignal_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("segmentation fault") << "segv";
        QTest::newRow("stack overflow") << "overflow";
    }

    void crashWritesBacktraceAndEndsWithTheSignal()
    {
        QFETCH(QString, how);
        const Ending ending = runHelper(how);
        QCOMPARE(ending.signalNumber, SIGSEGV);
        QVERIFY(ending.log.isEmpty());
        QCOMPARE(ending.crashReport.value(0),
                 QStringLiteral("norvid: fatal signal 11 (SEGV), backtrace:"));
        // Frames of the helper itself show that the stack was walked, not just the handler.
        QVERIFY2(ending.crashReport.filter("startup_fatal(").size() >= 2,
                 qPrintable(ending.crashReport.join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestCrashHandler)
#include "tst_CrashHandler.moc"
