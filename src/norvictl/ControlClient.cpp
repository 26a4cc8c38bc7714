#include "ControlClient.h"

#include "Failure.h"
#include "NorviDBus.h"
#include "Printer.h"

#include <QDBusConnectionInterface>
#include <QDBusPendingReply>
#include <QDBusVariant>

namespace {

const char *const PropertiesInterface = "org.freedesktop.DBus.Properties";

} // namespace

namespace norvictl {

ControlClient::ControlClient()
    : m_bus(QDBusConnection::systemBus()),
      m_proxy(QString::fromLatin1(norvi::ControlServiceName),
              QString::fromLatin1(norvi::ControlObjectPath), m_bus)
{
    if (!m_bus.isConnected()) {
        throw Failure(ExitNotRunning, QStringLiteral("cannot reach the D-Bus system bus: ") +
                                          m_bus.lastError().message());
    }
}

bool ControlClient::isDaemonRunning() const
{
    return m_bus.interface()->isServiceRegistered(m_proxy.service()).value();
}

// The generated proxy's property accessors give an empty value when the call fails, which
// would read as a setting; explicit calls say why they failed.
QDBusMessage ControlClient::propertyCall(const char *method, const QString &property) const
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(m_proxy.service(), m_proxy.path(),
                                       QLatin1String(PropertiesInterface), QLatin1String(method));
    call << m_proxy.interface() << property;
    return call;
}

QDBusMessage ControlClient::checked(const QDBusMessage &call)
{
    const QDBusMessage reply = m_bus.call(call);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        throw failureOf(QDBusError(reply));
    }
    return reply;
}

QVariant ControlClient::read(const QString &property)
{
    const QDBusMessage reply = checked(propertyCall("Get", property));
    const QVariant value = reply.arguments().value(0);
    return plainValue(value.value<QDBusVariant>().variant());
}

QVariantMap ControlClient::readMap(const QString &property)
{
    const QVariant value = read(property);
    if (value.userType() != QMetaType::QVariantMap) {
        throw Failure(ExitFailed, property + QStringLiteral(" is not a map but ") +
                                      QString::fromLatin1(value.typeName()));
    }
    return value.toMap();
}

void ControlClient::write(const QString &property, const QVariant &value)
{
    QDBusMessage call = propertyCall("Set", property);
    call << QVariant::fromValue(QDBusVariant(value));
    checked(call);
}

void ControlClient::check(const QDBusPendingCall &call)
{
    QDBusPendingCall waited = call;
    waited.waitForFinished();
    if (waited.isError()) {
        throw failureOf(waited.error());
    }
}

QVariantMap ControlClient::checkMap(const QDBusPendingReply<QVariantMap> &call)
{
    check(call);
    return plainValue(call.argumentAt(0)).toMap();
}

} // namespace norvictl
