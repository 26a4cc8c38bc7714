#pragma once

#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariantList>

#include <functional>
#include <optional>

namespace norvictl {

class ControlClient;
class Printer;

// One signal of the control interface, with its arguments decoded.
struct DaemonSignal
{
    QDateTime time;
    QString name;
    QVariantList arguments;
};

// Every signal of the control interface, from whoever owns the daemon's name at the time and
// from nobody else, plus the daemon coming and going. Subscribed on construction, so that a
// command can subscribe first and then ask for what it waits for.
class DaemonSignals : public QObject
{
    Q_OBJECT

public:
    explicit DaemonSignals(ControlClient &client, QObject *parent = nullptr);

signals:
    void received(const norvictl::DaemonSignal &signal);
    void daemonStarted();
    void daemonStopped();

private slots:
    void on_message(const QDBusMessage &message);

private:
    QDBusServiceWatcher m_watcher;
};

// A progress line on standard error while a command waits, only where a person watches.
class Spinner
{
public:
    explicit Spinner(const QString &text);
    ~Spinner();

    void tick(qint64 elapsedMs);

private:
    QString m_text;
    bool m_shown;
    int m_frame = 0;
};

// Waits for the first of some of the daemon's signals, for the daemon to start, or for the
// time to run out, whichever comes first.
class SignalWaiter : public QObject
{
    Q_OBJECT

public:
    // Frames of the spinner.
    static constexpr int TickIntervalMs = 100;

    SignalWaiter(DaemonSignals &source, const QStringList &names, Spinner *spinner = nullptr);

    // The awaited signal; none when the time ran out or the daemon started.
    std::optional<DaemonSignal> wait(int timeoutMs);

private slots:
    void on_source_received(const norvictl::DaemonSignal &signal);
    void on_source_daemonStarted();
    void on_deadline_timeout();
    void on_ticker_timeout();

private:
    QStringList m_names;
    Spinner *m_spinner;
    QEventLoop m_loop;
    QTimer m_deadline;
    QTimer m_ticker;
    QElapsedTimer m_elapsed;
    std::optional<DaemonSignal> m_signal;
};

// Prints every signal as it arrives, one line each with the time of arrival, and the daemon
// coming and going.
class SignalPrinter : public QObject
{
    Q_OBJECT

public:
    // printable: what of a value may be shown (keys hidden unless asked for).
    SignalPrinter(DaemonSignals &source, const Printer &out,
                  std::function<QVariant(const QVariant &)> printable);

    // The first line: whether the daemon is there to send anything yet.
    void printPresence(bool running);

private slots:
    void on_source_received(const norvictl::DaemonSignal &signal);
    void on_source_daemonStarted();
    void on_source_daemonStopped();

private:
    QString describe(const DaemonSignal &signal) const;
    void print(const QDateTime &time, const QString &what, const QVariantMap &json);

    const Printer &m_out;
    std::function<QVariant(const QVariant &)> m_printable;
};

} // namespace norvictl

Q_DECLARE_METATYPE(norvictl::DaemonSignal)
