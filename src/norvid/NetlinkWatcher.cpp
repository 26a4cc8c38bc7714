#include "NetlinkWatcher.h"

#include "NorviCommon.h"

#include <QSet>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
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
#include <sys/socket.h>

#include <utility>

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

struct SocketDeleter
{
    void operator()(nl_sock *socket) const { nl_socket_free(socket); }
};

struct CacheDeleter
{
    void operator()(nl_cache *cache) const { nl_cache_free(cache); }
};

// A socket for one dump of the kernel's state: the notification socket takes no replies.
std::unique_ptr<nl_sock, SocketDeleter> openDumpSocket()
{
    std::unique_ptr<nl_sock, SocketDeleter> dump(nl_socket_alloc());
    if (dump && nl_connect(dump.get(), NETLINK_ROUTE) != 0) {
        dump.reset();
    }
    return dump;
}

template <typename Map> Map withoutEmptyEntries(Map map)
{
    for (auto entry = map.begin(); entry != map.end();) {
        entry = entry->isEmpty() ? map.erase(entry) : std::next(entry);
    }
    return map;
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

NetlinkSocket::NetlinkSocket(QObject *owner, int receiveBufferBytes)
    : m_receiveBufferBytes(receiveBufferBytes), m_args{this, owner}
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
    setReceiveBuffer();
    // Route notifications would only take room in the buffer: nothing here uses them.
    if (nl_socket_add_memberships(m_socket, RTNLGRP_LINK, RTNLGRP_IPV4_IFADDR, RTNLGRP_IPV6_IFADDR,
                                  RTNLGRP_ND_USEROPT, 0) != 0) {
        nvCritical() << "Couldn't add memberships to netlink socket!";
        return false;
    }
    return true;
}

// Past the system's limit for ordinary sockets (net.core.rmem_max, often 208 KB, a few hundred
// link messages) where the privilege allows; the limit has to do otherwise.
void NetlinkSocket::setReceiveBuffer()
{
    const int fd = nl_socket_get_fd(m_socket);
    const socklen_t size = sizeof(m_receiveBufferBytes);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &m_receiveBufferBytes, size) != 0 &&
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &m_receiveBufferBytes, size) != 0) {
        nvWarning() << "Couldn't size the netlink receive buffer: " << std::strerror(errno);
    }
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
    const int result = nl_recvmsgs_default(m_socket);
    // libnl reports the kernel's ENOBUFS, notifications dropped for want of room, as NLE_NOMEM.
    m_lostMessages = result == -NLE_NOMEM;
    return result == 0;
}

void NetlinkSocket::discardPending()
{
    const int fd = nl_socket_get_fd(m_socket);
    for (int discarded = 0; discarded < MaximumDiscarded; ++discarded) {
        if (recv(fd, nullptr, 0, MSG_DONTWAIT | MSG_TRUNC) < 0 && errno != ENOBUFS &&
            errno != EINTR) {
            return;
        }
    }
}

nl_cache *NetlinkSocket::getNlCache() const
{
    return m_cache ? m_cache->getNlCache() : nullptr;
}

NetlinkWatcher::NetlinkWatcher(QObject *parent, int receiveBufferBytes)
    : QObject(parent), m_socket(this, receiveBufferBytes)
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
    if (m_socket.receiveMesg()) {
        return;
    }
    if (m_socket.lostMessages()) {
        nvWarning() << "Netlink notifications were lost, reading every link and address again";
        m_socket.discardPending();
        resynchronise();
        return;
    }
    nvCritical() << "Netlink receive message returned an error!";
}

// Lost notifications cannot be asked for again; only the kernel's whole current state tells
// what they said. The dump goes over a socket of its own: the notification socket takes no
// replies. What was queued before it is dropped: read after the dump, it would bring back
// states older than the dump's for a while.
void NetlinkWatcher::resynchronise()
{
    const std::unique_ptr<nl_sock, SocketDeleter> dump = openDumpSocket();
    nl_cache *links = nullptr;
    nl_cache *addresses = nullptr;
    if (!dump || rtnl_link_alloc_cache(dump.get(), AF_UNSPEC, &links) != 0) {
        nvCritical() << "Couldn't read the links from the kernel!";
        return;
    }
    const std::unique_ptr<nl_cache, CacheDeleter> linkCache(links);
    if (rtnl_addr_alloc_cache(dump.get(), &addresses) != 0) {
        nvCritical() << "Couldn't read the addresses from the kernel!";
        return;
    }
    const std::unique_ptr<nl_cache, CacheDeleter> addressCache(addresses);
    resynchroniseLinks(links);
    resynchroniseAddresses(addresses);
}

void NetlinkWatcher::resynchroniseLinks(nl_cache *links)
{
    const QHash<int, QByteArray> before = std::exchange(m_interfaces, {});
    for (nl_object *object = nl_cache_get_first(links); object != nullptr;
         object = nl_cache_get_next(object)) {
        auto *link = reinterpret_cast<rtnl_link *>(object);
        const char *name = rtnl_link_get_name(link);
        const int index = rtnl_link_get_ifindex(link);
        if (index == 0 || name == nullptr) {
            continue;
        }
        m_interfaces.insert(index, name);
        const auto known = m_linkStatus.constFind(name);
        if (known == m_linkStatus.constEnd() || *known != statusOf(rtnl_link_get_flags(link))) {
            reportLink(name, rtnl_link_get_flags(link));
        }
    }
    const QList<QByteArray> present = m_interfaces.values();
    for (const QByteArray &name : before) {
        if (!present.contains(name) && m_linkStatus.remove(name) > 0) {
            clearNameserversAndDomains(name);
            emit interfaceStatusChanged(name, false, false);
        }
    }
}

void NetlinkWatcher::resynchroniseAddresses(nl_cache *addresses)
{
    QHash<QByteArray, QHash<QString, NetlinkAddress>> current;
    for (nl_object *object = nl_cache_get_first(addresses); object != nullptr;
         object = nl_cache_get_next(object)) {
        NetlinkAddress record;
        bool add = false;
        if (readAddress(RTM_NEWADDR, object, &record, &add) && add) {
            current[record.interfaceName()].insert(record.address(), record);
        }
    }
    if (current != withoutEmptyEntries(m_addresses)) {
        m_addresses = current;
        emit addressesChanged();
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
// restart finds them up and addressed) is asked for once, over a dump socket as after lost
// notifications. A notification that overlaps the dump repeats what the dump said, and repeats
// change nothing.
void NetlinkWatcher::replayAddresses()
{
    const std::unique_ptr<nl_sock, SocketDeleter> dump = openDumpSocket();
    nl_cache *addresses = nullptr;
    if (!dump || rtnl_addr_alloc_cache(dump.get(), &addresses) != 0) {
        nvCritical() << "Couldn't read the addresses present at start-up!";
        return;
    }
    const std::unique_ptr<nl_cache, CacheDeleter> addressCache(addresses);
    resynchroniseAddresses(addresses);
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
    reportLink(name, rtnl_link_get_flags(link));
    if (type == RTM_DELLINK) {
        m_linkStatus.remove(name);
    }
}

NetlinkWatcher::LinkStatus NetlinkWatcher::statusOf(unsigned int flags)
{
    const unsigned int runningMask = IFF_RUNNING | IFF_LOWER_UP | IFF_DORMANT;
    return {(flags & IFF_UP) != 0, (flags & runningMask) == (IFF_RUNNING | IFF_LOWER_UP)};
}

void NetlinkWatcher::reportLink(const QByteArray &name, unsigned int flags)
{
    nvInfo() << "Netlink received interface status update: " << name << ": "
             << flagSign(flags, IFF_UP) << "UP " << flagSign(flags, IFF_RUNNING) << "RUNNING "
             << flagSign(flags, IFF_LOWER_UP) << "LOWER_UP " << flagSign(flags, IFF_DORMANT)
             << "DORMANT ";
    const LinkStatus status = statusOf(flags);
    m_linkStatus.insert(name, status);
    if (!status.running) {
        clearNameserversAndDomains(name);
    }
    emit interfaceStatusChanged(name, status.up, status.running);
}

void NetlinkWatcher::processAddress(int type, nl_object *object)
{
    NetlinkAddress record;
    bool add = false;
    if (readAddress(type, object, &record, &add) &&
        updateIpRecords(add, record.interfaceName(), record.isIpv4(), record.isLinkLocal(),
                        record.address(), record.prefixLength())) {
        emit addressesChanged();
    }
}

// The record an address object stands for, false for an address the watcher does not keep.
// add tells a removal; a deprecated address counts as one, as it must not be used any more.
bool NetlinkWatcher::readAddress(int type, nl_object *object, NetlinkAddress *record,
                                 bool *add) const
{
    auto *address = reinterpret_cast<rtnl_addr *>(object);
    *add = type == RTM_NEWADDR;
    nl_addr *local = rtnl_addr_get_local(address);
    const int scope = rtnl_addr_get_scope(address);
    const int family = rtnl_addr_get_family(address);
    if (local == nullptr || (scope != RT_SCOPE_UNIVERSE && scope != RT_SCOPE_LINK) ||
        (family != AF_INET6 && family != AF_INET)) {
        return false;
    }
    if ((rtnl_addr_get_flags(address) & IFA_F_DEPRECATED) != 0) {
        *add = false;
    }
    char text[AddressTextLength] = {};
    nl_addr2str(local, text, sizeof(text));
    const int index = rtnl_addr_get_ifindex(address);
    const auto interface = m_interfaces.constFind(index);
    if (interface == m_interfaces.constEnd()) {
        nvWarning() << "Got address update for non-existent interface: " << index;
        return false;
    }
    *record =
        NetlinkAddress(QString::fromLatin1(text).section(QLatin1Char('/'), 0, 0), *interface,
                       family == AF_INET, scope == RT_SCOPE_LINK, rtnl_addr_get_prefixlen(address));
    return true;
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
