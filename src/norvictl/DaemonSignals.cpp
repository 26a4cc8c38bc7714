#include "DaemonSignals.h"

#include "ControlClient.h"
#include "Failure.h"
#include "NorviCommon.h"
#include "Printer.h"
#include "WirelessNetwork.h"

#include <QMetaMethod>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

const QString SpinnerFrames = QStringLiteral("|/-\\");
const char *const ClearLine = "\r\033[K";
constexpr int MsPerSecond = 1000;
const char *const TimeFormat = "yyyy-MM-dd HH:mm:ss.zzz";
const QStringList StatusNames = {QStringLiteral("removed"), QStringLiteral("down"),
                                 QStringLiteral("up")};

QString scanSummary(const QVariantMap &results)
{
    QList<QPair<int, QString>> networks;
    for (auto it = results.cbegin(); it != results.cend(); ++it) {
        const QVariantMap entry = norvi::toVariantMap(it.value()).value_or(QVariantMap());
        networks.append(
            {norvi::toInt(entry.value(QStringLiteral("signal"))).value_or(0), it.key()});
    }
    std::stable_sort(networks.begin(), networks.end(),
                     [](const auto &a, const auto &b) { return a.first > b.first; });
    QStringList items;
    for (const auto &network : networks) {
        items << QStringLiteral("%1 (%2)").arg(network.second).arg(network.first);
    }
    return QStringLiteral("%1 networks: %2").arg(networks.size()).arg(items.join(", "));
}

QString mapSummary(const QVariantMap &map)
{
    QStringList items;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        items << it.key() + QLatin1Char('=') + norvictl::Printer::text(it.value());
    }
    return items.join(QLatin1Char(' '));
}

// The signal names come from the generated proxy, so they are those of the description.
QStringList signalNames()
{
    const QMetaObject &meta = NorviProxy::staticMetaObject;
    QStringList names;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        if (method.methodType() == QMetaMethod::Signal) {
            names << QString::fromLatin1(method.name());
        }
    }
    return names;
}

} // namespace

namespace norvictl {

DaemonSignals::DaemonSignals(ControlClient &client, QObject *parent)
    : QObject(parent), m_watcher(client.proxy().service(), client.bus(),
                                 QDBusServiceWatcher::WatchForRegistration |
                                     QDBusServiceWatcher::WatchForUnregistration)
{
    qRegisterMetaType<DaemonSignal>();
    QDBusConnection bus = client.bus();
    for (const QString &name : signalNames()) {
        // A slot taking the whole message accepts any argument types: the daemon's ScanResults
        // does not carry the type its description names.
        if (!bus.connect(client.proxy().service(), client.proxy().path(),
                         client.proxy().interface(), name, this, SLOT(on_message(QDBusMessage)))) {
            throw Failure(ExitFailed, QStringLiteral("cannot receive norvid's %1 signal: %2")
                                          .arg(name, bus.lastError().message()));
        }
    }
    norvi::connect(&m_watcher, SIGNAL(serviceRegistered(QString)), this, SIGNAL(daemonStarted()));
    norvi::connect(&m_watcher, SIGNAL(serviceUnregistered(QString)), this, SIGNAL(daemonStopped()));
}

void DaemonSignals::on_message(const QDBusMessage &message)
{
    QVariantList arguments = message.arguments();
    std::transform(arguments.begin(), arguments.end(), arguments.begin(), plainValue);
    emit received(DaemonSignal{QDateTime::currentDateTime(), message.member(), arguments});
}

Spinner::Spinner(const QString &text) : m_text(text), m_shown(isatty(STDERR_FILENO) != 0) {}

Spinner::~Spinner()
{
    if (m_shown) {
        std::fputs(ClearLine, stderr);
    }
}

void Spinner::tick(qint64 elapsedMs)
{
    if (!m_shown) {
        return;
    }
    const QChar frame = SpinnerFrames[m_frame++ % SpinnerFrames.size()];
    const QString line =
        QStringLiteral("%1%2 %3 (%4 s)")
            .arg(QLatin1String(ClearLine), frame, m_text, QString::number(elapsedMs / MsPerSecond));
    std::fputs(line.toUtf8().constData(), stderr);
    std::fflush(stderr);
}

SignalWaiter::SignalWaiter(DaemonSignals &source, const QStringList &names, Spinner *spinner)
    : m_names(names), m_spinner(spinner)
{
    m_deadline.setSingleShot(true);
    m_ticker.setInterval(TickIntervalMs);
    norvi::connect(&source, SIGNAL(received(norvictl::DaemonSignal)), this,
                   SLOT(on_source_received(norvictl::DaemonSignal)));
    norvi::connect(&source, SIGNAL(daemonStarted()), this, SLOT(on_source_daemonStarted()));
    norvi::connect(&m_deadline, SIGNAL(timeout()), this, SLOT(on_deadline_timeout()));
    norvi::connect(&m_ticker, SIGNAL(timeout()), this, SLOT(on_ticker_timeout()));
}

std::optional<DaemonSignal> SignalWaiter::wait(int timeoutMs)
{
    m_signal.reset();
    m_elapsed.start();
    m_deadline.start(std::max(timeoutMs, 0));
    if (m_spinner != nullptr) {
        m_ticker.start();
    }
    m_loop.exec();
    m_deadline.stop();
    m_ticker.stop();
    return m_signal;
}

void SignalWaiter::on_source_received(const DaemonSignal &signal)
{
    if (m_loop.isRunning() && m_names.contains(signal.name)) {
        m_signal = signal;
        m_loop.quit();
    }
}

void SignalWaiter::on_source_daemonStarted()
{
    m_loop.quit();
}

void SignalWaiter::on_deadline_timeout()
{
    m_loop.quit();
}

void SignalWaiter::on_ticker_timeout()
{
    m_spinner->tick(m_elapsed.elapsed());
}

SignalPrinter::SignalPrinter(DaemonSignals &source, const Printer &out,
                             std::function<QVariant(const QVariant &)> printable)
    : m_out(out), m_printable(std::move(printable))
{
    norvi::connect(&source, SIGNAL(received(norvictl::DaemonSignal)), this,
                   SLOT(on_source_received(norvictl::DaemonSignal)));
    norvi::connect(&source, SIGNAL(daemonStarted()), this, SLOT(on_source_daemonStarted()));
    norvi::connect(&source, SIGNAL(daemonStopped()), this, SLOT(on_source_daemonStopped()));
}

void SignalPrinter::printPresence(bool running)
{
    print(QDateTime::currentDateTime(),
          running ? QStringLiteral("norvid is running")
                  : QStringLiteral("norvid is not running, waiting for it"),
          {{QStringLiteral("daemon"),
            running ? QStringLiteral("running") : QStringLiteral("absent")}});
}

void SignalPrinter::on_source_received(const DaemonSignal &signal)
{
    QVariantList arguments;
    for (const QVariant &argument : signal.arguments) {
        arguments << m_printable(argument);
    }
    const QString description = describe(signal);
    print(signal.time,
          description.isEmpty() ? signal.name : signal.name + QLatin1Char(' ') + description,
          {{QStringLiteral("signal"), signal.name}, {QStringLiteral("args"), arguments}});
}

void SignalPrinter::on_source_daemonStarted()
{
    print(QDateTime::currentDateTime(), QStringLiteral("norvid appeared on the bus"),
          {{QStringLiteral("daemon"), QStringLiteral("started")}});
}

void SignalPrinter::on_source_daemonStopped()
{
    print(QDateTime::currentDateTime(), QStringLiteral("norvid left the bus"),
          {{QStringLiteral("daemon"), QStringLiteral("stopped")}});
}

QString SignalPrinter::describe(const DaemonSignal &signal) const
{
    const QVariant first = signal.arguments.value(0);
    if (signal.name == QLatin1String("ScanResults")) {
        return scanSummary(first.toMap());
    }
    if (signal.name == QLatin1String("CableStatus")) {
        return first.toBool() ? QStringLiteral("plugged in") : QStringLiteral("unplugged");
    }
    if (signal.name == QLatin1String("InterfaceStatusChanged")) {
        const int status = norvi::toInt(signal.arguments.value(1)).value_or(-1);
        return first.toString() + QLatin1Char(' ') +
               StatusNames.value(status, QString::number(status));
    }
    QStringList items;
    for (const QVariant &argument : signal.arguments) {
        const QVariant shown = m_printable(argument);
        items << (shown.userType() == QMetaType::QVariantMap ? mapSummary(shown.toMap())
                                                             : Printer::text(shown));
    }
    return items.join(QLatin1Char(' '));
}

void SignalPrinter::print(const QDateTime &time, const QString &what, const QVariantMap &json)
{
    if (m_out.json()) {
        QVariantMap line = json;
        line.insert(QStringLiteral("time"), time.toString(Qt::ISODateWithMs));
        m_out.printJson(line);
    } else {
        m_out.line(time.toString(QLatin1String(TimeFormat)) + QLatin1Char(' ') + what);
    }
}

} // namespace norvictl
