// Runs one AddressManager on an interface of the namespace it is started in, with the real ip
// driver, resolver file writer and netlink watcher: sets the link up and starts DHCP addressing.
// Writes the manager's signals as lines starting with "@" on standard output; log lines go there
// too and start with their date.
//
// Standard input takes the commands "stop" and "start"; end of input ends the program.
//
// Usage: addrmgr_run [-d] [--fallback MS] INTERFACE

#include "AddressManager.h"
#include "HelperChannel.h"
#include "NetlinkWatcher.h"
#include "ResolvConf.h"

#include <QCoreApplication>

#include <cstdio>

class AddressManagerRunner : public QObject
{
    Q_OBJECT

public:
    AddressManagerRunner(const InterfaceName &interface, int fallbackMs)
        : m_interface(interface),
          m_manager(interface, &m_watcher, &m_driver, &m_resolvConf, nullptr, fallbackMs)
    {
        norvi::connect(&m_manager, SIGNAL(connected()), this, SLOT(on_address_connected()));
        norvi::connect(&m_manager, SIGNAL(disconnected()), this, SLOT(on_address_disconnected()));
        norvi::connect(&m_commands, SIGNAL(command(QByteArray)), this,
                       SLOT(on_command(QByteArray)));
        m_driver.up(interface);
        start();
    }

private slots:
    void on_address_connected() { printReport("connected"); }
    void on_address_disconnected() { printReport("disconnected"); }

    void on_command(const QByteArray &command)
    {
        if (command == "stop") {
            m_manager.stop();
            printReport("stopped");
        } else if (command == "start") {
            start();
        }
    }

private:
    void start()
    {
        m_manager.start(InterfaceConfiguration(m_interface));
        printReport("started");
    }

    const InterfaceName m_interface;
    NetworkDriverIp m_driver;
    NetlinkWatcher m_watcher;
    ResolvConfImpl m_resolvConf{nullptr};
    AddressManager m_manager;
    StdinCommands m_commands;
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QStringList args = setUpHelper(application);
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
#include "moc_HelperChannel.cpp"
