// Runs the netlink and udev watchers against the kernel of the namespace it is started in and
// reports every signal as one JSON object.
//
// Usage: watchers_monitor [-d] [--hold BYTES] INTERFACE...
//   addressesChanged lists the named interfaces. --hold gives the netlink socket a receive
//   buffer of that size and reads nothing until a line comes on standard input, so that a test
//   can overflow it.

#include "HelperChannel.h"
#include "NetlinkWatcher.h"
#include "UDevWatcher.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>

namespace {

void print(const QString &event, QJsonObject fields = {})
{
    fields.insert("event", event);
    printReport(QString::fromUtf8(QJsonDocument(fields).toJson(QJsonDocument::Compact)));
}

QJsonObject toJson(const NetlinkAddress &address)
{
    return {{"address", address.address()},
            {"interface", QString::fromLatin1(address.interfaceName())},
            {"ipv4", address.isIpv4()},
            {"linkLocal", address.isLinkLocal()},
            {"prefix", address.prefixLength()}};
}

QJsonArray toJson(QList<NetlinkAddress> addresses)
{
    std::sort(
        addresses.begin(), addresses.end(),
        [](const NetlinkAddress &a, const NetlinkAddress &b) { return a.address() < b.address(); });
    QJsonArray array;
    for (const NetlinkAddress &address : addresses) {
        array.append(toJson(address));
    }
    return array;
}

} // namespace

class WatcherPrinter : public QObject
{
    Q_OBJECT

public:
    WatcherPrinter(const QStringList &interfaces, int receiveBufferBytes)
        : m_interfaces(interfaces), m_netlink(nullptr, receiveBufferBytes)
    {
        norvi::connect(&m_netlink, SIGNAL(interfaceStatusChanged(QByteArray, bool, bool)), this,
                       SLOT(on_interfaceStatusChanged(QByteArray, bool, bool)));
        norvi::connect(&m_netlink, SIGNAL(addressesChanged()), this, SLOT(on_addressesChanged()));
        norvi::connect(&m_netlink, SIGNAL(nameserversChanged()), this,
                       SLOT(on_nameserversChanged()));
        norvi::connect(&m_netlink, SIGNAL(searchDomainsChanged()), this,
                       SLOT(on_searchDomainsChanged()));
        norvi::connect(&m_udev, SIGNAL(interfaceAdded(QByteArray)), this,
                       SLOT(on_interfaceAdded(QByteArray)));
        norvi::connect(&m_udev, SIGNAL(interfaceRemoved(QByteArray)), this,
                       SLOT(on_interfaceRemoved(QByteArray)));
        // What the watcher found at its start.
        print("ready", {{"addresses", addresses()}});
    }

private slots:
    void on_interfaceStatusChanged(const QByteArray &name, bool up, bool running)
    {
        print("interfaceStatusChanged",
              {{"name", QString::fromLatin1(name)}, {"up", up}, {"running", running}});
    }

    void on_addressesChanged() { print("addressesChanged", {{"addresses", addresses()}}); }

    void on_nameserversChanged()
    {
        print("nameserversChanged", {{"servers", toJson(m_netlink.getNameservers())}});
    }

    void on_searchDomainsChanged()
    {
        QStringList domains = m_netlink.getSearchDomains();
        domains.sort();
        print("searchDomainsChanged", {{"domains", QJsonArray::fromStringList(domains)}});
    }

    void on_interfaceAdded(const QByteArray &name)
    {
        print("interfaceAdded", {{"name", QString::fromLatin1(name)}});
    }

    void on_interfaceRemoved(const QByteArray &name)
    {
        print("interfaceRemoved", {{"name", QString::fromLatin1(name)}});
    }

private:
    QJsonObject addresses() const
    {
        QJsonObject addresses;
        for (const QString &name : m_interfaces) {
            addresses.insert(name, toJson(m_netlink.getAddressesForInterface(name.toLatin1())));
        }
        return addresses;
    }

    QStringList m_interfaces;
    NetlinkWatcher m_netlink;
    UDevWatcher m_udev;
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QStringList args = setUpHelper(application);
    const bool hold = args.value(0) == "--hold";
    const int receiveBufferBytes = hold ? args.value(1).toInt() : NetlinkSocket::ReceiveBufferBytes;
    WatcherPrinter printer(args.mid(hold ? 2 : 0), receiveBufferBytes);
    char line[16];
    if (hold && std::fgets(line, sizeof line, stdin) == nullptr) {
        return 1;
    }
    return application.exec();
}

#include "moc_HelperChannel.cpp"
#include "watchers_monitor.moc"
