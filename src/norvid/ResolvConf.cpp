#include "ResolvConf.h"

#include "ConfigFileWriter.h"
#include "NorviCommon.h"

#include <QSet>

namespace {

// The longest name DNS can carry.
constexpr int MaximumDomainLength = 253;
const QString MalformedDomainPlaceholder = QStringLiteral("bad");

// A lone interface may fill every slot; of two, the first gets two and the second the rest;
// with more, each gets one until the slots run out.
int sharePerInterface(int interfaces)
{
    switch (interfaces) {
    case 1:
        return 3;
    case 2:
        return 2;
    default:
        return 1;
    }
}

// Takes servers of both families in turn, so that the resolver still has one it can reach
// when only one family works on the network. Within a family the interface's order counts.
QStringList pickServers(const QList<QHostAddress> &servers, int count)
{
    QStringList ipv4;
    QStringList ipv6;
    for (const QHostAddress &server : servers) {
        if (server.protocol() == QAbstractSocket::IPv4Protocol) {
            ipv4 << server.toString();
        } else if (server.protocol() == QAbstractSocket::IPv6Protocol) {
            ipv6 << server.toString();
        }
    }
    ipv4.removeDuplicates();
    ipv6.removeDuplicates();
    QStringList picked;
    for (int i = 0; picked.size() < count && (i < ipv4.size() || i < ipv6.size()); ++i) {
        if (i < ipv4.size()) {
            picked << ipv4.at(i);
        }
        if (picked.size() < count && i < ipv6.size()) {
            picked << ipv6.at(i);
        }
    }
    return picked;
}

// A domain with blanks or control characters would end the search line or start a line of
// its own in the resolver file. busybox's udhcpc hands over "bad" in place of a name it found
// malformed.
bool isUsableDomain(const QString &domain)
{
    for (const QChar character : domain) {
        if (character.isSpace() || character.category() == QChar::Other_Control) {
            return false;
        }
    }
    return !domain.isEmpty() && domain.size() <= MaximumDomainLength &&
           domain != MalformedDomainPlaceholder;
}

// No resolver can ask these: they would only take a slot from a server that answers.
bool isUsableNameserver(const QHostAddress &server)
{
    const bool ipv4 = server.protocol() == QAbstractSocket::IPv4Protocol;
    const bool ipv6 = server.protocol() == QAbstractSocket::IPv6Protocol;
    return (ipv4 || ipv6) && !server.isMulticast() && !server.isBroadcast() &&
           server != QHostAddress::AnyIPv4 && server != QHostAddress::AnyIPv6;
}

QStringList usableDomains(const QStringList &domains, const QString &interface)
{
    QStringList usable;
    for (const QString &domain : domains) {
        if (isUsableDomain(domain)) {
            usable << domain;
        } else if (!domain.isEmpty()) {
            nvWarning() << "Ignoring search domain " << norvi::clientText(domain) << " of "
                        << interface;
        }
    }
    return usable;
}

// An interface that contributes nothing has no entry, so that it takes no share.
template <typename List>
void storeContribution(QMap<QString, List> &contributions, const QString &interface,
                       const List &contribution)
{
    if (contribution.isEmpty()) {
        contributions.remove(interface);
    } else {
        contributions.insert(interface, contribution);
    }
}

QStringList sortedList(const QSet<QString> &texts)
{
    QStringList list = texts.values();
    list.sort(Qt::CaseSensitive);
    return list;
}

} // namespace

ResolvConfImpl::ResolvConfImpl(QObject *parent, const QString &path) : QObject(parent), m_path(path)
{}

void ResolvConfImpl::setNameservers(const QList<QHostAddress> &servers, const QString &interface)
{
    QList<QHostAddress> usable;
    for (const QHostAddress &server : servers) {
        if (isUsableNameserver(server)) {
            usable << server;
        } else if (!server.isNull()) {
            nvWarning() << "Ignoring name server " << server.toString() << " of " << interface;
        }
    }
    storeContribution(m_nameservers, interface, usable);
    updateNameservers();
}

void ResolvConfImpl::clearNameservers(const QString &interface)
{
    m_nameservers.remove(interface);
    updateNameservers();
}

void ResolvConfImpl::setSearchDomains(const QStringList &domains, const QString &interface)
{
    storeContribution(m_searchDomains, interface, usableDomains(domains, interface));
    updateSearchDomains();
}

void ResolvConfImpl::clearSearchDomains(const QString &interface)
{
    m_searchDomains.remove(interface);
    updateSearchDomains();
}

void ResolvConfImpl::updateNameservers()
{
    const int share = sharePerInterface(m_nameservers.size());
    QSet<QString> merged;
    for (const QList<QHostAddress> &servers : qAsConst(m_nameservers)) {
        const int room = MaximumNameservers - merged.size();
        for (const QString &server : pickServers(servers, qMin(room, share))) {
            merged.insert(server);
        }
    }
    const QStringList sorted = sortedList(merged);
    if (sorted == m_mergedNameservers) {
        return;
    }
    m_mergedNameservers = sorted;
    writeFile();
}

void ResolvConfImpl::updateSearchDomains()
{
    QSet<QString> merged;
    for (const QStringList &domains : qAsConst(m_searchDomains)) {
        merged.unite(QSet<QString>(domains.cbegin(), domains.cend()));
    }
    const QStringList sorted = sortedList(merged);
    if (sorted == m_mergedSearchDomains) {
        return;
    }
    m_mergedSearchDomains = sorted;
    writeFile();
}

void ResolvConfImpl::writeFile() const
{
    const QString search = m_mergedSearchDomains.join(QLatin1Char(' '));
    nvInfo() << "Writing " << m_path << ": nameservers: " << m_mergedNameservers
             << " search: " << search;
    ConfigFileWriter writer(m_path);
    for (const QString &server : m_mergedNameservers) {
        writer << "nameserver " << server << '\n';
    }
    if (!search.isEmpty()) {
        writer << "search " << search << '\n';
    }
}
