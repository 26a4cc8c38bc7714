// Runs the supplicant worker for an interface with a WPS bound short enough to wait out (the
// daemon's is minutes). Each line on standard input starts a push-button session; its failure is
// written as "@wpsError MESSAGE". End of input ends the program.
//
// Usage: supplicant_run [-d] WPS_LIMIT_MS IFACE

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
        if (!line.isEmpty()) {
            m_worker.wpsPbc();
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
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: supplicant_run [-d] WPS_LIMIT_MS IFACE\n");
        return 2;
    }
    WpaSupplicantTimings timings;
    timings.wpsLimitMs = args[0].toInt();
    SupplicantRunner runner(InterfaceName(args[1]), timings);
    return application.exec();
}

#include "moc_HelperChannel.cpp"
#include "supplicant_run.moc"
