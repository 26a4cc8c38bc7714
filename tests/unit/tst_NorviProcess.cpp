#include "NorviProcess.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>

class TestNorviProcess : public QObject
{
    Q_OBJECT

private slots:
    // A command that hangs must neither hold the daemon up for long nor be left behind.
    void hangingProgramIsKilledAndReaped()
    {
        QTemporaryDir dir;
        const QString pidFile = dir.filePath("pid");
        QElapsedTimer clock;
        clock.start();
        NorviProcess::execute("sh", {"-c", "echo $$ > " + pidFile + "; exec sleep 10"});
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(elapsed >= NorviProcess::FinishTimeoutMs && elapsed < 8000,
                 qPrintable(QString::number(elapsed)));
        QFile file(pidFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(kill(file.readAll().trimmed().toInt(), 0), -1);
        QCOMPARE(errno, ESRCH);
    }
};

QTEST_GUILESS_MAIN(TestNorviProcess)
#include "tst_NorviProcess.moc"
