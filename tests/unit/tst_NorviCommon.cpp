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

    void lineFormatAndLevelWords()
    {
        StdoutCapture capture;
        nvInfo() << "norvid version: "
                 << "1.99";
        nvWarning() << "a warning";
        nvCritical() << "Value: " << QStringLiteral("-x") << " bytes: " << QByteArray("\x01");
        const QStringList lines = capture.lines();
        QCOMPARE(lines.size(), 3);

        const auto info = parse(lines[0]);
        QVERIFY2(info.hasMatch(), qPrintable(lines[0]));
        QCOMPARE(info.captured(6).toInt(), int(getpid()));
        QCOMPARE(info.captured(7).toLong(), long(getpid())); // the main thread's id is the pid
        QCOMPARE(info.captured(8), QStringLiteral("INFO"));
        QVERIFY(info.captured(9).startsWith(QStringLiteral("tst_NorviCommon.cpp:")));
        QVERIFY(info.captured(9).endsWith(QStringLiteral(" norvid version: 1.99")));

        QCOMPARE(parse(lines[1]).captured(8), QStringLiteral("WARN"));
        // Strings are quoted, literals bare, and nothing is added between items.
        QVERIFY2(lines[2].endsWith(QStringLiteral(" Value: \"-x\" bytes: \"\\x01\"")),
                 qPrintable(lines[2]));
        QCOMPARE(parse(lines[2]).captured(8), QStringLiteral("ERROR"));
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

    void otherThreadHasItsOwnId()
    {
        StdoutCapture capture;
        nvInfo() << "main";
        std::thread([] { nvInfo() << "worker"; }).join();
        const QStringList lines = capture.lines();
        QCOMPARE(lines.size(), 2);
        QCOMPARE(parse(lines[0]).captured(6), parse(lines[1]).captured(6));
        QVERIFY(parse(lines[0]).captured(7) != parse(lines[1]).captured(7));
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
