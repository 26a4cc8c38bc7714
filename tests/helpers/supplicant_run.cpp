// Runs the supplicant worker for an interface against whatever owns wpa_supplicant's name on
// the system bus (the real one or the double). Writes the worker's signals, and the answers to
// the synchronous requests, as lines starting with "@": the name, a blank and the arguments as
// JSON. Log lines go to standard output too and start with their date.
//
// Standard input takes: "enable [SSID[,TYPE,KEY]]..." (open networks unless a type number and
// key are given; no network at all is the empty set), "disable", "pbc", "pin PIN", "scan",
// "details", "channel", "added", "removed" and "quit" (destroys the worker, "@destroyed"). End
// of input ends the program.
//
// Usage: supplicant_run [-d] [SETTLE_MS DISCONNECT_WAIT_MS SCAN_WATCHDOG_MS WPS_LIMIT_MS] IFACE

#include "HelperChannel.h"
#include "SupplicantWpaSupplicant.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QMetaMethod>

#include <cstdio>
#include <memory>

namespace {

const int NetworkPriority = 5;

QString json(const QVariant &value)
{
    return QString::fromUtf8(
        QJsonDocument::fromVariant(QVariantList{value}).toJson(QJsonDocument::Compact));
}

QSet<WirelessNetwork> networksOf(const QList<QByteArray> &words)
{
    QSet<WirelessNetwork> networks;
    for (const QByteArray &word : words) {
        const QStringList parts = QString::fromUtf8(word).split(',');
        const auto type = static_cast<WirelessNetworkType::Type>(parts.value(1, "0").toInt());
        networks.insert(
            WirelessNetwork(Ssid::fromString(parts[0]), type, parts.value(2), NetworkPriority));
    }
    return networks;
}

} // namespace

class SupplicantRunner : public QObject
{
    Q_OBJECT

public:
    SupplicantRunner(const InterfaceName &interface, const WpaSupplicantTimings &timings)
        : m_worker(std::make_unique<WpaSupplicant>(nullptr, interface, timings))
    {
        for (const char *signal :
             {SIGNAL(disabled()), SIGNAL(configured()), SIGNAL(connected()), SIGNAL(wps())}) {
            norvi::connect(m_worker.get(), signal, this, SLOT(on_signal()));
        }
        norvi::connect(m_worker.get(), SIGNAL(wpsFinished(WirelessNetwork)), this,
                       SLOT(on_wpsFinished(WirelessNetwork)));
        norvi::connect(m_worker.get(), SIGNAL(wpsError(QString)), this, SLOT(on_wpsError(QString)));
        norvi::connect(m_worker.get(), SIGNAL(authError(Ssid, QString)), this,
                       SLOT(on_authError(Ssid, QString)));
        norvi::connect(m_worker.get(), SIGNAL(scanResults(QList<ApDescription>)), this,
                       SLOT(on_scanResults(QList<ApDescription>)));
        norvi::connect(&m_commands, SIGNAL(command(QByteArray)), this,
                       SLOT(on_command(QByteArray)));
        printReport("started");
    }

private slots:
    void on_signal()
    {
        printReport(
            QString::fromLatin1(sender()->metaObject()->method(senderSignalIndex()).name()));
    }
    void on_wpsFinished(const WirelessNetwork &network)
    {
        printReport("wpsFinished " + json(QVariantList{network.ssid().toString(),
                                                       int(network.type()), network.key()}));
    }
    void on_wpsError(const QString &message) { printReport("wpsError " + json(message)); }
    void on_authError(const Ssid &ssid, const QString &reason)
    {
        printReport("authError " + json(QStringList{ssid.toString(), reason}));
    }
    void on_scanResults(const QList<ApDescription> &aps)
    {
        QVariantList entries;
        for (const ApDescription &ap : aps) {
            entries.append(ap.toVariantMap());
        }
        printReport("scanResults " + json(entries));
    }

    void on_command(const QByteArray &line)
    {
        QList<QByteArray> words = line.split(' ');
        const QByteArray command = words.takeFirst();
        if (command == "enable") {
            m_worker->enable(networksOf(words));
        } else if (command == "disable") {
            m_worker->disable();
        } else if (command == "pbc") {
            m_worker->wpsPbc();
        } else if (command == "pin") {
            m_worker->wpsPin(QString::fromUtf8(words.value(0)));
        } else if (command == "scan") {
            m_worker->scan();
        } else if (command == "details") {
            printReport("details " + json(m_worker->getNetworkDetails()));
        } else if (command == "channel") {
            printReport("channel " + json(m_worker->getCurrentChannel()));
        } else if (command == "added") {
            m_worker->interfaceAdded();
        } else if (command == "removed") {
            m_worker->interfaceRemoved();
        } else if (command == "quit") {
            m_worker.reset();
            printReport("destroyed");
        }
    }

private:
    std::unique_ptr<WpaSupplicant> m_worker;
    StdinCommands m_commands;
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList args = setUpHelper(application);
    WpaSupplicantTimings timings;
    if (args.size() == 5) {
        timings.settleMs = args[0].toInt();
        timings.disconnectWaitMs = args[1].toInt();
        timings.scanWatchdogMs = args[2].toInt();
        timings.wpsLimitMs = args[3].toInt();
    } else if (args.size() != 1) {
        std::fprintf(stderr, "usage: supplicant_run [-d] [SETTLE DISCONNECT SCAN WPS] IFACE\n");
        return 2;
    }
    SupplicantRunner runner(InterfaceName(args.last()), timings);
    return application.exec();
}

#include "moc_HelperChannel.cpp"
#include "supplicant_run.moc"
