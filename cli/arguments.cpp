#include "arguments.h"

#include "rules/epaperrendering.h"

#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <limits>

const char *const usageText =
    "Usage: lunvik-photos-cli COMMAND [OPTIONS]\n"
    "\n"
    "Session:\n"
    "  unlock --name NAME [--frame-setup FILE]\n"
    "                   sign in; the family password is read from standard input\n"
    "  lock             sign out and forget the cached gallery\n"
    "  status           session, server, frames, photo count and the photo for today\n"
    "\n"
    "Gallery:\n"
    "  sync             sync the gallery with the server\n"
    "  list [--json] [--offline]\n"
    "                   the photos in display order: id, file name, uploader, tag\n"
    "  upload FILE...   upload image files\n"
    "  delete ID...     delete photos\n"
    "  reorder ID...    put every photo of the gallery in this order\n"
    "  show-today ID    show this photo on the frames from now on\n"
    "  download ID...   save photos as JPEG files in the Downloads folder\n"
    "  preview ID [--size WxH] [-o FILE]\n"
    "                   the photo as the e-paper frame will show it, as a PNG file\n"
    "                   (in the Downloads folder unless -o is given)\n"
    "\n"
    "Frames:\n"
    "  frames           the registered frames and whether they are reachable\n"
    "  frames add       register a frame; its setup block is read from standard input\n"
    "  frames remove ID remove a frame\n"
    "\n"
    "Settings:\n"
    "  set-name NAME    the name shown on your uploads\n"
    "  debug on|off     use the local development server, or the gallery server again\n"
    "  debug interval SECONDS\n"
    "                   the rotation interval of debug mode (60 to 86400)\n"
    "  log [-n N]       the last N (default 50) records of the activity log, oldest first\n"
    "\n"
    "Options:\n"
    "  --help           show this help\n"
    "  --version        show the version\n"
    "  --               ends the options: what follows is a file or an id\n"
    "\n"
    "Exit status: 0 done, 1 failed, 2 usage error, 3 locked (sign in with unlock).\n";

namespace {

struct Split {
    QStringList operands;
    QSet<QString> flags;
    QHash<QString, QString> values;
};

bool isOption(const QString &argument)
{
    return argument.size() > 1 && argument.startsWith(QLatin1Char('-'));
}

// Sorts the arguments of one command into flags (no value), valued options
// ("--name NAME" or "--name=NAME") and operands. After "--" everything is an
// operand, so a file or an id may start with a dash.
std::variant<Split, UsageError> split(const QStringList &arguments, const QStringList &flags,
                                      const QStringList &valued)
{
    Split result;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (optionsEnded || !isOption(argument)) {
            result.operands << argument;
            continue;
        }
        if (argument == QLatin1StringView("--")) {
            optionsEnded = true;
            continue;
        }
        QString option = argument;
        std::optional<QString> inlineValue;
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        if (argument.startsWith(QLatin1StringView("--")) && equals > 2) {
            option = argument.left(equals);
            inlineValue = argument.mid(equals + 1);
        }
        if (flags.contains(option) && !inlineValue) {
            result.flags.insert(option);
        } else if (valued.contains(option)) {
            if (inlineValue)
                result.values.insert(option, *inlineValue);
            else if (i + 1 < arguments.size())
                result.values.insert(option, arguments.at(++i));
            else
                return UsageError{QStringLiteral("%1 needs a value").arg(option)};
        } else {
            return UsageError{QStringLiteral("unknown option: %1").arg(argument)};
        }
    }
    return result;
}

QString commandName(const QStringList &path)
{
    return path.join(QLatin1Char(' '));
}

std::optional<UsageError> operandCount(const Split &split, const QString &command, qsizetype min, qsizetype max,
                                       const char *what)
{
    if (split.operands.size() < min)
        return UsageError{QStringLiteral("%1 needs %2").arg(command, QLatin1StringView(what))};
    if (split.operands.size() > max)
        return UsageError{QStringLiteral("unexpected argument: %1").arg(split.operands.at(max))};
    return std::nullopt;
}

std::variant<Invocation, UsageError> parseCommand(const QString &command, QStringList rest)
{
    Invocation invocation;
    const auto simple = [&](CommandKind kind, const QStringList &flags = {},
                            const QStringList &valued = {}) -> std::variant<Split, UsageError> {
        invocation.kind = kind;
        return split(rest, flags, valued);
    };
    // Commands whose operands are one or more files or ids.
    const auto withOperands = [&](CommandKind kind, const char *what) -> std::variant<Invocation, UsageError> {
        auto parsed = simple(kind);
        if (auto *error = std::get_if<UsageError>(&parsed))
            return *error;
        const Split &s = std::get<Split>(parsed);
        if (auto error = operandCount(s, command, 1, std::numeric_limits<qsizetype>::max(), what))
            return *error;
        invocation.operands = s.operands;
        return invocation;
    };
    const auto noOperands = [&](CommandKind kind, const QString &name) -> std::variant<Invocation, UsageError> {
        auto parsed = simple(kind);
        if (auto *error = std::get_if<UsageError>(&parsed))
            return *error;
        if (auto error = operandCount(std::get<Split>(parsed), name, 0, 0, ""))
            return *error;
        return invocation;
    };

    if (command == QLatin1StringView("log")) {
        auto parsed = simple(CommandKind::log, {}, {QStringLiteral("-n")});
        if (auto *error = std::get_if<UsageError>(&parsed))
            return *error;
        const Split &s = std::get<Split>(parsed);
        if (auto error = operandCount(s, command, 0, 0, ""))
            return *error;
        if (s.values.contains(QStringLiteral("-n"))) {
            bool ok = false;
            invocation.number = s.values.value(QStringLiteral("-n")).toInt(&ok);
            if (!ok || invocation.number < 0)
                return UsageError{QStringLiteral("-n needs a number that is not negative")};
        }
        return invocation;
    }
    if (command == QLatin1StringView("unlock")) {
        auto parsed = simple(CommandKind::unlock, {}, {QStringLiteral("--name"), QStringLiteral("--frame-setup")});
        if (auto *error = std::get_if<UsageError>(&parsed))
            return *error;
        const Split &s = std::get<Split>(parsed);
        if (auto error = operandCount(s, command, 0, 0, ""))
            return *error;
        if (!s.values.contains(QStringLiteral("--name")))
            return UsageError{QStringLiteral("unlock needs --name NAME")};
        // A blank name is the unlock form's own check, with its own message.
        invocation.name = s.values.value(QStringLiteral("--name"));
        if (s.values.contains(QStringLiteral("--frame-setup")))
            invocation.frameSetupFile = s.values.value(QStringLiteral("--frame-setup"));
        return invocation;
    }
    if (command == QLatin1StringView("lock"))
        return noOperands(CommandKind::lock, command);
    if (command == QLatin1StringView("status"))
        return noOperands(CommandKind::status, command);
    if (command == QLatin1StringView("sync"))
        return noOperands(CommandKind::sync, command);
    if (command == QLatin1StringView("list")) {
        auto parsed = simple(CommandKind::list, {QStringLiteral("--json"), QStringLiteral("--offline")});
        if (auto *error = std::get_if<UsageError>(&parsed))
            return *error;
        const Split &s = std::get<Split>(parsed);
        if (auto error = operandCount(s, command, 0, 0, ""))
            return *error;
        invocation.json = s.flags.contains(QStringLiteral("--json"));
        invocation.offline = s.flags.contains(QStringLiteral("--offline"));
        return invocation;
    }
    if (command == QLatin1StringView("upload"))
        return withOperands(CommandKind::upload, "at least one file");
    if (command == QLatin1StringView("delete"))
        return withOperands(CommandKind::deletePhotos, "at least one photo id");
    if (command == QLatin1StringView("reorder"))
        return withOperands(CommandKind::reorder, "the photo ids in their new order");
    if (command == QLatin1StringView("download"))
        return withOperands(CommandKind::download, "at least one photo id");
    if (command == QLatin1StringView("show-today")) {
        auto parsed = simple(CommandKind::showToday);
        if (auto *error = std::get_if<UsageError>(&parsed))
            return *error;
        const Split &s = std::get<Split>(parsed);
        if (auto error = operandCount(s, command, 1, 1, "a photo id"))
            return *error;
        invocation.operands = s.operands;
        return invocation;
    }
    if (command == QLatin1StringView("preview")) {
        auto parsed = simple(CommandKind::preview, {}, {QStringLiteral("--size"), QStringLiteral("-o")});
        if (auto *error = std::get_if<UsageError>(&parsed))
            return *error;
        const Split &s = std::get<Split>(parsed);
        if (auto error = operandCount(s, command, 1, 1, "a photo id"))
            return *error;
        invocation.operands = s.operands;
        if (s.values.contains(QStringLiteral("--size"))) {
            static const QRegularExpression form(QStringLiteral("^(\\d{1,5})[xX](\\d{1,5})$"));
            const QRegularExpressionMatch match = form.match(s.values.value(QStringLiteral("--size")));
            const int width = match.hasMatch() ? match.captured(1).toInt() : 0;
            const int height = match.hasMatch() ? match.captured(2).toInt() : 0;
            if (width < 1 || height < 1 || width > EpaperRendering::maxScreenSide
                || height > EpaperRendering::maxScreenSide)
                return UsageError{QStringLiteral("--size needs WIDTHxHEIGHT, each from 1 to %1")
                                      .arg(EpaperRendering::maxScreenSide)};
            invocation.size = QSize(width, height);
        }
        if (s.values.contains(QStringLiteral("-o"))) {
            invocation.outputFile = s.values.value(QStringLiteral("-o"));
            if (invocation.outputFile->isEmpty())
                return UsageError{QStringLiteral("-o needs a file name")};
        }
        return invocation;
    }
    if (command == QLatin1StringView("frames")) {
        if (rest.isEmpty())
            return noOperands(CommandKind::frames, command);
        const QString sub = rest.takeFirst();
        if (sub == QLatin1StringView("add"))
            return noOperands(CommandKind::framesAdd, commandName({command, sub}));
        if (sub == QLatin1StringView("remove")) {
            auto parsed = simple(CommandKind::framesRemove);
            if (auto *error = std::get_if<UsageError>(&parsed))
                return *error;
            const Split &s = std::get<Split>(parsed);
            if (auto error = operandCount(s, commandName({command, sub}), 1, 1, "a frame id"))
                return *error;
            invocation.operands = s.operands;
            return invocation;
        }
        return UsageError{QStringLiteral("unknown frames command: %1").arg(sub)};
    }
    if (command == QLatin1StringView("set-name")) {
        auto parsed = simple(CommandKind::setName);
        if (auto *error = std::get_if<UsageError>(&parsed))
            return *error;
        const Split &s = std::get<Split>(parsed);
        if (auto error = operandCount(s, command, 1, 1, "a name"))
            return *error;
        invocation.name = s.operands.first().trimmed();
        if (invocation.name.isEmpty())
            return UsageError{QStringLiteral("set-name needs a name that is not blank")};
        return invocation;
    }
    if (command == QLatin1StringView("debug")) {
        // Taken as they are: "debug interval -5" is a number (clamped), not an option.
        if (rest.size() == 1 && rest.first() == QLatin1StringView("on")) {
            invocation.kind = CommandKind::debugOn;
            return invocation;
        }
        if (rest.size() == 1 && rest.first() == QLatin1StringView("off")) {
            invocation.kind = CommandKind::debugOff;
            return invocation;
        }
        if (rest.size() == 2 && rest.first() == QLatin1StringView("interval")) {
            bool ok = false;
            const qlonglong seconds = rest.at(1).toLongLong(&ok);
            if (!ok)
                return UsageError{QStringLiteral("debug interval needs a number of seconds")};
            invocation.kind = CommandKind::debugInterval;
            invocation.number = int(std::clamp<qlonglong>(seconds, std::numeric_limits<int>::min(),
                                                          std::numeric_limits<int>::max()));
            return invocation;
        }
        return UsageError{QStringLiteral("debug needs on, off or interval SECONDS")};
    }
    return UsageError{QStringLiteral("unknown command: %1").arg(command)};
}

bool asksForHelp(const QStringList &arguments)
{
    for (const QString &argument : arguments) {
        if (argument == QLatin1StringView("--"))
            return false;
        if (argument == QLatin1StringView("--help") || argument == QLatin1StringView("-h"))
            return true;
    }
    return false;
}

} // namespace

std::variant<Invocation, UsageError> parseArguments(const QStringList &arguments)
{
    if (arguments.isEmpty())
        return UsageError{QStringLiteral("no command given")};
    if (asksForHelp(arguments))
        return Invocation{};
    if (arguments.first() == QLatin1StringView("--version")) {
        if (arguments.size() > 1)
            return UsageError{QStringLiteral("unexpected argument: %1").arg(arguments.at(1))};
        Invocation invocation;
        invocation.kind = CommandKind::version;
        return invocation;
    }
    return parseCommand(arguments.first(), arguments.mid(1));
}
