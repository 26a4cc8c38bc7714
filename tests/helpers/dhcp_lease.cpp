// Runs the real DHCP client on one interface until its first lease report and prints that report
// on standard output, one "key=value" line per field. Log lines go to standard error.
// Usage: dhcp_lease INTERFACE
// Exit status: 0 after a report, 1 after a client error, 2 when nothing came in time.

#include "DhcpClient.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int GiveUpMs = 60000;

void print(const char *key, const QString &value)
{
    std::printf("%s=%s\n", key, value.toUtf8().constData());
}

} // namespace

class LeasePrinter : public QObject
{
    Q_OBJECT

public slots:
    void on_dhcpClient_finished(const InterfaceConfiguration &configuration)
    {
        const QNetworkAddressEntry entry = configuration.getNetworkAddressEntry();
        print("address", entry.ip().toString());
        print("prefix", QString::number(entry.prefixLength()));
        print("gateway", configuration.getGateway().toString());
        QStringList dns;
        for (const QHostAddress &server : configuration.getDnsList()) {
            dns << server.toString();
        }
        print("dns", dns.join(' '));
        print("domains", configuration.getSearchDomains().join(' '));
        std::fflush(stdout);
        QCoreApplication::exit(0);
    }

    void on_dhcpClient_error(const QString &message)
    {
        print("error", message);
        std::fflush(stdout);
        QCoreApplication::exit(1);
    }

    void on_timeout() { QCoreApplication::exit(2); }
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: dhcp_lease INTERFACE\n");
        return 2;
    }
    qRegisterMetaType<InterfaceConfiguration>();
    LeasePrinter printer;
    Udhcpc client{InterfaceName(QString::fromLocal8Bit(argv[1]))};
    norvi::connect(&client, SIGNAL(finished(InterfaceConfiguration)), &printer,
                   SLOT(on_dhcpClient_finished(InterfaceConfiguration)));
    norvi::connect(&client, SIGNAL(error(QString)), &printer, SLOT(on_dhcpClient_error(QString)));
    QTimer::singleShot(GiveUpMs, &printer, SLOT(on_timeout()));
    client.start();
    return application.exec();
}

#include "dhcp_lease.moc"
