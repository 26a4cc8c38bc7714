#include "UDevWatcher.h"

#include "NorviCommon.h"

#include <QSocketNotifier>

#include <algorithm>

namespace {

// Events after udev has processed them (renamed, with properties), not the kernel's raw ones.
const char *const ProcessedEvents = "udev";
const char *const NetSubsystem = "net";

[[noreturn]] void setupFailed(const char *what)
{
    nvCritical() << what;
    nvFatal();
}

// The kernel refuses names that are empty, too long, "." or "..", or contain a slash, a colon
// or white space; control characters never come from it either.
bool isInterfaceName(const QByteArray &name)
{
    if (name.isEmpty() || name.size() > UDevWatcher::MaximumNameBytes || name == "." ||
        name == "..") {
        return false;
    }
    return std::none_of(name.cbegin(), name.cend(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= ' ' || byte == 0x7f || c == '/' || c == ':';
    });
}

} // namespace

namespace UDev {

Connection::Connection() : m_udev(udev_new())
{
    if (m_udev.get() == nullptr) {
        setupFailed("udev: udev_new() failed!");
    }
}

const char *Device::getProperty(const char *key) const
{
    return m_device.get() != nullptr ? udev_device_get_property_value(m_device.get(), key)
                                     : nullptr;
}

Monitor::Monitor(const Connection &connection, const char *subsystem)
    : m_connection(connection),
      m_monitor(udev_monitor_new_from_netlink(m_connection.get(), ProcessedEvents))
{
    if (m_monitor.get() == nullptr) {
        setupFailed("udev_monitor_new_from_netlink() failed!");
    }
    if (udev_monitor_filter_add_match_subsystem_devtype(m_monitor.get(), subsystem, nullptr) < 0) {
        setupFailed("udev_monitor_filter_add_match_subsystem_devtype() failed!");
    }
    if (udev_monitor_enable_receiving(m_monitor.get()) < 0) {
        setupFailed("udev_monitor_enable_receiving() failed!");
    }
}

int Monitor::getFd() const
{
    return udev_monitor_get_fd(m_monitor.get());
}

Device Monitor::receiveDevice() const
{
    return Device(udev_monitor_receive_device(m_monitor.get()));
}

} // namespace UDev

UDevWatcher::UDevWatcher(QObject *parent)
    : QObject(parent), m_monitor(UDev::Connection(), NetSubsystem),
      m_notifier(new QSocketNotifier(m_monitor.getFd(), QSocketNotifier::Read, this))
{
    norvi::connect(m_notifier, SIGNAL(activated(int)), this, SLOT(on_fdReady()));
}

UDevWatcher::~UDevWatcher()
{
    // The notifier must let go of the descriptor before the monitor closes it.
    delete m_notifier;
}

void UDevWatcher::on_fdReady()
{
    const UDev::Device device = m_monitor.receiveDevice();
    if (!device) {
        nvWarning() << "UDev delivered a message but there was nothing there!";
        return;
    }
    report(device.getProperty("ACTION"), device.getProperty("INTERFACE"));
}

void UDevWatcher::report(const QByteArray &action, const QByteArray &name)
{
    if (!isInterfaceName(name)) {
        nvWarning() << "Ignoring udev action " << norvi::clientText(QString::fromLatin1(action))
                    << " for something that is no interface name: "
                    << norvi::clientText(QString::fromLatin1(name));
        return;
    }
    if (action == "add" || action == "move") {
        emit interfaceAdded(name);
    } else if (action == "remove") {
        emit interfaceRemoved(name);
    } else {
        nvDebug() << "Ignoring udev action " << action << " for interface " << name;
    }
}
