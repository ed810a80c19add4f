// The gallery server an administrator set for the whole machine, in
// LunvikPhotos/server.conf under the first directory of XDG_CONFIG_DIRS
// (/etc/xdg when unset) that has one: one line holding the https address;
// blank lines and lines starting with "#" are ignored. It replaces the
// address built into the program, so a family's own server needs no rebuild.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

struct MachineServerAddress {
    // The file that was read; empty when no directory has one.
    QString file;
    // The address it sets, without a trailing slash; none when the file sets
    // none (every line commented out, as shipped) or was refused.
    std::optional<QString> address;
    // Why the file was refused, for the log and standard error; empty when
    // it was not.
    QString problem;

    static constexpr qint64 maxFileBytes = 4096;
    static inline const QString relativePath = QStringLiteral("LunvikPhotos/server.conf");

    // Reads the first `relativePath` found under `configDirs` (relative
    // entries are skipped, as XDG asks). Never blocks on a special file and
    // never reads more than maxFileBytes.
    static MachineServerAddress read(const QStringList &configDirs);
    // XDG_CONFIG_DIRS split, or /etc/xdg when it is unset or empty.
    static QStringList configDirs();
    // What this machine's file says, read once per process.
    static const MachineServerAddress &machine();

    // The message of the log record of a refused file.
    static inline const QString refusedMessage = QStringLiteral("Server address file ignored");
    // Its detail: the problem and the address used instead.
    QString refusedDetail(const QString &builtInAddress) const;
};
