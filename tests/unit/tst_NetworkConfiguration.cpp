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

private:
    NetworkConfiguration configuration{nullptr, "eth0", "wlan0", {"uap0"}};

private slots:
    void initTestCase() { qRegisterMetaType<InterfaceName>(); }

    void softApConversions()
    {
        const QList<std::tuple<QString, QVariant, QVariant>> cases{
            {"channel", "6", 6},
            {"channel", "abc", 0},
            {"channel", qlonglong(1) << 33, 0},
            {"apAddress", "gateway", ""},
            {"dhcpRangeTo", "10.1", ""},
            {"ssid", QString(33, 'x'), ""},
            {"ssid", QByteArray("caf\xc3\xa9"), QStringLiteral("caf\u00e9")},
            {"countryCode", QStringList{"NO", "SE"}, ""}};
        for (const auto &[key, value, stored] : cases) {
            QCOMPARE(withEntry(key, value).toVariantMap().value(key).toString(), stored.toString());
        }
    }

    void absentKeysResetExceptNameBssidAndInterface()
    {
        SoftApSetup setup(fullSettings);
        setup.setFromMap(QVariantMap());
        QCOMPARE(setup.ssid().toString(), QStringLiteral("Setup"));
        QCOMPARE(setup.bssid().toString(), QStringLiteral("02:00:00:aa:bb:cc"));
        QCOMPARE(setup.apInterface(), QStringLiteral("uap0"));
        QCOMPARE(setup.toVariantMap(), SoftApSetup(QVariantMap{{"ssid", "Setup"},
                                                               {"bssid", "02:00:00:aa:bb:cc"},
                                                               {"apInterface", "uap0"}})
                                           .toVariantMap());
    }

    // What a soft AP hands out when started with a name alone.
    void softApDefaults()
    {
        const QVariantMap defaults = SoftApSetup(QVariantMap()).toVariantMap();
        QCOMPARE(defaults.value("apNetmask"), QVariant("255.255.255.0"));
        QCOMPARE(defaults.value("dhcpRangeFrom"), QVariant("192.168.200.10"));
        QCOMPARE(defaults.value("dhcpRangeTo"), QVariant("192.168.200.210"));
        QCOMPARE(defaults.value("channel"), QVariant(11));
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
        for (auto change = changes.cbegin(); change != changes.cend(); ++change) {
            QVERIFY2(withEntry(change.key(), change.value()) != reference,
                     qPrintable(change.key()));
        }
    }

    void unsafeTextIsReported()
    {
        const QList<QPair<QString, QString>> unsafe{
            {"ssid", "Setup\nwpa=2"},
            {"countryCode", "NO\r"},
            {"vendorSpecificData", QString::fromLatin1("dd\0", 3)},
            {"domainName", "a.local 10.0.0.1"},
            {"apInterface", "../etc/x"}};
        for (const auto &[key, value] : unsafe) {
            QCOMPARE(withEntry(key, value).unsafeTextSettings(), QStringList{key});
        }
        QCOMPARE(withEntry("apInterface", "uap1").unsafeTextSettings(), QStringList());
    }

    void wirelessIpSettingsReportChanges()
    {
        QSignalSpy wired(&configuration, &NetworkConfiguration::wiredSettingsChanged);
        QSignalSpy wireless(&configuration, &NetworkConfiguration::wirelessSettingsChanged);
        QVERIFY(!configuration.setWirelessSettings(InterfaceConfiguration()));
        QVERIFY(configuration.setWirelessSettings(staticSettings("10.0.0.3")));
        QVERIFY(!configuration.setWirelessSettings(staticSettings("10.0.0.3")));
        QCOMPARE(wireless.count(), 1);
        QCOMPARE(wired.count(), 0);
    }

    void softApSettingsReportChanges()
    {
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
