#include "NorviDBus.h"

#include "ControlAdaptor.h"
#include "NorviCommon.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QTextCodec>

namespace {

const char *const IntegerSignature = "i";
const char *const MapSignature = "a{sv}";

// The D-Bus type of a value as QtDBus delivers it: containers stay undecoded arguments.
QString busSignature(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<QDBusArgument>()) {
        return value.value<QDBusArgument>().currentSignature();
    }
    return QString::fromLatin1(QDBusMetaType::typeToSignature(value.userType()));
}

} // namespace

ControlAdaptor::ControlAdaptor(QObject *owner) : com_brenvik_norvi(owner) {}

QVariant ControlAdaptor::getLogLevel() const
{
    return logLevel();
}

void ControlAdaptor::putLogLevel(const QVariant &value)
{
    put("LogLevel", value, IntegerSignature);
}

QVariant ControlAdaptor::getWirelessNetworks() const
{
    return wirelessNetworks();
}

void ControlAdaptor::putWirelessNetworks(const QVariant &value)
{
    put("WirelessNetworks", value, MapSignature);
}

QVariant ControlAdaptor::getWiredIpSettings() const
{
    return wiredIpSettings();
}

void ControlAdaptor::putWiredIpSettings(const QVariant &value)
{
    put("WiredIpSettings", value, MapSignature);
}

QVariant ControlAdaptor::getWirelessIpSettings() const
{
    return wirelessIpSettings();
}

void ControlAdaptor::putWirelessIpSettings(const QVariant &value)
{
    put("WirelessIpSettings", value, MapSignature);
}

void ControlAdaptor::put(const char *property, const QVariant &value, const char *signature)
{
    const QString received = busSignature(value);
    if (received != QLatin1String(signature)) {
        nvWarning() << "SET: " << property << ": refusing a value of D-Bus type "
                    << norvi::clientText(received) << " where " << signature << " is expected";
        return;
    }
    // Only the map's top level is decoded, as QtDBus itself would: nested maps stay arguments
    // for the owner's parser to check.
    const bool isMap = value.userType() == qMetaTypeId<QDBusArgument>();
    parent()->setProperty(
        property, isMap ? QVariant(qdbus_cast<QVariantMap>(value.value<QDBusArgument>())) : value);
}

namespace norvi {

QStringList keysWithoutText(const QVariantMap &map)
{
    QStringList keys;
    for (auto entry = map.cbegin(); entry != map.cend(); ++entry) {
        if (entry.value().userType() != QMetaType::QString) {
            keys << entry.key();
        }
    }
    return keys;
}

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
    new ControlAdaptor(owner);

    const QString path(ControlObjectPath);
    const QString service(ControlServiceName);
    QDBusConnection bus = QDBusConnection::systemBus();
    // Without a bus every registration below fails too, and would blame a competing owner.
    if (!bus.isConnected()) {
        nvCritical() << "No connection to the D-Bus system bus: " << bus.lastError().message();
        nvFatal();
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

std::optional<QStringList> toTextList(const QVariant &value)
{
    if (value.userType() == QMetaType::QStringList) {
        return value.toStringList();
    }
    if (value.userType() == QMetaType::QString) {
        return QStringList{value.toString()};
    }
    return std::nullopt;
}

std::optional<QString> toUtf8Text(const QVariant &value)
{
    if (value.userType() == QMetaType::QString) {
        return value.toString();
    }
    if (value.userType() != QMetaType::QByteArray) {
        return std::nullopt;
    }
    const QByteArray bytes = value.toByteArray();
    QTextCodec::ConverterState state;
    const QString text =
        QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars > 0 || state.remainingChars > 0) {
        return std::nullopt;
    }
    return text;
}

std::optional<QDBusObjectPath> toObjectPath(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<QDBusObjectPath>()) {
        return value.value<QDBusObjectPath>();
    }
    if (value.userType() == QMetaType::QString) {
        const QDBusObjectPath path(value.toString());
        if (!path.path().isEmpty()) {
            return path;
        }
    }
    return std::nullopt;
}

} // namespace norvi
