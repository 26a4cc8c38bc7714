#include "NorviCommon.h"

#include <QObject>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

int norvidGlobalLogLevel = 0;

namespace {

constexpr int MaximumLogLevel = 2;

const char *levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "DEBUG";
    case QtInfoMsg:
        return "INFO";
    case QtWarningMsg:
        return "WARN";
    case QtCriticalMsg:
        return "ERROR";
    case QtFatalMsg:
        return "FATAL";
    }
    return "UNKNOWN";
}

} // namespace

void norvidMessageOutput(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    const QByteArray text = message.toUtf8();
    // One formatted write per line keeps lines of different threads from interleaving.
    std::printf("%04d%02d%02d %02d:%02d:%02d.%03ld [%d.%lu] %s %s\n", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<long>(now.tv_usec / 1000), static_cast<int>(getpid()),
                static_cast<unsigned long>(syscall(SYS_gettid)), levelWord(type), text.constData());
    std::fflush(stdout);
    if (type == QtFatalMsg) {
        std::abort();
    }
}

namespace norvi {

void abortProgram(const char *file, int line)
{
    const QByteArray message =
        QByteArray(file) + ':' + QByteArray::number(line) + " Aborting program due to fatal error!";
    qFatal("%s", message.constData());
    std::abort(); // qFatal does not return; this keeps [[noreturn]] honest for the compiler
}

bool debugEnabled()
{
    return norvidGlobalLogLevel > 0;
}

int logLevel()
{
    nvDebug() << "GET: LogLevel: " << norvidGlobalLogLevel;
    return norvidGlobalLogLevel;
}

void setLogLevel(int level)
{
    nvInfo() << "SET: LogLevel: " << level;
    if (level == 0 || level == 1) {
        norvidGlobalLogLevel = level;
        return;
    }
    nvWarning() << "LogLevel: " << level
                << " greater than maximum log level, capping at maximum log level!";
    norvidGlobalLogLevel = MaximumLogLevel;
}

namespace {

// SIGNAL() and SLOT() put a code digit before the signature; the log shows the signature alone.
const char *signature(const char *method)
{
    return (method != nullptr && *method >= '0' && *method <= '9') ? method + 1 : method;
}

bool checked(bool made, const char *what, const char *signal, const char *slot)
{
    if (!made) {
        nvCritical() << what << signature(signal) << " -> " << signature(slot);
        nvFatal();
    }
    return true;
}

} // namespace

bool connect(const QObject *sender, const char *signal, const QObject *receiver, const char *slot)
{
    return checked(static_cast<bool>(QObject::connect(sender, signal, receiver, slot)),
                   "Couldn't connect: ", signal, slot);
}

bool disconnect(const QObject *sender, const char *signal, const QObject *receiver,
                const char *slot)
{
    return checked(QObject::disconnect(sender, signal, receiver, slot),
                   "Couldn't disconnect: ", signal, slot);
}

ClientText::ClientText(const QString &text, bool quoted)
    : m_text(text.left(ClientTextLimit)), m_quoted(quoted),
      m_cut(qMax(0, text.size() - ClientTextLimit))
{}

QDebug operator<<(QDebug stream, const ClientText &text)
{
    QDebugStateSaver saver(stream);
    stream.nospace();
    if (text.m_quoted) {
        stream.quote() << text.m_text;
    } else {
        stream.noquote() << text.m_text;
    }
    if (text.m_cut > 0) {
        stream.noquote() << " (cut, " << text.m_cut << " more characters)";
    }
    return stream;
}

ClientText clientText(const QString &text)
{
    return ClientText(text, true);
}

ClientText clientText(const QVariantMap &map)
{
    QString text;
    QDebug(&text).nospace() << map;
    return ClientText(text, false);
}

} // namespace norvi
