#include "NorviDBus.h"

#include "NorviCommon.h"
#include "com_brenvik_norvi.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>

QDBusArgument &operator<<(QDBusArgument &argument, InterfaceStatus status)
{
    argument << static_cast<int>(status);
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, InterfaceStatus &status)
{
    int value = -1;
    argument >> value;
    if (value < StatusRemoved || value > StatusUp) {
        nvWarning() << "Ignoring unknown interface status: " << value;
        return argument;
    }
    status = static_cast<InterfaceStatus>(value);
    return argument;
}

namespace norvi {

void registerDBusTypes()
{
    qRegisterMetaType<InterfaceStatus>("InterfaceStatus");
    qDBusRegisterMetaType<InterfaceStatus>();
}

namespace {

// The bus says why it refused a name (a policy denial, for one); a name that is merely taken
// is refused without an error.
void logRefusal(const QDBusConnection &bus)
{
    const QDBusError error = bus.interface()->lastError();
    if (error.isValid()) {
        nvCritical() << "D-Bus: " << error.message();
    }
}

} // namespace

void registerControlInterface(QObject *owner)
{
    nvDebug() << "Creating DBus interface...";
    registerDBusTypes();
    new com_brenvik_norvi(owner);

    const QString path(ControlObjectPath);
    const QString service(ControlServiceName);
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        nvCritical() << "No connection to the D-Bus system bus: " << bus.lastError().message();
    }
    if (!bus.registerObject(path, owner, QDBusConnection::ExportAdaptors)) {
        nvCritical() << "There is already a dbus object at" << path << ", exiting!";
        nvFatal();
    }
    if (!bus.registerService(service)) {
        logRefusal(bus);
        nvCritical() << "There is already a dbus service at" << service << ", exiting!";
        nvFatal();
    }
}

} // namespace norvi
