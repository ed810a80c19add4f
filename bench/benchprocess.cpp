#include "benchprocess.h"

#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

extern char **environ;

namespace {

// The environment of the child: ours, with `extra` replacing or adding names.
std::vector<std::string> childEnvironment(const QStringList &extra)
{
    std::vector<std::string> result;
    for (char **e = environ; *e; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const QString &x : extra)
            replaced = replaced || x.section(QLatin1Char('='), 0, 0).toStdString() == name;
        if (!replaced)
            result.push_back(entry);
    }
    for (const QString &x : extra)
        result.push_back(x.toStdString());
    return result;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> result;
    for (std::string &s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

struct Spawned {
    pid_t pid = -1;
    int outputPipe = -1;
};

Spawned spawn(const QString &program, const QStringList &arguments, const BenchProcess::Options &options,
              const QString &outputFile)
{
    std::vector<std::string> argStrings{program.toStdString()};
    for (const QString &a : arguments)
        argStrings.push_back(a.toStdString());
    std::vector<std::string> envStrings = childEnvironment(options.environment);
    std::vector<char *> argv = pointers(argStrings);
    std::vector<char *> envp = pointers(envStrings);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string input = options.standardInput.isEmpty() ? "/dev/null" : options.standardInput.toStdString();
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    int fds[2] = {-1, -1};
    const std::string output = outputFile.isEmpty() ? "/dev/null" : outputFile.toStdString();
    if (options.captureOutput && pipe2(fds, O_CLOEXEC) == 0) {
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    const std::string errors = options.errorLog.isEmpty() ? "/dev/null" : options.errorLog.toStdString();
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);

    Spawned spawned;
    const int status = posix_spawn(&spawned.pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (fds[1] >= 0)
        close(fds[1]);
    if (status != 0) {
        if (fds[0] >= 0)
            close(fds[0]);
        spawned.pid = -1;
        return spawned;
    }
    spawned.outputPipe = fds[0];
    return spawned;
}

int exitCodeOf(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

namespace BenchProcess {

double nowMs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) * 1000.0 + double(t.tv_nsec) / 1e6;
}

Result run(const QString &program, const QStringList &arguments, const Options &options)
{
    Result result;
    const double started = nowMs();
    const Spawned spawned = spawn(program, arguments, options, QString());
    if (spawned.pid < 0)
        return result;
    const double deadline = started + options.timeoutSeconds * 1000.0;

    if (spawned.outputPipe >= 0) {
        QByteArray pending;
        char buffer[4096];
        for (;;) {
            pollfd p{spawned.outputPipe, POLLIN, 0};
            const int waitMs = int(std::max(1.0, deadline - nowMs()));
            const int ready = poll(&p, 1, waitMs);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0) {
                kill(spawned.pid, SIGKILL);
                break;
            }
            const ssize_t n = read(spawned.outputPipe, buffer, sizeof buffer);
            if (n <= 0)
                break;
            const double at = nowMs() - started;
            pending.append(buffer, n);
            qsizetype end;
            while ((end = pending.indexOf('\n')) >= 0) {
                result.lines.append(Line{at, QString::fromUtf8(pending.left(end))});
                pending.remove(0, end + 1);
            }
        }
        if (!pending.isEmpty())
            result.lines.append(Line{nowMs() - started, QString::fromUtf8(pending)});
        close(spawned.outputPipe);
    }

    int status = 0;
    for (;;) {
        const pid_t done = waitpid(spawned.pid, &status, WNOHANG);
        if (done == spawned.pid)
            break;
        if (nowMs() > deadline)
            kill(spawned.pid, SIGKILL);
        usleep(200);
    }
    result.wallMs = nowMs() - started;
    result.exitCode = exitCodeOf(status);
    return result;
}

std::optional<Background> start(const QString &program, const QStringList &arguments, const Options &options,
                                const QString &outputFile)
{
    Options plain = options;
    plain.captureOutput = false;
    const Spawned spawned = spawn(program, arguments, plain, outputFile);
    if (spawned.pid < 0)
        return std::nullopt;
    return Background{spawned.pid, outputFile};
}

void stop(Background &process)
{
    if (process.pid <= 0)
        return;
    kill(process.pid, SIGTERM);
    int status = 0;
    waitpid(process.pid, &status, 0);
    process.pid = -1;
}

} // namespace BenchProcess
