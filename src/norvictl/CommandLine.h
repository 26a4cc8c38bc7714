#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

namespace norvictl {

class Session;
class Invocation;

struct OptionSpec
{
    QString name;      // without the leading dashes
    QString valueName; // empty for a flag
    QString help;
    // The value may be left out (a key then comes from standard input or a prompt); one
    // starting with '-' must then be attached: --psk=-secret.
    bool valueOptional = false;
};

struct CommandSpec
{
    QStringList words; // "wifi", "add"
    QString operands;  // as the usage line shows them
    QString summary;
    QList<OptionSpec> options;
    int minOperands = 0;
    int maxOperands = 0;
    void (*run)(Session &session, const Invocation &invocation) = nullptr;

    QString usage() const;
    QString help() const;
};

// The operands and options of one command line, checked against its command.
class Invocation
{
public:
    // Everything after the command's words; global options are already taken out.
    Invocation(const CommandSpec &command, const QStringList &arguments);

    const QStringList &operands() const { return m_operands; }
    QString operand(int index) const { return m_operands.value(index); }

    bool has(const QString &option) const { return m_options.contains(option); }
    // The value given with an option; none for an absent option or one given without value.
    std::optional<QString> value(const QString &option) const;
    // A whole number within [minimum, maximum]; the default when the option is absent.
    int number(const QString &option, int defaultValue, int minimum, int maximum) const;

private:
    const OptionSpec *find(const QString &name) const;

    const CommandSpec &m_command;
    QStringList m_operands;
    QMap<QString, std::optional<QString>> m_options;
};

// Reads a whole number within [minimum, maximum] for the named thing.
int parseNumber(const QString &what, const QString &text, int minimum, int maximum);

// A Wi-Fi key: from standard input when it is not a terminal, else asked for without echo.
QString readSecret(const QString &prompt);

} // namespace norvictl
