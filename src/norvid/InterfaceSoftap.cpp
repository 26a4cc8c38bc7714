#include "InterfaceSoftap.h"

#include "ConfigFileWriter.h"
#include "InterfaceWireless.h"
#include "NetworkDriver.h"
#include "NorviStateMachine.h"

#include <QFile>
#include <QMetaEnum>
#include <QNetworkInterface>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

const QString WirelessSoftApStarted::UdhcpdProgram = QStringLiteral("/usr/sbin/udhcpd");
const QString WirelessSoftApStarted::HostapdProgram = QStringLiteral("/usr/sbin/hostapd");
const QString WirelessSoftApStarted::DnsdProgram = QStringLiteral("/usr/sbin/dnsd");
const QString WirelessSoftApStarted::UdhcpdFile = QStringLiteral("/tmp/udhcpd_%1.conf");
const QString WirelessSoftApStarted::HostapdFile = QStringLiteral("/tmp/hostapd_%1.conf");
const QString WirelessSoftApStarted::DnsdFile = QStringLiteral("/tmp/dnsd_%1.conf");

namespace {

// Channels above this one are in the 5 GHz band.
constexpr int Highest24GHzChannel = 14;
// The soft AP's network is always a /24, whatever netmask the settings name.
constexpr int SoftApPrefixLength = 24;

// A state of a soft AP's region, named "<base>_<interface>" and logged under the station name.
#define NORVI_SOFTAP_STATE(Name, base)                                                             \
    class Name : public InterfaceWirelessState                                                     \
    {                                                                                              \
    public:                                                                                        \
        Name(QState *parent, InterfaceWireless *controller, const InterfaceSoftap *softap)         \
            : InterfaceWirelessState(parent, controller, controller->getName(),                    \
                                     InterfaceStateName(softap->appendInterface(base)))            \
        {                                                                                          \
            setObjectName(softap->appendInterface(base));                                          \
        }                                                                                          \
    }

NORVI_SOFTAP_STATE(WirelessSoftapContainerPerInterface, QStringLiteral("softApContainer"));
NORVI_SOFTAP_STATE(WirelessSoftApNoInterface, QStringLiteral("softApNoInterface"));
// A start asked for while the interface is missing, carried out once it appears.
NORVI_SOFTAP_STATE(WirelessSoftApNoInterfaceEnabled, QStringLiteral("softApNoInterfaceEnabled"));
NORVI_SOFTAP_STATE(WirelessSoftApSopped, QStringLiteral("softApStopped"));
// Running since the start, the station has not associated since.
NORVI_SOFTAP_STATE(WirelessSoftApFirstSession, QStringLiteral("softApFirstSession"));
// Entered on each station association: the soft AP restarts on the channel that now applies.
NORVI_SOFTAP_STATE(WirelessSoftApNextSession, QStringLiteral("softApNextSession"));

#undef NORVI_SOFTAP_STATE

// hostapd takes vendor elements as pairs of hexadecimal digits.
bool isHostapdHex(const QString &text)
{
    return text.size() % 2 == 0 && std::all_of(text.cbegin(), text.cend(), [](QChar c) {
               return QStringLiteral("0123456789abcdefABCDEF").contains(c);
           });
}

QString hostapdConfig(const SoftApSetup &settings, int channel)
{
    QString text = QStringLiteral("interface=%1\nssid=%2\nhw_mode=%3\nchannel=%4\n"
                                  "macaddr_acl=0\nieee80211n=1\n")
                       .arg(settings.apInterface(), settings.ssid().toString(),
                            channel > Highest24GHzChannel ? "a" : "g")
                       .arg(channel);
    if (!settings.countryCode().isEmpty()) {
        text += QStringLiteral("country_code=%1\n").arg(settings.countryCode());
    }
    if (!settings.vendorSpecificData().isEmpty()) {
        text += QStringLiteral("vendor_elements=%1\n").arg(settings.vendorSpecificData());
    }
    return text;
}

QString udhcpdConfig(const SoftApSetup &settings)
{
    QString text = QStringLiteral("start\t\t%1\nend\t\t%2\ninterface\t%3\noption\tsubnet\t%4\n"
                                  "option\tdomain\tlocal\noption\trouter\t%5\n"
                                  "option\tlease\t600\t\t# 10 minutes\n")
                       .arg(settings.startAddress(), settings.endAddress(), settings.apInterface(),
                            settings.subnet(), settings.apAddress());
    if (!settings.domainName().isEmpty()) {
        text += QStringLiteral("option\tdns\t%1\n").arg(settings.apAddress());
    }
    return text;
}

QString filePath(const QString &pattern, const SoftApSetup &settings)
{
    return pattern.arg(settings.apInterface());
}

// The files live in /tmp, where anyone can plant a file of their own for root to hand to a
// daemon: the old file goes first, and what is there after writing must be the regular file of
// our own that the writer put in its place.
bool writeOwnFile(const QString &path, const QString &content)
{
    const QByteArray encoded = QFile::encodeName(path);
    if (unlink(encoded.constData()) != 0 && errno != ENOENT) {
        nvCritical() << "Cannot replace softap file " << path << ": " << std::strerror(errno);
        return false;
    }
    {
        ConfigFileWriter writer(path);
        writer << content;
    }
    struct stat status = {};
    if (lstat(encoded.constData(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_uid != geteuid()) {
        nvCritical() << "Softap file " << path << " could not be written";
        return false;
    }
    return true;
}

// The three daemons' files, dnsd's only with a domain name; false when one of them could not be
// written and is not ours to hand to a daemon.
bool writeFiles(const SoftApSetup &settings, int channel)
{
    return writeOwnFile(filePath(WirelessSoftApStarted::HostapdFile, settings),
                        hostapdConfig(settings, channel)) &&
           writeOwnFile(filePath(WirelessSoftApStarted::UdhcpdFile, settings),
                        udhcpdConfig(settings)) &&
           (settings.domainName().isEmpty() ||
            writeOwnFile(
                filePath(WirelessSoftApStarted::DnsdFile, settings),
                QStringLiteral("%1\t%2\n").arg(settings.domainName(), settings.apAddress())));
}

} // namespace

InterfaceSoftap::InterfaceSoftap(const InterfaceName &name,
                                 WirelessSoftapInterfaceContainer *container,
                                 WirelessWaitingInterfaceRunning *stationWaiting,
                                 InterfaceWireless *controller, NetworkDriver *driver,
                                 const SoftApTimings &timings)
    : QObject(controller), m_name(name), m_driver(driver), m_timings(timings),
      m_settings(Ssid::fromString(QStringLiteral("softap_") + name.toString()), name.toString())
{
    m_driver->flush(NetworkDriver::Both, m_name, false);
    m_driver->down(m_name);
    buildRegion(container, stationWaiting, controller);
}

void InterfaceSoftap::buildRegion(WirelessSoftapInterfaceContainer *container,
                                  WirelessWaitingInterfaceRunning *stationWaiting,
                                  InterfaceWireless *controller)
{
    auto *region = new WirelessSoftapContainerPerInterface(container, controller, this);
    QState *noInterface = new WirelessSoftApNoInterface(region, controller, this);
    QState *noInterfaceEnabled = new WirelessSoftApNoInterfaceEnabled(region, controller, this);
    QState *stopped = new WirelessSoftApSopped(region, controller, this);
    m_started = new WirelessSoftApStarted(region, controller, this);
    QState *firstSession = new WirelessSoftApFirstSession(m_started, controller, this);
    QState *nextSession = new WirelessSoftApNextSession(m_started, controller, this);
    m_started->setInitialState(firstSession);
    const bool present = QNetworkInterface::interfaceFromName(m_name.toString()).isValid();
    region->setInitialState(present ? stopped : noInterface);

    using namespace WirelessEvent;
    struct Row
    {
        QState *source;
        QEvent event;
        QState *target;
    };
    // clang-format off
    const Row table[] = {
        // source             event                     target
        {noInterface,         InterfaceAdded(m_name),   stopped},
        {noInterface,         StartSoftAp(m_name),      noInterfaceEnabled},
        {noInterfaceEnabled,  InterfaceAdded(m_name),   m_started},
        {noInterfaceEnabled,  StopSoftAp(m_name),       noInterface},
        {stopped,             InterfaceRemoved(m_name), noInterface},
        {stopped,             StartSoftAp(m_name),      m_started},
        {m_started,           InterfaceRemoved(m_name), noInterfaceEnabled},
        {m_started,           StopSoftAp(m_name),       stopped},
        {m_started,           SoftApReload(m_name),     m_started},
    };
    // clang-format on
    for (const Row &row : table) {
        row.source->addTransition(new NorviInterfaceTransition(m_name, row.event, row.target));
    }
    // Each station association, the first one after the start included.
    firstSession->addTransition(stationWaiting, SIGNAL(entered()), nextSession);
    nextSession->addTransition(stationWaiting, SIGNAL(entered()), nextSession);
    norvi::connect(nextSession, SIGNAL(entered()), m_started, SLOT(restartSoftAp()));

    norvi::connect(m_started, SIGNAL(ready(InterfaceName)), controller,
                   SIGNAL(softapReady(InterfaceName)));
    norvi::connect(m_started, SIGNAL(unready(InterfaceName)), controller,
                   SIGNAL(softapUnready(InterfaceName)));
    norvi::connect(m_started, SIGNAL(stationConnected(QString)), controller,
                   SIGNAL(stationConnected(QString)));
    norvi::connect(m_started, SIGNAL(stationDisconnected(QString)), controller,
                   SIGNAL(stationDisconnected(QString)));
}

QString InterfaceSoftap::appendInterface(const QString &base) const
{
    return QStringLiteral("%1_%2").arg(base, m_settings.apInterface());
}

void InterfaceSoftap::setSettings(const SoftApSetup &settings)
{
    m_settings = settings;
}

QState *InterfaceSoftap::startedState() const
{
    return m_started;
}

SoftApDaemon::SoftApDaemon(QObject *parent, const QString &name, const QString &program,
                           int restartDelayMs)
    : QObject(parent), m_name(name), m_program(program)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_restartTimer.setSingleShot(true);
    m_restartTimer.setInterval(restartDelayMs);
    norvi::connect(&m_process, SIGNAL(readyReadStandardOutput()), this,
                   SLOT(on_process_readyRead()));
    norvi::connect(&m_process, SIGNAL(finished(int, QProcess::ExitStatus)), this,
                   SLOT(on_process_finished(int, QProcess::ExitStatus)));
    norvi::connect(&m_process, SIGNAL(errorOccurred(QProcess::ProcessError)), this,
                   SLOT(on_process_errorOccurred(QProcess::ProcessError)));
    norvi::connect(&m_restartTimer, SIGNAL(timeout()), this, SIGNAL(restartDue()));
}

void SoftApDaemon::start(const QStringList &arguments)
{
    m_arguments = arguments;
    m_pending.clear();
    m_supervised = true;
    m_process.start(m_program, m_arguments, QIODevice::ReadWrite);
}

bool SoftApDaemon::isActive() const
{
    return m_process.state() != QProcess::NotRunning || m_restartTimer.isActive();
}

void SoftApDaemon::terminate()
{
    // From here on an end is the one asked for, not a crash.
    m_supervised = false;
    m_restartTimer.stop();
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
    }
}

void SoftApDaemon::waitForEnd(int waitMs)
{
    if (m_process.state() == QProcess::NotRunning || m_process.waitForFinished(waitMs)) {
        return;
    }
    nvCritical().noquote() << m_name << " didn't terminate after " << waitMs / 1000.0
                           << " seconds, sending SIGKILL...";
    m_process.kill();
    if (!m_process.waitForFinished(waitMs)) {
        nvCritical().noquote() << m_name << " is still running after SIGKILL!";
        nvFatal();
    }
}

void SoftApDaemon::restart()
{
    nvCritical().noquote() << "Restarting " << m_name << "...";
    start(m_arguments);
}

void SoftApDaemon::on_process_readyRead()
{
    take(m_process.readAllStandardOutput());
}

void SoftApDaemon::take(const QByteArray &output)
{
    m_pending += output;
    int end = 0;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        emitLine(m_pending.left(end));
        m_pending.remove(0, end + 1);
    }
    if (m_pending.size() >= MaximumLineLength) {
        emitLine(m_pending);
        m_pending.clear();
    }
}

void SoftApDaemon::emitLine(const QByteArray &line)
{
    const QString text = QString::fromUtf8(line).trimmed();
    if (!text.isEmpty()) {
        nvInfo().noquote() << m_name << " output: " << text;
        emit lineRead(text);
    }
}

void SoftApDaemon::on_process_finished(int exitCode, QProcess::ExitStatus exitStatus)
{
    emitLine(m_pending);
    m_pending.clear();
    if (!m_supervised) {
        return;
    }
    nvCritical().noquote() << m_name << " quit unexpectedly with exit code: " << exitCode
                           << " status: "
                           << QMetaEnum::fromType<QProcess::ExitStatus>().valueToKey(exitStatus);
    if (!m_restartTimer.isActive()) {
        m_restartTimer.start();
    }
}

void SoftApDaemon::on_process_errorOccurred(QProcess::ProcessError error)
{
    // Only an end is supervised: a program that cannot be started is not tried again.
    if (error == QProcess::FailedToStart) {
        nvCritical().noquote() << m_name << " could not be started: " << m_process.errorString();
    }
}

WirelessSoftApStarted::WirelessSoftApStarted(QState *parent, InterfaceWireless *controller,
                                             InterfaceSoftap *softap)
    : InterfaceWirelessState(parent, controller, controller->getName(),
                             InterfaceStateName(softap->appendInterface("softApStarted"))),
      m_softap(softap), m_udhcpd(new SoftApDaemon(this, QStringLiteral("udhcpd"), UdhcpdProgram,
                                                  softap->timings().udhcpdRestartMs)),
      m_hostapd(new SoftApDaemon(this, QStringLiteral("hostapd"), HostapdProgram,
                                 softap->timings().softApRestartMs)),
      m_dnsd(new SoftApDaemon(this, QStringLiteral("dnsd"), DnsdProgram,
                              softap->timings().dnsdRestartMs)),
      m_interfaceDownTimer(new QTimer(this))
{
    setObjectName(softap->appendInterface("softApStarted"));
    m_interfaceDownTimer->setSingleShot(true);
    m_interfaceDownTimer->setInterval(softap->timings().interfaceDownDelayMs);
    norvi::connect(m_interfaceDownTimer, SIGNAL(timeout()), this,
                   SLOT(on_ipSetSoftApInterfaceDownTimeout()));
    norvi::connect(m_udhcpd, SIGNAL(restartDue()), m_udhcpd, SLOT(restart()));
    norvi::connect(m_dnsd, SIGNAL(restartDue()), m_dnsd, SLOT(restart()));
    // hostapd holds the radio side: its end restarts the whole soft AP.
    norvi::connect(m_hostapd, SIGNAL(restartDue()), this, SLOT(on_softapRestartTimeout()));
    norvi::connect(m_hostapd, SIGNAL(lineRead(QString)), this, SLOT(on_hostapd_lineRead(QString)));
}

void WirelessSoftApStarted::onEntry(QEvent *event)
{
    InterfaceWirelessState::onEntry(event);
    startSoftAp();
    emit ready(InterfaceName(m_softap->getSettings().apInterface()));
}

void WirelessSoftApStarted::onExit(QEvent *event)
{
    InterfaceWirelessState::onExit(event);
    stopSoftAp();
    emit unready(InterfaceName(m_softap->getSettings().apInterface()));
}

void WirelessSoftApStarted::restartSoftAp()
{
    nvInfo() << "Restarting SoftAp";
    stopSoftAp();
    startSoftAp();
}

void WirelessSoftApStarted::startSoftAp()
{
    m_started = false;
    m_interfaceDownTimer->stop();
    const SoftApSetup &settings = m_softap->getSettings();
    if (refusesSettings(settings)) {
        return;
    }
    if (!QNetworkInterface::interfaceFromName(settings.apInterface()).isValid()) {
        nvWarning() << "Can't start softap, " << settings.apInterface()
                    << " is not a valid interface!";
        return;
    }
    if (!writeFiles(settings, controller()->get_softap_channnel())) {
        return;
    }
    setUpLink(settings);
    nvInfo() << "Starting udhcpd & hostapd";
    m_udhcpd->start({QStringLiteral("-f"), filePath(UdhcpdFile, settings)});
    m_hostapd->start({filePath(HostapdFile, settings)});
    if (!settings.domainName().isEmpty()) {
        nvInfo() << "Starting dnsd";
        m_dnsd->start({QStringLiteral("-c"), filePath(DnsdFile, settings)});
    }
    m_started = true;
}

bool WirelessSoftApStarted::refusesSettings(const SoftApSetup &settings) const
{
    QStringList unusable = settings.unsafeTextSettings();
    if (!isHostapdHex(settings.vendorSpecificData())) {
        unusable << QStringLiteral("vendorSpecificData");
    }
    const QStringList addresses{settings.apAddress(), settings.subnet(), settings.startAddress(),
                                settings.endAddress()};
    if (addresses.contains(QString())) {
        unusable << QStringLiteral("addresses");
    }
    if (unusable.isEmpty()) {
        return false;
    }
    nvCritical() << "Refusing to start softap " << m_softap->getName()
                 << ", settings unusable in its configuration files: "
                 << unusable.join(QStringLiteral(", "));
    return true;
}

void WirelessSoftApStarted::setUpLink(const SoftApSetup &settings)
{
    const InterfaceName name(settings.apInterface());
    const QString current =
        QNetworkInterface::interfaceFromName(settings.apInterface()).hardwareAddress();
    // Hardware addresses are the same in either case.
    if (!settings.bssid().isEmpty() &&
        settings.bssid().toString().compare(current, Qt::CaseInsensitive) != 0) {
        on_ipSetSoftApInterfaceDownTimeout();
        nvInfo() << "Setting softap BSSID: " << settings.bssid() << " from: " << current;
        m_softap->driver()->setMacAddress(settings.bssid(), name);
    }
    m_softap->driver()->up(name);
    m_softap->driver()->setIpAddress(settings.apAddress(), SoftApPrefixLength, name);
    // udhcpd takes its own address from the interface when it starts.
    m_softap->driver()->finishOperations();
}

void WirelessSoftApStarted::stopSoftAp()
{
    if (!m_started) {
        return;
    }
    m_started = false;
    const int waitMs = m_softap->timings().stopWaitMs;
    nvDebug() << "Terminating udhcpd & hostapd";
    m_udhcpd->terminate();
    m_hostapd->terminate();
    m_udhcpd->waitForEnd(waitMs);
    m_hostapd->waitForEnd(waitMs);
    // Whether it runs, not the current domain name, tells whether there is a dnsd to stop.
    if (m_dnsd->isActive()) {
        nvDebug() << "Terminating dnsd";
        m_dnsd->terminate();
        m_dnsd->waitForEnd(waitMs);
    }
    const QString &name = m_softap->getSettings().apInterface();
    if (name != controller()->getName().toString()) {
        m_interfaceDownTimer->start();
    }
    m_softap->driver()->flush(NetworkDriver::Both, InterfaceName(name), false);
}

void WirelessSoftApStarted::on_hostapd_lineRead(const QString &line)
{
    static const QRegularExpression station(
        QStringLiteral("AP-STA-(CONNECTED|DISCONNECTED) ([0-9a-fA-F]{2}(?::[0-9a-fA-F]{2}){5})"));
    const QRegularExpressionMatch match = station.match(line);
    if (!match.hasMatch()) {
        return;
    }
    nvInfo() << "Got " << match.captured(1) << " station: " << match.captured(2);
    if (match.captured(1) == QLatin1String("CONNECTED")) {
        emit stationConnected(match.captured(2));
    } else {
        emit stationDisconnected(match.captured(2));
    }
}

void WirelessSoftApStarted::on_ipSetSoftApInterfaceDownTimeout()
{
    m_softap->driver()->down(InterfaceName(m_softap->getSettings().apInterface()));
}

void WirelessSoftApStarted::on_softapRestartTimeout()
{
    nvCritical() << "Restarting softap...";
    auto *softApMachine = qobject_cast<NorviStateMachine *>(machine());
    if (softApMachine == nullptr) {
        nvCritical() << "Softap " << m_softap->getName() << " is in no machine to restart it";
        return;
    }
    softApMachine->postEvent(new WirelessEvent::SoftApReload(m_softap->getName()));
}
