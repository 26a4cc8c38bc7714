#include "NorviDBus.h"

#include "NorviCommon.h"
#include "com_brenvik_norvi.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

namespace norvi {

void registerMetaTypes()
{
    qRegisterMetaType<InterfaceStatus>("InterfaceStatus");
}

namespace {

// A name that nobody owns can only have been refused by the bus policy; without this line the
// next one would read as if a second daemon were running.
void explainRefusal(const QDBusConnection &bus, const QString &service)
{
    if (!bus.interface()->isServiceRegistered(service).value()) {
        nvCritical() << "Nobody owns " << service
                     << ", so the bus policy does not let this process own it";
    }
}

} // namespace

void registerControlInterface(QObject *owner)
{
    nvDebug() << "Creating DBus interface...";
    registerMetaTypes();
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
        explainRefusal(bus, service);
        nvCritical() << "There is already a dbus service at" << service << ", exiting!";
        nvFatal();
    }
}

} // namespace norvi
