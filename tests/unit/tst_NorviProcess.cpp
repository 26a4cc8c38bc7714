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

    // The loop stays free while a slow command runs; commands, and what waits for them, keep
    // their order, a step's own commands come before those queued after it, and one that
    // cannot start holds up nothing.
    void queuedCommandsKeepTheirOrderWithoutBlocking()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("order");
        const auto append = [&file](const QString &word) {
            return QStringList{"-c", "echo " + word + " >> " + file};
        };
        NorviProcessQueue queue;
        QStringList seen;
        QElapsedTimer clock;
        clock.start();
        queue.execute("sh", {"-c", "sleep 0.5; echo slow >> " + file});
        queue.then([&] {
            seen << "step";
            queue.execute("sh", append("fromstep"));
        });
        queue.execute("/nonexistent/program", {});
        queue.execute("sh", append("after"));
        queue.then([&] { seen << "done"; });
        QVERIFY(clock.elapsed() < 300);
        QTimer::singleShot(0, [&] { seen << "loop"; });
        QTRY_COMPARE(seen, QStringList({"loop", "step", "done"}));
        QFile written(file);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), QByteArray("slow\nfromstep\nafter\n"));
    }
};

QTEST_GUILESS_MAIN(TestNorviProcess)
#include "tst_NorviProcess.moc"
