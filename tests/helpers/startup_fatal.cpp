// Ends itself the way a broken daemon would, with the daemon's crash and log handlers installed:
//   startup_fatal connect     a connection to a signal that does not exist
//   startup_fatal disconnect  removing a connection that was never made
//   startup_fatal segv        a segmentation fault signal
//   startup_fatal overflow    a stack overflow
// Core dumps are switched off so that the tests leave no files behind.
#include "CrashHandler.h"
#include "NorviCommon.h"

#include <QCoreApplication>
#include <QObject>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>

namespace {

// Bounded by the caller so that the compiler sees no infinite recursion; deep enough to
// overflow any stack.
int recurse(long depth)
{
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    return depth == 0 ? frame[0] : recurse(depth - 1) + frame[0];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    norvi::installCrashHandler();
    qInstallMessageHandler(norvidMessageOutput);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);

    const QByteArray how = argc > 1 ? argv[1] : "";
    QObject sender;
    QObject receiver;
    if (how == "connect") {
        norvi::connect(&sender, SIGNAL(noSuchSignal()), &receiver, SLOT(deleteLater()));
    } else if (how == "disconnect") {
        norvi::disconnect(&sender, SIGNAL(destroyed()), &receiver, SLOT(deleteLater()));
    } else if (how == "segv") {
        raise(SIGSEGV);
    } else if (how == "overflow") {
        return recurse(1L << 40);
    }
    std::fprintf(stderr, "usage: startup_fatal connect|disconnect|segv|overflow\n");
    return 2;
}
