#pragma once

#include <QByteArray>
#include <QObject>

#include <libudev.h>

class QSocketNotifier;

namespace UDev {

// One counted reference to a libudev object, adopted at construction; every copy holds a
// reference of its own.
template <typename T, T *(*Ref)(T *), T *(*Unref)(T *)> class Reference
{
public:
    explicit Reference(T *adopted = nullptr) : m_object(adopted) {}
    Reference(const Reference &other) : m_object(referenced(other.m_object)) {}
    Reference &operator=(const Reference &other)
    {
        // Referencing first keeps the object alive when a handle is assigned to itself.
        T *next = referenced(other.m_object);
        release();
        m_object = next;
        return *this;
    }
    ~Reference() { release(); }

    T *get() const { return m_object; }

private:
    static T *referenced(T *object) { return object != nullptr ? Ref(object) : nullptr; }
    void release()
    {
        if (m_object != nullptr) {
            Unref(m_object);
        }
    }

    T *m_object;
};

// A libudev context. Failing to create one ends the daemon.
class Connection
{
public:
    Connection();

    udev *get() const { return m_udev.get(); }

private:
    Reference<udev, udev_ref, udev_unref> m_udev;
};

// A device as udev reported it; possibly empty.
class Device
{
public:
    // Adopts the reference the caller got from libudev.
    explicit Device(udev_device *device = nullptr) : m_device(device) {}

    // Null when the property is absent or no device is held.
    const char *getProperty(const char *key) const;
    explicit operator bool() const { return m_device.get() != nullptr; }

private:
    Reference<udev_device, udev_device_ref, udev_device_unref> m_device;
};

// A receiving monitor of processed udev events of one subsystem. Failing to set one up ends
// the daemon.
class Monitor
{
public:
    Monitor(const Connection &connection, const char *subsystem);

    int getFd() const;
    Device receiveDevice() const;

private:
    Connection m_connection;
    Reference<udev_monitor, udev_monitor_ref, udev_monitor_unref> m_monitor;
};

} // namespace UDev

// Reports network interfaces appearing and disappearing, including renames.
class UDevWatcher : public QObject
{
    Q_OBJECT

public:
    // The kernel's limit on an interface name, without its terminating zero.
    static constexpr int MaximumNameBytes = 15;

    // Passes on one event as udev described it; a name the kernel could not have given a
    // network interface is logged and dropped.
    void report(const QByteArray &action, const QByteArray &name);

    explicit UDevWatcher(QObject *parent = nullptr);
    ~UDevWatcher() override;

signals:
    void interfaceAdded(QByteArray name);
    void interfaceRemoved(QByteArray name);

public slots:
    void on_fdReady();

private:
    UDev::Monitor m_monitor;
    QSocketNotifier *m_notifier;
};
