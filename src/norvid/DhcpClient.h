#pragma once

#include "InterfaceConfiguration.h"
#include "NorviCommon.h"

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>

#include <memory>

// Gets an interface's IPv4 configuration from a DHCP server. It only reports leases; the owner
// applies them.
class DhcpClient : public QObject
{
    Q_OBJECT

public:
    explicit DhcpClient(const InterfaceName &interface) : m_interface(interface) {}
    ~DhcpClient() override = default;

    virtual void start() = 0;
    virtual void stop() = 0;

signals:
    void finished(InterfaceConfiguration configuration);
    void error(QString message);

protected:
    const InterfaceName m_interface;
};

// The DHCP client on top of busybox udhcpc, run in the foreground as a child. Its lease script
// prints each lease as NORVID_... lines; a NORVID_FINISHED line completes one report.
class Udhcpc : public DhcpClient
{
    Q_OBJECT

public:
    static const QString Program;
    static const QString LeaseScript;
    // udhcpc is asked to end with SIGTERM and given this long to release and exit before it is
    // killed. Nobody waits for it meanwhile.
    static constexpr int StopTimeoutMs = 30000;
    // Output collected without a complete report is cut down to its NORVID_ lines beyond this
    // size, so that a client chattering for days without a server keeps memory bounded.
    static constexpr int MaximumPendingOutput = 64 * 1024;

    explicit Udhcpc(const InterfaceName &interface, const QString &program = Program);
    ~Udhcpc() override;

    void start() override;
    void stop() override;

    // Takes output as udhcpc printed it, in whatever pieces it arrives; each complete report
    // becomes a finished() signal.
    void take(const QByteArray &output);

private slots:
    void on_readyReadStandardOutput();
    void on_finished(int exitCode, QProcess::ExitStatus exitStatus);
    void on_error(QProcess::ProcessError processError);

private:
    QStringList arguments() const;
    int reportEnd() const;
    void report(const QByteArray &output);
    void logOutput(const QString &output) const;
    void limitPendingOutput();
    static void logEnd(const InterfaceName &interface, const QProcess &process);
    static void logError(const InterfaceName &interface, QProcess::ProcessError processError);

    const QString m_program;
    // One process object per run: a stopped run ends on its own while the next one starts.
    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<QProcess> m_ended;
    QByteArray m_output;
};
