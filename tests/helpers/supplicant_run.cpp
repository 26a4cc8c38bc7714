// Runs the supplicant worker for an interface with bounds on a WPS session and on the wait for a
// disconnect short enough to wait out (the daemon's are minutes and seconds). Standard input takes
// "pbc" (starts a push-button session, whose failure is written as "@wpsError MESSAGE") and
// "scan". End of input ends the program.
//
// Usage: supplicant_run [-d] WPS_LIMIT_MS DISCONNECT_WAIT_MS IFACE

#include "HelperChannel.h"
#include "SupplicantWpaSupplicant.h"

#include <cstdio>

class SupplicantRunner : public QObject
{
    Q_OBJECT

public:
    SupplicantRunner(const InterfaceName &interface, const WpaSupplicantTimings &timings)
        : m_worker(nullptr, interface, timings)
    {
        norvi::connect(&m_worker, SIGNAL(wpsError(QString)), this, SLOT(on_wpsError(QString)));
        norvi::connect(&m_commands, SIGNAL(command(QByteArray)), this,
                       SLOT(on_command(QByteArray)));
        printReport("started");
    }

private slots:
    void on_wpsError(const QString &message) { printReport("wpsError " + message); }

    void on_command(const QByteArray &line)
    {
        if (line == "pbc") {
            m_worker.wpsPbc();
        } else if (line == "scan") {
            m_worker.scan();
        }
    }

private:
    WpaSupplicant m_worker;
    StdinCommands m_commands;
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList args = setUpHelper(application);
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: supplicant_run [-d] WPS_LIMIT_MS DISCONNECT_WAIT_MS IFACE\n");
        return 2;
    }
    WpaSupplicantTimings timings;
    timings.wpsLimitMs = args[0].toInt();
    timings.disconnectWaitMs = args[1].toInt();
    SupplicantRunner runner(InterfaceName(args[2]), timings);
    return application.exec();
}

#include "moc_HelperChannel.cpp"
#include "supplicant_run.moc"
