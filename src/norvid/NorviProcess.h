#pragma once

#include <QString>
#include <QStringList>

// Runs short external commands (ip, killall, iw, ...) synchronously. Callers get nothing back:
// the outcome, and the program's output when it failed, goes to the log. Keeps no state, so
// any thread may call it.
class NorviProcess
{
public:
    // Together these bound how long one command can stall the calling thread.
    static constexpr int StartTimeoutMs = 1000;
    static constexpr int FinishTimeoutMs = 5000;

    static void execute(const QString &program, const QStringList &arguments);
    static void execute(const QString &program);

    NorviProcess() = delete;
};
