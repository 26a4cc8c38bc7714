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

private slots:
    void endingLeavesLogAndBacktrace_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("error");
        // Qt's SIGNAL()/SLOT() code digit before a signature may be shown or not.
        QTest::newRow("connect") << "connect" << SIGABRT
                                 << R"(Couldn't connect: 2?noSuchSignal\(\) -> 1?deleteLater\(\))";
        QTest::newRow("disconnect")
            << "disconnect" << SIGABRT
            << R"(Couldn't disconnect: 2?destroyed\(\) -> 1?deleteLater\(\))";
        QTest::newRow("segmentation fault") << "segv" << SIGSEGV << QString();
        QTest::newRow("stack overflow") << "overflow" << SIGSEGV << QString();
    }

    void endingLeavesLogAndBacktrace()
    {
        QFETCH(QString, how);
        QFETCH(int, signal);
        QFETCH(QString, error);
        QProcess helper;
        helper.start(QCoreApplication::applicationDirPath() + "/../helpers/startup_fatal", {how});
        QVERIFY(helper.waitForFinished(60000));
        QCOMPARE(helper.exitStatus(), QProcess::CrashExit);
        QCOMPARE(helper.exitCode(), signal);

        QVector<LogLine> log;
        for (const LogLine &line : LogLine::parse(QString::fromUtf8(helper.readAllStandardOutput())
                                                      .split('\n', Qt::SkipEmptyParts))) {
            if (!line.level.isEmpty()) { // Qt's own warnings come without file and line
                log << line;
            }
        }
        if (error.isEmpty()) {
            QVERIFY(log.isEmpty());
        } else {
            QCOMPARE(log.size(), 2);
            QVERIFY2(QRegularExpression('^' + error + '$').match(log[0].message).hasMatch(),
                     qPrintable(log[0].message));
            QCOMPARE(log[1].level, QStringLiteral("FATAL"));
        }
        const QStringList report = QString::fromUtf8(helper.readAllStandardError()).split('\n');
        QCOMPARE(report.value(0), QStringLiteral("norvid: fatal signal %1 (%2), backtrace:")
                                      .arg(signal)
                                      .arg(signal == SIGABRT ? "ABRT" : "SEGV"));
        // Frames of the helper itself show that the stack was walked, not just the handler.
        QVERIFY2(report.filter("startup_fatal(").size() >= 2, qPrintable(report.join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestCrashHandler)
#include "tst_CrashHandler.moc"
