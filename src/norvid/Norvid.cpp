#include "CrashHandler.h"
#include "NetworkManager.h"
#include "NetworkMonitor.h"
#include "NorviCommon.h"
#include "NorviProcess.h"
#include "ShutdownWatcher.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

// Where the external programs are looked up when the environment names no search path.
const char *const DefaultSearchPath = "/sbin:/bin:/usr/sbin:/usr/bin";

const char *const HelpText =
    "norvid arguments:\n"
    "\t-d\tIncrease debug level\n"
    "\t-m\tMonitor mode (Don't change anything)\n"
    "\t--wired-interface - default wired interface: eth0\n"
    "\t--wireless interface - default wireless interface: wlan0"
    "\t--softap interfaces (separated by comma) - default sofap interface: uap0";

constexpr int HelpExitStatus = 1;
constexpr int MissingValueExitStatus = -1;

struct Options
{
    QString wired = QStringLiteral("eth0");
    QString wireless = QStringLiteral("wlan0");
    QStringList softaps = {QStringLiteral("uap0")};
    bool monitorMode = false;
};

enum class Parsed
{
    Run,
    Help,
    MissingValue
};

QStringList commandLine(const std::vector<const char *> &argv)
{
    QStringList arguments;
    for (const char *argument : argv) {
        arguments << QString::fromLocal8Bit(argument);
    }
    return arguments;
}

// Takes the value of an option that needs one; false when the command line ends first.
bool takeValue(const QStringList &arguments, int &index, QString &value)
{
    if (index + 1 >= arguments.size()) {
        nvCritical() << QString("Missing value for argument '%1'").arg(arguments[index]);
        return false;
    }
    value = arguments[++index];
    return true;
}

Parsed parseArguments(const QStringList &arguments, Options &options)
{
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        QString softaps;
        if (argument == QLatin1String("--wired")) {
            if (!takeValue(arguments, i, options.wired)) {
                return Parsed::MissingValue;
            }
        } else if (argument == QLatin1String("--wireless")) {
            if (!takeValue(arguments, i, options.wireless)) {
                return Parsed::MissingValue;
            }
        } else if (argument == QLatin1String("--softap")) {
            if (!takeValue(arguments, i, softaps)) {
                return Parsed::MissingValue;
            }
            options.softaps = softaps.split(QLatin1Char(','));
        } else if (argument == QLatin1String("-d")) {
            norvidGlobalLogLevel = 1;
        } else if (argument == QLatin1String("-m")) {
            options.monitorMode = true;
        } else if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            return Parsed::Help;
        } else {
            nvCritical() << QString("Unknown argument '%1'").arg(argument);
        }
    }
    return Parsed::Run;
}

// Clears what an earlier run may have left behind: its daemons and the interfaces' links and
// addresses. Failures (an interface that does not exist) are only logged.
void cleanUpSystem(const Options &options)
{
    NorviProcess::execute("killall", {"wpa_supplicant", "udhcpd", "udhcpc", "hostapd", "dnsd"});
    const QStringList interfaces = QStringList{options.wired, options.wireless} + options.softaps;
    for (const QString &interface : interfaces) {
        NorviProcess::execute("ip", {"link", "set", "dev", interface, "down"});
        NorviProcess::execute("ip", {"-4", "addr", "flush", "dev", interface});
        NorviProcess::execute("ip", {"-6", "addr", "flush", "dev", interface, "scope", "global"});
    }
}

// The network manager (normal mode, after the clean-up) or the network monitor (-m, which
// changes nothing), given the wired name, the wireless name and the soft-AP list; deleted after
// the event loop.
std::unique_ptr<QObject> startMode(const Options &options)
{
    if (options.monitorMode) {
        return std::make_unique<NetworkMonitor>(options.wired, options.wireless, options.softaps);
    }
    cleanUpSystem(options);
    return std::make_unique<NetworkManager>(options.wired, options.wireless, options.softaps);
}

} // namespace

int main(int argc, char *argv[])
{
    // The application object takes the arguments it knows itself ("-qmljsdebugger ...") out of
    // argv; the daemon reads every argument as it was given.
    const std::vector<const char *> givenArguments(argv, argv + argc);
    QCoreApplication application(argc, argv);
    norvi::installCrashHandler();
    qInstallMessageHandler(norvidMessageOutput);
    nvInfo() << "norvid version: " << NORVID_VERSION;
    norvidGlobalLogLevel = 0;
    setenv("PATH", DefaultSearchPath, 0);

    Options options;
    switch (parseArguments(commandLine(givenArguments), options)) {
    case Parsed::Help:
        std::printf("%s\n", HelpText);
        return HelpExitStatus;
    case Parsed::MissingValue:
        return MissingValueExitStatus;
    case Parsed::Run:
        break;
    }

    // Declared after the application object, so it is deleted before that.
    const std::unique_ptr<QObject> mode = startMode(options);
    const ShutdownWatcher shutdownWatcher;
    nvInfo() << "Finished setting up, starting main loop...";
    return application.exec();
}
