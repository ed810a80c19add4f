// The command line of lunvik-photos-cli, read into one value before anything
// runs, so that a usage error never leaves a half-done command behind.
#pragma once

#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

enum class CommandKind {
    help,
    version,
    log,
    unlock,
    lock,
    status,
    sync,
    list,
    upload,
    deletePhotos,
    reorder,
    showToday,
    download,
    preview,
    frames,
    framesAdd,
    framesRemove,
    setName,
    debugOn,
    debugOff,
    debugInterval,
};

struct Invocation {
    CommandKind kind = CommandKind::help;
    // Files of upload; photo ids of delete, reorder, show-today, download;
    // the frame id of frames remove.
    QStringList operands;
    // unlock --name, set-name.
    QString name;
    // unlock --frame-setup.
    std::optional<QString> frameSetupFile;
    bool json = false;
    bool offline = false;
    // preview --size WxH (none: the frame's own) and -o FILE.
    std::optional<QSize> size;
    std::optional<QString> outputFile;
    // log -n (default 50); debug interval, limited to the range of int.
    int number = 50;
};

struct UsageError {
    QString message;
};

std::variant<Invocation, UsageError> parseArguments(const QStringList &arguments);

extern const char *const usageText;
