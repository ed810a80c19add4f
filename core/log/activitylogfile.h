// The activity log on disk: "activity.log" in the support folder, one JSON
// record per line. Appends, reads, trims and clears are serialised by a
// lock on the file (flock), so they never interleave, from whichever thread
// or program sharing the folder they come. Every
// file error is swallowed: a record that cannot be written is lost, an
// unreadable file reads as empty, a bad line is skipped.
#pragma once

#include "logentry.h"

#include <QList>
#include <QString>

namespace ActivityLogFile {

// Past this size after an append, the file is cut down to its last lines
// (at most linesKeptAfterTrim) that fit under it together; a longer line is
// dropped. Reads take only the end of a file that grew far past it.
constexpr qint64 trimThresholdBytes = 512000;
constexpr int linesKeptAfterTrim = 200;

QString url();
void append(const LogEntry &entry);
// The records of the last `limit` non-empty lines, oldest first.
QList<LogEntry> loadRecent(int limit);
void clear();

} // namespace ActivityLogFile
