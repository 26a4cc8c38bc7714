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

    void netmask()
    {
        const QList<std::pair<QString, int>> cases{
            {"255.255.255.0", 24}, {"255.0.255.0", -1}, {"ffff:ffff::", -1}, {"24", -1}};
        for (const auto &[netmask, prefixLength] : cases) {
            const InterfaceConfiguration config(Eth0, "192.168.1.10", netmask, "", {}, {});
            QCOMPARE(config.getNetworkAddressEntry().prefixLength(), prefixLength);
            QCOMPARE(config.getVariantMap().value("Netmask").toString().isEmpty(),
                     prefixLength < 0);
        }
        const InterfaceConfiguration noAddress(Eth0, "", "255.255.255.0", "", {}, {});
        QVERIFY(noAddress.getVariantMap().value("Netmask").toString().isEmpty());
    }

    void garbageAddressesAreDropped()
    {
        for (const QString &text :
             {QString("bogus"), QString("192.168.1"), QString("192.168.1.300"),
              QString("192.168.001.010"), QString("192.168.1.10; reboot"),
              QString("192.168.1.10/24"), QString::fromLatin1("1.2.3.4\x01\x02", 9)}) {
            QVariantMap map = staticMap();
            map["Ip"] = map["Gateway"] = map["Dns"] = text;
            const InterfaceConfiguration config = InterfaceConfiguration::fromVariantMap(Eth0, map);
            QVERIFY2(!config.hasAddress() && !config.hasGateway() && config.getDnsList().isEmpty(),
                     qPrintable(text));
            QCOMPARE(config.getSearchDomains(), QStringList({"a.example", "b.example"}));
        }
    }

    void wrongValueTypesCountAsMissing_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("value");
        QTest::newRow("Ip as integer") << "Ip" << QVariant(3232235786u);
        QTest::newRow("Netmask as integer") << "Netmask" << QVariant(24);
        QTest::newRow("Gateway as list") << "Gateway" << QVariant(QStringList{"192.168.1.1"});
        QTest::newRow("Dns as nested map") << "Dns" << QVariant(QVariantMap{{"Dns", "8.8.8.8"}});
        QTest::newRow("SearchDomains as bool") << "SearchDomains" << QVariant(true);
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

    void equalityComparesEveryField()
    {
        const auto config = [](const QString &interface, const QString &netmask,
                               const QString &gateway, const QStringList &dns,
                               const QStringList &domains) {
            return InterfaceConfiguration(InterfaceName(interface), "192.168.1.10", netmask,
                                          gateway, dns, domains);
        };
        const QStringList dns{"8.8.8.8", "1.1.1.1"};
        const InterfaceConfiguration base =
            config("eth0", "255.255.255.0", "192.168.1.1", dns, {"a", "b"});
        QCOMPARE(config("eth0", "255.255.255.0", "192.168.1.1", dns, {"a", "b"}), base);
        for (const InterfaceConfiguration &other :
             {config("wlan0", "255.255.255.0", "192.168.1.1", dns, {"a", "b"}),
              config("eth0", "255.255.0.0", "192.168.1.1", dns, {"a", "b"}),
              config("eth0", "255.255.255.0", "", dns, {"a", "b"}),
              config("eth0", "255.255.255.0", "192.168.1.1", {"1.1.1.1", "8.8.8.8"}, {"a", "b"}),
              config("eth0", "255.255.255.0", "192.168.1.1", dns, {"b", "a"})}) {
            QVERIFY(other != base);
        }
    }
};

QTEST_GUILESS_MAIN(tst_InterfaceConfiguration)
#include "tst_InterfaceConfiguration.moc"
