#include "DhcpClient.h"

#include "NorviProcess.h"

#include <QMetaEnum>
#include <QSysInfo>

const QString Udhcpc::Program = QStringLiteral("/sbin/udhcpc");
const QString Udhcpc::LeaseScript = QStringLiteral("/usr/share/norvid/norvid_udhcpc.sh");

namespace {

const QByteArray KeyPrefix = QByteArrayLiteral("NORVID_");
const QByteArray FinishedMarker = QByteArrayLiteral("NORVID_FINISHED");
const QString IpKey = QStringLiteral("NORVID_IP=");
const QString NetmaskKey = QStringLiteral("NORVID_NETMASK=");
const QString GatewayKey = QStringLiteral("NORVID_GATEWAY=");
const QString DnsKey = QStringLiteral("NORVID_DNS=");
const QString DomainKey = QStringLiteral("NORVID_DOMAIN=");

// Discovery rounds before udhcpc pauses, and the seconds between them.
const QString DiscoverAttempts = QStringLiteral("7");
const QString DiscoverIntervalSeconds = QStringLiteral("3");

QString valueOf(const QString &line, const QString &key)
{
    return QString(line).remove(key);
}

QStringList wordsOf(const QString &line, const QString &key)
{
    return norvi::splitWords(valueOf(line, key));
}

// The values of one lease report as the lease script printed them.
struct Lease
{
    QString address;
    QString netmask;
    QString gateway;
    QStringList dns;
    QStringList domains;

    // A later line of a kind replaces what an earlier one set, lists included.
    void read(const QString &line)
    {
        if (line.startsWith(IpKey)) {
            address = valueOf(line, IpKey).trimmed();
        } else if (line.startsWith(NetmaskKey)) {
            netmask = valueOf(line, NetmaskKey).trimmed();
        } else if (line.startsWith(GatewayKey)) {
            const QStringList routers = wordsOf(line, GatewayKey);
            if (!routers.isEmpty()) {
                gateway = routers.first();
            }
        } else if (line.startsWith(DnsKey)) {
            dns = wordsOf(line, DnsKey);
        } else if (line.startsWith(DomainKey)) {
            domains = wordsOf(line, DomainKey);
        }
    }
};

} // namespace

Udhcpc::Udhcpc(const InterfaceName &interface, const QString &program)
    : DhcpClient(interface), m_program(program)
{}

// Whatever the run would still report is unwanted: the owner is letting go of this client.
Udhcpc::~Udhcpc()
{
    stop();
}

void Udhcpc::start()
{
    stop();
    m_output.clear();
    const QStringList args = arguments();
    nvInfo() << "Starting dhcp client " << m_program << " w/args: " << args;
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    norvi::connect(m_process.get(), SIGNAL(readyReadStandardOutput()), this,
                   SLOT(on_readyReadStandardOutput()));
    norvi::connect(m_process.get(), SIGNAL(finished(int, QProcess::ExitStatus)), this,
                   SLOT(on_finished(int, QProcess::ExitStatus)));
    norvi::connect(m_process.get(), SIGNAL(errorOccurred(QProcess::ProcessError)), this,
                   SLOT(on_error(QProcess::ProcessError)));
    m_process->start(m_program, args);
}

// The run ends in the background: its end and a crash on the way out are logged, and nothing it
// prints any more is reported.
void Udhcpc::stop()
{
    if (!m_process) {
        return;
    }
    norvi::disconnect(m_process.get(), nullptr, this, nullptr);
    if (m_process->state() == QProcess::NotRunning) {
        // Kept rather than deleted: this may run inside one of the process's own signals.
        m_ended = std::move(m_process);
        return;
    }
    std::unique_ptr<QProcess> process = std::move(m_process);
    process->terminate();
    const InterfaceName interface = m_interface;
    NorviProcess::reap(std::move(process), StopTimeoutMs, [interface](const QProcess &ended) {
        if (ended.exitStatus() == QProcess::CrashExit) {
            logError(interface, QProcess::Crashed);
        }
        logEnd(interface, ended);
    });
}

QStringList Udhcpc::arguments() const
{
    return {QStringLiteral("-f"),
            QStringLiteral("-x"),
            QStringLiteral("hostname:") + QSysInfo::machineHostName(),
            QStringLiteral("-t"),
            DiscoverAttempts,
            QStringLiteral("-T"),
            DiscoverIntervalSeconds,
            QStringLiteral("-i"),
            m_interface.toString(),
            QStringLiteral("-s"),
            LeaseScript};
}

void Udhcpc::on_readyReadStandardOutput()
{
    take(m_process->readAll());
}

void Udhcpc::take(const QByteArray &output)
{
    m_output += output;
    for (int end = reportEnd(); end >= 0; end = reportEnd()) {
        const QByteArray output = m_output.left(end);
        m_output.remove(0, end);
        report(output);
    }
    limitPendingOutput();
}

// Where the report completed by the first marker ends, or -1 without a marker. Normally that is
// the end of everything collected; only when another marker follows does the first report end
// with its marker's line, so that every marker gets a report of its own.
int Udhcpc::reportEnd() const
{
    const int marker = m_output.indexOf(FinishedMarker);
    if (marker < 0) {
        return -1;
    }
    const int afterMarker = marker + FinishedMarker.size();
    const int nextMarker = m_output.indexOf(FinishedMarker, afterMarker);
    if (nextMarker < 0) {
        return m_output.size();
    }
    const int lineEnd = m_output.indexOf('\n', afterMarker);
    return lineEnd >= 0 && lineEnd < nextMarker ? lineEnd + 1 : nextMarker;
}

void Udhcpc::report(const QByteArray &output)
{
    const QString text = QString::fromUtf8(output);
    nvInfo() << m_interface << " Finished setup, parsing dhcp data from output:";
    logOutput(text);
    Lease lease;
    for (const QString &line : text.split('\n')) {
        lease.read(line);
    }
    nvInfo() << m_interface << " Dhcp settings: " << norvi::clientText(lease.address)
             << norvi::clientText(lease.netmask) << norvi::clientText(lease.gateway)
             << norvi::clientText(lease.dns.join(' '))
             << norvi::clientText(lease.domains.join(' '));
    emit finished(InterfaceConfiguration(m_interface, lease.address, lease.netmask, lease.gateway,
                                         lease.dns, lease.domains));
}

void Udhcpc::logOutput(const QString &output) const
{
    for (const QString &line : output.trimmed().split('\n')) {
        nvInfo() << "Dhcp output: " << norvi::clientText(line.trimmed());
    }
}

// Keeps the NORVID_ lines of an unfinished report and the line still being written; the rest is
// udhcpc's own chatter, of no use to the report.
void Udhcpc::limitPendingOutput()
{
    if (m_output.size() <= MaximumPendingOutput) {
        return;
    }
    const int partialLine = m_output.lastIndexOf('\n') + 1;
    QByteArray kept;
    for (const QByteArray &line : m_output.left(partialLine).split('\n')) {
        if (line.startsWith(KeyPrefix)) {
            kept += line + '\n';
        }
    }
    kept += m_output.mid(partialLine);
    if (kept.size() > MaximumPendingOutput) {
        kept.clear();
    }
    nvWarning() << m_interface << ": dropping " << m_output.size() - kept.size()
                << " bytes of dhcp client output that belong to no lease report";
    m_output = kept;
}

void Udhcpc::on_finished(int, QProcess::ExitStatus)
{
    logEnd(m_interface, *m_process);
}

void Udhcpc::on_error(QProcess::ProcessError processError)
{
    emit error(QStringLiteral("dhcpc: ") + m_interface.toString() +
               QStringLiteral(": an error occurred!"));
    logError(m_interface, processError);
}

void Udhcpc::logEnd(const InterfaceName &interface, const QProcess &process)
{
    nvInfo() << interface << ": dhcp client process finished, exit code: " << process.exitCode();
}

void Udhcpc::logError(const InterfaceName &interface, QProcess::ProcessError processError)
{
    nvCritical() << interface << ": An error occurred in the dhcp client "
                 << QMetaEnum::fromType<QProcess::ProcessError>().valueToKey(processError);
}
