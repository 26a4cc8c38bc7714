#include "NetworkConfiguration.h"

#include <QtTest>

namespace {

const QVariantMap fullSettings{{"ssid", "Setup"},
                               {"bssid", "02:00:00:aa:bb:cc"},
                               {"apAddress", "10.10.0.1"},
                               {"apNetmask", "255.255.0.0"},
                               {"dhcpRangeFrom", "10.10.0.50"},
                               {"dhcpRangeTo", "10.10.0.60"},
                               {"countryCode", "NO"},
                               {"channel", 36},
                               {"vendorSpecificData", "dd0411223344"},
                               {"apInterface", "uap0"},
                               {"domainName", "setup.local"}};

SoftApSetup withEntry(const QString &key, const QVariant &value)
{
    QVariantMap map = fullSettings;
    map.insert(key, value);
    return SoftApSetup(map);
}

InterfaceConfiguration staticSettings(const QString &ip)
{
    return InterfaceConfiguration(InterfaceName("eth0"), ip, "255.255.255.0", "10.0.0.1",
                                  {"10.0.0.53"}, {"example.test"});
}

WirelessNetwork wpa(const QString &name, int priority)
{
    return WirelessNetwork(Ssid::fromString(name), WirelessNetworkType::WpaPsk, "password",
                           priority);
}

} // namespace

class TestNetworkConfiguration : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<InterfaceName>(); }

    void softApDefaults()
    {
        const SoftApSetup empty{QVariantMap()};
        QCOMPARE(empty.apAddress(), QStringLiteral("192.168.200.1"));
        QCOMPARE(empty.subnet(), QStringLiteral("255.255.255.0"));
        QCOMPARE(empty.startAddress(), QStringLiteral("192.168.200.10"));
        QCOMPARE(empty.endAddress(), QStringLiteral("192.168.200.210"));
        QCOMPARE(empty.channel(), 11);
        QVERIFY(!empty.ssid().isValid() && empty.bssid().isEmpty());
        QVERIFY(empty.countryCode().isEmpty() && empty.vendorSpecificData().isEmpty());
        QVERIFY(empty.apInterface().isEmpty() && empty.domainName().isEmpty());

        const SoftApSetup bare;
        QVERIFY(bare.apAddress().isEmpty() && bare.endAddress().isEmpty());
        QCOMPARE(bare.channel(), SoftApSetup::DefaultChannel);

        const SoftApSetup named(Ssid::fromString("softap_uap0"), "uap0");
        QCOMPARE(named.ssid().toString(), QStringLiteral("softap_uap0"));
        QCOMPARE(named.apInterface(), QStringLiteral("uap0"));
        QCOMPARE(named.apAddress(), empty.apAddress());
        QCOMPARE(named.channel(), 11);
    }

    void softApConversions_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QVariant>("stored");
        QTest::newRow("channel as text") << "channel" << QVariant("6") << QVariant(6);
        QTest::newRow("channel not a number") << "channel" << QVariant("abc") << QVariant(0);
        QTest::newRow("channel as map")
            << "channel" << QVariant(QVariantMap{{"a", 1}}) << QVariant(0);
        QTest::newRow("channel beyond 32 bits")
            << "channel" << QVariant(qlonglong(1) << 33) << QVariant(0);
        QTest::newRow("empty address") << "apAddress" << QVariant("") << QVariant("");
        QTest::newRow("unparsable address") << "apAddress" << QVariant("gateway") << QVariant("");
        QTest::newRow("shorthand address") << "dhcpRangeTo" << QVariant("10.1") << QVariant("");
        QTest::newRow("ssid over 32 bytes") << "ssid" << QVariant(QString(33, 'x')) << QVariant("");
        QTest::newRow("ssid as bytes") << "ssid" << QVariant(QByteArray("caf\xc3\xa9"))
                                       << QVariant(QStringLiteral("caf\u00e9"));
        QTest::newRow("bssid with hyphens")
            << "bssid" << QVariant("02-00-00-aa-bb-cc") << QVariant("");
        QTest::newRow("country as list")
            << "countryCode" << QVariant(QStringList{"NO", "SE"}) << QVariant("");
        QTest::newRow("interface as map")
            << "apInterface" << QVariant(QVariantMap()) << QVariant("");
    }

    void softApConversions()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, value);
        QFETCH(QVariant, stored);
        const QVariantMap map = withEntry(key, value).toVariantMap();
        QCOMPARE(map.value(key).toString(), stored.toString());
    }

    void absentKeysResetExceptNameBssidAndInterface()
    {
        SoftApSetup setup(fullSettings);
        setup.setFromMap(QVariantMap());
        QCOMPARE(setup.ssid().toString(), QStringLiteral("Setup"));
        QCOMPARE(setup.bssid().toString(), QStringLiteral("02:00:00:aa:bb:cc"));
        QCOMPARE(setup.apInterface(), QStringLiteral("uap0"));
        QCOMPARE(setup.apAddress(), QStringLiteral("192.168.200.1"));
        QCOMPARE(setup.channel(), 11);
        QVERIFY(setup.countryCode().isEmpty() && setup.domainName().isEmpty());
    }

    void mapRoundTrip()
    {
        const SoftApSetup setup(fullSettings);
        QCOMPARE(setup.toVariantMap(), fullSettings);
        QCOMPARE(SoftApSetup(setup.toVariantMap()), setup);
        const SoftApSetup sparse = withEntry("apAddress", "nonsense");
        QCOMPARE(SoftApSetup(sparse.toVariantMap()), sparse);
    }

    void equalityIgnoresOnlyDomainName()
    {
        const SoftApSetup reference(fullSettings);
        QCOMPARE(withEntry("domainName", "other.local"), reference);
        const QVariantMap changes{{"ssid", "Other"},
                                  {"bssid", "02:00:00:00:00:01"},
                                  {"apAddress", "10.10.0.2"},
                                  {"apNetmask", "255.255.255.0"},
                                  {"dhcpRangeFrom", "10.10.0.51"},
                                  {"dhcpRangeTo", "10.10.0.61"},
                                  {"countryCode", "SE"},
                                  {"channel", 1},
                                  {"vendorSpecificData", "dd0411223355"},
                                  {"apInterface", "uap1"}};
        QCOMPARE(changes.size() + 1, fullSettings.size());
        for (auto change = changes.cbegin(); change != changes.cend(); ++change) {
            QVERIFY2(withEntry(change.key(), change.value()) != reference,
                     qPrintable(change.key()));
        }
    }

    void unsafeTextIsReported_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("unsafe");
        QTest::newRow("ssid line break") << "ssid"
                                         << "Setup\nwpa=2" << true;
        QTest::newRow("ssid blank and UTF-8") << "ssid"
                                              << "Caf\u00e9 setup" << false;
        QTest::newRow("country code carriage return") << "countryCode"
                                                      << "NO\r" << true;
        QTest::newRow("ssid line separator") << "ssid"
                                             << "a\u2028b" << true;
        QTest::newRow("vendor data NUL")
            << "vendorSpecificData" << QString::fromLatin1("dd\0", 3) << true;
        QTest::newRow("domain line break") << "domainName"
                                           << "a.local\nevil 10.0.0.1" << true;
        QTest::newRow("domain blank") << "domainName"
                                      << "a.local 10.0.0.1" << true;
        QTest::newRow("domain tab") << "domainName"
                                    << "a.local\t10.0.0.1" << true;
        QTest::newRow("interface slash") << "apInterface"
                                         << "../etc/x" << true;
        QTest::newRow("interface plain") << "apInterface"
                                         << "uap1" << false;
    }

    void unsafeTextIsReported()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(bool, unsafe);
        QVERIFY(!SoftApSetup(fullSettings).hasUnsafeText());
        const SoftApSetup setup = withEntry(key, value);
        QCOMPARE(setup.hasUnsafeText(), unsafe);
        QCOMPARE(setup.unsafeTextSettings(), unsafe ? QStringList{key} : QStringList());
    }

    void ipSettingsReportChanges()
    {
        NetworkConfiguration configuration(nullptr, "eth0", "wlan0", {"uap0"});
        QSignalSpy wired(&configuration, &NetworkConfiguration::wiredSettingsChanged);
        QSignalSpy wireless(&configuration, &NetworkConfiguration::wirelessSettingsChanged);

        QVERIFY(!configuration.setWiredSettings(InterfaceConfiguration()));
        QVERIFY(configuration.setWiredSettings(staticSettings("10.0.0.2")));
        QVERIFY(!configuration.setWiredSettings(staticSettings("10.0.0.2")));
        QVERIFY(configuration.setWiredSettings(staticSettings("10.0.0.3")));
        QCOMPARE(configuration.wiredSettings(), staticSettings("10.0.0.3"));
        QCOMPARE(wired.count(), 2);
        QCOMPARE(wireless.count(), 0);

        QVERIFY(configuration.setWirelessSettings(staticSettings("10.0.0.3")));
        QVERIFY(!configuration.setWirelessSettings(staticSettings("10.0.0.3")));
        QCOMPARE(wireless.count(), 1);
        QCOMPARE(configuration.wiredSettings(), configuration.wirelessSettings());
    }

    void softApSettingsReportChanges()
    {
        NetworkConfiguration configuration(nullptr, "eth0", "wlan0", {"uap0"});
        QSignalSpy changed(&configuration, &NetworkConfiguration::softApSettingsChanged);
        const InterfaceName uap0("uap0");
        const SoftApSetup setup(fullSettings);

        QVERIFY(configuration.setSoftApSettings(uap0, setup));
        QVERIFY(!configuration.setSoftApSettings(uap0, setup));
        // A domain-name-only change is taken as no change, and the old name stays.
        QVERIFY(!configuration.setSoftApSettings(uap0, withEntry("domainName", "new.local")));
        QCOMPARE(configuration.getSoftApSettings().value(uap0).domainName(),
                 QStringLiteral("setup.local"));
        QVERIFY(configuration.setSoftApSettings(uap0, withEntry("channel", 6)));
        QCOMPARE(configuration.getSoftApSettings().value(uap0).channel(), 6);
        QVERIFY(configuration.setSoftApSettings(InterfaceName("uap1"), setup));
        QCOMPARE(changed.count(), 3);
        QCOMPARE(changed.last().first().value<InterfaceName>(), InterfaceName("uap1"));
    }

    void networksReportChanges()
    {
        NetworkConfiguration configuration(nullptr, "eth0", "wlan0", {"uap0"});
        QSignalSpy changed(&configuration, &NetworkConfiguration::apsChanged);

        QVERIFY(!configuration.setAps({}));
        QVERIFY(configuration.setAps({wpa("Home", 1), wpa("Office", 2)}));
        QVERIFY(!configuration.setAps({wpa("Office", 2), wpa("Home", 1)}));
        QVERIFY(configuration.setAps({wpa("Office", 3), wpa("Home", 1)}));
        QCOMPARE(configuration.getApSetup(),
                 (QSet<WirelessNetwork>{wpa("Office", 3), wpa("Home", 1)}));
        QVERIFY(configuration.setAps({wpa("Home", 1)}));
        QCOMPARE(changed.count(), 3);
    }
};

QTEST_GUILESS_MAIN(TestNetworkConfiguration)
#include "tst_NetworkConfiguration.moc"
