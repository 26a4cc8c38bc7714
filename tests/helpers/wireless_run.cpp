// Runs the wireless controller on a station interface of the namespace it is started in, with
// everything real: wpa_supplicant through the supplicant worker, the ip driver, the netlink
// watcher, the address manager and the resolver file; no soft APs. Passes the watcher's reports
// of the interface's up flag on as the manager does (changes only). Writes the
// controller's signals as lines starting with "@" on standard output; log lines go there too and
// start with their date.
//
// Standard input takes the manager's requests "enable SSID" (an open network) and "activate"
// (with DHCP settings); end of input ends the program.
//
// Usage: wireless_run [-d] INTERFACE

#include "AddressManager.h"
#include "HelperChannel.h"
#include "InterfaceWireless.h"
#include "NetlinkWatcher.h"
#include "ResolvConf.h"

#include <QCoreApplication>
#include <QMetaMethod>

#include <cstdio>

class WirelessRunner : public QObject
{
    Q_OBJECT

public:
    explicit WirelessRunner(const InterfaceName &interface)
        : m_interface(interface),
          m_addressManager(interface, &m_netlink, &m_driver, &m_resolvConf, nullptr),
          m_wireless(interface, {}, &m_driver, &m_addressManager, nullptr)
    {
        for (const char *signal :
             {SIGNAL(enabled()), SIGNAL(disabled()), SIGNAL(waiting()),
              SIGNAL(waitingInterfaceRunning()), SIGNAL(waitingIpSetup()), SIGNAL(ready()),
              SIGNAL(disconnecting()), SIGNAL(reconnecting()), SIGNAL(unready())}) {
            norvi::connect(&m_wireless, signal, this, SLOT(on_wireless_signal()));
        }
        norvi::connect(&m_netlink, SIGNAL(interfaceStatusChanged(QByteArray, bool, bool)), this,
                       SLOT(on_interfaceStatusChanged(QByteArray, bool)));
        norvi::connect(&m_commands, SIGNAL(command(QByteArray)), this,
                       SLOT(on_command(QByteArray)));
        printReport("started");
    }

private slots:
    void on_wireless_signal()
    {
        printReport(m_wireless.metaObject()->method(senderSignalIndex()).name());
    }

    void on_interfaceStatusChanged(const QByteArray &name, bool up)
    {
        if (name == m_interface.toString().toUtf8() && up != m_up) {
            m_up = up;
            m_wireless.setUpState(m_interface, up);
        }
    }

    void on_command(const QByteArray &command)
    {
        const QList<QByteArray> words = command.split(' ');
        if (words.first() == "enable" && words.size() == 2) {
            const WirelessNetwork open(Ssid::fromString(QString::fromUtf8(words.last())),
                                       WirelessNetworkType::Unsecured, QString(), 0);
            m_wireless.enableInterface({open});
        } else if (command == "activate") {
            m_wireless.activate(InterfaceConfiguration(m_interface));
        }
    }

private:
    const InterfaceName m_interface;
    NetworkDriverIp m_driver;
    NetlinkWatcher m_netlink;
    ResolvConfImpl m_resolvConf{nullptr};
    AddressManager m_addressManager;
    InterfaceWireless m_wireless;
    StdinCommands m_commands;
    bool m_up = false;
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList args = setUpHelper(application);
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: wireless_run [-d] INTERFACE\n");
        return 2;
    }
    WirelessRunner runner{InterfaceName(args.first())};
    return application.exec();
}

#include "moc_HelperChannel.cpp"
#include "wireless_run.moc"
