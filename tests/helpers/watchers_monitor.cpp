// Runs the netlink and udev watchers against the kernel of the namespace it is started in and
// reports every signal as one JSON object.
//
// Usage: watchers_monitor [-d] INTERFACE...   (addressesChanged lists the named interfaces)

#include "HelperChannel.h"
#include "NetlinkWatcher.h"
#include "UDevWatcher.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

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
    explicit WatcherPrinter(const QStringList &interfaces) : m_interfaces(interfaces)
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
    WatcherPrinter printer(setUpHelper(application));
    return application.exec();
}

#include "moc_HelperChannel.cpp"
#include "watchers_monitor.moc"
