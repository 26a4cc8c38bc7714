// Writes the system's resolver file once, as the daemon does, with the name servers given.
//
// Usage: resolvconf_write SERVER...
#include "HelperChannel.h"
#include "ResolvConf.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QList<QHostAddress> servers;
    for (const QString &server : setUpHelper(application)) {
        servers << QHostAddress(server);
    }
    ResolvConfImpl(nullptr).setNameservers(servers, "eth0");
    return 0;
}

#include "moc_HelperChannel.cpp"
