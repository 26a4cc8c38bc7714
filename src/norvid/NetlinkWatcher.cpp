#include "NetlinkWatcher.h"

#include "NorviCommon.h"

#include <QSet>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cstring>
#include <linux/if.h>
#include <linux/rtnetlink.h>
#include <netinet/icmp6.h>
#include <netlink/cache.h>
#include <netlink/msg.h>
#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <resolv.h>

namespace {

constexpr int NdOptionRdnss = 25;
constexpr int NdOptionDnssl = 31;
constexpr int NdOptionUnit = 8;
// Type, length, two reserved bytes and the lifetime come before an RDNSS or DNSSL payload.
constexpr int NdOptionDataOffset = 8;
constexpr int NdOptionMinimumLength = 3;
constexpr int Ipv6AddressLength = 16;
constexpr int AddressTextLength = 512;
constexpr int DomainNameLength = 256;

const char *flagSign(unsigned int flags, unsigned int flag)
{
    return (flags & flag) != 0 ? "+" : "-";
}

QString ipv6Text(const unsigned char *bytes)
{
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, bytes, text, sizeof(text));
    return QString::fromLatin1(text);
}

// The oldest entry, the most likely to be stale, makes room for a new one.
template <typename T> void appendBounded(QList<T> *list, const T &entry)
{
    if (list->contains(entry)) {
        return;
    }
    list->append(entry);
    if (list->size() > RouterAdvertisedDns::MaximumEntries) {
        list->removeFirst();
    }
}

void addRdnssServers(const unsigned char *option, int units, const QByteArray &interfaceName,
                     QList<NetlinkAddress> *servers)
{
    const int count = (units - 1) / 2;
    for (int i = 0; i < count; ++i) {
        appendBounded(servers,
                      NetlinkAddress(ipv6Text(option + NdOptionDataOffset + i * Ipv6AddressLength),
                                     interfaceName, false, false, 128));
    }
}

void addDnsslDomains(const unsigned char *option, const unsigned char *end, QStringList *domains)
{
    const unsigned char *position = option + NdOptionDataOffset;
    while (position < end) {
        char name[DomainNameLength] = {};
        const int used = dn_expand(position, end, position, name, sizeof(name));
        if (used <= 0) {
            return;
        }
        const QString domain = QString::fromLatin1(name);
        if (!domain.isEmpty()) {
            appendBounded(domains, domain);
        }
        position += used;
    }
}

template <typename Map> QList<typename Map::mapped_type::value_type> concatenated(const Map &map)
{
    QList<typename Map::mapped_type::value_type> all;
    for (const auto &list : map) {
        all += list;
    }
    return all;
}

} // namespace

NetlinkAddress::NetlinkAddress(const QString &address, const QByteArray &interfaceName, bool ipv4,
                               bool linkLocal, int prefixLength)
    : m_address(address), m_interfaceName(interfaceName), m_ipv4(ipv4), m_linkLocal(linkLocal),
      m_prefixLength(prefixLength)
{}

QString NetlinkAddress::netmask() const
{
    if (!m_ipv4) {
        return QString();
    }
    const int bits = qBound(0, m_prefixLength, 32);
    const quint32 mask = bits == 0 ? 0 : ~quint32(0) << (32 - bits);
    return QStringLiteral("%1.%2.%3.%4")
        .arg(mask >> 24)
        .arg((mask >> 16) & 0xff)
        .arg((mask >> 8) & 0xff)
        .arg(mask & 0xff);
}

bool NetlinkAddress::operator==(const NetlinkAddress &other) const
{
    return m_address == other.m_address && m_interfaceName == other.m_interfaceName &&
           m_ipv4 == other.m_ipv4 && m_linkLocal == other.m_linkLocal &&
           m_prefixLength == other.m_prefixLength;
}

NetlinkCache::NetlinkCache(nl_sock *socket)
{
    if (rtnl_link_alloc_cache(socket, AF_UNSPEC, &m_cache) != 0) {
        m_cache = nullptr;
        nvCritical() << "Couldn't allocate netlink link cache!";
        return;
    }
    nvDebug() << "Finished setting up netlink cache";
}

NetlinkCache::~NetlinkCache()
{
    if (m_cache != nullptr) {
        nl_cache_free(m_cache);
    }
}

NetlinkSocket::NetlinkSocket(QObject *owner) : m_args{this, owner}
{
    allocate();
}

NetlinkSocket::~NetlinkSocket()
{
    m_cache.reset();
    release();
}

void NetlinkSocket::allocate()
{
    m_socket = nl_socket_alloc();
    if (m_socket == nullptr) {
        nvCritical() << "Couldn't allocate netlink socket!";
    }
}

void NetlinkSocket::release()
{
    if (m_socket != nullptr) {
        nl_socket_free(m_socket);
        m_socket = nullptr;
    }
}

bool NetlinkSocket::setupSocket(Callback callback)
{
    if (m_setup) {
        nvDebug() << "Socket is already setup, closing and reopening the connection!";
        m_cache.reset();
        release();
        m_setup = false;
        allocate();
    }
    if (m_socket == nullptr || !subscribe(callback)) {
        return false;
    }
    m_cache = std::make_unique<NetlinkCache>(m_socket);
    m_setup = true;
    nvDebug() << "Finished setting up netlink socket";
    return true;
}

bool NetlinkSocket::subscribe(Callback callback)
{
    // Notifications are unsolicited, so they carry no sequence numbers worth checking.
    nl_socket_disable_seq_check(m_socket);
    if (nl_socket_modify_cb(m_socket, NL_CB_VALID, NL_CB_CUSTOM, callback, &m_args) != 0) {
        nvCritical() << "Couldn't setup callback on netlink socket!";
        return false;
    }
    if (nl_connect(m_socket, NETLINK_ROUTE) != 0) {
        nvCritical() << "Couldn't connect netlink socket!";
        return false;
    }
    if (nl_socket_add_memberships(m_socket, RTNLGRP_LINK, RTNLGRP_IPV4_IFADDR, RTNLGRP_IPV4_ROUTE,
                                  RTNLGRP_IPV6_IFADDR, RTNLGRP_IPV6_ROUTE, RTNLGRP_ND_USEROPT,
                                  0) != 0) {
        nvCritical() << "Couldn't add memberships to netlink socket!";
        return false;
    }
    return true;
}

int NetlinkSocket::getSocket() const
{
    return nl_socket_get_fd(m_socket);
}

bool NetlinkSocket::receiveMesg()
{
    if (!m_setup) {
        return false;
    }
    return nl_recvmsgs_default(m_socket) == 0;
}

nl_cache *NetlinkSocket::getNlCache() const
{
    return m_cache ? m_cache->getNlCache() : nullptr;
}

NetlinkWatcher::NetlinkWatcher(QObject *parent) : QObject(parent), m_socket(this)
{
    if (!m_socket.setupSocket(netlinkCallback)) {
        nvCritical() << "Netlink socket is not setup!";
        return;
    }
    m_notifier = new QSocketNotifier(m_socket.getSocket(), QSocketNotifier::Read, this);
    norvi::connect(m_notifier, SIGNAL(activated(int)), this, SLOT(on_socketReady(int)));
    nvDebug() << "Finished setting up netlinkWatcher";
    replayLinkCache();
    replayAddresses();
}

NetlinkWatcher::~NetlinkWatcher()
{
    // The notifier must let go of the descriptor before the socket closes it.
    delete m_notifier;
}

void NetlinkWatcher::replayLinkCache()
{
    nl_cache *cache = m_socket.getNlCache();
    if (cache == nullptr) {
        return;
    }
    for (nl_object *object = nl_cache_get_first(cache); object != nullptr;
         object = nl_cache_get_next(object)) {
        processNetlinkMsg(object);
    }
}

QList<NetlinkAddress> NetlinkWatcher::getAddressesForInterface(const QByteArray &name) const
{
    return m_addresses.value(name).values();
}

QList<NetlinkAddress> NetlinkWatcher::getNameservers() const
{
    return concatenated(m_nameservers);
}

QStringList NetlinkWatcher::getSearchDomains() const
{
    const QStringList all = concatenated(m_searchDomains);
    return QStringList(QSet<QString>(all.begin(), all.end()).values());
}

void NetlinkWatcher::on_socketReady(int)
{
    if (!m_socket.receiveMesg()) {
        nvCritical() << "Netlink receive message returned an error!";
    }
}

int NetlinkWatcher::netlinkCallback(nl_msg *message, void *arg)
{
    if (nlmsg_hdr(message)->nlmsg_type == RTM_NEWNDUSEROPT) {
        auto *args = static_cast<NetlinkArgs *>(arg);
        return static_cast<NetlinkWatcher *>(args->owner)->parseNdUserOptMsg(message);
    }
    nl_msg_parse(message, netlinkParseCallback, arg);
    return NL_OK;
}

void NetlinkWatcher::netlinkParseCallback(nl_object *object, void *arg)
{
    auto *args = static_cast<NetlinkArgs *>(arg);
    static_cast<NetlinkWatcher *>(args->owner)->processNetlinkMsg(object);
}

// The kernel announces only changes: what the interfaces held before the watcher started (a
// restart finds them up and addressed) is asked for once. The dump runs on a socket of its own,
// so that no notification is taken up by it; one that overlaps the dump repeats what the dump
// said, and repeats change nothing.
void NetlinkWatcher::replayAddresses()
{
    nl_sock *socket = nl_socket_alloc();
    nl_cache *cache = nullptr;
    if (socket == nullptr || nl_connect(socket, NETLINK_ROUTE) != 0 ||
        rtnl_addr_alloc_cache(socket, &cache) != 0) {
        nvCritical() << "Couldn't read the addresses present at start-up!";
    } else {
        for (nl_object *object = nl_cache_get_first(cache); object != nullptr;
             object = nl_cache_get_next(object)) {
            processNetlinkMsg(object);
        }
    }
    nl_cache_free(cache);
    nl_socket_free(socket);
}

void NetlinkWatcher::processNetlinkMsg(nl_object *object)
{
    const int type = nl_object_get_msgtype(object);
    if (type == RTM_NEWLINK || type == RTM_DELLINK) {
        processLink(type, object);
    } else if (type == RTM_NEWADDR || type == RTM_DELADDR) {
        processAddress(type, object);
    }
}

void NetlinkWatcher::processLink(int type, nl_object *object)
{
    auto *link = reinterpret_cast<rtnl_link *>(object);
    const int index = rtnl_link_get_ifindex(link);
    const char *linkName = rtnl_link_get_name(link);
    if (index == 0 || linkName == nullptr) {
        return;
    }
    const QByteArray name(linkName);
    if (type == RTM_DELLINK) {
        m_interfaces.remove(index);
    } else {
        m_interfaces.insert(index, name);
    }
    const unsigned int flags = rtnl_link_get_flags(link);
    nvInfo() << "Netlink received interface status update: " << name << ": "
             << flagSign(flags, IFF_UP) << "UP " << flagSign(flags, IFF_RUNNING) << "RUNNING "
             << flagSign(flags, IFF_LOWER_UP) << "LOWER_UP " << flagSign(flags, IFF_DORMANT)
             << "DORMANT ";
    const unsigned int runningMask = IFF_RUNNING | IFF_LOWER_UP | IFF_DORMANT;
    const bool running = (flags & runningMask) == (IFF_RUNNING | IFF_LOWER_UP);
    if (!running) {
        clearNameserversAndDomains(name);
    }
    emit interfaceStatusChanged(name, (flags & IFF_UP) != 0, running);
}

void NetlinkWatcher::processAddress(int type, nl_object *object)
{
    auto *address = reinterpret_cast<rtnl_addr *>(object);
    bool add = type == RTM_NEWADDR;
    nl_addr *local = rtnl_addr_get_local(address);
    if (add && local == nullptr) {
        return;
    }
    const int scope = rtnl_addr_get_scope(address);
    const int family = rtnl_addr_get_family(address);
    if ((scope != RT_SCOPE_UNIVERSE && scope != RT_SCOPE_LINK) ||
        (family != AF_INET6 && family != AF_INET) || local == nullptr) {
        return;
    }
    if ((rtnl_addr_get_flags(address) & IFA_F_DEPRECATED) != 0) {
        add = false;
    }
    char text[AddressTextLength] = {};
    nl_addr2str(local, text, sizeof(text));
    const int index = rtnl_addr_get_ifindex(address);
    const auto interface = m_interfaces.constFind(index);
    if (interface == m_interfaces.constEnd()) {
        nvWarning() << "Got address update for non-existent interface: " << index;
        return;
    }
    const QString addressText = QString::fromLatin1(text).section(QLatin1Char('/'), 0, 0);
    if (updateIpRecords(add, *interface, family == AF_INET, scope == RT_SCOPE_LINK, addressText,
                        rtnl_addr_get_prefixlen(address))) {
        emit addressesChanged();
    }
}

bool NetlinkWatcher::updateIpRecords(bool add, const QByteArray &name, bool ipv4, bool linkLocal,
                                     const QString &address, int prefixLength)
{
    if (!add && !m_addresses.contains(name)) {
        return false;
    }
    QHash<QString, NetlinkAddress> &records = m_addresses[name];
    const QHash<QString, NetlinkAddress> before = records;
    if (add) {
        records.insert(address, NetlinkAddress(address, name, ipv4, linkLocal, prefixLength));
    } else {
        records.remove(address);
    }
    if (records == before) {
        return false;
    }
    nvDebug() << (add ? "Added " : "Removed ") << (linkLocal ? "local " : "") << address << "/"
              << prefixLength << ", ifc: " << name;
    return true;
}

bool NetlinkWatcher::routerAdvertisementOptions(const unsigned char *payload, int payloadLength,
                                                NdUserOptions *result)
{
    nduseroptmsg header{};
    if (payloadLength < static_cast<int>(sizeof(header))) {
        return false;
    }
    std::memcpy(&header, payload, sizeof(header));
    const int available = payloadLength - static_cast<int>(sizeof(header));
    if (header.nduseropt_family != AF_INET6 || header.nduseropt_icmp_type != ND_ROUTER_ADVERT ||
        header.nduseropt_icmp_code != 0 || header.nduseropt_opts_len == 0 ||
        header.nduseropt_opts_len > available) {
        return false;
    }
    result->interfaceIndex = header.nduseropt_ifindex;
    result->options = payload + sizeof(header);
    result->length = header.nduseropt_opts_len;
    return true;
}

void NetlinkWatcher::parseNdOptions(const unsigned char *options, int length,
                                    const QByteArray &interfaceName, RouterAdvertisedDns *dns)
{
    int offset = 0;
    while (length - offset >= 2) {
        const unsigned char *option = options + offset;
        const int units = option[1];
        const int optionLength = units * NdOptionUnit;
        // A zero length could never advance the walk.
        if (units == 0 || optionLength > length - offset) {
            return;
        }
        if (option[0] == NdOptionRdnss && units >= NdOptionMinimumLength && units % 2 == 1) {
            addRdnssServers(option, units, interfaceName, &dns->servers);
        } else if (option[0] == NdOptionDnssl && units >= NdOptionMinimumLength) {
            addDnsslDomains(option, option + optionLength, &dns->domains);
        }
        offset += optionLength;
    }
}

int NetlinkWatcher::parseNdUserOptMsg(nl_msg *message)
{
    NdUserOptions ra;
    if (!routerAdvertisementOptions(
            static_cast<const unsigned char *>(nlmsg_data(nlmsg_hdr(message))),
            nlmsg_datalen(nlmsg_hdr(message)), &ra)) {
        return NL_OK;
    }
    const auto interface = m_interfaces.constFind(ra.interfaceIndex);
    if (interface == m_interfaces.constEnd()) {
        return NL_OK;
    }
    const QByteArray name = *interface;
    const auto serversBefore = m_nameservers;
    const auto domainsBefore = m_searchDomains;
    RouterAdvertisedDns dns{m_nameservers.value(name), m_searchDomains.value(name)};
    parseNdOptions(ra.options, ra.length, name, &dns);
    if (!dns.servers.isEmpty()) {
        m_nameservers.insert(name, dns.servers);
    }
    if (!dns.domains.isEmpty()) {
        m_searchDomains.insert(name, dns.domains);
    }
    emitDnsChanges(serversBefore, domainsBefore);
    return NL_OK;
}

void NetlinkWatcher::clearNameserversAndDomains(const QByteArray &name)
{
    const auto serversBefore = m_nameservers;
    const auto domainsBefore = m_searchDomains;
    m_nameservers.remove(name);
    m_searchDomains.remove(name);
    emitDnsChanges(serversBefore, domainsBefore);
}

void NetlinkWatcher::emitDnsChanges(const QHash<QByteArray, QList<NetlinkAddress>> &servers,
                                    const QHash<QByteArray, QStringList> &domains)
{
    if (m_nameservers != servers) {
        emit nameserversChanged();
    }
    if (m_searchDomains != domains) {
        emit searchDomainsChanged();
    }
}
