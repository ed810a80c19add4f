// lunvik-photos-cli: the command-line face of the Lunvik Photos client, on
// the same gallery store and session as the desktop app. Results go to
// standard output; messages about failures, refusals and usage go to
// standard error. Exit status: 0 done, 1 failed, 2 usage error, 3 locked.

#include "arguments.h"
#include "commands.h"
#include "console.h"

#include <QCoreApplication>

#include <cstdio>
#include <variant>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lunvik-photos-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(LUNVIK_VERSION));

    const auto parsed = parseArguments(QCoreApplication::arguments().mid(1));
    if (const auto *error = std::get_if<UsageError>(&parsed)) {
        Console::printError(QStringLiteral("lunvik-photos-cli: ") + error->message + QLatin1Char('\n'));
        std::fputs(usageText, stderr);
        return ExitStatus::usage;
    }
    const Invocation &invocation = std::get<Invocation>(parsed);
    switch (invocation.kind) {
    case CommandKind::help:
        std::fputs(usageText, stdout);
        return ExitStatus::done;
    case CommandKind::version:
        Console::printLine(QStringLiteral("lunvik-photos-cli ") + QStringLiteral(LUNVIK_VERSION));
        return ExitStatus::done;
    case CommandKind::log:
        return printLog(invocation.number);
    default:
        break;
    }
    CommandRunner runner;
    return runner.run(invocation);
}
