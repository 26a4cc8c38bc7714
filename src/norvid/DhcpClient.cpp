#include "DhcpClient.h"

#include <QMetaEnum>
#include <QSignalBlocker>
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
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    norvi::connect(&m_process, SIGNAL(readyReadStandardOutput()), this,
                   SLOT(on_readyReadStandardOutput()));
    norvi::connect(&m_process, SIGNAL(finished(int, QProcess::ExitStatus)), this,
                   SLOT(on_finished(int, QProcess::ExitStatus)));
    norvi::connect(&m_process, SIGNAL(errorOccurred(QProcess::ProcessError)), this,
                   SLOT(on_error(QProcess::ProcessError)));
}

Udhcpc::~Udhcpc()
{
    {
        // The owner is letting go of this client; whatever it would still report is unwanted.
        const QSignalBlocker blocker(this);
        stop();
    }
    // A child that outlived stop() is killed by the process object's destructor, after the
    // slots' data is gone.
    m_process.blockSignals(true);
}

void Udhcpc::start()
{
    stop();
    m_output.clear();
    const QStringList args = arguments();
    nvInfo() << "Starting dhcp client " << m_program << " w/args: " << args;
    m_process.start(m_program, args);
}

void Udhcpc::stop()
{
    m_process.terminate();
    m_process.waitForFinished(StopTimeoutMs);
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
    take(m_process.readAll());
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

void Udhcpc::on_finished(int exitCode, QProcess::ExitStatus)
{
    nvInfo() << m_interface << ": dhcp client process finished, exit code: " << exitCode;
}

void Udhcpc::on_error(QProcess::ProcessError processError)
{
    emit error(QStringLiteral("dhcpc: ") + m_interface.toString() +
               QStringLiteral(": an error occurred!"));
    nvCritical() << m_interface << ": An error occurred in the dhcp client "
                 << QMetaEnum::fromType<QProcess::ProcessError>().valueToKey(processError);
}
