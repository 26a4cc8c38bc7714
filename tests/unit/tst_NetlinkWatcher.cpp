#include "NetlinkWatcher.h"
#include "UDevWatcher.h"

#include <QtTest>

#include <arpa/inet.h>
#include <cstring>
#include <libudev.h>
#include <linux/rtnetlink.h>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

const QByteArray Interface("eth0");

Bytes operator+(Bytes left, const Bytes &right)
{
    left.insert(left.end(), right.begin(), right.end());
    return left;
}

// An option header with an explicit length in 8-byte units, reserved bytes and a lifetime.
Bytes optionHeader(int type, int units)
{
    return {static_cast<unsigned char>(type),
            static_cast<unsigned char>(units),
            0,
            0,
            0,
            0,
            0x0e,
            0x10};
}

Bytes ipv6(const char *text)
{
    Bytes bytes(16);
    inet_pton(AF_INET6, text, bytes.data());
    return bytes;
}

Bytes rdnss(const QList<const char *> &servers)
{
    Bytes option = optionHeader(25, 1 + 2 * servers.size());
    for (const char *server : servers) {
        option = option + ipv6(server);
    }
    return option;
}

// A name in DNS wire format: length-prefixed labels and the closing zero.
Bytes wireName(const QByteArray &name)
{
    Bytes bytes;
    for (const QByteArray &label : name.split('.')) {
        bytes.push_back(static_cast<unsigned char>(label.size()));
        bytes.insert(bytes.end(), label.begin(), label.end());
    }
    bytes.push_back(0);
    return bytes;
}

// A DNSSL option around the given encoded names, zero-padded to a whole number of units.
Bytes dnssl(const Bytes &names)
{
    const int units = static_cast<int>((8 + names.size() + 7) / 8);
    Bytes option = optionHeader(31, units) + names;
    option.resize(units * 8, 0);
    return option;
}

// Decodes from an allocation of exactly the buffer's size, so that the sanitizer build catches
// any read past its end.
RouterAdvertisedDns decode(const Bytes &options, RouterAdvertisedDns dns = {})
{
    std::vector<unsigned char> exact(options.begin(), options.end());
    exact.shrink_to_fit();
    NetlinkWatcher::parseNdOptions(exact.data(), static_cast<int>(exact.size()), Interface, &dns);
    return dns;
}

QStringList serverTexts(const RouterAdvertisedDns &dns)
{
    QStringList texts;
    for (const NetlinkAddress &server : dns.servers) {
        texts << server.address();
    }
    return texts;
}

Bytes ndUserOptPayload(int family, int icmpType, int icmpCode, int optionsLength, int ifindex,
                       const Bytes &options)
{
    nduseroptmsg header{};
    header.nduseropt_family = static_cast<unsigned char>(family);
    header.nduseropt_opts_len = static_cast<unsigned short>(optionsLength);
    header.nduseropt_ifindex = ifindex;
    header.nduseropt_icmp_type = static_cast<__u8>(icmpType);
    header.nduseropt_icmp_code = static_cast<__u8>(icmpCode);
    Bytes payload(sizeof(header));
    std::memcpy(payload.data(), &header, sizeof(header));
    return payload + options;
}

} // namespace

class TestNetlinkWatcher : public QObject
{
    Q_OBJECT

private slots:
    void addressRecords();
    void rdnssServersOnceEach();
    void rdnssMalformedLengths();
    void advertisementFloodKeepsTheNewestEntries();
    void dnsslDomainsOnceEach();
    void dnsslNamesThatDoNotDecode();
    void walkStopsAtZeroLengthAndAtTheEnd();
    void ndUserOptHeader_data();
    void ndUserOptHeader();
    void udevHandlesShareReferences();
};

void TestNetlinkWatcher::addressRecords()
{
    QCOMPARE(NetlinkAddress("10.0.0.2", Interface, true, false, 0).netmask(), QString("0.0.0.0"));
    QCOMPARE(NetlinkAddress("10.0.0.2", Interface, true, false, 20).netmask(),
             QString("255.255.240.0"));
    QCOMPARE(NetlinkAddress("10.0.0.2", Interface, true, false, 32).netmask(),
             QString("255.255.255.255"));
    QVERIFY(NetlinkAddress("fd00::2", Interface, false, false, 64).netmask().isNull());

    const NetlinkAddress record("fe80::1", Interface, false, true, 64);
    QCOMPARE(record, NetlinkAddress("fe80::1", Interface, false, true, 64));
    QVERIFY(record != NetlinkAddress("fe80::2", Interface, false, true, 64));
    QVERIFY(record != NetlinkAddress("fe80::1", "wlan0", false, true, 64));
    QVERIFY(record != NetlinkAddress("fe80::1", Interface, true, true, 64));
    QVERIFY(record != NetlinkAddress("fe80::1", Interface, false, false, 64));
    QVERIFY(record != NetlinkAddress("fe80::1", Interface, false, true, 128));
}

void TestNetlinkWatcher::rdnssServersOnceEach()
{
    const Bytes options =
        rdnss({"fd77::53", "fd77::54", "fd77::53"}) + rdnss({"fd77::54"}) + rdnss({"2001:db8::1"});
    const RouterAdvertisedDns dns = decode(options);
    QCOMPARE(serverTexts(dns), QStringList({"fd77::53", "fd77::54", "2001:db8::1"}));
    QCOMPARE(dns.servers.first(), NetlinkAddress("fd77::53", Interface, false, false, 128));
    QVERIFY(dns.domains.isEmpty());

    // The same advertisement again adds nothing to what is known.
    const RouterAdvertisedDns repeated = decode(options, dns);
    QCOMPARE(repeated.servers, dns.servers);
}

void TestNetlinkWatcher::rdnssMalformedLengths()
{
    // Length 4 (even) is no whole number of addresses; length 1 has no address at all.
    Bytes even = optionHeader(25, 4) + ipv6("fd77::1") + ipv6("fd77::2");
    even.resize(32, 0);
    const Bytes tooShort = optionHeader(25, 1);
    const RouterAdvertisedDns dns =
        decode(even + tooShort + rdnss({"fd77::3"}) + dnssl(wireName("after.test")));
    QCOMPARE(serverTexts(dns), QStringList({"fd77::3"}));
    QCOMPARE(dns.domains, QStringList({"after.test"}));
}

void TestNetlinkWatcher::advertisementFloodKeepsTheNewestEntries()
{
    RouterAdvertisedDns dns;
    const int count = 3 * RouterAdvertisedDns::MaximumEntries;
    for (int i = 1; i <= count; ++i) {
        const QByteArray server = "fd77::" + QByteArray::number(i);
        const QByteArray domain = "d" + QByteArray::number(i) + ".test";
        dns = decode(rdnss({server.constData()}) + dnssl(wireName(domain)), dns);
    }
    QCOMPARE(dns.servers.size(), int(RouterAdvertisedDns::MaximumEntries));
    QCOMPARE(dns.domains.size(), int(RouterAdvertisedDns::MaximumEntries));
    QCOMPARE(dns.servers.last().address(), QStringLiteral("fd77::%1").arg(count));
    QCOMPARE(dns.domains.last(), QStringLiteral("d%1.test").arg(count));
}

void TestNetlinkWatcher::dnsslDomainsOnceEach()
{
    const Bytes names = wireName("sandbox.test") + wireName("example.org") +
                        wireName("sandbox.test") + wireName("Example.org");
    const Bytes options = dnssl(names) + dnssl(wireName("example.org")) + rdnss({"fd77::53"}) +
                          dnssl(wireName("corp.example"));
    const RouterAdvertisedDns dns = decode(options);
    QCOMPARE(dns.domains,
             QStringList({"sandbox.test", "example.org", "Example.org", "corp.example"}));
    QCOMPARE(serverTexts(dns), QStringList({"fd77::53"}));
    QCOMPARE(decode(options, dns).domains, dns.domains);

    // Nothing but padding after the header.
    QVERIFY(decode(optionHeader(31, 3) + Bytes(16, 0)).domains.isEmpty());
}

void TestNetlinkWatcher::dnsslNamesThatDoNotDecode()
{
    // A label that claims to run past the option's end.
    const Bytes overlong = dnssl(wireName("good.test") + Bytes{60, 'x', 'y'});
    // A compression pointer to itself.
    const Bytes loop = dnssl(Bytes{0xc0, 0x00});
    // A name whose labels fill the option exactly, with no closing zero.
    Bytes unterminated = optionHeader(31, 3) + Bytes{15};
    unterminated.resize(24, 'z');
    // A reserved label type.
    const Bytes reserved = dnssl(Bytes{0x80, 'a', 0});
    const RouterAdvertisedDns dns =
        decode(overlong + loop + unterminated + reserved + dnssl(wireName("last.test")));
    QCOMPARE(dns.domains, QStringList({"good.test", "last.test"}));
}

void TestNetlinkWatcher::walkStopsAtZeroLengthAndAtTheEnd()
{
    const Bytes server = rdnss({"fd77::53"});
    QCOMPARE(serverTexts(decode(server + optionHeader(3, 0) + rdnss({"fd77::99"}))),
             QStringList({"fd77::53"}));

    // The last option claims more than the area holds, in whole units and in a stray byte.
    Bytes truncated = rdnss({"fd77::1", "fd77::2"});
    truncated.resize(24);
    QCOMPARE(serverTexts(decode(server + truncated)), QStringList({"fd77::53"}));
    QCOMPARE(serverTexts(decode(server + Bytes{25})), QStringList({"fd77::53"}));
    Bytes truncatedNames = dnssl(wireName("cut.test"));
    truncatedNames.resize(12);
    QVERIFY(decode(truncatedNames).domains.isEmpty());

    // Unknown option types are stepped over.
    const Bytes prefixInformation = optionHeader(3, 4) + Bytes(24, 0);
    QCOMPARE(serverTexts(decode(prefixInformation + server)), QStringList({"fd77::53"}));
    QVERIFY(decode(Bytes{}).servers.isEmpty());
}

void TestNetlinkWatcher::ndUserOptHeader_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("accepted");
    const Bytes options = rdnss({"fd77::53"});
    const int length = static_cast<int>(options.size());
    auto row = [](const char *name, const Bytes &payload, bool accepted) {
        QTest::newRow(name) << QByteArray(reinterpret_cast<const char *>(payload.data()),
                                          static_cast<int>(payload.size()))
                            << accepted;
    };
    row("router advertisement", ndUserOptPayload(AF_INET6, 134, 0, length, 7, options), true);
    row("IPv4 family", ndUserOptPayload(AF_INET, 134, 0, length, 7, options), false);
    row("router solicitation", ndUserOptPayload(AF_INET6, 133, 0, length, 7, options), false);
    row("non-zero code", ndUserOptPayload(AF_INET6, 134, 1, length, 7, options), false);
    row("no options", ndUserOptPayload(AF_INET6, 134, 0, 0, 7, options), false);
    row("options beyond the message", ndUserOptPayload(AF_INET6, 134, 0, length + 8, 7, options),
        false);
    row("shorter than a header", Bytes(8, 0), false);
}

void TestNetlinkWatcher::ndUserOptHeader()
{
    QFETCH(QByteArray, payload);
    QFETCH(bool, accepted);
    std::vector<unsigned char> exact(payload.begin(), payload.end());
    exact.shrink_to_fit();
    NdUserOptions ra;
    QCOMPARE(NetlinkWatcher::routerAdvertisementOptions(exact.data(),
                                                        static_cast<int>(exact.size()), &ra),
             accepted);
    if (accepted) {
        QCOMPARE(ra.interfaceIndex, 7);
        QCOMPARE(ra.options, exact.data() + sizeof(nduseroptmsg));
        QCOMPARE(ra.length, static_cast<int>(exact.size() - sizeof(nduseroptmsg)));
    }
}

// A wrong reference count frees an object that is still held; the sanitizer build reports the
// use after free and the leak checker a missing release.
void TestNetlinkWatcher::udevHandlesShareReferences()
{
    UDev::Connection connection;
    {
        UDev::Connection copy(connection);
        UDev::Connection other;
        other = copy;
        other = *&other;
        QCOMPARE(other.get(), connection.get());
    }
    QVERIFY(connection.get() != nullptr);

    UDev::Device empty;
    QVERIFY(!empty);
    QVERIFY(empty.getProperty("INTERFACE") == nullptr);
    UDev::Device loopback(udev_device_new_from_subsystem_sysname(connection.get(), "net", "lo"));
    if (!loopback) {
        QSKIP("no sysfs entry for the loopback interface");
    }
    {
        UDev::Device copy(loopback);
        UDev::Device assigned;
        assigned = copy;
        assigned = *&assigned;
        copy = empty;
        QVERIFY(!copy);
        QCOMPARE(QByteArray(assigned.getProperty("INTERFACE")), QByteArray("lo"));
    }
    QCOMPARE(QByteArray(loopback.getProperty("INTERFACE")), QByteArray("lo"));
    QVERIFY(loopback.getProperty("NO_SUCH_PROPERTY") == nullptr);

    UDev::Monitor monitor(connection, "net");
    {
        UDev::Monitor copy(monitor);
        copy = *&copy;
        UDev::Monitor other(UDev::Connection(), "net");
        other = copy;
        QCOMPARE(other.getFd(), monitor.getFd());
    }
    QVERIFY(monitor.getFd() >= 0);
    // Nothing is pending, so the non-blocking receive comes back empty.
    QVERIFY(!monitor.receiveDevice());
}

QTEST_GUILESS_MAIN(TestNetlinkWatcher)
#include "tst_NetlinkWatcher.moc"
