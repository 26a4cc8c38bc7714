// Runs the wired controller on an interface of the namespace it is started in, with everything
// real: the ip driver, the netlink and udev watchers, the address manager and the resolver file.
// Passes the watchers' reports for that interface on as the manager does (changes only, up before
// running, not running before down). Writes the controller's signals as lines starting with "@"
// on standard output; log lines go there too and start with their date.
//
// Standard input takes the manager's requests "enable" and "activate" (with DHCP settings); end of
// input ends the program.
//
// Usage: wired_run [-d] INTERFACE

#include "AddressManager.h"
#include "HelperChannel.h"
#include "InterfaceWired.h"
#include "NetlinkWatcher.h"
#include "ResolvConf.h"
#include "UDevWatcher.h"

#include <QCoreApplication>
#include <QMetaMethod>

#include <cstdio>

class WiredRunner : public QObject
{
    Q_OBJECT

public:
    explicit WiredRunner(const InterfaceName &interface)
        : m_interface(interface),
          m_addressManager(interface, &m_netlink, &m_driver, &m_resolvConf, nullptr),
          m_wired(interface, &m_driver, &m_addressManager, nullptr)
    {
        for (const char *signal :
             {SIGNAL(enabled()), SIGNAL(disabled()), SIGNAL(waiting()),
              SIGNAL(waitingInterfaceRunning()), SIGNAL(waitingIpSetup()), SIGNAL(ready()),
              SIGNAL(disconnecting()), SIGNAL(disconnected()), SIGNAL(unready())}) {
            norvi::connect(&m_wired, signal, this, SLOT(on_wired_signal()));
        }
        norvi::connect(&m_wired, SIGNAL(cableStatus(bool)), this, SLOT(on_cableStatus(bool)));
        norvi::connect(&m_netlink, SIGNAL(interfaceStatusChanged(QByteArray, bool, bool)), this,
                       SLOT(on_interfaceStatusChanged(QByteArray, bool, bool)));
        norvi::connect(&m_udev, SIGNAL(interfaceAdded(QByteArray)), this,
                       SLOT(on_interfaceAdded(QByteArray)));
        norvi::connect(&m_udev, SIGNAL(interfaceRemoved(QByteArray)), this,
                       SLOT(on_interfaceRemoved(QByteArray)));
        norvi::connect(&m_commands, SIGNAL(command(QByteArray)), this,
                       SLOT(on_command(QByteArray)));
        printReport("started");
    }

private slots:
    void on_wired_signal()
    {
        printReport(QString::fromLatin1(m_wired.metaObject()->method(senderSignalIndex()).name()));
    }

    void on_cableStatus(bool pluggedIn) { printReport(pluggedIn ? "cable in" : "cable out"); }

    void on_interfaceStatusChanged(const QByteArray &name, bool up, bool running)
    {
        if (name != m_interface.toString().toLatin1()) {
            return;
        }
        if (up && !m_up) {
            m_wired.setUpState(m_interface, true);
        }
        if (running != m_running) {
            m_wired.setRunningState(running);
        }
        if (!up && m_up) {
            m_wired.setUpState(m_interface, false);
        }
        m_up = up;
        m_running = running;
    }

    void on_interfaceAdded(const QByteArray &name)
    {
        if (name == m_interface.toString().toLatin1()) {
            m_wired.interfaceAdded(m_interface);
        }
    }

    void on_interfaceRemoved(const QByteArray &name)
    {
        if (name == m_interface.toString().toLatin1()) {
            m_wired.interfaceRemoved(m_interface);
        }
    }

    void on_command(const QByteArray &command)
    {
        if (command == "enable") {
            m_wired.enableInterface();
        } else if (command == "activate") {
            m_wired.activate(InterfaceConfiguration(m_interface));
        }
    }

private:
    const InterfaceName m_interface;
    NetworkDriverIp m_driver;
    NetlinkWatcher m_netlink;
    UDevWatcher m_udev;
    ResolvConfImpl m_resolvConf{nullptr};
    AddressManager m_addressManager;
    InterfaceWired m_wired;
    StdinCommands m_commands;
    bool m_up = false;
    bool m_running = false;
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList args = setUpHelper(application);
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: wired_run [-d] INTERFACE\n");
        return 2;
    }
    WiredRunner runner{InterfaceName(args.first())};
    return application.exec();
}

#include "moc_HelperChannel.cpp"
#include "wired_run.moc"
