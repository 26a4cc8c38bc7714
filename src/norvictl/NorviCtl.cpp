// norvictl: the command line of the network connection manager norvid.
#include "Commands.h"
#include "Failure.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>

namespace {

using namespace norvictl;

const QString GlobalOptions = QStringLiteral(
    "\nOptions for every command:\n"
    "  --json        print what is read as JSON, one document a line\n"
    "  --show-keys   show Wi-Fi keys instead of hiding them\n"
    "  -h, --help    show help for a command, e.g. norvictl wifi add --help\n"
    "  --version     show the version\n"
    "\nExit status: 0 success, 1 failure reported by norvid, 2 bad arguments, 3 norvid not "
    "running,\n4 access denied, 5 timeout.\n");

struct GlobalFlags
{
    bool json = false;
    bool showKeys = false;
    bool help = false;
    bool version = false;
    QStringList rest;
};

// The options every command takes may stand anywhere before "--".
GlobalFlags globalFlags(const QStringList &arguments)
{
    GlobalFlags flags;
    bool ended = false;
    for (const QString &argument : arguments) {
        ended = ended || argument == QLatin1String("--");
        if (!ended && argument == QLatin1String("--json")) {
            flags.json = true;
        } else if (!ended && argument == QLatin1String("--show-keys")) {
            flags.showKeys = true;
        } else if (!ended && (argument == QLatin1String("--help") || argument == "-h")) {
            flags.help = true;
        } else if (!ended && argument == QLatin1String("--version")) {
            flags.version = true;
        } else {
            flags.rest << argument;
        }
    }
    return flags;
}

// The command whose words begin the arguments; the longest match wins.
const CommandSpec *findCommand(const QStringList &arguments)
{
    const CommandSpec *found = nullptr;
    for (const CommandSpec &command : commandTable()) {
        const bool matches = arguments.mid(0, command.words.size()) == command.words;
        if (matches && (found == nullptr || command.words.size() > found->words.size())) {
            found = &command;
        }
    }
    return found;
}

// The help of every command that begins with the given words.
QString overview(const QStringList &prefix)
{
    QString text = QStringLiteral("Usage:\n");
    for (const CommandSpec &command : commandTable()) {
        if (command.words.mid(0, prefix.size()) == prefix) {
            text += QStringLiteral("  %1\n      %2\n").arg(command.usage(), command.summary);
        }
    }
    return text + GlobalOptions;
}

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toUtf8().constData(), stream);
}

int run(const QStringList &arguments)
{
    GlobalFlags flags = globalFlags(arguments);
    if (flags.version) {
        print(stdout, QStringLiteral("norvictl %1\n").arg(QLatin1String(NORVID_VERSION)));
        return ExitSuccess;
    }
    if (flags.rest.isEmpty() && !flags.help) {
        flags.rest << QStringLiteral("status");
    }
    const CommandSpec *command = findCommand(flags.rest);
    if (command == nullptr) {
        // A group's word alone ("norvictl wifi") shows that group's commands.
        const QStringList group = flags.rest.mid(0, 1);
        const bool isGroup =
            std::any_of(commandTable().cbegin(), commandTable().cend(),
                        [&](const CommandSpec &known) { return known.words.mid(0, 1) == group; });
        if (flags.help || isGroup) {
            print(flags.help ? stdout : stderr, overview(isGroup ? group : QStringList()));
        }
        if (flags.help) {
            return ExitSuccess;
        }
        throw badArguments(isGroup ? QStringLiteral("%1: which one?").arg(group.first())
                                   : QStringLiteral("unknown command \"%1\" (see norvictl --help)")
                                         .arg(flags.rest.join(QLatin1Char(' '))));
    }
    if (flags.help) {
        print(stdout, command->help() + GlobalOptions);
        return ExitSuccess;
    }
    try {
        const Invocation invocation(*command, flags.rest.mid(command->words.size()));
        Session session(flags.json, flags.showKeys);
        command->run(session, invocation);
    } catch (const Failure &failure) {
        throw failure.status() != ExitBadArguments
            ? failure
            : Failure(ExitBadArguments,
                      QStringLiteral("%1 (see norvictl %2 --help)")
                          .arg(failure.message(), command->words.join(QLatin1Char(' '))));
    }
    return ExitSuccess;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("norvictl"));
    try {
        return run(QCoreApplication::arguments().mid(1));
    } catch (const Failure &failure) {
        print(stderr, QStringLiteral("norvictl: %1\n").arg(failure.message()));
        return failure.status();
    }
}
