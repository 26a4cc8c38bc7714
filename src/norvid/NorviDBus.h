#pragma once

#include <QDBusObjectPath>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <optional>

class QObject;

// An interface's presence and administrative state, as controllers report it. On the bus the
// InterfaceStatusChanged signal carries its integer value: the D-Bus marshaller takes no
// custom type that stands for a basic one, so emitters convert it themselves.
enum InterfaceStatus
{
    StatusRemoved = 0,
    StatusDown = 1,
    StatusUp = 2
};

Q_DECLARE_METATYPE(InterfaceStatus)

namespace norvi {

constexpr const char *ControlObjectPath = "/com/brenvik/norvi";
constexpr const char *ControlServiceName = "com.brenvik.norvi";

// Makes the types of this header known to queued connections and signal spies by name.
// Idempotent; registerControlInterface calls it too.
void registerMetaTypes();

// Serves the control interface for owner (the manager or the monitor) on the system bus:
// creates the adaptor as owner's child, which forwards properties and calls to owner and
// relays its matching signals, registers owner at the control object path and takes the
// control service name. A value written to a property reaches owner only if it has the
// property's D-Bus type. A path or name already taken ends the process.
void registerControlInterface(QObject *owner);

// The Details property as the manager and the monitor both serve it: their other properties and
// the details of the wired and the wireless interface, in one map.
template <typename Owner>
QVariantMap detailsOf(const Owner &owner, const QString &wiredName, const QString &wirelessName)
{
    return QVariantMap{{"Connected", owner.isConnected()},
                       {"Mode", owner.getMode()},
                       {"WiredIp", owner.getWiredIpSettings()},
                       {"WirelessIp", owner.getWirelessIpSettings()},
                       {"WirelessAp", owner.getWirelessNetworks()},
                       {"SoftApSetup", owner.getSoftApModeSettings()},
                       {"wired", owner.InterfaceDetails(wiredName)},
                       {"wireless", owner.InterfaceDetails(wirelessName)}};
}

// The keys of map whose values are not text, in key order: maps that clients fill with text
// only, such as IP settings, are checked with it before anything in them is used.
QStringList keysWithoutText(const QVariantMap &map);

// Readers for values that other services (wpa_supplicant) send. Each gives no value when the
// value is not of the kind asked for.
// A list of texts; a single text counts as a list of one.
std::optional<QStringList> toTextList(const QVariant &value);
// Text sent as a byte string (or as a string); the bytes must be valid UTF-8.
std::optional<QString> toUtf8Text(const QVariant &value);
// An object path, or text that is a valid one.
std::optional<QDBusObjectPath> toObjectPath(const QVariant &value);

} // namespace norvi
