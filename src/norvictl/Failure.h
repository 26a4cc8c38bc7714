#pragma once

#include <QString>

#include <stdexcept>

class QDBusError;

namespace norvictl {

// What a script can tell from the exit status alone; the manual page lists the same values.
enum ExitStatus
{
    ExitSuccess = 0,
    ExitFailed = 1,       // the daemon refused or reported a failure (WPS error, ...)
    ExitBadArguments = 2, // the command line or a value in it is wrong
    ExitNotRunning = 3,   // nobody serves the control interface, or there is no system bus
    ExitAccessDenied = 4, // the bus policy does not let this user talk to the daemon
    ExitTimeout = 5       // the awaited answer or state did not come in time
};

// Ends a command: the message goes to standard error, the status is the exit status.
class Failure : public std::runtime_error
{
public:
    Failure(ExitStatus status, const QString &message);

    ExitStatus status() const { return m_status; }
    QString message() const { return QString::fromUtf8(what()); }

private:
    ExitStatus m_status;
};

// A bad command line, in the words of the message; where to find help is added to it.
Failure badArguments(const QString &message);

// The failure a D-Bus error stands for, told the way a user can act on.
Failure failureOf(const QDBusError &error);

} // namespace norvictl
