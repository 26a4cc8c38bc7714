#pragma once

#include <QObject>
#include <QTimer>

class QSocketNotifier;

// Ends the event loop in an orderly way, so that the daemon's objects are destroyed and take
// their children with them: on SIGTERM or SIGINT (exit status 0), and when the system bus is
// lost (BusLostExitStatus), since a daemon that nobody can reach had better be restarted by its
// service manager than linger.
class ShutdownWatcher : public QObject
{
    Q_OBJECT

public:
    static constexpr int BusCheckMs = 1000;
    static constexpr int BusLostExitStatus = 2;

    explicit ShutdownWatcher(QObject *parent = nullptr, int busCheckMs = BusCheckMs);
    ~ShutdownWatcher() override;

private slots:
    void on_signalNotifier_activated();
    void on_busTimer_timeout();

private:
    QSocketNotifier *m_signalNotifier;
    QTimer m_busTimer;
};
