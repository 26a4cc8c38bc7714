#include "NorviProcess.h"

#include "NorviCommon.h"

#include <QCoreApplication>

#include <algorithm>
#include <utility>

namespace {

// The command line between plain double quotes, as the log shows it: unlike a string value it
// is not escaped, so a log line reads like the command that was run.
QByteArray quotedCommandLine(const QString &program, const QStringList &arguments)
{
    return '"' + (program + QLatin1Char(' ') + arguments.join(QLatin1Char(' '))).toUtf8() + '"';
}

QString trimmedOutput(QProcess &process)
{
    return QString::fromUtf8(process.readAll()).trimmed();
}

void logStartFailure(const QProcess &process, const char *command)
{
    nvCritical() << "NorviProcess: " << command << " failed to start!: " << process.errorString();
}

void logTimeout(QProcess &process, const char *command)
{
    nvCritical() << "NorviProcess: " << command << " timed out, SIGKILL sent!";
    nvCritical() << "NorviProcess output: " << trimmedOutput(process);
}

void logFailure(QProcess &process, const char *command)
{
    nvCritical() << "NorviProcess: " << command
                 << " finished with error code: " << process.exitCode();
    const QStringList lines = trimmedOutput(process).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        nvCritical() << "NorviProcess output: " << line.trimmed();
    }
}

void logEnd(QProcess &process, const char *command)
{
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0) {
        nvDebug() << "NorviProcess: " << command << " finished successfully.";
    } else {
        logFailure(process, command);
    }
}

void startLogged(QProcess &process, const QString &program, const QStringList &arguments,
                 const char *command)
{
    nvDebug() << "NorviProcess executing: " << command;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments, QIODevice::ReadWrite);
}

// A child on its way out, owned by the application object so that it outlives whoever asked it
// to end and is still killed when the daemon itself ends first.
class EndingProcess : public QObject
{
    Q_OBJECT

public:
    EndingProcess(std::unique_ptr<QProcess> process, int killAfterMs,
                  const NorviProcess::Ended &ended)
        : QObject(QCoreApplication::instance()), m_process(std::move(process)), m_ended(ended)
    {
        norvi::connect(m_process.get(), SIGNAL(finished(int, QProcess::ExitStatus)), this,
                       SLOT(on_process_finished()));
        norvi::connect(m_process.get(), SIGNAL(errorOccurred(QProcess::ProcessError)), this,
                       SLOT(on_process_errorOccurred(QProcess::ProcessError)));
        norvi::connect(&m_killTimer, SIGNAL(timeout()), this, SLOT(on_killTimer_timeout()));
        m_killTimer.setSingleShot(true);
        m_killTimer.start(killAfterMs);
    }

    // Left over when the daemon ends: the process object kills and reaps it, silently.
    ~EndingProcess() override { m_process->blockSignals(true); }

private slots:
    void on_process_finished()
    {
        m_killTimer.stop();
        m_ended(*m_process);
        deleteLater();
    }

    // A child that never started sends no finished().
    void on_process_errorOccurred(QProcess::ProcessError error)
    {
        if (error == QProcess::FailedToStart) {
            on_process_finished();
        }
    }

    void on_killTimer_timeout() { m_process->kill(); }

private:
    const std::unique_ptr<QProcess> m_process;
    const NorviProcess::Ended m_ended;
    QTimer m_killTimer;
};

} // namespace

void NorviProcess::execute(const QString &program, const QStringList &arguments)
{
    const QByteArray quoted = quotedCommandLine(program, arguments);
    const char *const command = quoted.constData();
    QProcess process;
    startLogged(process, program, arguments, command);
    if (!process.waitForStarted(StartTimeoutMs)) {
        logStartFailure(process, command);
        return;
    }
    process.waitForFinished(FinishTimeoutMs);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(-1);
        logTimeout(process, command);
    } else {
        logEnd(process, command);
    }
}

void NorviProcess::execute(const QString &program)
{
    execute(program, QStringList());
}

void NorviProcess::reap(std::unique_ptr<QProcess> process, int killAfterMs, const Ended &ended)
{
    new EndingProcess(std::move(process), killAfterMs, ended);
}

NorviProcessQueue::NorviProcessQueue(QObject *parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    norvi::connect(&m_timer, SIGNAL(timeout()), this, SLOT(on_timer_timeout()));
}

NorviProcessQueue::~NorviProcessQueue()
{
    m_queue.erase(std::remove_if(m_queue.begin(), m_queue.end(),
                                 [](const Entry &entry) { return static_cast<bool>(entry.step); }),
                  m_queue.end());
    finish();
}

void NorviProcessQueue::execute(const QString &program, const QStringList &arguments)
{
    (m_inStep ? m_fromStep : m_queue).push_back({program, arguments, Step()});
    runNext();
}

void NorviProcessQueue::then(const Step &step)
{
    (m_inStep ? m_fromStep : m_queue).push_back({QString(), QStringList(), step});
    runNext();
}

void NorviProcessQueue::finish()
{
    m_blocking = true;
    // The process object outlives its own end (it is kept until the next one ends), so the
    // pointer stays good while the slots run inside the waits.
    QProcess *const running = m_process.get();
    if (running != nullptr && !running->waitForFinished(qMax(0, m_timer.remainingTime())) &&
        m_process) {
        on_timer_timeout();
        running->waitForFinished(-1);
    }
    runNext();
    m_blocking = false;
}

// Runs every step at the head of the queue and starts the first command after them. Called
// again whenever the running command ends; does nothing while one runs or a step is running.
void NorviProcessQueue::runNext()
{
    while (!m_process && !m_inStep && !m_queue.empty()) {
        const Entry entry = std::move(m_queue.front());
        m_queue.pop_front();
        if (entry.step) {
            m_inStep = true;
            entry.step();
            m_inStep = false;
            m_queue.insert(m_queue.begin(), m_fromStep.begin(), m_fromStep.end());
            m_fromStep.clear();
        } else if (m_blocking) {
            NorviProcess::execute(entry.program, entry.arguments);
        } else {
            start(entry);
        }
    }
}

void NorviProcessQueue::start(const Entry &entry)
{
    m_command = quotedCommandLine(entry.program, entry.arguments);
    m_outcome = Outcome::Running;
    m_process = std::make_unique<QProcess>();
    norvi::connect(m_process.get(), SIGNAL(started()), this, SLOT(on_process_started()));
    norvi::connect(m_process.get(), SIGNAL(finished(int, QProcess::ExitStatus)), this,
                   SLOT(on_process_finished(int, QProcess::ExitStatus)));
    norvi::connect(m_process.get(), SIGNAL(errorOccurred(QProcess::ProcessError)), this,
                   SLOT(on_process_errorOccurred(QProcess::ProcessError)));
    // Armed first: a start that fails at once has ended the command when start() returns.
    m_timer.start(NorviProcess::StartTimeoutMs);
    startLogged(*m_process, entry.program, entry.arguments, m_command.constData());
}

void NorviProcessQueue::on_process_started()
{
    m_timer.start(NorviProcess::FinishTimeoutMs);
}

void NorviProcessQueue::on_process_finished(int, QProcess::ExitStatus)
{
    switch (m_outcome) {
    case Outcome::Running:
        logEnd(*m_process, m_command.constData());
        break;
    case Outcome::TimedOut:
        logTimeout(*m_process, m_command.constData());
        break;
    case Outcome::NotStarted:
        break;
    }
    done();
}

// A command that never started sends no finished().
void NorviProcessQueue::on_process_errorOccurred(QProcess::ProcessError error)
{
    if (error == QProcess::FailedToStart) {
        logStartFailure(*m_process, m_command.constData());
        done();
    }
}

// One that has not even started in time is given up like one that failed to start; either way
// it is killed, and the queue moves on once it has been reaped.
void NorviProcessQueue::on_timer_timeout()
{
    if (m_process->state() == QProcess::Starting) {
        logStartFailure(*m_process, m_command.constData());
        m_outcome = Outcome::NotStarted;
    } else {
        m_outcome = Outcome::TimedOut;
    }
    m_process->kill();
}

// The process object is in the middle of emitting its signal; it is kept until the next one
// ends.
void NorviProcessQueue::done()
{
    m_timer.stop();
    m_process->blockSignals(true);
    m_ended = std::move(m_process);
    runNext();
}

#include "NorviProcess.moc"
