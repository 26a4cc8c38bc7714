#include "NorviDBus.h"

#include "NorviCommon.h"
#include "com_brenvik_norvi.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>

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

// QtDBus writes a property with whatever type the client sent: it converts what it can (a text
// "1" would become a log level) and reads every element of an array written to a map property
// as a variant, which ends the process inside libdbus when the elements are something else.
// So the writable properties are shadowed here by properties that take the value as it came;
// only a value of the declared type reaches the owner, anything else is logged and dropped.
//
// QtDBus takes the interface name and description of an adaptor from its most derived class
// only, so both are repeated here as they are in the generated class; the system test compares
// what introspection returns with the interface description file.
class ControlAdaptor : public com_brenvik_norvi
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.brenvik.norvi")
    Q_CLASSINFO(
        "D-Bus Introspection",
        ""
        "  <interface name=\"com.brenvik.norvi\">\n"
        "    <property access=\"read\" type=\"b\" name=\"Connected\"/>\n"
        "    <property access=\"read\" type=\"s\" name=\"Mode\"/>\n"
        "    <property access=\"read\" type=\"a{sv}\" name=\"Details\">\n"
        "      <annotation value=\"QVariantMap\" name=\"org.qtproject.QtDBus.QtTypeName\"/>\n"
        "    </property>\n"
        "    <property access=\"readwrite\" type=\"i\" name=\"LogLevel\"/>\n"
        "    <property access=\"read\" type=\"a{sv}\" name=\"SoftApModeSettings\">\n"
        "      <annotation value=\"QVariantMap\" name=\"org.qtproject.QtDBus.QtTypeName\"/>\n"
        "    </property>\n"
        "    <property access=\"readwrite\" type=\"a{sv}\" name=\"WirelessNetworks\">\n"
        "      <annotation value=\"QVariantMap\" name=\"org.qtproject.QtDBus.QtTypeName\"/>\n"
        "    </property>\n"
        "    <property access=\"readwrite\" type=\"a{sv}\" name=\"WiredIpSettings\">\n"
        "      <annotation value=\"QVariantMap\" name=\"org.qtproject.QtDBus.QtTypeName\"/>\n"
        "    </property>\n"
        "    <property access=\"readwrite\" type=\"a{sv}\" name=\"WirelessIpSettings\">\n"
        "      <annotation value=\"QVariantMap\" name=\"org.qtproject.QtDBus.QtTypeName\"/>\n"
        "    </property>\n"
        "    <method name=\"InterfaceDetails\">\n"
        "      <arg direction=\"in\" type=\"s\" name=\"interface\"/>\n"
        "      <arg direction=\"out\" type=\"a{sv}\" name=\"details\"/>\n"
        "      <annotation value=\"QVariantMap\" name=\"org.qtproject.QtDBus.QtTypeName.Out0\"/>\n"
        "    </method>\n"
        "    <method name=\"SetOffMode\"/>\n"
        "    <method name=\"SetNormalMode\">\n"
        "      <arg direction=\"in\" type=\"s\" name=\"Mode\"/>\n"
        "    </method>\n"
        "    <method name=\"ForceWifiReconnect\"/>\n"
        "    <method name=\"StartSoftAp\">\n"
        "      <arg direction=\"in\" type=\"s\" name=\"interface\"/>\n"
        "      <arg direction=\"in\" type=\"a{sv}\" name=\"interface\"/>\n"
        "      <annotation value=\"QVariantMap\" name=\"org.qtproject.QtDBus.QtTypeName.In1\"/>\n"
        "    </method>\n"
        "    <method name=\"StopSoftAp\">\n"
        "      <arg direction=\"in\" type=\"s\" name=\"interface\"/>\n"
        "    </method>\n"
        "    <method name=\"WpsPbc\"/>\n"
        "    <method name=\"WpsPin\">\n"
        "      <arg direction=\"in\" type=\"s\" name=\"Pin\"/>\n"
        "    </method>\n"
        "    <method name=\"Scan\"/>\n"
        "    <signal name=\"Started\"/>\n"
        "    <signal name=\"Connected\">\n"
        "      <arg type=\"s\" name=\"Type\"/>\n"
        "    </signal>\n"
        "    <signal name=\"Disconnected\">\n"
        "      <arg type=\"s\" name=\"Type\"/>\n"
        "    </signal>\n"
        "    <signal name=\"Disconnecting\">\n"
        "      <arg type=\"s\" name=\"Type\"/>\n"
        "    </signal>\n"
        "    <signal name=\"Error\">\n"
        "      <arg type=\"s\" name=\"Description\"/>\n"
        "    </signal>\n"
        "    <signal name=\"AuthError\">\n"
        "      <arg type=\"s\" name=\"Ssid\"/>\n"
        "      <arg type=\"s\" name=\"Description\"/>\n"
        "    </signal>\n"
        "    <signal name=\"CableStatus\">\n"
        "      <arg type=\"b\" name=\"CablePluggedIn\"/>\n"
        "    </signal>\n"
        "    <signal name=\"WpsCredentials\">\n"
        "      <arg type=\"a{sv}\" name=\"Credentials\"/>\n"
        "      <annotation value=\"QVariantMap\" name=\"org.qtproject.QtDBus.QtTypeName.Out0\"/>\n"
        "    </signal>\n"
        "    <signal name=\"WpsError\">\n"
        "      <arg type=\"s\" name=\"Message\"/>\n"
        "    </signal>\n"
        "    <signal name=\"ScanResults\">\n"
        "      <arg type=\"aa{sv}\" name=\"Results\"/>\n"
        "      <annotation value=\"QVariantMap\" name=\"org.qtproject.QtDBus.QtTypeName.Out0\"/>\n"
        "    </signal>\n"
        "    <signal name=\"AddressesChanged\"/>\n"
        "    <signal name=\"InterfaceStatusChanged\">\n"
        "      <arg type=\"s\" name=\"Type\"/>\n"
        "      <arg type=\"i\" name=\"Status\"/>\n"
        "    </signal>\n"
        "    <signal name=\"StationConnected\">\n"
        "      <arg type=\"s\" name=\"Hardware address\"/>\n"
        "    </signal>\n"
        "    <signal name=\"StationDisconnected\">\n"
        "      <arg type=\"s\" name=\"Hardware address\"/>\n"
        "    </signal>\n"
        "  </interface>\n"
        "")
    Q_PROPERTY(QVariant LogLevel READ getLogLevel WRITE putLogLevel)
    Q_PROPERTY(QVariant WirelessNetworks READ getWirelessNetworks WRITE putWirelessNetworks)
    Q_PROPERTY(QVariant WiredIpSettings READ getWiredIpSettings WRITE putWiredIpSettings)
    Q_PROPERTY(QVariant WirelessIpSettings READ getWirelessIpSettings WRITE putWirelessIpSettings)

public:
    explicit ControlAdaptor(QObject *owner) : com_brenvik_norvi(owner) {}

    QVariant getLogLevel() const { return logLevel(); }
    void putLogLevel(const QVariant &value) { put("LogLevel", value, IntegerSignature); }
    QVariant getWirelessNetworks() const { return wirelessNetworks(); }
    void putWirelessNetworks(const QVariant &value)
    {
        put("WirelessNetworks", value, MapSignature);
    }
    QVariant getWiredIpSettings() const { return wiredIpSettings(); }
    void putWiredIpSettings(const QVariant &value) { put("WiredIpSettings", value, MapSignature); }
    QVariant getWirelessIpSettings() const { return wirelessIpSettings(); }
    void putWirelessIpSettings(const QVariant &value)
    {
        put("WirelessIpSettings", value, MapSignature);
    }

private:
    void put(const char *property, const QVariant &value, const char *signature)
    {
        const QString received = busSignature(value);
        if (received != QLatin1String(signature)) {
            nvWarning() << "SET: " << property << ": refusing a value of D-Bus type " << received
                        << " where " << signature << " is expected";
            return;
        }
        // Only the map's top level is decoded, as QtDBus itself would: nested maps stay
        // arguments for the owner's parser to check.
        const bool isMap = value.userType() == qMetaTypeId<QDBusArgument>();
        parent()->setProperty(
            property,
            isMap ? QVariant(qdbus_cast<QVariantMap>(value.value<QDBusArgument>())) : value);
    }
};

} // namespace

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
    new ControlAdaptor(owner);

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

#include "NorviDBus.moc"
