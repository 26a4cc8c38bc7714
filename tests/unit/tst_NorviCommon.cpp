#include "NorviCommon.h"
#include "StdoutCapture.h"

#include <QRegularExpression>
#include <QtTest>

#include <thread>
#include <unistd.h>

namespace {

const QRegularExpression linePattern(
    QStringLiteral(R"(^(\d{8}) (\d\d):(\d\d):(\d\d)\.(\d{3}) \[(\d+)\.(\d+)\] (\w+) (.*)$)"));

QRegularExpressionMatch parse(const QString &line)
{
    return linePattern.match(line);
}

} // namespace

class TestNorviCommon : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        qInstallMessageHandler(norvidMessageOutput);
        norvidGlobalLogLevel = 0;
    }

    // The main thread is known by the process id; others by their own.
    void threadIdsAndByteQuoting()
    {
        StdoutCapture capture;
        nvInfo() << "main " << QByteArray("\x01");
        std::thread([] { nvInfo() << "worker"; }).join();
        const QStringList lines = capture.lines();
        QCOMPARE(lines.size(), 2);
        const auto first = parse(lines[0]);
        QVERIFY2(first.hasMatch(), qPrintable(lines[0]));
        QCOMPARE(first.captured(6).toInt(), int(getpid()));
        QCOMPARE(first.captured(7).toLong(), long(getpid()));
        QVERIFY2(lines[0].endsWith(QStringLiteral(" main \"\\x01\"")), qPrintable(lines[0]));
        QCOMPARE(parse(lines[1]).captured(6), first.captured(6));
        QVERIFY(parse(lines[1]).captured(7) != first.captured(7));
    }

    void debugIsGatedAndNotComposed()
    {
        int composed = 0;
        auto sideEffect = [&composed] { return ++composed; };
        StdoutCapture capture;
        nvDebug() << "hidden " << sideEffect();
        norvidGlobalLogLevel = 1;
        nvDebug() << "shown " << sideEffect();
        const QStringList lines = capture.lines();
        QCOMPARE(composed, 1);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(parse(lines[0]).captured(8), QStringLiteral("DEBUG"));
        QVERIFY(lines[0].endsWith(QStringLiteral(" shown 1")));
    }

    // Two is the most there is and already warned about; out-of-range requests get it too.
    void logLevelSetterCapsAtTwo()
    {
        for (const auto &[requested, stored] :
             QList<std::pair<int, int>>{{1, 1}, {2, 2}, {-1, 2}}) {
            StdoutCapture capture;
            norvi::setLogLevel(requested);
            const QStringList lines = capture.lines();
            QCOMPARE(norvi::logLevel(), stored);
            QVERIFY(lines.value(0).endsWith(" SET: LogLevel: " + QString::number(requested)));
            QCOMPARE(lines.filter(" capping at maximum log level!").size(), requested == 1 ? 0 : 1);
        }
        norvidGlobalLogLevel = 0;
    }
};

QTEST_GUILESS_MAIN(TestNorviCommon)
#include "tst_NorviCommon.moc"
