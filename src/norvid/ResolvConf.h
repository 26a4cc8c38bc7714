#pragma once

#include "NetworkUtilities.h"

#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QStringList>

// Collects each interface's name servers and search domains for the system resolver.
class ResolvConf
{
public:
    virtual ~ResolvConf() = default;

    virtual void setNameservers(const QList<QHostAddress> &servers, const QString &interface) = 0;
    virtual void clearNameservers(const QString &interface) = 0;
    virtual void setSearchDomains(const QStringList &domains, const QString &interface) = 0;
    virtual void clearSearchDomains(const QString &interface) = 0;
};

// Merges the interfaces' contributions into the resolver file: at most three name servers,
// shared fairly between the interfaces and mixing both families, and every search domain.
// The file is rewritten only when the merged result changes.
class ResolvConfImpl : public QObject, public ResolvConf
{
    Q_OBJECT

public:
    // The resolver reads no more name servers than this.
    static constexpr int MaximumNameservers = 3;

    explicit ResolvConfImpl(QObject *parent,
                            const QString &path = NetworkUtilities::ResolvConfPath);

    void setNameservers(const QList<QHostAddress> &servers, const QString &interface) override;
    void clearNameservers(const QString &interface) override;
    void setSearchDomains(const QStringList &domains, const QString &interface) override;
    void clearSearchDomains(const QString &interface) override;

private:
    void updateNameservers();
    void updateSearchDomains();
    void writeFile() const;

    const QString m_path;
    // Ordered maps so that the merge, and with it the file, does not depend on hash order.
    QMap<QString, QList<QHostAddress>> m_nameservers;
    QStringList m_mergedNameservers;
    QMap<QString, QStringList> m_searchDomains;
    QStringList m_mergedSearchDomains;
};
