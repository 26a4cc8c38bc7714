#pragma once

#include <QDebug>
#include <QMetaType>
#include <QString>
#include <QVariantMap>

class QObject;

// Process-wide log level: 0 writes info and above, anything greater also writes debug lines.
// Written on the main thread only; other threads just read it.
extern int norvidGlobalLogLevel;

// The process-wide message handler: one formatted line per message on standard output.
void norvidMessageOutput(QtMsgType type, const QMessageLogContext &context, const QString &message);

namespace norvi {

// The file name without its directories, computed at compile time from __FILE__.
constexpr const char *baseName(const char *path)
{
    const char *base = path;
    for (const char *p = path; *p != '\0'; ++p) {
        if (*p == '/') {
            base = p + 1;
        }
    }
    return base;
}

// Starts a message in no-space mode with the "File.cpp:LINE " prefix every line carries.
inline QDebug startMessage(QDebug stream, const char *file, int line)
{
    stream.nospace() << file << ':' << line << ' ';
    return stream;
}

// Writes "File.cpp:LINE Aborting program due to fatal error!" and ends the process.
[[noreturn]] void abortProgram(const char *file, int line);

bool debugEnabled();

// The LogLevel property's semantics: 0 and 1 are stored as they are, anything else becomes 2
// with a warning.
int logLevel();
void setLogLevel(int level);

// Every signal/slot connection of the daemon goes through these; a connection that cannot be
// made ends the process.
bool connect(const QObject *sender, const char *signal, const QObject *receiver, const char *slot);
bool disconnect(const QObject *sender, const char *signal, const QObject *receiver,
                const char *slot);

// Text that a client or a server chose, as it goes into a log line: cut to ClientTextLimit
// characters with the cut marked, so that nobody can flood the log through the daemon. Written
// like the text itself (quoted); a map is written in the log's notation for maps before the cut.
constexpr int ClientTextLimit = 256;

class ClientText
{
public:
    ClientText(const QString &text, bool quoted);

    friend QDebug operator<<(QDebug stream, const ClientText &text);

private:
    QString m_text;
    bool m_quoted;
    int m_cut = 0;
};

ClientText clientText(const QString &text);
ClientText clientText(const QVariantMap &map);

} // namespace norvi

// Logging statements. The debug form composes nothing unless debug output is enabled.
#define nvDebug()                                                                                  \
    if (!norvi::debugEnabled()) {                                                                  \
    } else                                                                                         \
        norvi::startMessage(qDebug(), norvi::baseName(__FILE__), __LINE__)
#define nvInfo() norvi::startMessage(qInfo(), norvi::baseName(__FILE__), __LINE__)
#define nvWarning() norvi::startMessage(qWarning(), norvi::baseName(__FILE__), __LINE__)
#define nvCritical() norvi::startMessage(qCritical(), norvi::baseName(__FILE__), __LINE__)
#define nvFatal() norvi::abortProgram(norvi::baseName(__FILE__), __LINE__)

namespace norvi {

// A name kept as text: equal, ordered and hashed as its text, and logged as the plain text,
// without quotes. Tag makes each kind of name a type of its own.
template <typename Tag> class TextName
{
public:
    TextName() = default;
    explicit TextName(const QString &name) : m_name(name) {}

    const QString &toString() const { return m_name; }
    bool isEmpty() const { return m_name.isEmpty(); }

    bool operator==(const TextName &other) const { return m_name == other.m_name; }
    bool operator!=(const TextName &other) const { return m_name != other.m_name; }
    bool operator<(const TextName &other) const { return m_name < other.m_name; }

private:
    QString m_name;
};

template <typename Tag> uint qHash(const TextName<Tag> &name, uint seed = 0)
{
    return ::qHash(name.toString(), seed);
}

template <typename Tag> QDebug operator<<(QDebug stream, const TextName<Tag> &name)
{
    QDebugStateSaver saver(stream);
    stream.noquote() << name.toString();
    return stream;
}

} // namespace norvi

// An interface's name ("eth0").
class InterfaceName : public norvi::TextName<InterfaceName>
{
public:
    using TextName::TextName;
};

Q_DECLARE_METATYPE(InterfaceName)
