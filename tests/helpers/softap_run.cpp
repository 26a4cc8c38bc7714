// Runs the wireless controller with one soft AP on an interface of the namespace it is started
// in, with the ip driver and the real daemons; the supplicant is a double, as associating needs a
// radio. Writes the controller's soft-AP signals as lines starting with "@"; log lines go there
// too and start with their date.
//
// Standard input takes the manager's "start", "stop" and "set KEY=VALUE..." (settings as a client
// gives them, values percent-encoded), "added" and "removed" (what udev reports of the soft-AP
// interface) and "associate CHANNEL" (the station associates anew on that channel). End of input
// ends the program.
//
// Usage: softap_run [-d] STATION SOFTAP

#include "AddressManager.h"
#include "HelperChannel.h"
#include "InterfaceWireless.h"
#include "NetlinkWatcher.h"
#include "ResolvConf.h"
#include "Supplicant.h"

#include <QCoreApplication>

#include <cstdio>

// Associated on the channel it is told.
class AssociatingSupplicant : public Supplicant
{
public:
    explicit AssociatingSupplicant(const InterfaceName &name) : Supplicant(nullptr, name) {}

    void associate(int channel)
    {
        m_channel = channel;
        emit configured();
        emit connected();
    }

    bool enable(QSet<WirelessNetwork>) override { return true; }
    bool disable() override { return true; }
    bool wpsPbc() override { return false; }
    bool wpsPin(QString) override { return false; }
    void scan() override {}
    QVariantMap getNetworkDetails() override { return {}; }
    int getCurrentChannel() override { return m_channel; }
    void interfaceAdded() override {}
    void interfaceRemoved() override {}

private:
    int m_channel = 0;
};

class SoftapRunner : public QObject
{
    Q_OBJECT

public:
    SoftapRunner(const InterfaceName &station, const InterfaceName &softAp)
        : m_station(station), m_softAp(softAp), m_supplicant(new AssociatingSupplicant(station)),
          m_addressManager(station, &m_netlink, &m_driver, &m_resolvConf, nullptr),
          m_controller(station, {softAp.toString()}, &m_driver, &m_addressManager, nullptr,
                       platform(m_supplicant))
    {
        for (const char *signal :
             {SIGNAL(softapReady(InterfaceName)), SIGNAL(softapUnready(InterfaceName))}) {
            norvi::connect(&m_controller, signal, this, SLOT(on_controller_signal()));
        }
        for (const char *signal :
             {SIGNAL(stationConnected(QString)), SIGNAL(stationDisconnected(QString))}) {
            norvi::connect(&m_controller, signal, this, SLOT(on_controller_signal(QString)));
        }
        norvi::connect(&m_commands, SIGNAL(command(QByteArray)), this,
                       SLOT(on_command(QByteArray)));
        // The station waits for its association from here on.
        m_controller.setUpState(station, true);
        m_controller.enableInterface({});
        printReport("started");
    }

private slots:
    void on_controller_signal(const QString &argument = QString())
    {
        const QByteArray name = m_controller.metaObject()->method(senderSignalIndex()).name();
        printReport((QString::fromLatin1(name) + ' ' + argument).trimmed());
    }

    void on_command(const QByteArray &line)
    {
        QList<QByteArray> words = line.split(' ');
        const QByteArray command = words.takeFirst();
        if (command == "start") {
            m_controller.startSoftAp(m_softAp);
        } else if (command == "stop") {
            m_controller.stopSoftAp(m_softAp);
        } else if (command == "added") {
            m_controller.interfaceAdded(m_softAp);
        } else if (command == "removed") {
            m_controller.interfaceRemoved(m_softAp);
        } else if (command == "associate") {
            m_supplicant->associate(words.value(0).toInt());
        } else if (command == "set") {
            m_controller.reloadSoftApSettings(settings(words));
        }
    }

private:
    static WirelessPlatform platform(Supplicant *supplicant)
    {
        WirelessPlatform platform;
        platform.supplicant = supplicant;
        return platform;
    }

    SoftApSetup settings(const QList<QByteArray> &pairs) const
    {
        QVariantMap map;
        for (const QByteArray &pair : pairs) {
            const int at = pair.indexOf('=');
            map.insert(QString::fromUtf8(pair.left(at)),
                       QString::fromUtf8(QByteArray::fromPercentEncoding(pair.mid(at + 1))));
        }
        SoftApSetup settings(Ssid::fromString("softap_" + m_softAp.toString()),
                             m_softAp.toString());
        settings.setFromMap(map);
        return settings;
    }

    const InterfaceName m_station;
    const InterfaceName m_softAp;
    AssociatingSupplicant *const m_supplicant;
    NetworkDriverIp m_driver;
    NetlinkWatcher m_netlink;
    ResolvConfImpl m_resolvConf{nullptr};
    AddressManager m_addressManager;
    InterfaceWireless m_controller;
    StdinCommands m_commands;
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList args = setUpHelper(application);
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: softap_run [-d] STATION SOFTAP\n");
        return 2;
    }
    SoftapRunner runner{InterfaceName(args[0]), InterfaceName(args[1])};
    return application.exec();
}

#include "moc_HelperChannel.cpp"
#include "softap_run.moc"
