#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

// Runs short external commands (ip, killall, iw, ...) synchronously. Callers get nothing back:
// the outcome, and the program's output when it failed, goes to the log. Keeps no state, so
// any thread may call it.
class NorviProcess
{
public:
    // Together these bound how long one command can take before it counts as hung.
    static constexpr int StartTimeoutMs = 1000;
    static constexpr int FinishTimeoutMs = 5000;

    static void execute(const QString &program, const QStringList &arguments);
    static void execute(const QString &program);

    // Lets a long-running child that has been asked to end (SIGTERM) finish from the event loop:
    // it is killed if it is still running after killAfterMs, and `ended` is called with it once
    // it has been reaped. Whoever started it need not wait and may be gone by then.
    using Ended = std::function<void(const QProcess &)>;
    static void reap(std::unique_ptr<QProcess> process, int killAfterMs, const Ended &ended);

    NorviProcess() = delete;
};

// Runs short commands one at a time, in the order they were asked for, while the event loop
// stays free: each starts once the one before has ended or been killed, with the same time
// limits and log lines as NorviProcess::execute. Steps queued between commands run once
// everything queued before them has ended, so that what depends on a command's effect can
// wait for it without blocking.
class NorviProcessQueue : public QObject
{
    Q_OBJECT

public:
    using Step = std::function<void()>;

    explicit NorviProcessQueue(QObject *parent = nullptr);
    // Commands still waiting are run to the end, blocking, so that links are left as they were
    // asked to be; steps are dropped, their owners are going away too.
    ~NorviProcessQueue() override;

    void execute(const QString &program, const QStringList &arguments);
    // Commands that the step itself asks for run before anything queued after the step, as if
    // everything had run synchronously.
    void then(const Step &step);
    // Blocks until everything queued so far has run, for a caller whose next action cannot wait
    // for the event loop (a child that reads the address when it starts).
    void finish();

private slots:
    void on_process_started();
    void on_process_finished(int exitCode, QProcess::ExitStatus exitStatus);
    void on_process_errorOccurred(QProcess::ProcessError error);
    void on_timer_timeout();

private:
    struct Entry
    {
        QString program;
        QStringList arguments;
        Step step;
    };

    void runNext();
    void start(const Entry &entry);
    void done();

    std::deque<Entry> m_queue;
    // Commands and steps asked for by the step being run, put before the rest of the queue.
    std::deque<Entry> m_fromStep;
    bool m_inStep = false;
    bool m_blocking = false;
    enum class Outcome
    {
        Running,
        TimedOut,
        NotStarted
    };

    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<QProcess> m_ended;
    QByteArray m_command;
    Outcome m_outcome = Outcome::Running;
    QTimer m_timer;
};
