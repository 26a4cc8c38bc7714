#include "NorviProcess.h"

#include "NorviCommon.h"

#include <QProcess>

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

void logTimeout(QProcess &process, const char *command)
{
    process.kill();
    process.waitForFinished(-1);
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

} // namespace

void NorviProcess::execute(const QString &program, const QStringList &arguments)
{
    const QByteArray quoted = quotedCommandLine(program, arguments);
    const char *const command = quoted.constData();
    nvDebug() << "NorviProcess executing: " << command;

    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments, QIODevice::ReadWrite);
    if (!process.waitForStarted(StartTimeoutMs)) {
        nvCritical() << "NorviProcess: " << command
                     << " failed to start!: " << process.errorString();
        return;
    }

    process.waitForFinished(FinishTimeoutMs);
    if (process.state() != QProcess::NotRunning) {
        logTimeout(process, command);
    } else if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0) {
        nvDebug() << "NorviProcess: " << command << " finished successfully.";
    } else {
        logFailure(process, command);
    }
}

void NorviProcess::execute(const QString &program)
{
    execute(program, QStringList());
}
