#include "AutoIpD.h"

#include <QTemporaryDir>
#include <QtTest>

// Runs a recording stand-in for avahi-autoipd: one line per call with its arguments.
class TestAutoIpD : public QObject
{
    Q_OBJECT

private slots:
    void lifetimeMapsOntoKillStartKill()
    {
        const QString program = QFINDTESTDATA("../doubles/avahi-autoipd");
        QVERIFY(!program.isEmpty());
        QTemporaryDir dir;
        const QString record = dir.filePath("calls");
        qputenv("NORVID_TEST_RECORD", record.toLocal8Bit());

        QObject owner;
        auto *autoIpD = new AutoIpD(&owner, InterfaceName("eth9"), program);
        QCOMPARE(autoIpD->parent(), &owner);
        autoIpD->start();
        delete autoIpD;

        QFile calls(record);
        QVERIFY(calls.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(calls.readAll()), "-k eth9\n-D eth9\n-k eth9\n");
    }
};

QTEST_GUILESS_MAIN(TestAutoIpD)
#include "tst_AutoIpD.moc"
