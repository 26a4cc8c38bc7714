#include "ShutdownWatcher.h"

#include "NorviCommon.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int ShutdownSignals[] = {SIGTERM, SIGINT};

const QString LocalPath = QStringLiteral("/org/freedesktop/DBus/Local");
const QString LocalInterface = QStringLiteral("org.freedesktop.DBus.Local");

// A signal handler may do next to nothing: it passes the signal number on to the event loop
// through this pair's writing end.
int signalPipe[2] = {-1, -1};
// A child between fork and exec still runs this handler and shares the pair: a SIGTERM meant
// for it (a DHCP client stopped at once) must not end the daemon.
pid_t daemonPid = 0;

void onShutdownSignal(int signalNumber)
{
    if (getpid() != daemonPid) {
        signal(signalNumber, SIG_DFL);
        raise(signalNumber);
        return;
    }
    const auto byte = static_cast<unsigned char>(signalNumber);
    const ssize_t written = write(signalPipe[1], &byte, sizeof byte);
    (void)written;
}

} // namespace

ShutdownWatcher::ShutdownWatcher(QObject *parent) : QObject(parent)
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) {
        nvCritical() << "Cannot set up the shutdown signal handling";
        nvFatal();
    }
    daemonPid = getpid();
    m_signalNotifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    norvi::connect(m_signalNotifier, SIGNAL(activated(int)), this,
                   SLOT(on_signalNotifier_activated()));
    struct sigaction action = {};
    action.sa_handler = onShutdownSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : ShutdownSignals) {
        sigaction(signalNumber, &action, nullptr);
    }
    watchBus();
}

// The bus library tells its own connection when the bus has gone, as a signal that never
// travels over the bus; hooking it costs nothing while the bus is there, unlike asking.
void ShutdownWatcher::watchBus()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected() ||
        !bus.connect(QString(), LocalPath, LocalInterface, QStringLiteral("Disconnected"), this,
                     SLOT(on_bus_disconnected()))) {
        // Gone before the event loop runs, which would ignore an exit asked for now.
        QMetaObject::invokeMethod(this, "on_bus_disconnected", Qt::QueuedConnection);
    }
}

ShutdownWatcher::~ShutdownWatcher()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : ShutdownSignals) {
        sigaction(signalNumber, &action, nullptr);
    }
    // The notifier must let go of the descriptor before it is closed.
    delete m_signalNotifier;
    for (int &end : signalPipe) {
        close(end);
        end = -1;
    }
}

void ShutdownWatcher::on_signalNotifier_activated()
{
    unsigned char byte = 0;
    if (read(signalPipe[0], &byte, sizeof byte) != sizeof byte) {
        return;
    }
    nvInfo() << "Got signal " << byte << ", shutting down";
    QCoreApplication::exit(0);
}

void ShutdownWatcher::on_bus_disconnected()
{
    nvCritical() << "Lost the system bus, exiting so that the daemon can be started afresh";
    QCoreApplication::exit(BusLostExitStatus);
}
