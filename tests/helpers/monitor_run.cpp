// Runs the network monitor as `norvid -m` does, on eth0 and wlan0, but with the check interval
// given in milliseconds, so that a test need not wait the daemon's ten seconds for a check.
//
// Usage: monitor_run INTERVAL_MS
#include "NetworkMonitor.h"
#include "NorviCommon.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    qInstallMessageHandler(norvidMessageOutput);
    bool valid = false;
    const int interval = application.arguments().value(1).toInt(&valid);
    if (!valid || interval <= 0) {
        std::fprintf(stderr, "usage: monitor_run INTERVAL_MS\n");
        return 2;
    }
    norvi::setLogLevel(1);
    NetworkMonitor monitor("eth0", "wlan0", {"uap0"}, interval);
    nvInfo() << "Monitoring with a check interval of " << interval << " ms";
    return application.exec();
}
