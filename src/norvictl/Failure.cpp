#include "Failure.h"

#include "NorviDBus.h"

#include <QDBusError>

namespace norvictl {

Failure::Failure(ExitStatus status, const QString &message)
    : std::runtime_error(message.toStdString()), m_status(status)
{}

Failure badArguments(const QString &message)
{
    return Failure(ExitBadArguments, message);
}

Failure failureOf(const QDBusError &error)
{
    switch (error.type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::Disconnected:
        return Failure(ExitNotRunning,
                       QStringLiteral("norvid is not running (nobody owns %1 on the system bus)")
                           .arg(QLatin1String(norvi::ControlServiceName)));
    case QDBusError::AccessDenied:
        return Failure(ExitAccessDenied,
                       QStringLiteral("access denied: only root (or a group the bus policy names) "
                                      "may talk to norvid"));
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
        return Failure(ExitTimeout, QStringLiteral("norvid did not answer: ") + error.message());
    default:
        return Failure(ExitFailed, error.name() + QStringLiteral(": ") + error.message());
    }
}

} // namespace norvictl
