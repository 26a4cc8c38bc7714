#pragma once

#include "InterfaceState.h"
#include "NetworkConfiguration.h"
#include "NorviCommon.h"

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

class InterfaceWireless;
class NetworkDriver;
class QState;
class WirelessSoftApStarted;
class WirelessSoftapInterfaceContainer;
class WirelessWaitingInterfaceRunning;

// How long a soft AP waits before acting on its own.
struct SoftApTimings
{
    static constexpr int InterfaceDownDelayMs = 1000;
    static constexpr int UdhcpdRestartMs = 5000;
    static constexpr int SoftApRestartMs = 10000;
    static constexpr int DnsdRestartMs = 5000;
    // Given to a daemon after SIGTERM, and again after SIGKILL.
    static constexpr int StopWaitMs = 5000;

    int interfaceDownDelayMs = InterfaceDownDelayMs;
    int udhcpdRestartMs = UdhcpdRestartMs;
    int softApRestartMs = SoftApRestartMs;
    int dnsdRestartMs = DnsdRestartMs;
    int stopWaitMs = StopWaitMs;
};

// One soft access point interface: its settings, and its region in the wireless controller's
// soft-AP machine, which runs and supervises hostapd, udhcpd and dnsd.
class InterfaceSoftap : public QObject
{
    Q_OBJECT

public:
    InterfaceSoftap(const InterfaceName &name, WirelessSoftapInterfaceContainer *container,
                    WirelessWaitingInterfaceRunning *stationWaiting, InterfaceWireless *controller,
                    NetworkDriver *driver, const SoftApTimings &timings = SoftApTimings());

    // The region's state names: "<base>_<interface>".
    QString appendInterface(const QString &base) const;

    const SoftApSetup &getSettings() const { return m_settings; }
    void setSettings(const SoftApSetup &settings);

    // The region's state in which the soft AP runs.
    QState *startedState() const;

    const InterfaceName &getName() const { return m_name; }
    NetworkDriver *driver() const { return m_driver; }
    const SoftApTimings &timings() const { return m_timings; }

private:
    void buildRegion(WirelessSoftapInterfaceContainer *container,
                     WirelessWaitingInterfaceRunning *stationWaiting,
                     InterfaceWireless *controller);

    const InterfaceName m_name;
    NetworkDriver *const m_driver;
    const SoftApTimings m_timings;
    SoftApSetup m_settings;
    WirelessSoftApStarted *m_started = nullptr;
};

// One daemon of a soft AP, run as a child with its output logged line by line. An end it was
// not asked for is logged and, after the restart delay, reported by restartDue().
class SoftApDaemon : public QObject
{
    Q_OBJECT

public:
    // Output without a line end is passed on as a line once it reaches this size.
    static constexpr int MaximumLineLength = 4096;

    SoftApDaemon(QObject *parent, const QString &name, const QString &program, int restartDelayMs);
    // A daemon still running is killed with its owner, and that end is no one's business.
    ~SoftApDaemon() override { m_process.blockSignals(true); }

    void start(const QStringList &arguments);
    bool isActive() const;
    // Stopping comes in two halves, so that several daemons get their SIGTERM at once.
    void terminate();
    // Escalates to SIGKILL after waitMs; a daemon that outlives that too ends the process.
    void waitForEnd(int waitMs);
    // Takes the daemon's output in whatever pieces it arrives and passes on its lines.
    void take(const QByteArray &output);

signals:
    void lineRead(QString line);
    void restartDue();

public slots:
    void restart();

private slots:
    void on_process_readyRead();
    void on_process_finished(int exitCode, QProcess::ExitStatus exitStatus);
    void on_process_errorOccurred(QProcess::ProcessError error);

private:
    void emitLine(const QByteArray &line);

    const QString m_name;
    const QString m_program;
    QStringList m_arguments;
    QProcess m_process;
    QTimer m_restartTimer;
    QByteArray m_pending;
    bool m_supervised = false;
};

// The soft AP runs while this state is active: it writes the daemons' files, sets up the link
// and supervises hostapd, udhcpd and dnsd.
class WirelessSoftApStarted : public InterfaceWirelessState
{
    Q_OBJECT

public:
    static const QString UdhcpdProgram;
    static const QString HostapdProgram;
    static const QString DnsdProgram;
    static const QString UdhcpdFile;
    static const QString HostapdFile;
    static const QString DnsdFile;

    WirelessSoftApStarted(QState *parent, InterfaceWireless *controller, InterfaceSoftap *softap);

signals:
    void ready(InterfaceName softAp);
    void unready(InterfaceName softAp);
    void stationConnected(QString mac);
    void stationDisconnected(QString mac);

public slots:
    void restartSoftAp();

private slots:
    void on_hostapd_lineRead(const QString &line);
    void on_ipSetSoftApInterfaceDownTimeout();
    void on_softapRestartTimeout();

protected:
    void onEntry(QEvent *event) override;
    void onExit(QEvent *event) override;

private:
    void startSoftAp();
    void stopSoftAp();
    bool refusesSettings(const SoftApSetup &settings) const;
    void setUpLink(const SoftApSetup &settings);

    InterfaceSoftap *const m_softap;
    SoftApDaemon *const m_udhcpd;
    SoftApDaemon *const m_hostapd;
    SoftApDaemon *const m_dnsd;
    QTimer *const m_interfaceDownTimer;
    bool m_started = false;
};
