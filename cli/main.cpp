// lunvik-photos-cli: the command-line face of the Lunvik Photos client.
// Results go to standard output; messages about failures and usage go to
// standard error. Exit status: 0 done, 1 failed, 2 usage error.

#include "log/activitylogfile.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTextStream>

#include <cstdio>

namespace {

constexpr int exitUsage = 2;

const char *const usageText =
    "Usage: lunvik-photos-cli COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  log [-n N]     the last N (default 50) records of the activity log, oldest first\n"
    "\n"
    "Options:\n"
    "  --help         show this help\n"
    "  --version      show the version\n";

int usageError(const QString &message)
{
    QTextStream err(stderr);
    err << "lunvik-photos-cli: " << message << "\n\n" << usageText;
    return exitUsage;
}

int printLog(const QStringList &args)
{
    int count = 50;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1StringView("-n") && i + 1 < args.size()) {
            bool ok = false;
            count = args[++i].toInt(&ok);
            if (!ok || count < 0)
                return usageError(QStringLiteral("-n needs a number that is not negative"));
        } else {
            return usageError(QStringLiteral("unexpected argument: %1").arg(args[i]));
        }
    }
    QTextStream out(stdout);
    for (const LogEntry &entry : ActivityLogFile::loadRecent(count)) {
        out << logTimeText(entry.timestamp) << '\t' << toRawValue(entry.level) << '\t' << toRawValue(entry.category)
            << '\t' << entry.message << '\n';
        if (entry.detail) {
            for (const QString &line : entry.detail->split(QLatin1Char('\n')))
                out << "  " << line << '\n';
        }
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lunvik-photos-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(LUNVIK_VERSION));

    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty())
        return usageError(QStringLiteral("no command given"));
    const QString command = args.takeFirst();
    if (command == QLatin1StringView("--help") || command == QLatin1StringView("-h")) {
        std::fputs(usageText, stdout);
        return 0;
    }
    if (command == QLatin1StringView("--version")) {
        QTextStream(stdout) << "lunvik-photos-cli " << LUNVIK_VERSION << '\n';
        return 0;
    }
    if (command == QLatin1StringView("log"))
        return printLog(args);
    return usageError(QStringLiteral("unknown command: %1").arg(command));
}
