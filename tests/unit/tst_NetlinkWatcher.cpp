#include "NetlinkWatcher.h"

#include <QtTest>

#include <arpa/inet.h>
#include <cstring>
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
Bytes optionHeader(unsigned char type, unsigned char units)
{
    Bytes header(8, 0);
    header[0] = type;
    header[1] = units;
    header[7] = 0x10;
    return header;
}

Bytes ipv6(const char *text)
{
    Bytes bytes(16);
    inet_pton(AF_INET6, text, bytes.data());
    return bytes;
}

Bytes rdnss(const QList<const char *> &servers)
{
    Bytes option = optionHeader(25, static_cast<unsigned char>(1 + 2 * servers.size()));
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
    const auto units = static_cast<unsigned char>((8 + names.size() + 7) / 8);
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

QByteArray bytes(const Bytes &data)
{
    return QByteArray(reinterpret_cast<const char *>(data.data()), static_cast<int>(data.size()));
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
    void routerAdvertisedDns_data();
    void routerAdvertisedDns();
    void advertisementFloodKeepsTheNewestEntries();
    void ndUserOptHeader_data();
    void ndUserOptHeader();
};

void TestNetlinkWatcher::routerAdvertisedDns_data()
{
    QTest::addColumn<QByteArray>("options");
    QTest::addColumn<QStringList>("servers");
    QTest::addColumn<QStringList>("domains");
    const Bytes server = rdnss({"fd77::53"});
    const QStringList justServer{"fd77::53"};
    const auto row = [](const char *name, const Bytes &options) -> QTestData & {
        return QTest::newRow(name) << bytes(options);
    };

    row("servers once each, in order",
        rdnss({"fd77::53", "fd77::54", "fd77::53"}) + rdnss({"fd77::54"}) + rdnss({"2001:db8::1"}))
        << QStringList{"fd77::53", "fd77::54", "2001:db8::1"} << QStringList();
    // Length 4 (even) is no whole number of addresses; length 1 has no address at all.
    Bytes even = optionHeader(25, 4) + ipv6("fd77::1") + ipv6("fd77::2");
    even.resize(32, 0);
    row("malformed server lengths",
        even + optionHeader(25, 1) + rdnss({"fd77::3"}) + dnssl(wireName("after.test")))
        << QStringList{"fd77::3"} << QStringList{"after.test"};
    row("domains once each, case kept", dnssl(wireName("sandbox.test") + wireName("example.org") +
                                              wireName("sandbox.test") + wireName("Example.org")) +
                                            dnssl(wireName("example.org")) + server)
        << justServer << QStringList{"sandbox.test", "example.org", "Example.org"};
    row("nothing but padding", optionHeader(31, 3) + Bytes(16, 0))
        << QStringList() << QStringList();
    // A label running past the option's end, a compression pointer to itself, labels filling the
    // option with no closing zero, a reserved label type.
    Bytes unterminated = optionHeader(31, 3) + Bytes{15};
    unterminated.resize(24, 'z');
    row("names that do not decode", dnssl(wireName("good.test") + Bytes{60, 'x', 'y'}) +
                                        dnssl(Bytes{0xc0, 0x00}) + unterminated +
                                        dnssl(Bytes{0x80, 'a', 0}) + dnssl(wireName("last.test")))
        << QStringList() << QStringList{"good.test", "last.test"};
    row("zero length ends the walk", server + optionHeader(3, 0) + rdnss({"fd77::99"}))
        << justServer << QStringList();
    Bytes truncated = rdnss({"fd77::1", "fd77::2"});
    truncated.resize(24);
    row("last option cut short", server + truncated) << justServer << QStringList();
    row("stray byte at the end", server + Bytes{25}) << justServer << QStringList();
    Bytes truncatedNames = dnssl(wireName("cut.test"));
    truncatedNames.resize(12);
    row("names cut short", truncatedNames) << QStringList() << QStringList();
    row("unknown option stepped over", optionHeader(3, 4) + Bytes(24, 0) + server)
        << justServer << QStringList();
    row("empty", Bytes{}) << QStringList() << QStringList();
}

void TestNetlinkWatcher::routerAdvertisedDns()
{
    QFETCH(QByteArray, options);
    QFETCH(QStringList, servers);
    QFETCH(QStringList, domains);
    const RouterAdvertisedDns dns = decode(Bytes(options.begin(), options.end()));
    QCOMPARE(serverTexts(dns), servers);
    QCOMPARE(dns.domains, domains);
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

void TestNetlinkWatcher::ndUserOptHeader_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("accepted");
    const Bytes options = rdnss({"fd77::53"});
    const int length = static_cast<int>(options.size());
    const auto row = [&](const char *name, int family, int type, int code, int optionsLength) {
        QTest::newRow(name) << bytes(
                                   ndUserOptPayload(family, type, code, optionsLength, 7, options))
                            << (family == AF_INET6 && type == 134 && code == 0 &&
                                optionsLength == length);
    };
    row("router advertisement", AF_INET6, 134, 0, length);
    row("IPv4 family", AF_INET, 134, 0, length);
    row("router solicitation", AF_INET6, 133, 0, length);
    row("non-zero code", AF_INET6, 134, 1, length);
    row("no options", AF_INET6, 134, 0, 0);
    row("options beyond the message", AF_INET6, 134, 0, length + 8);
    QTest::newRow("shorter than a header") << QByteArray(8, 0) << false;
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

QTEST_GUILESS_MAIN(TestNetlinkWatcher)
#include "tst_NetlinkWatcher.moc"
