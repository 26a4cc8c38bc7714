#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

struct nl_cache;
struct nl_msg;
struct nl_object;
struct nl_sock;
class QSocketNotifier;

// One address known on an interface.
class NetlinkAddress
{
public:
    NetlinkAddress() = default;
    NetlinkAddress(const QString &address, const QByteArray &interfaceName, bool ipv4,
                   bool linkLocal, int prefixLength);

    const QString &address() const { return m_address; }
    const QByteArray &interfaceName() const { return m_interfaceName; }
    bool isIpv4() const { return m_ipv4; }
    bool isLinkLocal() const { return m_linkLocal; }
    int prefixLength() const { return m_prefixLength; }

    // The dotted-quad mask of an IPv4 record; a null string for IPv6.
    QString netmask() const;

    bool operator==(const NetlinkAddress &other) const;
    bool operator!=(const NetlinkAddress &other) const { return !(*this == other); }

private:
    QString m_address;
    QByteArray m_interfaceName;
    bool m_ipv4 = false;
    bool m_linkLocal = false;
    int m_prefixLength = 0;
};

// The libnl link cache, filled once from the kernel when it is made.
class NetlinkCache
{
public:
    explicit NetlinkCache(nl_sock *socket);
    ~NetlinkCache();
    NetlinkCache(const NetlinkCache &) = delete;
    NetlinkCache &operator=(const NetlinkCache &) = delete;

    nl_cache *getNlCache() const { return m_cache; }

private:
    nl_cache *m_cache = nullptr;
};

class NetlinkSocket;

// What libnl hands back to the callback for every message.
struct NetlinkArgs
{
    NetlinkSocket *socket;
    QObject *owner;
};

// The rtnetlink socket, subscribed to link, address and router-advertisement notifications.
class NetlinkSocket
{
public:
    using Callback = int (*)(nl_msg *, void *);

    // Room for the notifications of a burst of link changes (an interface flapping, a script
    // reconfiguring many links) while the main thread is busy elsewhere.
    static constexpr int ReceiveBufferBytes = 4 * 1024 * 1024;
    // Bounds the discarding of queued notifications while a storm keeps refilling the queue.
    static constexpr int MaximumDiscarded = 100000;

    explicit NetlinkSocket(QObject *owner, int receiveBufferBytes = ReceiveBufferBytes);
    ~NetlinkSocket();
    NetlinkSocket(const NetlinkSocket &) = delete;
    NetlinkSocket &operator=(const NetlinkSocket &) = delete;

    bool setupSocket(Callback callback);
    int getSocket() const;
    bool receiveMesg();
    // Whether the last receive failed because the kernel dropped notifications for want of room.
    bool lostMessages() const { return m_lostMessages; }
    // Throws away what is queued: after a loss it is older than a fresh dump of the state.
    void discardPending();
    nl_cache *getNlCache() const;

private:
    void allocate();
    void release();
    bool subscribe(Callback callback);
    void setReceiveBuffer();

    const int m_receiveBufferBytes;
    bool m_lostMessages = false;
    bool m_setup = false;
    nl_sock *m_socket = nullptr;
    NetlinkArgs m_args;
    std::unique_ptr<NetlinkCache> m_cache;
};

// Router-advertised DNS data of one interface, accumulated without duplicates.
struct RouterAdvertisedDns
{
    // Entries are never expired, so forged advertisements flooding the link must not grow the
    // lists without bound. Real routers advertise a handful.
    static constexpr int MaximumEntries = 16;

    QList<NetlinkAddress> servers;
    QStringList domains;
};

// The options area of a kernel ND user-option message that carries a router advertisement.
struct NdUserOptions
{
    int interfaceIndex = 0;
    const unsigned char *options = nullptr;
    int length = 0;
};

// Reports the kernel's view of links, addresses and router-advertised DNS data.
class NetlinkWatcher : public QObject
{
    Q_OBJECT

public:
    explicit NetlinkWatcher(QObject *parent = nullptr,
                            int receiveBufferBytes = NetlinkSocket::ReceiveBufferBytes);
    ~NetlinkWatcher() override;

    QList<NetlinkAddress> getAddressesForInterface(const QByteArray &name) const;
    QList<NetlinkAddress> getNameservers() const;
    QStringList getSearchDomains() const;

    static int netlinkCallback(nl_msg *message, void *arg);
    static void netlinkParseCallback(nl_object *object, void *arg);

    // Finds the options of a router advertisement in the payload of an ND user-option
    // message; false for anything else, including a payload shorter than it claims.
    static bool routerAdvertisementOptions(const unsigned char *payload, int payloadLength,
                                           NdUserOptions *result);
    // Adds the RDNSS servers and DNSSL domains found in a router advertisement's options.
    static void parseNdOptions(const unsigned char *options, int length,
                               const QByteArray &interfaceName, RouterAdvertisedDns *dns);

signals:
    void interfaceStatusChanged(QByteArray name, bool up, bool running);
    void addressesChanged();
    void nameserversChanged();
    void searchDomainsChanged();

public slots:
    void on_socketReady(int socket);

private:
    struct LinkStatus
    {
        bool up;
        bool running;
        bool operator!=(const LinkStatus &other) const
        {
            return up != other.up || running != other.running;
        }
    };

    void replayLinkCache();
    void replayAddresses();
    void resynchronise();
    void resynchroniseLinks(nl_cache *links);
    void resynchroniseAddresses(nl_cache *addresses);
    void processNetlinkMsg(nl_object *object);
    void processLink(int type, nl_object *object);
    static LinkStatus statusOf(unsigned int flags);
    void reportLink(const QByteArray &name, unsigned int flags);
    void processAddress(int type, nl_object *object);
    bool readAddress(int type, nl_object *object, NetlinkAddress *record, bool *add) const;
    int parseNdUserOptMsg(nl_msg *message);
    bool updateIpRecords(bool add, const QByteArray &name, bool ipv4, bool linkLocal,
                         const QString &address, int prefixLength);
    void clearNameserversAndDomains(const QByteArray &name);
    void emitDnsChanges(const QHash<QByteArray, QList<NetlinkAddress>> &servers,
                        const QHash<QByteArray, QStringList> &domains);

    NetlinkSocket m_socket;
    QSocketNotifier *m_notifier = nullptr;
    QHash<int, QByteArray> m_interfaces;
    // What was last reported of each link, so that a resynchronisation passes on changes only.
    QHash<QByteArray, LinkStatus> m_linkStatus;
    QHash<QByteArray, QHash<QString, NetlinkAddress>> m_addresses;
    QHash<QByteArray, QList<NetlinkAddress>> m_nameservers;
    QHash<QByteArray, QStringList> m_searchDomains;
};
