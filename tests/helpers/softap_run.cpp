// Runs one soft AP's region as the wireless controller does, with the ip driver and the real
// daemons, on an interface of the namespace it is started in. A station machine of one state
// stands in for the station's association. Writes the soft AP's signals as lines starting with
// "@"; log lines go there too and start with their date.
//
// Standard input takes "start", "stop", "added", "removed" (what udev reports of the interface),
// "associate" (the station associated again) and
// "set KEY=VALUE..." (settings as a client gives them, values percent-encoded); "files CHANNEL
// KEY=VALUE..." only writes the daemons' files for that channel. End of input ends the program.
//
// Usage: softap_run [-d] INTERFACE [DELAY_MS]   (DELAY_MS: every restart delay and stop wait)

#include "AddressManager.h"
#include "HelperChannel.h"
#include "InterfaceSoftap.h"
#include "InterfaceWireless.h"
#include "NetlinkWatcher.h"
#include "ResolvConf.h"

#include <QCoreApplication>

#include <cstdio>

class SoftapRunner : public QObject
{
    Q_OBJECT

public:
    SoftapRunner(const InterfaceName &name, const SoftApTimings &timings)
        : m_name(name), m_controller(m_station, {}, &m_driver, &m_addressManager, nullptr)
    {
        auto *container = new WirelessSoftapInterfaceContainer(&m_softApMachine, &m_controller);
        m_softApMachine.setInitialState(container);
        auto *waiting = new WirelessWaitingInterfaceRunning(&m_stationMachine, &m_controller);
        m_stationMachine.setInitialState(waiting);
        waiting->addTransition(new NorviTransition(WirelessEvent::SupplicantConnected(), waiting));
        m_softap = new InterfaceSoftap(name, container, waiting, &m_controller, &m_driver, timings);
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
        m_stationMachine.start();
        m_softApMachine.start();
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
            m_softApMachine.postEvent(new WirelessEvent::StartSoftAp(m_name));
        } else if (command == "stop") {
            m_softApMachine.postEvent(new WirelessEvent::StopSoftAp(m_name));
        } else if (command == "added") {
            m_softApMachine.postEvent(new WirelessEvent::InterfaceAdded(m_name));
        } else if (command == "removed") {
            m_softApMachine.postEvent(new WirelessEvent::InterfaceRemoved(m_name));
        } else if (command == "associate") {
            m_stationMachine.postEvent(new WirelessEvent::SupplicantConnected);
        } else if (command == "set") {
            m_softap->setSettings(settings(words));
        } else if (command == "files") {
            const int channel = words.takeFirst().toInt();
            printReport(WirelessSoftApStarted::writeFiles(settings(words), channel) ? "written"
                                                                                    : "refused");
        }
    }

private:
    SoftApSetup settings(const QList<QByteArray> &pairs) const
    {
        QVariantMap map;
        for (const QByteArray &pair : pairs) {
            const int at = pair.indexOf('=');
            map.insert(QString::fromUtf8(pair.left(at)),
                       QString::fromUtf8(QByteArray::fromPercentEncoding(pair.mid(at + 1))));
        }
        SoftApSetup settings = m_softap->getSettings();
        settings.setFromMap(map);
        return settings;
    }

    const InterfaceName m_name;
    const InterfaceName m_station{QStringLiteral("wlan0")};
    NetworkDriverIp m_driver;
    NetlinkWatcher m_netlink;
    ResolvConfImpl m_resolvConf{nullptr};
    AddressManager m_addressManager{m_station, &m_netlink, &m_driver, &m_resolvConf, nullptr};
    InterfaceWireless m_controller;
    NorviStateMachine m_stationMachine;
    NorviStateMachine m_softApMachine;
    InterfaceSoftap *m_softap = nullptr;
    StdinCommands m_commands;
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList args = setUpHelper(application);
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: softap_run [-d] INTERFACE [DELAY_MS]\n");
        return 2;
    }
    const int delayMs = args.value(1, QStringLiteral("0")).toInt();
    const SoftApTimings timings =
        delayMs > 0 ? SoftApTimings{delayMs, delayMs, delayMs, delayMs, delayMs} : SoftApTimings();
    SoftapRunner runner(InterfaceName(args.first()), timings);
    return application.exec();
}

#include "moc_HelperChannel.cpp"
#include "softap_run.moc"
