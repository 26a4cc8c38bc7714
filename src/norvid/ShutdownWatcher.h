#pragma once

#include <QObject>

class QSocketNotifier;

// Ends the event loop in an orderly way, so that the daemon's objects are destroyed and take
// their children with them: on SIGTERM or SIGINT (exit status 0), and when the system bus is
// lost (BusLostExitStatus), since a daemon that nobody can reach had better be restarted by its
// service manager than linger.
class ShutdownWatcher : public QObject
{
    Q_OBJECT

public:
    static constexpr int BusLostExitStatus = 2;

    explicit ShutdownWatcher(QObject *parent = nullptr);
    ~ShutdownWatcher() override;

private slots:
    void on_signalNotifier_activated();
    void on_bus_disconnected();

private:
    void watchBus();

    QSocketNotifier *m_signalNotifier;
};
