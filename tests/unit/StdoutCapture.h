#pragma once

#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryFile>
#include <QVector>

#include <cstdio>
#include <unistd.h>

// One line of the daemon's log, split into its level word and the message after the
// "File.cpp:LINE " prefix.
struct LogLine
{
    QString level;
    QString file;
    QString message;

    static const QRegularExpression &pattern()
    {
        static const QRegularExpression format(QStringLiteral(
            R"(^\d{8} \d\d:\d\d:\d\d\.\d{3} \[\d+\.\d+\] (\w+) ([^: ]+):\d+ (.*)$)"));
        return format;
    }

    // Lines that are not log lines (a child's own output, say) come back with an empty level.
    static QVector<LogLine> parse(const QStringList &lines)
    {
        QVector<LogLine> parsed;
        for (const QString &line : lines) {
            const auto match = pattern().match(line);
            parsed.append(match.hasMatch()
                              ? LogLine{match.captured(1), match.captured(2), match.captured(3)}
                              : LogLine{QString(), QString(), line});
        }
        return parsed;
    }
};

// Sends the process's standard output (where the log handler writes) to a file while alive and
// hands back what was written. Nesting is not supported.
class StdoutCapture
{
public:
    StdoutCapture()
    {
        if (!m_file.open()) {
            qFatal("StdoutCapture: cannot create a temporary file");
        }
        std::fflush(stdout);
        m_saved = dup(STDOUT_FILENO);
        dup2(m_file.handle(), STDOUT_FILENO);
    }
    ~StdoutCapture() { restore(); }

    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    // Everything written so far, line by line; ends the capture.
    QStringList lines()
    {
        restore();
        m_file.seek(0);
        return QString::fromUtf8(m_file.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    QVector<LogLine> log() { return LogLine::parse(lines()); }

    // The log messages without time, ids and "File.cpp:LINE "; ends the capture.
    QStringList messages()
    {
        QStringList texts;
        for (const LogLine &line : log()) {
            texts << line.message;
        }
        return texts;
    }

private:
    void restore()
    {
        if (m_saved >= 0) {
            std::fflush(stdout);
            dup2(m_saved, STDOUT_FILENO);
            close(m_saved);
            m_saved = -1;
        }
    }

    QTemporaryFile m_file;
    int m_saved = -1;
};
