#include "InterfaceConfiguration.h"

#include <QtTest>

namespace {

const InterfaceName Eth0(QStringLiteral("eth0"));

QVariantMap staticMap()
{
    return {{"Ip", "192.168.1.10"},
            {"Netmask", "255.255.255.0"},
            {"Gateway", "192.168.1.1"},
            {"Dns", "8.8.8.8 1.1.1.1"},
            {"SearchDomains", "a.example b.example"}};
}

} // namespace

class tst_InterfaceConfiguration : public QObject
{
    Q_OBJECT

private slots:
    void emptyMapMeansDhcp()
    {
        const InterfaceConfiguration config = InterfaceConfiguration::fromVariantMap(Eth0, {});
        QCOMPARE(config.getInterface(), Eth0);
        QVERIFY(!config.hasAddress());
        QVERIFY(!config.hasGateway());
        QVERIFY(config.getDnsList().isEmpty());
        QVERIFY(config.getSearchDomains().isEmpty());
        const QVariantMap expected{{"Ip", QString()},
                                   {"Netmask", QString()},
                                   {"Dns", QString()},
                                   {"SearchDomains", QString()}};
        QCOMPARE(config.getVariantMap(), expected);
    }

    void roundTrip_data()
    {
        QTest::addColumn<QVariantMap>("map");
        QTest::newRow("ipv4 static") << staticMap();
        QTest::newRow("ipv6 static") << QVariantMap{{"Ip", "fd77::5"},
                                                    {"Netmask", "ffff:ffff:ffff:ffff::"},
                                                    {"Gateway", "fd77::1"},
                                                    {"Dns", "fd77::53 10.77.0.53"},
                                                    {"SearchDomains", "sandbox.test"}};
        QTest::newRow("dhcp with dns")
            << QVariantMap{{"Ip", ""}, {"Netmask", ""}, {"Dns", "9.9.9.9"}, {"SearchDomains", ""}};
    }

    void roundTrip()
    {
        QFETCH(QVariantMap, map);
        const InterfaceConfiguration config = InterfaceConfiguration::fromVariantMap(Eth0, map);
        QCOMPARE(config.getVariantMap(), map);
        QCOMPARE(InterfaceConfiguration::fromVariantMap(Eth0, config.getVariantMap()), config);
    }

    void textFieldsAreSplitAndFiltered()
    {
        QVariantMap map = staticMap();
        map["Dns"] = "8.8.8.8  bogus\t1.1.1.1\n";
        map["SearchDomains"] = "  a.example\nb.example  ";
        const InterfaceConfiguration config = InterfaceConfiguration::fromVariantMap(Eth0, map);
        QCOMPARE(config.getDnsList(),
                 QList<QHostAddress>({QHostAddress("8.8.8.8"), QHostAddress("1.1.1.1")}));
        QCOMPARE(config.getSearchDomains(), QStringList({"a.example", "b.example"}));
    }

    void netmask_data()
    {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("netmask");
        QTest::addColumn<int>("prefixLength");
        QTest::newRow("contiguous") << "192.168.1.10"
                                    << "255.255.255.0" << 24;
        QTest::newRow("host") << "192.168.1.10"
                              << "255.255.255.255" << 32;
        QTest::newRow("not contiguous") << "192.168.1.10"
                                        << "255.0.255.0" << -1;
        QTest::newRow("other family") << "192.168.1.10"
                                      << "ffff:ffff::" << -1;
        QTest::newRow("garbage") << "192.168.1.10"
                                 << "/24" << -1;
        QTest::newRow("prefix length instead of mask") << "192.168.1.10"
                                                       << "24" << -1;
        QTest::newRow("no address") << ""
                                    << "255.255.255.0" << -1;
    }

    void netmask()
    {
        QFETCH(QString, ip);
        QFETCH(QString, netmask);
        QFETCH(int, prefixLength);
        const InterfaceConfiguration config(Eth0, ip, netmask, QString(), {}, {});
        QCOMPARE(config.getNetworkAddressEntry().prefixLength(), prefixLength);
        QCOMPARE(config.getVariantMap().value("Netmask").toString().isEmpty(), prefixLength < 0);
    }

    void garbageAddressesAreDropped_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("word") << "bogus";
        QTest::newRow("shorthand ipv4") << "192.168.1";
        QTest::newRow("single number") << "3232235786";
        QTest::newRow("zero-padded, read as octal") << "192.168.001.010";
        QTest::newRow("octet too big") << "192.168.1.300";
        QTest::newRow("trailing junk") << "192.168.1.10; reboot";
        QTest::newRow("with prefix") << "192.168.1.10/24";
        QTest::newRow("broken ipv6") << "fd77:::5";
        QTest::newRow("huge") << QString(1000, QLatin1Char('1'));
        QTest::newRow("control characters") << QString::fromLatin1("1.2.3.4\x01\x02", 9);
    }

    void garbageAddressesAreDropped()
    {
        QFETCH(QString, text);
        QVariantMap map = staticMap();
        map["Ip"] = text;
        map["Gateway"] = text;
        map["Dns"] = text;
        const InterfaceConfiguration config = InterfaceConfiguration::fromVariantMap(Eth0, map);
        QVERIFY(!config.hasAddress());
        QVERIFY(!config.hasGateway());
        QVERIFY(config.getDnsList().isEmpty());
        QVERIFY(!config.getVariantMap().contains("Gateway"));
        QCOMPARE(config.getSearchDomains(), QStringList({"a.example", "b.example"}));
    }

    void wrongValueTypesCountAsMissing_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("value");
        QTest::newRow("Ip as integer") << "Ip" << QVariant(3232235786u);
        QTest::newRow("Ip as bytes") << "Ip" << QVariant(QByteArray("192.168.1.10"));
        QTest::newRow("Netmask as integer") << "Netmask" << QVariant(24);
        QTest::newRow("Gateway as list") << "Gateway" << QVariant(QStringList{"192.168.1.1"});
        QTest::newRow("Dns as list") << "Dns" << QVariant(QStringList{"8.8.8.8"});
        QTest::newRow("Dns as nested map") << "Dns" << QVariant(QVariantMap{{"Dns", "8.8.8.8"}});
        QTest::newRow("SearchDomains as bool") << "SearchDomains" << QVariant(true);
        QTest::newRow("SearchDomains as invalid variant") << "SearchDomains" << QVariant();
    }

    void wrongValueTypesCountAsMissing()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, value);
        QVariantMap map = staticMap();
        map[key] = value;
        QVariantMap missing = staticMap();
        missing.remove(key);
        QCOMPARE(InterfaceConfiguration::fromVariantMap(Eth0, map),
                 InterfaceConfiguration::fromVariantMap(Eth0, missing));
    }

    void unknownKeysAreIgnored()
    {
        QVariantMap map = staticMap();
        map["ip"] = "10.0.0.1";
        map["Mtu"] = 1500;
        QCOMPARE(InterfaceConfiguration::fromVariantMap(Eth0, map),
                 InterfaceConfiguration::fromVariantMap(Eth0, staticMap()));
    }

    void equalityComparesEveryField()
    {
        const InterfaceConfiguration base(Eth0, "192.168.1.10", "255.255.255.0", "192.168.1.1",
                                          {"8.8.8.8", "1.1.1.1"}, {"a", "b"});
        QCOMPARE(InterfaceConfiguration(Eth0, "192.168.1.10", "255.255.255.0", "192.168.1.1",
                                        {"8.8.8.8", "1.1.1.1"}, {"a", "b"}),
                 base);
        QVERIFY(base != InterfaceConfiguration(InterfaceName("wlan0"), "192.168.1.10",
                                               "255.255.255.0", "192.168.1.1",
                                               {"8.8.8.8", "1.1.1.1"}, {"a", "b"}));
        QVERIFY(base != InterfaceConfiguration(Eth0, "192.168.1.10", "255.255.0.0", "192.168.1.1",
                                               {"8.8.8.8", "1.1.1.1"}, {"a", "b"}));
        QVERIFY(base != InterfaceConfiguration(Eth0, "192.168.1.10", "255.255.255.0", "",
                                               {"8.8.8.8", "1.1.1.1"}, {"a", "b"}));
        QVERIFY(base != InterfaceConfiguration(Eth0, "192.168.1.10", "255.255.255.0", "192.168.1.1",
                                               {"1.1.1.1", "8.8.8.8"}, {"a", "b"}));
        QVERIFY(base != InterfaceConfiguration(Eth0, "192.168.1.10", "255.255.255.0", "192.168.1.1",
                                               {"8.8.8.8", "1.1.1.1"}, {"b", "a"}));
        QVERIFY(InterfaceConfiguration(Eth0) != InterfaceConfiguration());
    }

    void travelsInQueuedSignals()
    {
        const int type = QMetaType::type("InterfaceConfiguration");
        QVERIFY(type != QMetaType::UnknownType);
        const InterfaceConfiguration config =
            InterfaceConfiguration::fromVariantMap(Eth0, staticMap());
        const QVariant copy(type, &config);
        QCOMPARE(copy.value<InterfaceConfiguration>(), config);
    }

    void logForm()
    {
        QString text;
        QDebug(&text).nospace() << InterfaceConfiguration::fromVariantMap(Eth0, staticMap());
        QCOMPARE(text, QStringLiteral("eth0 Ip: \"192.168.1.10\" Netmask: \"255.255.255.0\" "
                                      "Gateway: \"192.168.1.1\" Dns: (\"8.8.8.8\", \"1.1.1.1\") "
                                      "SearchDomains: (\"a.example\", \"b.example\")"));
    }
};

QTEST_GUILESS_MAIN(tst_InterfaceConfiguration)
#include "tst_InterfaceConfiguration.moc"
