#include "StdoutCapture.h"
#include "WirelessNetwork.h"

#include <QtTest>

namespace {

const Ssid home = Ssid::fromString(QStringLiteral("Home"));

WirelessNetwork network(WirelessNetworkType::Type type, const QString &key, int priority = 0,
                        const Ssid &ssid = home)
{
    return WirelessNetwork(ssid, type, key, priority);
}

} // namespace

Q_DECLARE_METATYPE(WirelessNetworkType::Type)

class TestWirelessNetwork : public QObject
{
    Q_OBJECT

private slots:
    void init() { qInstallMessageHandler(norvidMessageOutput); }

    void ssidUtf8Limit_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        const QString twoByte = QStringLiteral("\u00e9");
        const QString fourByte = QString::fromUtf8("\xf0\x9f\x93\xb6");
        QTest::newRow("32 ASCII") << QString(32, 'a') << true;
        QTest::newRow("33 ASCII") << QString(33, 'a') << false;
        QTest::newRow("31 ASCII + two-byte") << QString(31, 'a') + twoByte << false;
        QTest::newRow("8 four-byte + 1") << fourByte.repeated(8) + 'a' << false;
    }

    void ssidUtf8Limit()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        const Ssid fromText = Ssid::fromString(text);
        QCOMPARE(Ssid::fromBinary(text.toUtf8()), fromText);
        QCOMPARE(fromText.toString(), accepted ? text : QString());
    }

    void bssidParsing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("upper case") << "AA:BB:CC:DD:EE:0F" << true;
        QTest::newRow("hyphens") << "aa-bb-cc-dd-ee-0f" << false;
        QTest::newRow("trailing newline") << "aa:bb:cc:dd:ee:0f\n" << false;
        QTest::newRow("non-hex digit") << "aa:bb:cc:dd:ee:0g" << false;
        QTest::newRow("single digit group") << "a:bb:cc:dd:ee:0f" << false;
    }

    void bssidParsing()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        QCOMPARE(Bssid::fromString(text).toString(), accepted ? text : QString());
    }

    void bssidFromBinaryIsUpperCase()
    {
        const QByteArray raw("\xaa\xbb\xcc\xdd\xee\x0f", 6);
        QCOMPARE(Bssid::fromBinary(raw).toString(), QStringLiteral("AA:BB:CC:DD:EE:0F"));
        QVERIFY(Bssid::fromBinary(raw.left(5)).isEmpty());
    }

    void keyToSupplicantParams_data()
    {
        QTest::addColumn<WirelessNetworkType::Type>("type");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("value");
        const QString hex64 = QStringLiteral("0123456789abcdefABCDEF0123456789").repeated(2);
        const auto wep = WirelessNetworkType::Wep;
        const auto wpa = WirelessNetworkType::WpaPsk;
        const QVariant refused;
        QTest::newRow("wep 5 text") << wep << "ab#de" << QVariant("ab#de");
        QTest::newRow("wep 10 hex")
            << wep << "0102a0B0ff" << QVariant(QByteArray("\x01\x02\xa0\xb0\xff"));
        QTest::newRow("wep 6") << wep << "abcdef" << refused;
        QTest::newRow("wep 10 non-hex") << wep << "0102a0b0fz" << refused;
        QTest::newRow("wpa 64 hex")
            << wpa << hex64 << QVariant(QByteArray::fromHex(hex64.toLatin1()));
        QTest::newRow("wpa 63 text") << wpa << hex64.left(63) << QVariant(hex64.left(63));
        QTest::newRow("wpa 64 non-hex") << wpa << hex64.left(63) + 'x' << refused;
    }

    void keyToSupplicantParams()
    {
        QFETCH(WirelessNetworkType::Type, type);
        QFETCH(QString, key);
        QFETCH(QVariant, value);
        StdoutCapture capture;
        const QVariantMap params = network(type, key).getWpaSupplicantParams();
        // A refused key is never written to the log.
        QVERIFY(capture.messages().filter(key).isEmpty());
        if (!value.isValid()) {
            QCOMPARE(params, QVariantMap());
            return;
        }
        const bool isWep = type == WirelessNetworkType::Wep;
        const QVariant stored = params.value(isWep ? "wep_key0" : "psk");
        // Text and bytes reach wpa_supplicant as different D-Bus types: the type matters.
        QCOMPARE(stored.userType(), value.userType());
        QCOMPARE(stored, value);
        QCOMPARE(params.value("ssid"), QVariant(home.toBinary()));
        QCOMPARE(params.value("key_mgmt").toString(),
                 isWep ? QStringLiteral("NONE") : QStringLiteral("WPA-PSK WPA-PSK-SHA256"));
        QCOMPARE(params.contains("auth_alg"), isWep);
        QCOMPARE(params.contains("ieee80211w"), !isWep);
    }

    void unsecuredAndNamelessNetworks()
    {
        const QVariantMap open =
            network(WirelessNetworkType::Unsecured, QString()).getWpaSupplicantParams();
        QCOMPARE(open.value("key_mgmt"), QVariant("NONE"));
        QVERIFY(!open.contains("psk") && !open.contains("wep_key0"));
        // An empty SSID is a wildcard for wpa_supplicant: it must never be handed over.
        const WirelessNetwork nameless = network(WirelessNetworkType::Unsecured, "", 0, Ssid());
        QVERIFY(nameless.isValid());
        QCOMPARE(nameless.getWpaSupplicantParams(), QVariantMap());
        QVERIFY(!network(WirelessNetworkType::Type(7), "password").isValid());
    }

    void writtenPropertyRules_data()
    {
        QTest::addColumn<QVariant>("entry");
        QTest::addColumn<bool>("added");
        QTest::addColumn<WirelessNetworkType::Type>("type");
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("priority");
        const auto open = WirelessNetworkType::Unsecured;
        const auto wep = WirelessNetworkType::Wep;
        const auto wpa = WirelessNetworkType::WpaPsk;
        const auto row = [](const char *name, const QVariantMap &map) -> QTestData & {
            return QTest::newRow(name) << QVariant(map);
        };
        row("unsecured wins over key", {{"unsecured", true}, {"wpa_psk", "password"}})
            << true << open << "" << 0;
        row("unsecured 'yes' wins over key", {{"unsecured", "yes"}, {"wpa_psk", "password"}})
            << true << open << "" << 0;
        row("unsecured 'false' keeps key", {{"unsecured", "false"}, {"wpa_psk", "password"}})
            << true << wpa << "password" << 0;
        row("unsecured 0 keeps key", {{"unsecured", 0}, {"wpa_psk", "password"}})
            << true << wpa << "password" << 0;
        row("wep before wpa", {{"wpa_psk", "password"}, {"wep_key", "abcde"}})
            << true << wep << "abcde" << 0;
        row("key as bytes", {{"wpa_psk", QByteArray("pässword")}})
            << true << wpa << QStringLiteral("p\u00e4ssword") << 0;
        row("only priority", {{"priority", 3}}) << false << open << "" << 0;
        QTest::newRow("hash") << QVariant(QVariantHash{{"wep_key", "abcde"}}) << true << wep
                              << "abcde" << 0;
        const auto withPriority = [&](const char *name, const QVariant &priority) -> QTestData & {
            return row(name, {{"wpa_psk", "password"}, {"priority", priority}})
                   << true << wpa << "password";
        };
        withPriority("negative priority kept", -3) << -3;
        withPriority("priority not a number", "high") << 0;
        withPriority("priority over 32 bits", qlonglong(1) << 40) << 0;
        withPriority("priority infinite", qInf()) << 0;
    }

    void writtenPropertyRules()
    {
        QFETCH(QVariant, entry);
        QFETCH(bool, added);
        QFETCH(WirelessNetworkType::Type, type);
        QFETCH(QString, key);
        QFETCH(int, priority);
        StdoutCapture capture;
        const auto parsed = WirelessNetwork::fromCredentials("Home", entry);
        QCOMPARE(bool(parsed), added);
        QCOMPARE(capture.messages().filter("Not adding network: \"Home\"").size(), added ? 0 : 1);
        if (added) {
            QCOMPARE(*parsed, network(type, key, priority));
        }
    }

    void readFormAndWriteForm()
    {
        // A WEP network survives being written back as read; an unsecured one does not: its
        // read form carries no "unsecured" entry.
        const WirelessNetwork wep = network(WirelessNetworkType::Wep, "abcde", 2);
        QCOMPARE(*WirelessNetwork::fromCredentials("Home", wep.getMap()), wep);
        const WirelessNetwork open = network(WirelessNetworkType::Unsecured, QString(), 1);
        QVERIFY(!WirelessNetwork::fromCredentials("Home", open.getMap()));
        // A negative priority is left out of both forms.
        const WirelessNetwork negative = network(WirelessNetworkType::WpaPsk, "password", -1);
        QVERIFY(!negative.getMap().contains("priority"));
        QVERIFY(!negative.getWpaSupplicantParams().contains("priority"));
        QVERIFY(!negative.getWpaSupplicantParams().isEmpty());
        // And an invalid network reads back as an empty map, which writes back as open.
        const WirelessNetwork shortKey = network(WirelessNetworkType::WpaPsk, "short");
        QCOMPARE(shortKey.getMap(), QVariantMap());
        QCOMPARE(WirelessNetwork::fromCredentials("Home", shortKey.getMap())->type(),
                 WirelessNetworkType::Unsecured);
    }

    void credentialsAreLoggedOnlyAtDebugLevel()
    {
        const QVariantMap networks{{"Home", QVariantMap{{"wpa_psk", "s3cret-pass"}}}};
        for (int level : {0, 1}) {
            norvidGlobalLogLevel = level;
            StdoutCapture capture;
            QCOMPARE(WirelessNetwork::fromNetworksMap(networks).size(), 1);
            QCOMPARE(capture.messages().filter("s3cret-pass").size(), level);
        }
        norvidGlobalLogLevel = 0;
    }

    void frequencyToChannel_data()
    {
        QTest::addColumn<int>("frequency");
        QTest::addColumn<int>("channel");
        // clang-format off
        const QList<QPair<int, int>> table{
            {2412, 1},  {2413, 1},   {2437, 6},   {2467, 12},  {2472, 13}, {2484, 14},
            {5170, 34}, {5180, 36},  {5500, 100}, {5745, 149}, {5825, 165},
            // Outside both bands, and the gaps around channel 14.
            {0, 0},     {-2412, 0},  {2407, 0},   {2411, 0},   {2473, 0},  {2477, 0},
            {2483, 0},  {2485, 0},   {4915, 0},   {5169, 0},   {5826, 0},  {5900, 0},
            {58320, 0}};
        // clang-format on
        for (const auto &[frequency, channel] : table) {
            QTest::addRow("%d MHz", frequency) << frequency << channel;
        }
    }

    void frequencyToChannel()
    {
        QFETCH(int, frequency);
        QFETCH(int, channel);
        QCOMPARE(ApDescription::freq_to_channel(frequency), channel);
    }
};

QTEST_GUILESS_MAIN(TestWirelessNetwork)
#include "tst_WirelessNetwork.moc"
