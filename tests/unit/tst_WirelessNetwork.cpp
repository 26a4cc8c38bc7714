#include "WirelessNetwork.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusServer>
#include <QtTest>

namespace {

// Collects the messages logged while alive.
class LogCapture
{
public:
    LogCapture()
    {
        s_messages.clear();
        m_previous = qInstallMessageHandler(collect);
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }

    QStringList containing(const QString &text) const { return s_messages.filter(text); }
    const QStringList &all() const { return s_messages; }

private:
    static void collect(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        s_messages << message;
    }

    static QStringList s_messages;
    QtMessageHandler m_previous = nullptr;
};

QStringList LogCapture::s_messages;

// The receiving end of a real D-Bus round trip: what a property write hands the daemon.
class Receiver : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.brenvik.norvi.Test")

public:
    QVariantMap received;

public slots:
    void Take(const QVariantMap &map) { received = map; }
};

const Ssid home = Ssid::fromString(QStringLiteral("Home"));

WirelessNetwork network(WirelessNetworkType::Type type, const QString &key, int priority = 0)
{
    return WirelessNetwork(home, type, key, priority);
}

QVariantMap credentials(std::initializer_list<std::pair<QString, QVariant>> entries)
{
    return QVariantMap(entries);
}

} // namespace

Q_DECLARE_METATYPE(WirelessNetworkType::Type)

class TestWirelessNetwork : public QObject
{
    Q_OBJECT

public:
    QSet<WirelessNetwork> queuedSet;

public slots:
    void takeSet(const QSet<WirelessNetwork> &set) { queuedSet = set; }

private slots:
    void ssidUtf8Limit_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        const QString twoByte = QStringLiteral("\u00e9");
        const QString fourByte = QString::fromUtf8("\xf0\x9f\x93\xb6");
        QTest::newRow("32 ASCII") << QString(32, QLatin1Char('a')) << true;
        QTest::newRow("33 ASCII") << QString(33, QLatin1Char('a')) << false;
        QTest::newRow("16 two-byte") << twoByte.repeated(16) << true;
        QTest::newRow("17 two-byte") << twoByte.repeated(17) << false;
        QTest::newRow("31 ASCII + two-byte") << QString(31, QLatin1Char('a')) + twoByte << false;
        QTest::newRow("8 four-byte") << fourByte.repeated(8) << true;
        QTest::newRow("8 four-byte + 1") << fourByte.repeated(8) + QLatin1Char('a') << false;
    }

    void ssidUtf8Limit()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        LogCapture log;
        const Ssid fromText = Ssid::fromString(text);
        const Ssid fromBytes = Ssid::fromBinary(text.toUtf8());
        QCOMPARE(fromText.isValid(), accepted);
        QCOMPARE(fromText.toString(), accepted ? text : QString());
        QCOMPARE(fromBytes, fromText);
        QCOMPARE(log.containing(QStringLiteral(", rejecting!")).size(), accepted ? 0 : 2);
        if (!accepted) {
            const QString hex = QString::fromLatin1(text.toUtf8().toHex());
            QVERIFY(log.all().last().endsWith(
                QStringLiteral("SSID is too long: \"%1\", rejecting!").arg(hex)));
        }
    }

    void bssidParsing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("lower case") << "aa:bb:cc:dd:ee:0f" << true;
        QTest::newRow("upper case") << "AA:BB:CC:DD:EE:0F" << true;
        QTest::newRow("hyphens") << "aa-bb-cc-dd-ee-0f" << false;
        QTest::newRow("no separators") << "aabbccddee0f" << false;
        QTest::newRow("leading text") << "x aa:bb:cc:dd:ee:0f" << false;
        QTest::newRow("trailing text") << "aa:bb:cc:dd:ee:0f:11" << false;
        QTest::newRow("trailing newline") << "aa:bb:cc:dd:ee:0f\n" << false;
        QTest::newRow("non-hex digit") << "aa:bb:cc:dd:ee:0g" << false;
        QTest::newRow("single digit group") << "a:bb:cc:dd:ee:0f" << false;
    }

    void bssidParsing()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        const Bssid bssid = Bssid::fromString(text);
        QCOMPARE(bssid.toString(), accepted ? text : QString());
        QCOMPARE(bssid.isEmpty(), !accepted);
    }

    void bssidCaseMatters()
    {
        const QByteArray raw("\xaa\xbb\xcc\xdd\xee\x0f", 6);
        const Bssid binary = Bssid::fromBinary(raw);
        QCOMPARE(binary.toString(), QStringLiteral("AA:BB:CC:DD:EE:0F"));
        QVERIFY(binary != Bssid::fromString(QStringLiteral("aa:bb:cc:dd:ee:0f")));
        QCOMPARE(binary, Bssid::fromString(QStringLiteral("AA:BB:CC:DD:EE:0F")));
        QVERIFY(Bssid::fromBinary(raw.left(5)).isEmpty());
        QVERIFY(Bssid::fromBinary(raw + '\0').isEmpty());
    }

    void keyToSupplicantParams_data()
    {
        QTest::addColumn<WirelessNetworkType::Type>("type");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QVariant>("value");
        const QString hex64 = QStringLiteral("0123456789abcdefABCDEF0123456789").repeated(2);
        const auto wep = WirelessNetworkType::Wep;
        const auto wpa = WirelessNetworkType::WpaPsk;
        const QVariant none;
        QTest::newRow("wep 5 text") << wep << "ab#de"
                                    << "wep_key0" << QVariant("ab#de");
        QTest::newRow("wep 13 text") << wep << "abcdefghijklm"
                                     << "wep_key0" << QVariant("abcdefghijklm");
        QTest::newRow("wep 10 hex") << wep << "0102a0B0ff"
                                    << "wep_key0" << QVariant(QByteArray("\x01\x02\xa0\xb0\xff"));
        QTest::newRow("wep 26 hex") << wep << QString(26, QLatin1Char('e')) << "wep_key0"
                                    << QVariant(QByteArray(13, '\xee'));
        QTest::newRow("wep 6") << wep << "abcdef"
                               << "wep_key0" << none;
        QTest::newRow("wep 11") << wep << "0102a0b0ff1"
                                << "wep_key0" << none;
        QTest::newRow("wep 10 non-hex") << wep << "0102a0b0fg"
                                        << "wep_key0" << none;
        QTest::newRow("wep 26 with blank")
            << wep << QString(25, QLatin1Char('e')) + ' ' << "wep_key0" << none;
        QTest::newRow("wpa 64 hex")
            << wpa << hex64 << "psk" << QVariant(QByteArray::fromHex(hex64.toLatin1()));
        QTest::newRow("wpa 63 text") << wpa << hex64.left(63) << "psk" << QVariant(hex64.left(63));
        QTest::newRow("wpa 8 text") << wpa << "password"
                                    << "psk" << QVariant("password");
        QTest::newRow("wpa 100 text")
            << wpa << QString(100, 'p') << "psk" << QVariant(QString(100, 'p'));
        QTest::newRow("wpa 7") << wpa << "passwor"
                               << "psk" << none;
        QTest::newRow("wpa 64 non-hex") << wpa << hex64.left(63) + 'x' << "psk" << none;
    }

    void keyToSupplicantParams()
    {
        QFETCH(WirelessNetworkType::Type, type);
        QFETCH(QString, key);
        QFETCH(QString, entry);
        QFETCH(QVariant, value);
        const QVariantMap params = network(type, key).getWpaSupplicantParams();
        if (!value.isValid()) {
            QCOMPARE(params, QVariantMap());
            return;
        }
        // Text and bytes reach wpa_supplicant as different D-Bus types: the type matters.
        QCOMPARE(params.value(entry).userType(), value.userType());
        QCOMPARE(params.value(entry), value);
        QCOMPARE(params.value("ssid"), QVariant(home.toBinary()));
        QCOMPARE(params.value("scan_ssid"), QVariant(1));
        const bool isWep = type == WirelessNetworkType::Wep;
        QCOMPARE(params.value("key_mgmt").toString(),
                 isWep ? QStringLiteral("NONE") : QStringLiteral("WPA-PSK WPA-PSK-SHA256"));
        QCOMPARE(params.contains("auth_alg"), isWep);
        QCOMPARE(params.contains("ieee80211w"), !isWep);
    }

    void hexKeyWithOtherCharactersIsRefusedWithoutLoggingIt()
    {
        LogCapture log;
        const QString key = QStringLiteral("0102a0b0fz");
        QVERIFY(network(WirelessNetworkType::Wep, key).isValid());
        QCOMPARE(network(WirelessNetworkType::Wep, key).getWpaSupplicantParams(), QVariantMap());
        QCOMPARE(log.containing(QStringLiteral("hexadecimal key")).size(), 1);
        QVERIFY(log.containing(key).isEmpty());
    }

    void unsecuredAndNamelessNetworks()
    {
        const QVariantMap open =
            network(WirelessNetworkType::Unsecured, QString()).getWpaSupplicantParams();
        QCOMPARE(open.value("key_mgmt"), QVariant("NONE"));
        QVERIFY(!open.contains("psk") && !open.contains("wep_key0"));
        // An empty SSID is a wildcard for wpa_supplicant: it must never be handed over.
        const WirelessNetwork nameless(Ssid(), WirelessNetworkType::Unsecured, QString(), 0);
        QVERIFY(nameless.isValid());
        QCOMPARE(nameless.getWpaSupplicantParams(), QVariantMap());
        QVERIFY(!WirelessNetwork(home, WirelessNetworkType::Type(7), "password", 0).isValid());
    }

    void negativePriorityIsLeftOutAndWarnedEachCall()
    {
        const WirelessNetwork zero = network(WirelessNetworkType::WpaPsk, "password", 0);
        QCOMPARE(zero.getWpaSupplicantParams().value("priority"), QVariant(0));
        QCOMPARE(zero.getMap().value("priority"), QVariant(0));

        LogCapture log;
        const WirelessNetwork negative = network(WirelessNetworkType::WpaPsk, "password", -1);
        QVERIFY(!negative.getWpaSupplicantParams().contains("priority"));
        QVERIFY(!negative.getMap().contains("priority"));
        QVERIFY(!negative.getWpaSupplicantParams().isEmpty());
        QCOMPARE(log.containing(QStringLiteral("Network \"Home\" has illegal priority: -1")).size(),
                 2);
    }

    void priorityFromWrittenProperty_data()
    {
        QTest::addColumn<QVariant>("priority");
        QTest::addColumn<int>("expected");
        QTest::addColumn<bool>("warned");
        QTest::newRow("absent") << QVariant() << 0 << false;
        QTest::newRow("text") << QVariant("7") << 7 << false;
        QTest::newRow("negative kept") << QVariant(-3) << -3 << false;
        QTest::newRow("not a number") << QVariant("high") << 0 << true;
        QTest::newRow("over 32 bits") << QVariant(qlonglong(1) << 40) << 0 << true;
        QTest::newRow("unsigned 64 max") << QVariant(~qulonglong(0)) << 0 << true;
        QTest::newRow("infinite") << QVariant(qInf()) << 0 << true;
    }

    void priorityFromWrittenProperty()
    {
        QFETCH(QVariant, priority);
        QFETCH(int, expected);
        QFETCH(bool, warned);
        QVariantMap entry{{"wpa_psk", "password"}};
        if (priority.isValid()) {
            entry.insert("priority", priority);
        }
        LogCapture log;
        const auto parsed = WirelessNetwork::fromCredentials("Home", entry);
        QVERIFY(parsed);
        QCOMPARE(parsed->priority(), expected);
        QCOMPARE(log.containing(QStringLiteral("is not a 32-bit number")).size(), warned ? 1 : 0);
    }

    void writtenPropertyRules_data()
    {
        QTest::addColumn<QVariant>("entry");
        QTest::addColumn<bool>("added");
        QTest::addColumn<WirelessNetworkType::Type>("type");
        QTest::addColumn<QString>("key");
        const auto open = WirelessNetworkType::Unsecured;
        const auto wep = WirelessNetworkType::Wep;
        const auto wpa = WirelessNetworkType::WpaPsk;
        QTest::newRow("empty") << QVariant(QVariantMap()) << true << open << "";
        QTest::newRow("unsecured wins over key")
            << QVariant(credentials({{"unsecured", true}, {"wpa_psk", "password"}})) << true << open
            << "";
        QTest::newRow("unsecured 'no' keeps key")
            << QVariant(credentials({{"unsecured", "no"}, {"wpa_psk", "password"}})) << true << wpa
            << "password";
        QTest::newRow("unsecured false only")
            << QVariant(credentials({{"unsecured", false}})) << false << open << "";
        QTest::newRow("wep before wpa")
            << QVariant(credentials({{"wpa_psk", "password"}, {"wep_key", "abcde"}})) << true << wep
            << "abcde";
        QTest::newRow("key as bytes")
            << QVariant(credentials({{"wpa_psk", QByteArray("pässword")}})) << true << wpa
            << QStringLiteral("p\u00e4ssword");
        QTest::newRow("key not text, kept invalid")
            << QVariant(credentials({{"wpa_psk", QVariantMap{{"a", 1}}}})) << true << wpa << "";
        QTest::newRow("only priority")
            << QVariant(credentials({{"priority", 3}})) << false << open << "";
        QTest::newRow("hash") << QVariant(QVariantHash{{"wep_key", "abcde"}}) << true << wep
                              << "abcde";
        QTest::newRow("text instead of map") << QVariant("password") << false << open << "";
        QTest::newRow("list instead of map") << QVariant(QVariantList{}) << false << open << "";
    }

    void writtenPropertyRules()
    {
        QFETCH(QVariant, entry);
        QFETCH(bool, added);
        QFETCH(WirelessNetworkType::Type, type);
        QFETCH(QString, key);
        LogCapture log;
        const auto parsed = WirelessNetwork::fromCredentials("Home", entry);
        QCOMPARE(bool(parsed), added);
        QCOMPARE(log.containing(QStringLiteral("Not adding network: \"Home\"")).size(),
                 added ? 0 : 1);
        if (added) {
            QCOMPARE(parsed->ssid(), home);
            QCOMPARE(parsed->type(), type);
            QCOMPARE(parsed->key(), key);
        }
    }

    void unusableSsidIsNotAdded()
    {
        const QVariantMap networks{{QString(33, 'a'), QVariantMap()}, {QString(), QVariantMap()}};
        LogCapture log;
        QVERIFY(WirelessNetwork::fromNetworksMap(networks).isEmpty());
        QCOMPARE(log.containing(QStringLiteral("Not adding network: ")).size(), 2);
    }

    void readFormAndWriteForm()
    {
        const WirelessNetwork wpa = network(WirelessNetworkType::WpaPsk, "password", 4);
        const WirelessNetwork wep = network(WirelessNetworkType::Wep, "abcde", 2);
        const WirelessNetwork open = network(WirelessNetworkType::Unsecured, QString(), 1);
        QCOMPARE(
            wpa.getMap(),
            credentials(
                {{"ssid", "Home"}, {"type", "wpa-psk"}, {"wpa_psk", "password"}, {"priority", 4}}));
        QCOMPARE(wep.getMap().value("type"), QVariant("wep"));
        QCOMPARE(open.getMap(),
                 credentials({{"ssid", "Home"}, {"type", "unsecured"}, {"priority", 1}}));

        // Secured networks survive being written back as read ...
        QCOMPARE(*WirelessNetwork::fromCredentials("Home", wpa.getMap()), wpa);
        QCOMPARE(*WirelessNetwork::fromCredentials("Home", wep.getMap()), wep);
        // ... an unsecured one does not: its read form carries no "unsecured" entry.
        QVERIFY(!WirelessNetwork::fromCredentials("Home", open.getMap()));
        // And an invalid network reads back as an empty map, which writes back as open.
        const WirelessNetwork shortKey = network(WirelessNetworkType::WpaPsk, "short", 0);
        QCOMPARE(shortKey.getMap(), QVariantMap());
        QCOMPARE(WirelessNetwork::fromCredentials("Home", shortKey.getMap())->type(),
                 WirelessNetworkType::Unsecured);
    }

    void credentialsAreLoggedOnlyAtDebugLevel()
    {
        const QVariantMap networks{{"Home", credentials({{"wpa_psk", "s3cret-pass"}})}};
        LogCapture log;
        norvidGlobalLogLevel = 0;
        QCOMPARE(WirelessNetwork::fromNetworksMap(networks).size(), 1);
        QVERIFY(log.containing("s3cret-pass").isEmpty());
        QCOMPARE(log.containing(QStringLiteral("Received wireless network: \"Home\"")).size(), 1);
        norvidGlobalLogLevel = 1;
        WirelessNetwork::fromNetworksMap(networks);
        norvidGlobalLogLevel = 0;
        QCOMPARE(log.containing("s3cret-pass").size(), 1);
    }

    void dbusNestedMapsParse()
    {
        qDBusRegisterMetaType<QMap<QString, QString>>();
        qDBusRegisterMetaType<QMap<int, QString>>();
        const QVariantMap sent{
            {"Home", credentials({{"wpa_psk", "password"}, {"priority", 3}})},
            {"Cafe", QVariantMap()},
            {"Hex", credentials({{"wep_key", QByteArray("abcde")}})},
            {"Strings", QVariant::fromValue(QMap<QString, QString>{{"wpa_psk", "password"}})},
            {"IntKeys", QVariant::fromValue(QMap<int, QString>{{1, "password"}})},
            {"List", QStringList{"wpa_psk", "password"}},
            {"Number", 5},
            {"MapKey", credentials({{"wpa_psk", QVariantMap{{"x", 1}}}})}};

        QDBusServer server;
        Receiver receiver;
        bool accepted = false;
        connect(&server, &QDBusServer::newConnection, this, [&](QDBusConnection connection) {
            accepted = connection.registerObject("/r", &receiver, QDBusConnection::ExportAllSlots);
        });
        QDBusConnection client = QDBusConnection::connectToPeer(server.address(), "wmodel");
        QVERIFY2(client.isConnected(), qPrintable(client.lastError().message()));
        QTRY_VERIFY(accepted);
        QDBusMessage call =
            QDBusMessage::createMethodCall(QString(), "/r", "com.brenvik.norvi.Test", "Take");
        call << sent;
        const QDBusMessage reply = client.call(call, QDBus::BlockWithGui);
        QDBusConnection::disconnectFromPeer("wmodel");
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        QCOMPARE(receiver.received.size(), sent.size());
        QCOMPARE(receiver.received.value("Home").userType(), qMetaTypeId<QDBusArgument>());

        const QSet<WirelessNetwork> networks = WirelessNetwork::fromNetworksMap(receiver.received);
        const auto named = [](const char *name, WirelessNetworkType::Type type, const char *key,
                              int priority = 0) {
            return WirelessNetwork(Ssid::fromString(name), type, key, priority);
        };
        const QSet<WirelessNetwork> expected{
            named("Home", WirelessNetworkType::WpaPsk, "password", 3),
            named("Cafe", WirelessNetworkType::Unsecured, ""),
            named("Hex", WirelessNetworkType::Wep, "abcde"),
            named("Strings", WirelessNetworkType::WpaPsk, "password"),
            named("MapKey", WirelessNetworkType::WpaPsk, "")};
        QCOMPARE(networks, expected);
        // Reading the same argument twice gives the same map: nothing is consumed.
        QCOMPARE(norvi::toVariantMap(receiver.received.value("Home")),
                 norvi::toVariantMap(receiver.received.value("Home")));
    }

    void hashingAndEquality()
    {
        const WirelessNetwork first = network(WirelessNetworkType::WpaPsk, "password", 1);
        const WirelessNetwork second = network(WirelessNetworkType::WpaPsk, "password", 2);
        QVERIFY(first != second);
        QCOMPARE((QSet<WirelessNetwork>{first, second}).size(), 2);
        QCOMPARE((QSet<WirelessNetwork>{first, network(WirelessNetworkType::WpaPsk, "password", 1)})
                     .size(),
                 1);
        QCOMPARE(qHash(first), qHash(network(WirelessNetworkType::WpaPsk, "password", 1)));
        QCOMPARE(qHash(home, 1), qHash(home, 2));

        ApDescription strong;
        strong.bssid = Bssid::fromString("00:11:22:33:44:55");
        strong.signal = -40;
        ApDescription weak = strong;
        weak.signal = -80;
        weak.ssid = home;
        QCOMPARE(strong, weak);
        QList<ApDescription> aps{strong};
        QCOMPARE(aps.indexOf(weak), 0);
    }

    void queuedDeliveryOfRegisteredTypes()
    {
        norvi::registerWirelessMetaTypes();
        norvi::registerWirelessMetaTypes();
        for (const char *name :
             {"WirelessNetwork", "QSet<WirelessNetwork>", "Ssid", "QList<ApDescription>"}) {
            QVERIFY2(QMetaType::type(name) != QMetaType::UnknownType, name);
        }
        const QSet<WirelessNetwork> sent{network(WirelessNetworkType::Wep, "abcde", 1)};
        QVERIFY(QMetaObject::invokeMethod(this, "takeSet", Qt::QueuedConnection,
                                          Q_ARG(QSet<WirelessNetwork>, sent)));
        QTRY_COMPARE(queuedSet, sent);
    }

    void freqToChannel_data()
    {
        QTest::addColumn<int>("frequency");
        QTest::addColumn<int>("channel");
        const QList<std::pair<int, int>> cases{
            {2412, 1},   {2437, 6},  {2472, 13}, {2484, 14}, {2467, 12}, {2414, 1},  {5180, 36},
            {5825, 165}, {5170, 34}, {2400, 0},  {2477, 0},  {5900, 0},  {-2412, 0}, {0, 0}};
        for (const auto &c : cases) {
            QTest::addRow("%d", c.first) << c.first << c.second;
        }
    }

    void freqToChannel()
    {
        QFETCH(int, frequency);
        QFETCH(int, channel);
        QCOMPARE(ApDescription::freq_to_channel(frequency), channel);
    }

    void scanEntryAndLogForms()
    {
        ApDescription ap;
        ap.ssid = home;
        ap.type = WirelessNetworkType::WpaPsk;
        ap.bssid = Bssid::fromString("00:11:22:aa:bb:cc");
        ap.signal = -67;
        ap.frequency = 5180;
        ap.ies = QByteArray("\x00\x04Home", 6);
        QCOMPARE(ap.toVariantMap(), credentials({{"ssid", "Home"},
                                                 {"type", "wpa_psk"},
                                                 {"bssid", "00:11:22:aa:bb:cc"},
                                                 {"signal", -67},
                                                 {"frequency", 5180},
                                                 {"channel", 36},
                                                 {"ies", ap.ies}}));
        QCOMPARE(WirelessNetworkType::toString(WirelessNetworkType::Type(3)), QString());

        QString text;
        QDebug(&text).nospace() << ap;
        QCOMPARE(text, QStringLiteral("Ap ssid: \"Home\" bssid: \"00:11:22:aa:bb:cc\" freq: 5180"));
        text.clear();
        QDebug(&text) << ApDescription();
        QCOMPARE(text.trimmed(), QStringLiteral("Invalid Ap"));
    }
};

QTEST_GUILESS_MAIN(TestWirelessNetwork)
#include "tst_WirelessNetwork.moc"
