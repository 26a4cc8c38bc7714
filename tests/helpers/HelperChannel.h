#pragma once

#include "NorviCommon.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <unistd.h>

// What a helper program reports to its system test: one line starting with "@", told apart from
// the log lines, which start with their date.
inline void printReport(const QString &line)
{
    std::printf("@%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

// Logs as the daemon does, with debug output when the first argument is "-d"; returns the
// arguments after that.
inline QStringList setUpHelper(const QCoreApplication &application)
{
    qInstallMessageHandler(norvidMessageOutput);
    QStringList args = application.arguments().mid(1);
    if (args.value(0) == "-d") {
        norvi::setLogLevel(1);
        args.removeFirst();
    }
    return args;
}

// The commands a system test writes to a helper program's standard input, one per line. End of
// input ends the program.
class StdinCommands : public QObject
{
    Q_OBJECT

public:
    StdinCommands() : m_input(STDIN_FILENO, QSocketNotifier::Read)
    {
        norvi::connect(&m_input, SIGNAL(activated(int)), this, SLOT(on_input()));
    }

signals:
    void command(QByteArray command);

private slots:
    void on_input()
    {
        char buffer[256];
        const ssize_t length = read(STDIN_FILENO, buffer, sizeof buffer);
        if (length <= 0) {
            m_input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        for (const QByteArray &line : QByteArray(buffer, int(length)).split('\n')) {
            emit command(line.trimmed());
        }
    }

private:
    QSocketNotifier m_input;
};
