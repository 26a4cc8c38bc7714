#include "UDevWatcher.h"

#include "NorviCommon.h"

#include <QSocketNotifier>

#include <libudev.h>

namespace {

// Events after udev has processed them (renamed, with properties), not the kernel's raw ones.
const char *const ProcessedEvents = "udev";
const char *const NetSubsystem = "net";

[[noreturn]] void setupFailed(const char *what)
{
    nvCritical() << what;
    nvFatal();
}

template <typename T> T *referenced(T *object, T *(*ref)(T *))
{
    return object != nullptr ? ref(object) : nullptr;
}

template <typename T> void release(T *object, T *(*unref)(T *))
{
    if (object != nullptr) {
        unref(object);
    }
}

// Takes the new reference before dropping the old one, so that assigning a handle to itself
// keeps the object alive.
template <typename T> void reassign(T *&held, T *other, T *(*ref)(T *), T *(*unref)(T *))
{
    T *next = referenced(other, ref);
    release(held, unref);
    held = next;
}

} // namespace

namespace UDev {

Connection::Connection() : m_udev(udev_new())
{
    if (m_udev == nullptr) {
        setupFailed("udev: udev_new() failed!");
    }
}

Connection::Connection(const Connection &other) : m_udev(referenced(other.m_udev, udev_ref)) {}

Connection &Connection::operator=(const Connection &other)
{
    reassign(m_udev, other.m_udev, udev_ref, udev_unref);
    return *this;
}

Connection::~Connection()
{
    release(m_udev, udev_unref);
}

Device::Device(udev_device *device) : m_device(device) {}

Device::Device(const Device &other) : m_device(referenced(other.m_device, udev_device_ref)) {}

Device &Device::operator=(const Device &other)
{
    reassign(m_device, other.m_device, udev_device_ref, udev_device_unref);
    return *this;
}

Device::~Device()
{
    release(m_device, udev_device_unref);
}

const char *Device::getProperty(const char *key) const
{
    return m_device != nullptr ? udev_device_get_property_value(m_device, key) : nullptr;
}

Monitor::Monitor(const Connection &connection, const char *subsystem)
    : m_connection(connection),
      m_monitor(udev_monitor_new_from_netlink(m_connection.get(), ProcessedEvents))
{
    if (m_monitor == nullptr) {
        setupFailed("udev_monitor_new_from_netlink() failed!");
    }
    if (udev_monitor_filter_add_match_subsystem_devtype(m_monitor, subsystem, nullptr) < 0) {
        setupFailed("udev_monitor_filter_add_match_subsystem_devtype() failed!");
    }
    if (udev_monitor_enable_receiving(m_monitor) < 0) {
        setupFailed("udev_monitor_enable_receiving() failed!");
    }
}

Monitor::Monitor(const Monitor &other)
    : m_connection(other.m_connection), m_monitor(referenced(other.m_monitor, udev_monitor_ref))
{}

Monitor &Monitor::operator=(const Monitor &other)
{
    m_connection = other.m_connection;
    reassign(m_monitor, other.m_monitor, udev_monitor_ref, udev_monitor_unref);
    return *this;
}

Monitor::~Monitor()
{
    release(m_monitor, udev_monitor_unref);
}

int Monitor::getFd() const
{
    return udev_monitor_get_fd(m_monitor);
}

Device Monitor::receiveDevice() const
{
    return Device(udev_monitor_receive_device(m_monitor));
}

} // namespace UDev

UDevWatcher::UDevWatcher(QObject *parent)
    : QObject(parent), m_monitor(UDev::Connection(), NetSubsystem),
      m_notifier(new QSocketNotifier(m_monitor.getFd(), QSocketNotifier::Read, this))
{
    norvi::connect(m_notifier, SIGNAL(activated(int)), this, SLOT(on_fdReady()));
}

void UDevWatcher::on_fdReady()
{
    const UDev::Device device = m_monitor.receiveDevice();
    if (!device) {
        nvWarning() << "UDev delivered a message but there was nothing there!";
        return;
    }
    const QByteArray action(device.getProperty("ACTION"));
    const QByteArray name(device.getProperty("INTERFACE"));
    if (action == "add" || action == "move") {
        emit interfaceAdded(name);
    } else if (action == "remove") {
        emit interfaceRemoved(name);
    } else {
        nvDebug() << "Ignoring udev action " << action << " for interface " << name;
    }
}
