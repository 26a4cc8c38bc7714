#pragma once

#include "CommandLine.h"
#include "Printer.h"

#include <QList>

#include <memory>

namespace norvictl {

class ControlClient;
class DaemonSignals;

// What a command works with: its output and, made on first use, the connection to the daemon.
// A command that only prints help or rejects its arguments never touches the bus.
class Session
{
public:
    explicit Session(bool json, bool showKeys);
    ~Session();

    const Printer &out() const { return m_printer; }
    ControlClient &client();
    DaemonSignals &daemonSignals();

    // The value as it may be printed: Wi-Fi keys hidden unless asked for.
    QVariant printable(const QVariant &value) const;

private:
    Printer m_printer;
    bool m_showKeys;
    std::unique_ptr<ControlClient> m_client;
    std::unique_ptr<DaemonSignals> m_signals;
};

// Every command, in the order the help lists them.
const QList<CommandSpec> &commandTable();

} // namespace norvictl
