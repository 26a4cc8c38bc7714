#include "NorviCommon.h"
#include "NorviProcess.h"
#include "StdoutCapture.h"

#include <QElapsedTimer>
#include <QtTest>

#include <cerrno>
#include <csignal>

namespace {

QVector<LogLine> run(const QString &program, const QStringList &arguments)
{
    StdoutCapture capture;
    NorviProcess::execute(program, arguments);
    return capture.log();
}

QStringList levels(const QVector<LogLine> &lines)
{
    QStringList words;
    for (const LogLine &line : lines) {
        words << line.level;
    }
    return words;
}

} // namespace

class TestNorviProcess : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        qInstallMessageHandler(norvidMessageOutput);
        norvidGlobalLogLevel = 1;
    }

    void successLogsTwoDebugLinesOnly()
    {
        const auto lines = run("/bin/true", {});
        QCOMPARE(levels(lines), QStringList({"DEBUG", "DEBUG"}));
        // Without arguments the command line keeps the blank after the program.
        QCOMPARE(lines[1].message, R"(NorviProcess: "/bin/true " finished successfully.)");

        norvidGlobalLogLevel = 0;
        QVERIFY(run("sh", {"-c", "echo unseen"}).isEmpty());
    }

    void failureLogsExitCodeAndOutput_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QStringList>("output");
        // Standard error is merged in; lines and the whole are trimmed; the arguments reach the
        // program verbatim, not through a shell.
        QTest::newRow("two lines") << QStringList{"-c", "printf '  first \\t\\n'; echo '$X;y' >&2; "
                                                        "echo; exit 1"}
                                   << "1" << QStringList{R"("first")", R"("$X;y")"};
        QTest::newRow("no output") << QStringList{"-c", "exit 7"} << "7" << QStringList{R"("")"};
        QTest::newRow("control characters")
            << QStringList{"-c", "printf 'a\\033[1mb\\r\\n\"q\"\\n'; exit 2"} << "2"
            << QStringList{"\"a\\u001B[1mb\"", "\"\\\"q\\\"\""};
    }

    void failureLogsExitCodeAndOutput()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, status);
        QFETCH(QStringList, output);
        norvidGlobalLogLevel = 0;
        const auto lines = run("sh", arguments);
        QCOMPARE(levels(lines), QStringList(QVector<QString>(output.size() + 1, "ERROR").toList()));
        // The command line is quoted as it is; only the output gets the platform's escapes.
        QCOMPARE(lines[0].message, "NorviProcess: \"sh " + arguments.join(' ') +
                                       "\" finished with error code: " + status);
        for (int i = 0; i < output.size(); ++i) {
            QCOMPARE(lines[i + 1].message, "NorviProcess output: " + output[i]);
        }
    }

    void hangingProgramIsKilledAfterFiveSeconds()
    {
        QElapsedTimer clock;
        clock.start();
        const auto lines = run("sh", {"-c", "echo $$; echo started; exec sleep 10"});
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(elapsed >= NorviProcess::FinishTimeoutMs && elapsed < 8000,
                 qPrintable(QString::number(elapsed)));

        QCOMPARE(levels(lines), QStringList({"DEBUG", "ERROR", "ERROR"}));
        QCOMPARE(
            lines[1].message,
            R"(NorviProcess: "sh -c echo $$; echo started; exec sleep 10" timed out, SIGKILL sent!)");
        const QRegularExpression output(R"(^NorviProcess output: "(\d+)\\nstarted"$)");
        const auto match = output.match(lines[2].message);
        QVERIFY2(match.hasMatch(), qPrintable(lines[2].message));
        // Killed and reaped: the pid no longer exists.
        QCOMPARE(kill(match.captured(1).toInt(), 0), -1);
        QCOMPARE(errno, ESRCH);
    }

    void missingProgramFailsToStart()
    {
        const auto lines = run("norvi-no-such-program", {"x"});
        QCOMPARE(levels(lines), QStringList({"DEBUG", "ERROR"}));
        QVERIFY2(lines[1].message.startsWith(
                     "NorviProcess: \"norvi-no-such-program x\" failed to start!: \""),
                 qPrintable(lines[1].message));
    }
};

QTEST_GUILESS_MAIN(TestNorviProcess)
#include "tst_NorviProcess.moc"
