// Runs one AddressManager on an interface of the namespace it is started in, with the real ip
// driver, resolver file writer and netlink watcher: sets the link up and starts DHCP addressing.
// Writes the manager's signals and what it hands the resolver as lines starting with "@" on
// standard output; log lines go there too and start with their date.
//
// Standard input takes the commands "stop" and "start"; end of input ends the program.
//
// Usage: addrmgr_run [-d] [--fallback MS] INTERFACE

#include "AddressManager.h"
#include "NetlinkWatcher.h"
#include "ResolvConf.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

namespace {

void print(const QString &line)
{
    std::printf("@%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

} // namespace

// Shows what reaches the resolver, in the order given, before the real writer merges and sorts.
class PrintingResolvConf : public ResolvConf
{
public:
    void setNameservers(const QList<QHostAddress> &servers, const QString &interface) override
    {
        QStringList texts;
        for (const QHostAddress &server : servers) {
            texts.append(server.toString());
        }
        print(QStringList({"nameservers", interface, texts.join(' ')}).join(' ').trimmed());
        m_resolvConf.setNameservers(servers, interface);
    }

    void clearNameservers(const QString &interface) override
    {
        m_resolvConf.clearNameservers(interface);
    }

    void setSearchDomains(const QStringList &domains, const QString &interface) override
    {
        print(QStringList({"domains", interface, domains.join(' ')}).join(' ').trimmed());
        m_resolvConf.setSearchDomains(domains, interface);
    }

    void clearSearchDomains(const QString &interface) override
    {
        m_resolvConf.clearSearchDomains(interface);
    }

private:
    ResolvConfImpl m_resolvConf{nullptr};
};

class AddressManagerRunner : public QObject
{
    Q_OBJECT

public:
    AddressManagerRunner(const InterfaceName &interface, int fallbackMs)
        : m_interface(interface),
          m_manager(interface, &m_watcher, &m_driver, &m_resolvConf, nullptr, fallbackMs),
          m_input(STDIN_FILENO, QSocketNotifier::Read)
    {
        norvi::connect(&m_manager, SIGNAL(connected()), this, SLOT(on_address_connected()));
        norvi::connect(&m_manager, SIGNAL(disconnected()), this, SLOT(on_address_disconnected()));
        norvi::connect(&m_input, SIGNAL(activated(int)), this, SLOT(on_input()));
        m_driver.up(interface);
        m_manager.start(InterfaceConfiguration(interface));
        print("started");
    }

private slots:
    void on_address_connected() { print("connected"); }
    void on_address_disconnected() { print("disconnected"); }

    void on_input()
    {
        char buffer[256];
        const ssize_t length = read(STDIN_FILENO, buffer, sizeof buffer);
        if (length <= 0) {
            m_input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        for (const QByteArray &command : QByteArray(buffer, int(length)).split('\n')) {
            run(command.trimmed());
        }
    }

private:
    void run(const QByteArray &command)
    {
        if (command == "stop") {
            m_manager.stop();
            print("stopped");
        } else if (command == "start") {
            m_manager.start(InterfaceConfiguration(m_interface));
            print("started");
        }
    }

    const InterfaceName m_interface;
    NetworkDriverIp m_driver;
    NetlinkWatcher m_watcher;
    PrintingResolvConf m_resolvConf;
    AddressManager m_manager;
    QSocketNotifier m_input;
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    qInstallMessageHandler(norvidMessageOutput);
    QStringList args = application.arguments().mid(1);
    if (args.value(0) == "-d") {
        norvi::setLogLevel(1);
        args.removeFirst();
    }
    int fallbackMs = Ipv4AddressManager::LinkLocalFallbackMs;
    if (args.value(0) == "--fallback") {
        fallbackMs = args.value(1).toInt();
        args = args.mid(2);
    }
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: addrmgr_run [-d] [--fallback MS] INTERFACE\n");
        return 2;
    }
    AddressManagerRunner runner(InterfaceName(args.first()), fallbackMs);
    return application.exec();
}

#include "addrmgr_run.moc"
