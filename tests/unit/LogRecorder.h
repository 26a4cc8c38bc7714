#pragma once

#include "NorviCommon.h"

#include <QList>
#include <QPair>
#include <QStringList>

#include <algorithm>

// Keeps the log messages of a test in memory, each without its "File.cpp:LINE " prefix, so that
// a test can compare them exactly. All but the debug ones still go out as usual, so a warning
// shows up and a fatal message ends the test with its line.
namespace LogRecorder {

inline QList<QPair<QtMsgType, QString>> &messages()
{
    static QList<QPair<QtMsgType, QString>> recorded;
    return recorded;
}

inline void record(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    messages().append({type, message.section(QLatin1Char(' '), 1)});
    if (type != QtDebugMsg) {
        norvidMessageOutput(type, context, message);
    }
}

// Call from the test's init(): QtTest installs its own handler before running the tests.
inline void start()
{
    messages().clear();
    qInstallMessageHandler(record);
}

inline int count(const QString &text)
{
    return int(std::count_if(messages().cbegin(), messages().cend(),
                             [&text](const auto &message) { return message.second == text; }));
}

inline QStringList texts(QtMsgType type)
{
    QStringList selected;
    for (const auto &[messageType, text] : qAsConst(messages())) {
        if (messageType == type) {
            selected.append(text);
        }
    }
    return selected;
}

} // namespace LogRecorder
