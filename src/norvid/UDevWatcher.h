#pragma once

#include <QByteArray>
#include <QObject>

struct udev;
struct udev_device;
struct udev_monitor;
class QSocketNotifier;

namespace UDev {

// A reference to a libudev context. Creating one that fails ends the daemon.
class Connection
{
public:
    Connection();
    Connection(const Connection &other);
    Connection &operator=(const Connection &other);
    ~Connection();

    udev *get() const { return m_udev; }

private:
    udev *m_udev = nullptr;
};

// A reference to a device as udev reported it; possibly empty.
class Device
{
public:
    // Adopts the reference the caller got from libudev.
    explicit Device(udev_device *device = nullptr);
    Device(const Device &other);
    Device &operator=(const Device &other);
    ~Device();

    // Null when the property is absent or no device is held.
    const char *getProperty(const char *key) const;
    explicit operator bool() const { return m_device != nullptr; }

private:
    udev_device *m_device = nullptr;
};

// A reference to a receiving monitor of processed udev events of one subsystem. Failing to
// set one up ends the daemon.
class Monitor
{
public:
    Monitor(const Connection &connection, const char *subsystem);
    Monitor(const Monitor &other);
    Monitor &operator=(const Monitor &other);
    ~Monitor();

    int getFd() const;
    Device receiveDevice() const;

private:
    Connection m_connection;
    udev_monitor *m_monitor = nullptr;
};

} // namespace UDev

// Reports network interfaces appearing and disappearing, including renames.
class UDevWatcher : public QObject
{
    Q_OBJECT

public:
    explicit UDevWatcher(QObject *parent = nullptr);

signals:
    void interfaceAdded(QByteArray name);
    void interfaceRemoved(QByteArray name);

public slots:
    void on_fdReady();

private:
    UDev::Monitor m_monitor;
    QSocketNotifier *m_notifier;
};
