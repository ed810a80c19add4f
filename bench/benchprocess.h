// Running one program for a benchmark and timing it from the outside: from
// just before it is spawned to its exit, and each line it prints as it
// arrives. posix_spawn and a monotonic clock, nothing in between that costs
// more than a few microseconds.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace BenchProcess {

struct Line {
    double atMs = 0; // since the spawn
    QString text;
};

struct Result {
    int exitCode = -1; // -1: killed by a signal or not started
    double wallMs = 0;
    QList<Line> lines; // standard output, when captured
};

struct Options {
    // Extra environment variables ("NAME=value"); the rest is inherited.
    QStringList environment;
    bool captureOutput = false; // else standard output goes to /dev/null
    QString errorLog;           // standard error is appended here (empty: /dev/null)
    QString standardInput;      // a file; empty: /dev/null
    double timeoutSeconds = 300;
};

// Runs `program` with `arguments` and waits for it.
Result run(const QString &program, const QStringList &arguments, const Options &options);

// A started program that keeps running (a server): its pid and the file its
// standard output goes to.
struct Background {
    int pid = -1;
    QString outputFile;
};
std::optional<Background> start(const QString &program, const QStringList &arguments, const Options &options,
                                const QString &outputFile);
// SIGTERM, then waits for it.
void stop(Background &process);

double nowMs();

} // namespace BenchProcess
