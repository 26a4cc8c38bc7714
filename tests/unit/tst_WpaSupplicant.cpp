#include "SupplicantWpaSupplicant.h"

#include <QtTest>

// The station's channel is numbered by a rule of its own, which differs from the scan entries'
// above 5 GHz and for 60 GHz.
class tst_WpaSupplicant : public QObject
{
    Q_OBJECT

private slots:
    void stationChannel_data()
    {
        QTest::addColumn<int>("frequency");
        QTest::addColumn<int>("channel");
        QTest::newRow("2.4 GHz") << 2412 << 1;
        QTest::newRow("Japan's channel 14") << 2484 << 14;
        QTest::newRow("4.9 GHz public safety") << 4920 << 184;
        QTest::newRow("5 GHz") << 5180 << 36;
        QTest::newRow("60 GHz") << 58320 << 1;
        QTest::newRow("nothing polled") << 0 << -481;
        QTest::newRow("between 45 and 60 GHz") << 50000 << 0;
        QTest::newRow("above 60 GHz") << 70000 << 0;
    }
    void stationChannel()
    {
        QFETCH(int, frequency);
        QFETCH(int, channel);
        QCOMPARE(WpaSupplicant::stationChannel(frequency), channel);
    }
};

QTEST_GUILESS_MAIN(tst_WpaSupplicant)
#include "tst_WpaSupplicant.moc"
