#pragma once

#include "NorviProxy.h"

#include <QDBusConnection>
#include <QDBusPendingCall>
#include <QString>
#include <QVariant>
#include <QVariantMap>

namespace norvictl {

// The daemon's control interface as the commands use it: every call waits for its answer, and
// any error becomes a Failure with the exit status that tells its kind. Values come back
// decoded all the way down (see Printer's plainValue).
class ControlClient
{
public:
    ControlClient();

    const QDBusConnection &bus() const { return m_bus; }
    NorviProxy &proxy() { return m_proxy; }

    bool isDaemonRunning() const;

    QVariant read(const QString &property);
    QVariantMap readMap(const QString &property);
    void write(const QString &property, const QVariant &value);

    // Waits for a call made through the proxy.
    void check(const QDBusPendingCall &call);
    QVariantMap checkMap(const QDBusPendingReply<QVariantMap> &call);

private:
    QDBusMessage propertyCall(const char *method, const QString &property) const;
    QDBusMessage checked(const QDBusMessage &call);

    QDBusConnection m_bus;
    NorviProxy m_proxy;
};

} // namespace norvictl
