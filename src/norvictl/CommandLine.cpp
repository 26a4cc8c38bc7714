#include "CommandLine.h"

#include "Failure.h"

#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace {

const QString OptionPrefix = QStringLiteral("--");
const QString EndOfOptions = QStringLiteral("--");
constexpr int HelpColumn = 24;

QString optionSynopsis(const norvictl::OptionSpec &option)
{
    QString text = QStringLiteral("--") + option.name;
    if (option.valueName.isEmpty()) {
        return text;
    }
    return text + (option.valueOptional ? QStringLiteral(" [%1]") : QStringLiteral(" %1"))
                      .arg(option.valueName);
}

// The terminal as it was before echo was switched off, for a prompt that is interrupted.
termios savedTerminal{};
const int PromptSignals[] = {SIGINT, SIGTERM, SIGHUP};

void restoreTerminalAndDie(int signalNumber)
{
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

void handlePromptSignals(void (*handler)(int))
{
    for (const int signalNumber : PromptSignals) {
        std::signal(signalNumber, handler);
    }
}

QString readLine()
{
    QTextStream input(stdin);
    QString line = input.readLine();
    if (line.endsWith(QLatin1Char('\r'))) {
        line.chop(1);
    }
    return line;
}

} // namespace

namespace norvictl {

QString CommandSpec::usage() const
{
    return QStringLiteral("norvictl %1%2")
        .arg(words.join(QLatin1Char(' ')),
             operands.isEmpty() ? QString() : QLatin1Char(' ') + operands);
}

QString CommandSpec::help() const
{
    QString text = QStringLiteral("Usage: %1\n%2\n").arg(usage(), summary);
    if (!options.isEmpty()) {
        text += QStringLiteral("\nOptions:\n");
        for (const OptionSpec &option : options) {
            text += QStringLiteral("  %1 %2\n")
                        .arg(optionSynopsis(option).leftJustified(HelpColumn), option.help);
        }
    }
    return text;
}

Invocation::Invocation(const CommandSpec &command, const QStringList &arguments)
    : m_command(command)
{
    bool optionsEnded = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        if (optionsEnded || !argument.startsWith(QLatin1Char('-')) || argument.size() == 1) {
            m_operands << argument;
            continue;
        }
        if (argument == EndOfOptions) {
            optionsEnded = true;
            continue;
        }
        const QString body = argument.startsWith(OptionPrefix) ? argument.mid(2) : QString();
        const int equals = body.indexOf(QLatin1Char('='));
        const OptionSpec *option = find(equals < 0 ? body : body.left(equals));
        if (option == nullptr) {
            throw badArguments(QStringLiteral("%1: unknown option %2")
                                   .arg(command.words.join(QLatin1Char(' ')), argument));
        }
        std::optional<QString> value;
        if (equals >= 0) {
            value = body.mid(equals + 1);
        } else if (!option->valueName.isEmpty()) {
            const bool next = i + 1 < arguments.size();
            if (!option->valueOptional && !next) {
                throw badArguments(QStringLiteral("%1 needs a value").arg(argument));
            }
            if (next && (!option->valueOptional || !arguments[i + 1].startsWith('-'))) {
                value = arguments[++i];
            }
        }
        if (value && option->valueName.isEmpty()) {
            throw badArguments(QStringLiteral("--%1 takes no value").arg(option->name));
        }
        m_options.insert(option->name, value);
    }
    if (m_operands.size() < command.minOperands || m_operands.size() > command.maxOperands) {
        throw badArguments(QStringLiteral("usage: %1").arg(command.usage()));
    }
}

const OptionSpec *Invocation::find(const QString &name) const
{
    for (const OptionSpec &option : m_command.options) {
        if (option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

std::optional<QString> Invocation::value(const QString &option) const
{
    return m_options.value(option);
}

int Invocation::number(const QString &option, int defaultValue, int minimum, int maximum) const
{
    const std::optional<QString> text = value(option);
    return text ? parseNumber(QStringLiteral("--") + option, *text, minimum, maximum)
                : defaultValue;
}

int parseNumber(const QString &what, const QString &text, int minimum, int maximum)
{
    bool ok = false;
    const int number = text.toInt(&ok);
    if (!ok || number < minimum || number > maximum) {
        throw badArguments(QStringLiteral("%1 must be a whole number from %2 to %3, not \"%4\"")
                               .arg(what)
                               .arg(minimum)
                               .arg(maximum)
                               .arg(text));
    }
    return number;
}

QString readSecret(const QString &prompt)
{
    if (isatty(STDIN_FILENO) == 0) {
        return readLine();
    }
    std::fputs(prompt.toUtf8().constData(), stderr);
    std::fflush(stderr);
    tcgetattr(STDIN_FILENO, &savedTerminal);
    termios silent = savedTerminal;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    handlePromptSignals(restoreTerminalAndDie);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
    const QString secret = readLine();
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    handlePromptSignals(SIG_DFL);
    std::fputc('\n', stderr);
    return secret;
}

} // namespace norvictl
