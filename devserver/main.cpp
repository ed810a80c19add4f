// lunvik-gallery-server: the development gallery server.
// Prints "Listening on http://HOST:PORT" on standard output once it accepts
// connections; everything else goes to standard error. Stops on SIGINT and
// SIGTERM. Exit status: 0 stopped, 1 failed, 2 usage error.

#include "galleryserver.h"

#include "rules/rotationschedule.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <thread>

namespace {

constexpr int exitFailed = 1;
constexpr int exitUsage = 2;
const char *const passwordVariable = "LUNVIK_FAMILY_PASSWORD";

int fail(int status, const QString &message)
{
    ServerUtil::logLine(message);
    return status;
}

// The version the update feed offers unless told otherwise: this build's
// version with its last number raised by one ("0.1.0" -> "0.1.1"), so a
// client of the same build always sees it as newer.
QString nextVersion(const QString &version)
{
    QStringList parts = version.split(QLatin1Char('.'));
    bool ok = false;
    const int last = parts.isEmpty() ? 0 : parts.last().toInt(&ok);
    if (!ok)
        return version + QStringLiteral(".1");
    parts.last() = QString::number(last + 1);
    return parts.join(QLatin1Char('.'));
}

std::optional<int> wholeNumber(const QString &text, int min, int max)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < min || value > max)
        return std::nullopt;
    return value;
}

} // namespace

int main(int argc, char **argv)
{
    // Blocked before any thread starts, so every thread inherits the mask and
    // only the waiting thread below ever receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lunvik-gallery-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(LUNVIK_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The development gallery server of Lunvik Photos, with simulated photo frames.\n"
                       "The family password may also come from the environment variable LUNVIK_FAMILY_PASSWORD."));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Port to listen on; 0 picks a free one."),
                                  QStringLiteral("N"), QStringLiteral("3000"));
    const QCommandLineOption host(QStringLiteral("host"), QStringLiteral("Address to listen on."),
                                  QStringLiteral("ADDR"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption data(QStringLiteral("data"), QStringLiteral("Folder of the gallery's files (required)."),
                                  QStringLiteral("DIR"));
    const QCommandLineOption password(QStringLiteral("password"), QStringLiteral("The family password."),
                                      QStringLiteral("PW"));
    const QCommandLineOption interval(QStringLiteral("advance-interval"),
                                      QStringLiteral("Rotate the current photo every SECONDS seconds instead of "
                                                     "daily at 11:00 UTC."),
                                      QStringLiteral("SECONDS"));
    const QCommandLineOption demo(QStringLiteral("demo"),
                                  QStringLiteral("Seed a demo gallery when the data folder has none."));
    const QCommandLineOption updateVersion(
        QStringLiteral("update-version"),
        QStringLiteral("The version that the update feed (/api/dev/appcast.xml) offers; empty offers none."),
        QStringLiteral("VERSION"), nextVersion(QStringLiteral(LUNVIK_VERSION)));
    parser.addOptions({port, host, data, password, interval, demo, updateVersion});
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();

    if (!parser.parse(QCoreApplication::arguments()))
        return fail(exitUsage, parser.errorText() + QStringLiteral(" (see --help)"));
    if (parser.isSet(help))
        parser.showHelp(0);
    if (parser.isSet(version))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        return fail(exitUsage, QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first()));

    GalleryServer::Options options;
    options.logRequests = true;
    options.demo = parser.isSet(demo);
    options.dataFolder = parser.value(data);
    if (options.dataFolder.isEmpty())
        return fail(exitUsage, QStringLiteral("--data DIR is required"));
    options.password = parser.isSet(password) ? parser.value(password) : qEnvironmentVariable(passwordVariable);
    if (options.password.isEmpty())
        return fail(exitUsage, QStringLiteral("no family password: pass --password PW or set %1")
                                   .arg(QLatin1StringView(passwordVariable)));
    const auto portNumber = wholeNumber(parser.value(port), 0, 65535);
    if (!portNumber)
        return fail(exitUsage, QStringLiteral("--port needs a port number from 0 to 65535"));
    if (parser.isSet(interval)) {
        const int maxInterval = GalleryRotationSchedule::maxDebugAdvanceIntervalSeconds;
        options.advanceIntervalSeconds = wholeNumber(parser.value(interval), 1, maxInterval);
        if (!options.advanceIntervalSeconds)
            return fail(exitUsage,
                        QStringLiteral("--advance-interval needs a number of seconds from 1 to %1").arg(maxInterval));
    }
    options.updateVersion = parser.value(updateVersion);
    const QString hostName = parser.value(host);

    try {
        GalleryServer server(std::move(options));
        const quint16 boundPort = server.bind(hostName, quint16(*portNumber));
        const QString shownHost = hostName.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(hostName) : hostName;
        std::printf("Listening on http://%s:%u\n", qPrintable(shownHost), unsigned(boundPort));
        std::fflush(stdout);
        const UpdateFeed &feed = server.updateFeed();
        ServerUtil::logLine(QStringLiteral("the update feed offers %1, signed with the public key %2")
                                .arg(feed.version().isEmpty() ? QStringLiteral("no release") : feed.version(),
                                     feed.publicKey()));

        std::atomic<bool> finished{false};
        std::thread signalWaiter([&] {
            const timespec pollInterval{0, 200 * 1000 * 1000};
            while (!finished) {
                const int signal = sigtimedwait(&stopSignals, nullptr, &pollInterval);
                if (signal == SIGINT || signal == SIGTERM) {
                    server.stop();
                    return;
                }
            }
        });
        const bool stopped = server.run();
        finished = true;
        signalWaiter.join();
        if (!stopped)
            return fail(exitFailed, QStringLiteral("the server stopped unexpectedly"));
        ServerUtil::logLine(QStringLiteral("stopped"));
        return 0;
    } catch (const StartupError &e) {
        return fail(exitFailed, e.message());
    }
}
