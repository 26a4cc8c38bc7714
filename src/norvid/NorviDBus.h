#pragma once

#include <QMetaType>
#include <QString>

class QDBusArgument;
class QObject;

// An interface's presence and administrative state, as controllers report it and as the
// InterfaceStatusChanged signal carries it (its integer value).
enum InterfaceStatus
{
    StatusRemoved = 0,
    StatusDown = 1,
    StatusUp = 2
};

Q_DECLARE_METATYPE(InterfaceStatus)

QDBusArgument &operator<<(QDBusArgument &argument, InterfaceStatus status);
const QDBusArgument &operator>>(const QDBusArgument &argument, InterfaceStatus &status);

namespace norvi {

constexpr const char *ControlObjectPath = "/com/brenvik/norvi";
constexpr const char *ControlServiceName = "com.brenvik.norvi";

// Makes the types of this header known to queued connections and signal spies by name.
// Idempotent; registerControlInterface calls it too.
void registerMetaTypes();

// Serves the control interface for owner (the manager or the monitor) on the system bus:
// creates the adaptor as owner's child, which forwards properties and calls to owner and
// relays its matching signals, registers owner at the control object path and takes the
// control service name. A path or name already taken ends the process.
void registerControlInterface(QObject *owner);

} // namespace norvi
