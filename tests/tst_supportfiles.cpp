// The files of the support folder: config.json, the local state file, atomic
// saves, the photo cache; the activity log's records, its file and its shared
// store; error descriptions and the texts of current-photo changes.
#include "support/testenvironment.h"

#include "clock.h"
#include "error.h"
#include "log/activitylogfile.h"
#include "log/activitylogstore.h"
#include "log/currentphotoactivity.h"
#include "log/secretmask.h"
#include "model/appconfig.h"
#include "model/appsettings.h"
#include "model/gallerystate.h"
#include "model/machineserveraddress.h"
#include "server/syncerror.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <csignal>
#include <functional>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>

Q_DECLARE_METATYPE(std::optional<LogEntry>)
Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(std::function<void()>)

// Lets QCOMPARE print records.
char *toString(const LogEntry &e)
{
    return QTest::toString(QStringLiteral("%1 %2 %3/%4 \"%5\" detail=%6")
                               .arg(uuidText(e.id), e.timestamp.toString(Qt::ISODateWithMs), toRawValue(e.category),
                                    toRawValue(e.level), e.message, e.detail ? *e.detail : QStringLiteral("<none>")));
}
char *toString(const std::optional<LogEntry> &e)
{
    return e ? toString(*e) : qstrdup("<none>");
}

namespace {

void writeFile(const QString &path, const QByteArray &bytes, QIODevice::OpenMode mode = QIODevice::Truncate)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | mode), qPrintable(file.errorString()));
    QCOMPARE(file.write(bytes), bytes.size());
}

using TestEnvironment::readFile;

// The entries of `folder`; by default those of the support folder, leaving
// out the cache folder.
QStringList entries(const QString &folder = QString())
{
    QStringList names = QDir(folder.isEmpty() ? AppConfig::supportFolder() : folder)
                            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    if (folder.isEmpty())
        names.removeAll(QStringLiteral("cache"));
    return names;
}

qsizetype filesBelow(const QString &folder)
{
    qsizetype count = 0;
    for (QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
         it.hasNext(); it.next())
        ++count;
    return count;
}

// Caps the size of any file this process writes, so that writing a larger
// one fails with EFBIG, even for root. Restored on destruction.
struct FileSizeLimit {
    rlimit saved{};
    bool active = false;
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        active = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved); }
};

// JSON written from an object; keeps URLs out of raw string literals.
QByteArray json(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

const QByteArray sampleJson = R"({"updatedAt":"2024-06-01T09:30:00.123Z","order":["a","b","gone"],"photos":{
    "a":{"id":"a","filename":"Beach.jpg","blobPath":"g/a","sizeBytes":123456,"updatedAt":"2024-05-01T00:00:00.000Z",
         "uploaderId":"u-1","downloadUrl":"/files/a"},
    "b":{"id":"b","filename":"Zoë.jpg","blobPath":"g/b","sizeBytes":42,"updatedAt":"2024-05-02T00:00:00.000Z",
         "uploaderId":"u-2"},
    "gone":{"id":"gone","filename":"x.jpg","blobPath":"g/x","sizeBytes":1,"updatedAt":"2024-05-03T00:00:00.000Z",
            "deletedAt":"2024-05-04T00:00:00.000Z","uploaderId":"u-1"}},
    "uploaders":{"u-1":"Ana","u-2":"Kelvo"},"currentPhotoId":"b","currentPhotoUpdatedBy":"manual"})";

GalleryState sampleState()
{
    return GalleryState::fromJsonBytes(sampleJson).value();
}

// A second program on the same folder (--child settings): `count` times, saves
// its one setting ("name" or "interval") changed to the next value. Exits 3
// once the file lost its own latest value or the other program's.
int saveSettingRepeatedly(const QString &which, int count)
{
    const bool name = which == QLatin1StringView("name");
    const auto number = [](const AppSettings &s, bool ofName) {
        return ofName ? s.displayName.mid(1).toInt() : s.debugAdvanceIntervalSeconds - 60;
    };
    AppSettings known = AppConfig::readSettingsFile().value_or(AppSettings());
    int otherSeen = 0;
    for (int n = 1; n <= count; ++n) {
        AppSettings mine = known;
        if (name)
            mine.displayName = QStringLiteral("N%1").arg(n);
        else
            mine.debugAdvanceIntervalSeconds = 60 + n;
        try {
            known = AppConfig::saveSettingsChanges(mine, known);
        } catch (const Error &) {
            return 2;
        }
        if (number(known, name) != n || number(known, !name) < otherSeen)
            return 3;
        otherSeen = number(known, !name);
    }
    return 0;
}

const QUuid idA = QUuid::fromString(QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E"));
const char *const t0 = "2026-03-01T07:05:09Z";

QDateTime at(const char *isoText)
{
    return QDateTime::fromString(QString::fromLatin1(isoText), Qt::ISODateWithMs);
}

void setClock(const char *isoText)
{
    Clock::setForTesting([time = at(isoText)] { return time; });
}

// A record line with its line feed.
QByteArray line(const QString &message, const QUuid &id = QUuid::createUuid(), const char *time = t0)
{
    const QJsonObject o{{"id", uuidText(id)}, {"t", time}, {"c", "sync"}, {"l", "info"}, {"m", message}, {"d", "More"}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

// The line of the record "Hello" (id idA, time t0) with one member replaced,
// or removed when `value` is undefined.
QByteArray lineWith(const QString &key, const QJsonValue &value)
{
    QJsonObject object = QJsonDocument::fromJson(line(QStringLiteral("Hello"), idA)).object();
    if (value.isUndefined())
        object.remove(key);
    else
        object.insert(key, value);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

void writeLog(const QByteArray &bytes, QIODevice::OpenMode mode = QIODevice::Truncate)
{
    writeFile(ActivityLogFile::url(), bytes, mode);
}

QStringList messages(const QList<LogEntry> &entries)
{
    QStringList out;
    for (const LogEntry &e : entries)
        out << e.message;
    return out;
}

// Starts this executable once for each tag as a second program on the same
// folder: --child <kind> <tag> <count>.
std::vector<std::unique_ptr<QProcess>> startChildren(const char *kind, const QList<const char *> &tags, int count)
{
    std::vector<std::unique_ptr<QProcess>> children;
    for (const char *tag : tags) {
        auto &child = children.emplace_back(std::make_unique<QProcess>());
        child->setProcessChannelMode(QProcess::ForwardedChannels);
        child->start(QCoreApplication::applicationFilePath(), {"--child", kind, tag, QString::number(count)});
    }
    return children;
}

// An error with a description and a recovery suggestion of its own.
struct UnsupportedImage : Error {
    std::optional<QString> errorDescription() const override { return QStringLiteral("Unsupported image: a.heic"); }
    std::optional<QString> recoverySuggestion() const override { return QStringLiteral("Export it as JPEG"); }
    Record record() const override { return {"ImageIO", 3, "Unsupported image: a.heic", {}}; }
};

// A second program on the same folder (--child log): appends `count` records
// "<tag> <n>", n from 0, once the parent made the start file, so that both
// append at once. Its file "<start file>.<tag>" says it is waiting: a busy
// machine can take long to start a program.
QString startFilePath()
{
    return ActivityLogFile::url() + QStringLiteral(".start");
}

int appendRecords(const QString &tag, int count)
{
    QFile ready(startFilePath() + QLatin1Char('.') + tag);
    if (!ready.open(QIODevice::WriteOnly))
        return 3;
    QDeadlineTimer deadline(60000);
    while (!QFileInfo::exists(startFilePath())) {
        if (deadline.hasExpired())
            return 2;
        QThread::msleep(5);
    }
    const QString padding(200, QLatin1Char('x'));
    for (int n = 0; n < count; ++n)
        ActivityLogFile::append(LogEntry{QUuid::createUuid(), Clock::now(), LogCategory::system, LogLevel::info,
                                         tag + QLatin1Char(' ') + QString::number(n), padding});
    return 0;
}

} // namespace

class TestSupportFiles : public QObject
{
    Q_OBJECT

    QList<QByteArray> m_stderr;
    ActivityLogStore &store = ActivityLogStore::shared();

private Q_SLOTS:
    void initTestCase()
    {
        // A write beyond RLIMIT_FSIZE must fail with EFBIG, not kill the process.
        std::signal(SIGXFSZ, SIG_IGN);
    }
    void init()
    {
        store.stopLiveReload();
        store.clear();
        TestEnvironment::clearSupportFolder(); // leaves no activity.log behind
        Clock::setForTesting({});
        m_stderr.clear();
        store.setErrorStreamForTesting([this](const QByteArray &bytes) { m_stderr << bytes; });
    }
    void cleanupTestCase()
    {
        store.stopLiveReload();
        store.setErrorStreamForTesting({});
        Clock::setForTesting({});
    }

    // A save carries every setting this program changed onto what another
    // program wrote meanwhile, whichever setting it is.
    void saveCarriesEveryChangedSetting()
    {
        const AppSettings mine = AppSettings::fromJson(QJsonObject{{"serverBaseURL", "https://other.example"},
            {"debugMode", true}, {"syncSessionToken", "t"}, {"galleryName", "g"}, {"displayName", "Ana"},
            {"previewPaneSplitFraction", 0.5}, {"galleryGridColumnCount", 3}, {"debugAdvanceIntervalSeconds", 90},
            {"uploaderNameOnServer", "Old"}, {"previewAppearance", "epaper"}, {"notifyWhenLongWorkEnds", false}}).value();
        QCOMPARE(AppConfig::mergedSettings(mine, AppSettings(), AppSettings()).toJson(), mine.toJson());
    }

    // Settings as read from config.json, from the defaults: unknown or null
    // members ignored, values clamped in memory, a value of the wrong type
    // rejecting the file whole (which is then left as it was); a server that
    // does not match the debug flag is corrected in the file.
    void loadSettings_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no file
        QTest::addColumn<QJsonObject>("changed"); // from the defaults; {"rejected":true} when it fails
        QTest::addColumn<bool>("rewritten");
        const QJsonObject rejected{{"rejected", true}};
        const QString prod = AppSettings::productionServerBaseURL();
        const QString local = AppSettings::syncServerBaseURL(true);
        using B = QByteArray;
        QTest::newRow("no file") << B() << QJsonObject() << false;
        QTest::newRow("null, unknown key") << B("{\"serverBaseURL\":null,\"debugMode\":null,\"displayName\":null,"
                                                "\"previewPaneSplitFraction\":null,\"theme\":\"dark\"}")
                                            << QJsonObject() << false;
        QTest::newRow("debug flag only") << B("{\"debugMode\":true,\"syncSessionToken\":\"tok\"}")
                                         << QJsonObject{{"debugMode", true}, {"serverBaseURL", local},
                                                        {"syncSessionToken", "tok"}} << true;
        QTest::newRow("other server, no debug flag")
            << json({{"serverBaseURL", "https://other.example"}, {"syncSessionToken", "tok"}})
            << QJsonObject{{"syncSessionToken", "tok"}} << true;
        QTest::newRow("trailing slash differs") << json({{"serverBaseURL", prod + "/"}}) << QJsonObject() << true;
        QTest::newRow("consistent, blank name")
            << json({{"serverBaseURL", prod}, {"displayName", " "}}) << QJsonObject() << false;
        QTest::newRow("columns 1") << B("{\"galleryGridColumnCount\":1}") << QJsonObject{{"galleryGridColumnCount", 2}}
                                   << false;
        QTest::newRow("columns past 32 bits")
            << B("{\"galleryGridColumnCount\":4294967297}") << QJsonObject{{"galleryGridColumnCount", 8}} << false;
        QTest::newRow("split at minimum")
            << B("{\"previewPaneSplitFraction\":0.28}") << QJsonObject{{"previewPaneSplitFraction", 0.28}} << false;
        QTest::newRow("split over the maximum")
            << B("{\"previewPaneSplitFraction\":2.0}") << QJsonObject{{"previewPaneSplitFraction", 0.72}} << false;
        QTest::newRow("interval 5")
            << B("{\"debugAdvanceIntervalSeconds\":5}") << QJsonObject{{"debugAdvanceIntervalSeconds", 60}} << false;
        QTest::newRow("interval past 32 bits") << B("{\"debugAdvanceIntervalSeconds\":1099511627776}")
                                               << QJsonObject{{"debugAdvanceIntervalSeconds", 86400}} << false;
        QTest::newRow("padded name") << B("{\"displayName\":\"\\n\\tAna \"}") << QJsonObject{{"displayName", "Ana"}}
                                     << false;
        QTest::newRow("token kept untrimmed")
            << B("{\"syncSessionToken\":\" t \"}") << QJsonObject{{"syncSessionToken", " t "}} << false;
        // Written only for the e-paper look; anything else reads as the photo.
        QTest::newRow("e-paper preview")
            << B("{\"previewAppearance\":\"epaper\"}") << QJsonObject{{"previewAppearance", "epaper"}} << false;
        QTest::newRow("newer appearance") << B("{\"previewAppearance\":\"hologram\"}") << QJsonObject() << false;
        // Written only when off; anything else reads as on.
        QTest::newRow("notifications off")
            << B("{\"notifyWhenLongWorkEnds\":false}") << QJsonObject{{"notifyWhenLongWorkEnds", false}} << false;
        QTest::newRow("notifications odd value") << B("{\"notifyWhenLongWorkEnds\":0}") << QJsonObject() << false;
        QTest::newRow("columns fraction") << B("{\"galleryGridColumnCount\":5.5}") << rejected << false;
        QTest::newRow("wrong type falls back whole")
            << json({{"debugMode", "yes"}, {"serverBaseURL", "https://other.example"}, {"galleryGridColumnCount", 3}})
            << rejected << false;
        QTest::newRow("invalid json") << B("{\"debugMode\":tr") << rejected << false;
    }
    void loadSettings()
    {
        QFETCH(QByteArray, content);
        QFETCH(QJsonObject, changed);
        QFETCH(bool, rewritten);
        const bool rejected = changed.contains(QLatin1String("rejected"));
        QJsonObject expected = AppSettings::defaults().toJson();
        for (const QString &key : changed.keys())
            if (!rejected)
                expected.insert(key, changed.value(key));
        const QString path = AppConfig::settingsURL();
        if (!content.isEmpty())
            writeFile(path, content);

        const AppSettings loaded = AppConfig::loadSettings();
        QCOMPARE(loaded.toJson(), expected);
        QCOMPARE(QFileInfo::exists(path), !content.isEmpty());
        if (rewritten) {
            QCOMPARE(AppSettings::fromJsonBytes(readFile(path)), std::optional(loaded));
            QCOMPARE(QFile::permissions(path),
                     QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        } else {
            QCOMPARE(readFile(path), content); // a bad file is left as it was
        }
    }

    void settingsValues()
    {
        const AppSettings d = AppSettings::defaults();
        QVERIFY(d.serverBaseURL.startsWith(QLatin1String("https://")));
        QVERIFY(!d.serverBaseURL.endsWith(QLatin1Char('/')));
        // The bearer is the trimmed token, none when blank or outside the
        // bearer-token grammar (a line break would smuggle a header).
        QCOMPARE(AppSettings("s", false, " \t\n ", "g", "n", 0.5, 5, 60).syncBearer(), std::nullopt);
        QCOMPARE(AppSettings("s", false, "  abc.def\n", "g", "n", 0.5, 5, 60).syncBearer(), QStringLiteral("abc.def"));
        const QString tooLong(AppSettings::maxSessionTokenLength + 1, QLatin1Char('a'));
        QCOMPARE(AppSettings("s", false, tooLong, "g", "n", 0.5, 5, 60).syncBearer(), std::nullopt);
    }

    // The administrator's server address file. `contents` goes to the first
    // of two config directories (a null array: no file there; "<dir>" and
    // "<fifo>": a directory or a named pipe by that name); the second
    // always holds another address, which only a missing first file lets
    // through.
    void machineServerAddress_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("problem");

        QTest::newRow("as shipped") << QByteArray("# comment\n\n#https://a.example\n") << QString() << QString();
        QTest::newRow("set") << QByteArray("# ours\n\n  https://photos.family.example:8443/ \r\n")
                             << "https://photos.family.example:8443" << QString();
        QTest::newRow("no file: next dir") << QByteArray() << "https://second.example" << QString();
        QTest::newRow("plain http") << QByteArray("http://photos.family.example\n") << QString()
                                    << "must start with https://";
        QTest::newRow("not a URL") << QByteArray("https://photos family\n") << QString()
                                   << "is not a valid address";
        QTest::newRow("no host") << QByteArray("photos.family.example\n") << QString() << "is not a valid address";
        QTest::newRow("a path") << QByteArray("https://family.example/photos\n") << QString() << "server's root";
        QTest::newRow("a password") << QByteArray("https://me:pw@family.example\n") << QString() << "server's root";
        QTest::newRow("two addresses") << QByteArray("https://a.example\nhttps://b.example\n") << QString()
                                       << "holds 2 lines";
        QTest::newRow("huge") << QByteArray(MachineServerAddress::maxFileBytes + 1, '#') << QString()
                              << "larger than 4096 bytes";
        QTest::newRow("a directory") << QByteArray("<dir>") << QString() << "could not be read";
        // Opening a pipe would wait for a writer that never comes.
        QTest::newRow("a pipe") << QByteArray("<fifo>") << QString() << "could not be read";
        QTest::newRow("escapes shown safely") << QByteArray("http://a.example/\x1b[2J\n") << QString() << "\\x1b";
    }

    void machineServerAddress()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QString, address);
        QFETCH(QString, problem);

        const QString root = TestEnvironment::home() + QStringLiteral("/xdg-") + QTest::currentDataTag();
        const QString first = root + QStringLiteral("/first/LunvikPhotos/server.conf");
        const QString second = root + QStringLiteral("/second/LunvikPhotos/server.conf");
        QVERIFY(QDir().mkpath(QFileInfo(first).path()) && QDir().mkpath(QFileInfo(second).path()));
        writeFile(second, "https://second.example\n");
        if (contents == "<dir>")
            QVERIFY(QDir().mkpath(first));
        else if (contents == "<fifo>")
            QCOMPARE(::mkfifo(QFile::encodeName(first).constData(), 0600), 0);
        else if (!contents.isNull())
            writeFile(first, contents);

        // A relative entry is skipped, as XDG asks.
        const MachineServerAddress read = MachineServerAddress::read(
            {QStringLiteral("relative"), root + QStringLiteral("/first"), root + QStringLiteral("/second")});
        QCOMPARE(read.address.value_or(QString()), address);
        QVERIFY2(problem.isEmpty() ? read.problem.isEmpty() : read.problem.contains(problem), qPrintable(read.problem));
        QCOMPARE(read.file, contents.isNull() ? second : first);
        if (!problem.isEmpty())
            QVERIFY(read.refusedDetail(QStringLiteral("https://built.in")).endsWith("Using the built-in address https://built.in."));
    }

    void loadLocalState_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: no file
        QTest::addColumn<bool>("usable");
        QTest::newRow("no file") << QByteArray() << false;
        QTest::newRow("valid") << sampleJson << true;
        QTest::newRow("truncated") << sampleJson.left(sampleJson.size() / 2) << false;
    }
    void loadLocalState()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, usable);
        const QString path = AppConfig::localStateURL();
        if (!content.isNull())
            writeFile(path, content);

        const AppConfig::LocalStateLoad load = AppConfig::loadLocalState();
        QCOMPARE(load.needsServerPull, !content.isNull() && !usable);
        QCOMPARE(load.state, usable ? sampleState() : GalleryState::empty());
        // An unusable file is removed; a good one stays.
        QCOMPARE(QFileInfo::exists(path), usable);
    }

    // A save that fails as the disk fills up keeps the previous file whole
    // and leaves no temporary file behind.
    void failedSaveKeepsPreviousFile()
    {
        const QString path = AppConfig::settingsURL();
        AppConfig::saveSettings(AppSettings());
        const QByteArray before = readFile(path);
        QVERIFY(!before.isEmpty());
        AppSettings big;
        big.syncSessionToken = QString(4096, QLatin1Char('t'));
        std::optional<Error::Record> failure;
        {
            // Large enough for the old file, too small for the new one.
            FileSizeLimit limit(rlim_t(before.size() + 16));
            QVERIFY(limit.active);
            try {
                AppConfig::saveSettings(big);
            } catch (const PlatformError &e) {
                failure = e.record();
            }
        }
        QVERIFY2(failure, "a save that could not be written was reported as success");
        QCOMPARE(failure->domain, QStringLiteral("QFileDevice"));
        QVERIFY(failure->code != 0);
        QCOMPARE(readFile(path), before);
        QCOMPARE(entries(), QStringList({"config.json"}));

        AppConfig::saveSettings(big); // with room again, the new file replaces the old one
        QCOMPARE(readFile(path), big.toJsonBytes());
        QCOMPARE(entries(), QStringList({"config.json"}));
    }

    // A folder where local-gallery.json goes: the save fails, the folder's
    // content stays, and the loader still gives a usable state.
    void saveOntoAFolderFails()
    {
        const QString path = AppConfig::localStateURL();
        QVERIFY(QDir().mkpath(path));
        writeFile(path + QStringLiteral("/keep"), "data");
        QVERIFY_THROWS_EXCEPTION(PlatformError, AppConfig::saveLocalState(sampleState()));
        QCOMPARE(readFile(path + QStringLiteral("/keep")), QByteArray("data"));
        QCOMPARE(AppConfig::loadLocalState().state, GalleryState::empty());
    }

    // Two programs saving different settings at the same moment, many
    // times over: neither ever undoes the other's change.
    void twoProgramsSaveDifferentSettings()
    {
        AppSettings start;
        start.displayName = QStringLiteral("N0");
        start.debugAdvanceIntervalSeconds = 60;
        AppConfig::saveSettings(start);
        constexpr int count = 150;
        const auto children = startChildren("settings", {"name", "interval"}, count);
        for (auto &child : children) {
            QVERIFY(child->waitForFinished(120000));
            QCOMPARE(child->exitCode(), 0);
        }
        const auto saved = AppConfig::readSettingsFile();
        QVERIFY(saved);
        QCOMPARE(saved->displayName, QStringLiteral("N%1").arg(count));
        QCOMPARE(saved->debugAdvanceIntervalSeconds, 60 + count);
        QVERIFY(!QFileInfo::exists(AppConfig::settingsURL() + QStringLiteral(".lock")));
    }

    // A save of the manifest keeps a newer one of the same server that is
    // already in the file (and hands it back); another server's manifest,
    // and the empty state of a lock, replace it.
    void localStateKeepsNewerManifest_data()
    {
        QTest::addColumn<QString>("offeredVersion");
        QTest::addColumn<QString>("offeredServer");
        QTest::addColumn<bool>("replace");
        QTest::addColumn<bool>("writtenElsewhere");
        QTest::addColumn<QString>("kept");
        const QString newer = QStringLiteral("2024-06-01T10:00:00.500Z");
        const QString older = QStringLiteral("2024-06-01T09:59:59.999Z");
        const QString later = QStringLiteral("2024-06-01T10:00:01.000Z");
        QTest::newRow("older, file written by another program") << older << "http://a" << false << true << newer;
        QTest::newRow("same version") << newer << "http://a" << false << false << newer;
        QTest::newRow("later") << later << "http://a" << false << false << later;
        QTest::newRow("older, another server") << older << "http://b" << false << false << older;
        QTest::newRow("empty state of a lock") << GalleryState::emptyUpdatedAt << "http://a" << true << false
                                               << GalleryState::emptyUpdatedAt;
    }
    void localStateKeepsNewerManifest()
    {
        QFETCH(QString, offeredVersion);
        QFETCH(QString, offeredServer);
        QFETCH(bool, replace);
        QFETCH(bool, writtenElsewhere);
        QFETCH(QString, kept);
        GalleryState newer;
        newer.updatedAt = QStringLiteral("2024-06-01T10:00:00.500Z");
        newer.order = {QStringLiteral("p1")};
        if (writtenElsewhere) {
            // As another program's save leaves it: the server key beside the manifest.
            QJsonObject object = newer.toJson();
            object.insert(QStringLiteral("serverBaseURL"), QStringLiteral("http://a"));
            writeFile(AppConfig::localStateURL(), QJsonDocument(object).toJson(QJsonDocument::Compact));
        } else {
            QCOMPARE(AppConfig::saveLocalState(newer, QStringLiteral("http://a")), std::nullopt);
        }
        GalleryState offered;
        offered.updatedAt = offeredVersion;
        const auto answer = AppConfig::saveLocalState(offered, offeredServer,
                                                      replace ? AppConfig::LocalStateSaveMode::replace
                                                              : AppConfig::LocalStateSaveMode::keepNewer);
        QCOMPARE(AppConfig::loadLocalState().state.updatedAt, kept);
        QCOMPARE(answer.has_value(), kept != offeredVersion);
        if (answer)
            QVERIFY(*answer == newer);
    }

    void cacheFileNames()
    {
        // Ids kept as they are, then ids that need encoding alongside the
        // spelling their encoded form might take.
        const QStringList ordinary{"p1", "P1", "a..b", "with space", "Zoë", "a480Fb"};
        const QStringList ids = ordinary
            + QStringList{"a/b", "a%2Fb", "a%2fb", "a\\b", "a%5Cb", ".x", "%2Ex", "%2ex", "..", "%2E.",
                          QStringLiteral("a") + QChar(0) + QStringLiteral("b"), "a%00b", "a%0b", "%", "%25", "../x",
                          "%2E.%2Fx"};
        const qsizetype filesBefore = filesBelow(TestEnvironment::home());
        for (const QString &id : ids) {
            const QFileInfo photo(AppConfig::cacheURL(id));
            const QFileInfo thumb(AppConfig::thumbnailCacheURL(id, 480));
            QCOMPARE(photo.absolutePath(), AppConfig::cacheFolder());
            QVERIFY2(!photo.fileName().startsWith(QLatin1Char('.')), qPrintable(id));
            QVERIFY2(!photo.fileName().contains(QLatin1Char('\\')) && !photo.fileName().contains(QChar(0)), qPrintable(id));
            QCOMPARE(photo.fileName() == id + QStringLiteral(".jpg"), ordinary.contains(id));
            // The thumbnail shares the photo's stem, however it was encoded.
            QCOMPARE(thumb.filePath(), photo.filePath().chopped(4) + QStringLiteral("_w480.jpg"));
            writeFile(photo.filePath(), id.toUtf8());
            writeFile(thumb.filePath(), "thumb " + id.toUtf8());
        }
        // Every name is distinct and inside the cache folder.
        QCOMPARE(filesBelow(AppConfig::cacheFolder()), 2 * ids.size());
        QCOMPARE(filesBelow(TestEnvironment::home()), filesBefore + 2 * ids.size());
    }

    // A lock wipes the cache and a pull prunes it; either removes the
    // cache's own regular files only: never a link or what it points to,
    // never a subfolder, never a file not named as a cached image.
    void cacheCleanupTouchesOnlyOurFiles_data()
    {
        QTest::addColumn<bool>("wipe");
        QTest::newRow("wipe") << true;
        QTest::newRow("prune") << false;
    }
    void cacheCleanupTouchesOnlyOurFiles()
    {
        QFETCH(bool, wipe);
        const QString cache = AppConfig::cacheFolder();
        const QString outside = TestEnvironment::home() + QStringLiteral("/outside");
        QVERIFY(QDir().mkpath(outside));
        writeFile(outside + QStringLiteral("/keep.jpg"), "keep");
        writeFile(AppConfig::cacheURL(QStringLiteral("p1")), "jpeg");
        writeFile(AppConfig::thumbnailCacheURL(QStringLiteral("p1"), 320), "thumb");
        writeFile(cache + QStringLiteral("/p2.jpg.Ab12Cd"), "partial write");
        writeFile(cache + QStringLiteral("/notes.txt"), "n");
        writeFile(cache + QStringLiteral("/.hidden.jpg"), "h");
        QVERIFY(QDir().mkpath(cache + QStringLiteral("/sub.jpg")));
        writeFile(cache + QStringLiteral("/sub.jpg/x.jpg"), "x");
        QVERIFY(QFile::link(outside, cache + QStringLiteral("/dirlink.jpg")));
        QVERIFY(QFile::link(outside + QStringLiteral("/keep.jpg"), cache + QStringLiteral("/filelink.jpg")));

        if (wipe)
            AppConfig::clearPhotoCache();
        else
            AppConfig::removeCachedPhotosExcept({});
        QStringList left{".hidden.jpg", "dirlink.jpg", "filelink.jpg", "notes.txt", "sub.jpg"};
        if (!wipe)
            left << "p2.jpg.Ab12Cd"; // a write may still be under way
        left.sort();
        QCOMPARE(entries(cache), left);
        QCOMPARE(readFile(outside + QStringLiteral("/keep.jpg")), QByteArray("keep"));
        QCOMPARE(readFile(cache + QStringLiteral("/sub.jpg/x.jpg")), QByteArray("x"));
    }

    void cacheLinksAreNeverFollowed()
    {
        // "cache" itself a link to the user's pictures: the link goes, a
        // real folder takes its place, the pictures stay.
        const QString pictures = TestEnvironment::home() + QStringLiteral("/Pictures");
        QVERIFY(QDir().mkpath(pictures));
        writeFile(pictures + QStringLiteral("/mine.jpg"), "mine");
        const QString cache = AppConfig::supportFolder() + QStringLiteral("/cache");
        QVERIFY(QDir(cache).removeRecursively());
        QVERIFY(QFile::link(pictures, cache));
        QCOMPARE(AppConfig::cacheFolder(), cache);
        QVERIFY(QFileInfo(cache).isDir());
        QCOMPARE(entries(cache), QStringList());
        AppConfig::clearPhotoCache();
        QCOMPARE(entries(pictures), QStringList{"mine.jpg"});
        QCOMPARE(store.entries().value(0).message, QStringLiteral("Cache folder replaced"));
        QCOMPARE(store.entries().value(0).level, LogLevel::warning);

        // An entry that is a link is neither read nor written through; it is
        // taken for missing and removed, so the image is fetched again.
        const QString linked = AppConfig::cacheURL(QStringLiteral("p1"));
        QVERIFY(QFile::link(pictures + QStringLiteral("/mine.jpg"), linked));
        QVERIFY(!AppConfig::readCacheFile(linked, 1000));
        QVERIFY(!AppConfig::cachedFileExists(linked));
        QVERIFY(!QFileInfo(linked).isSymLink());
        const QString dangling = AppConfig::cacheURL(QStringLiteral("p2"));
        QVERIFY(QFile::link(pictures + QStringLiteral("/new.jpg"), dangling));
        AppConfig::writeCacheFile(dangling, "ours");
        QVERIFY(!QFileInfo::exists(pictures + QStringLiteral("/new.jpg")));
        QVERIFY(!QFileInfo(dangling).isSymLink());
        QCOMPARE(AppConfig::readCacheFile(dangling, 1000), std::optional(QByteArray("ours")));
        QCOMPARE(AppConfig::readCacheFile(dangling, 3), std::nullopt);
        QCOMPARE(readFile(pictures + QStringLiteral("/mine.jpg")), QByteArray("mine"));
    }

    // A pruning removes the images of photos it was not told to keep, but
    // never one written after it took that list: the list may already be
    // out of date by then.
    void pruningSparesFilesWrittenSinceItBegan()
    {
        for (const char *name : {"kept", "gone", "late"})
            writeFile(AppConfig::cacheURL(QString::fromLatin1(name)), "old");
        writeFile(AppConfig::thumbnailCacheURL(QStringLiteral("gone"), 320), "old");
        const AppConfig::CachePruning pruning = AppConfig::beginCachePruning();
        AppConfig::writeCacheFile(AppConfig::cacheURL(QStringLiteral("late")), "new");
        AppConfig::writeCacheFile(AppConfig::thumbnailCacheURL(QStringLiteral("late"), 320), "new");
        AppConfig::removeCachedPhotosExcept({QStringLiteral("kept")}, pruning);
        QCOMPARE(entries(AppConfig::cacheFolder()), (QStringList{"kept.jpg", "late.jpg", "late_w320.jpg"}));
        // The next pruning knows the list is current.
        AppConfig::removeCachedPhotosExcept({QStringLiteral("kept")});
        QCOMPARE(entries(AppConfig::cacheFolder()), QStringList{"kept.jpg"});
    }

    // Compact, sorted keys, upper-case id, UTC time without fraction, no
    // detail as "" (read back as none); every time the reader accepts is
    // written so that it reads back.
    void writeLine_data()
    {
        QTest::addColumn<QString>("time");
        QTest::addColumn<QString>("written");
        QTest::newRow("year below 1000") << "0708-03-01T07:05:09.123+02:00" << "0708-03-01T05:05:09Z";
        QTest::newRow("year 1") << "0001-01-01T00:00:00Z" << "0001-01-01T00:00:00Z";
        QTest::newRow("year 9999") << "9999-12-31T23:59:59Z" << "9999-12-31T23:59:59Z";
    }
    void writeLine()
    {
        QFETCH(QString, time);
        QFETCH(QString, written);
        LogEntry e{idA, at(time.toLatin1().constData()), LogCategory::gallery, LogLevel::success,
                   QStringLiteral("Café \"q\" \\ · 写真"), QStringLiteral("HTTP 500\nGET\r\n\ttab")};
        QCOMPARE(e.toLine(), QByteArray("{\"c\":\"gallery\",\"d\":\"HTTP 500\\nGET\\r\\n\\ttab\","
                                        "\"id\":\"0F8FAD5B-D9CB-469F-A165-70867728950E\",\"l\":\"success\","
                                        "\"m\":\"Café \\\"q\\\" \\\\ · 写真\",\"t\":\"")
                                 + written.toLatin1() + "\"}");
        e.timestamp = e.timestamp.addMSecs(-e.timestamp.time().msec());
        QCOMPARE(LogEntry::fromLine(e.toLine()), std::optional(e));
        e.detail.reset();
        QVERIFY(e.toLine().contains("\"d\":\"\","));
        QCOMPARE(LogEntry::fromLine(e.toLine()), std::optional(e));
    }

    void readLine_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<std::optional<LogEntry>>("expected");
        const LogEntry good{idA, at(t0), LogCategory::sync, LogLevel::info, "Hello", "More"};
        auto with = [&good](auto change) {
            LogEntry e = good;
            change(e);
            return std::optional<LogEntry>(e);
        };
        const std::optional<LogEntry> skipped;

        QTest::newRow("fractional seconds") << lineWith("t", "2026-03-01T07:05:09.250Z")
                                            << with([](LogEntry &e) { e.timestamp = at("2026-03-01T07:05:09.250Z"); });
        QTest::newRow("offset zone") << lineWith("t", "2026-03-01T09:05:09+02:00") << std::optional(good);
        QTest::newRow("lower-case id") << lineWith("id", "0f8fad5b-d9cb-469f-a165-70867728950e") << std::optional(good);
        QTest::newRow("CRLF line end") << lineWith("c", "sync") + "\r" << std::optional(good);

        QTest::newRow("category wrong case") << lineWith("c", "Sync") << skipped;
        QTest::newRow("m missing") << lineWith("m", QJsonValue::Undefined) << skipped;
        QTest::newRow("id without dashes") << lineWith("id", "0F8FAD5BD9CB469FA16570867728950E") << skipped;
        QTest::newRow("t without zone") << lineWith("t", "2026-03-01T07:05:09") << skipped;
        QTest::newRow("t before year 1 in UTC") << lineWith("t", "0001-01-01T00:30:00+02:00") << skipped;
        QTest::newRow("t after year 9999 in UTC") << lineWith("t", "9999-12-31T23:30:00-02:00") << skipped;
        QTest::newRow("d null") << lineWith("d", QJsonValue::Null) << skipped;
        QTest::newRow("cut short") << lineWith("c", "sync").chopped(5) << skipped;
    }
    void readLine()
    {
        QFETCH(QByteArray, text);
        QFETCH(std::optional<LogEntry>, expected);
        QCOMPARE(LogEntry::fromLine(text), expected);
    }

    // The last records of the file; a reload keeps the records of lines it
    // decoded before (`before`), and whatever changed since is read as it is now.
    void loadRecent_data()
    {
        QTest::addColumn<QByteArray>("before"); // empty: no earlier read
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QStringList>("expected");
        const QByteArray none;
        QTest::newRow("limit 0") << none << line("1") + line("2") << 0 << QStringList();
        QTest::newRow("blank lines not counted")
            << none << "\n" + line("1") + "\n\n" + line("2") + "\n" + line("3") + "\n\n" << 2
            << QStringList({"2", "3"});
        QTest::newRow("bad lines skipped, counted towards the limit")
            << none << line("1") + line("2") + lineWith("c", "network") + "\n" + "garbage\n" + line("5") << 4
            << QStringList({"2", "5"});
        QTest::newRow("last line without line feed")
            << none << line("1") + line("2").chopped(1) << 5 << QStringList({"1", "2"});
        QTest::newRow("not UTF-8") << none << line("1") + QByteArray("{\"m\":\"caf\xE9\"}\n") + line("3") << 5
                                   << QStringList();
        const QUuid id = QUuid::createUuid();
        const QByteArray kept = line(QStringLiteral("Kept"));
        QTest::newRow("a line rewritten under the same id")
            << line(QStringLiteral("One"), id) + kept << line(QStringLiteral("Two"), id) + kept << 10
            << QStringList({"Two", "Kept"});
        QTest::newRow("a line cut short") << kept + line(QStringLiteral("Whole"), id)
                                          << kept + line(QStringLiteral("Whole"), id).chopped(9) + '\n' << 10
                                          << QStringList({"Kept"});
        QTest::newRow("emptied") << kept << QByteArray() << 10 << QStringList();
    }
    void loadRecent()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, contents);
        QFETCH(int, limit);
        QFETCH(QStringList, expected);
        if (!before.isEmpty()) {
            writeLog(before);
            ActivityLogFile::loadRecent(10);
        }
        writeLog(contents);
        QCOMPARE(messages(ActivityLogFile::loadRecent(limit)), expected);
    }

    // (Appending to a file that ends in a whole line: the trim rows.)
    void appendAfterATornLine()
    {
        // A previous writer died mid-line: the next record must still stand
        // on a line of its own, and the one before the torn line survives.
        writeLog(line("Before") + line("Torn").chopped(20));
        ActivityLogFile::append(LogEntry{idA, at(t0), LogCategory::server, LogLevel::warning, "Slow", {}});
        QCOMPARE(messages(ActivityLogFile::loadRecent(10)), QStringList({"Before", "Slow"}));
    }

    void trim_data()
    {
        QTest::addColumn<qint64>("sizeAfterAppend");
        QTest::addColumn<int>("keptFrom"); // the first filler line kept; -1: no trim
        QTest::addColumn<int>("padded");   // the filler line that is padded to size
        QTest::addColumn<bool>("strayByte"); // an old line that is not UTF-8
        const qint64 limit = ActivityLogFile::trimThresholdBytes;
        QTest::newRow("exactly at the limit") << limit << -1 << 0 << false;
        QTest::newRow("one byte over") << limit + 1 << 101 << 0 << false;
        QTest::newRow("one byte over, not UTF-8") << limit + 1 << 101 << 0 << true;
        // One line longer than the limit never fits; it goes, and the file
        // is under the limit again, not read in full at every append.
        QTest::newRow("a line over the limit") << 3 * limit << 300 << 299 << false;
    }
    void trim()
    {
        QFETCH(qint64, sizeAfterAppend);
        QFETCH(int, keptFrom);
        QFETCH(int, padded);
        QFETCH(bool, strayByte);
        const LogEntry entry{idA, at(t0), LogCategory::system, LogLevel::info, "Last", {}};
        const QByteArray appended = entry.toLine() + '\n';

        // 300 numbered filler lines and two blank ones, padded so that the
        // append brings the file to exactly `sizeAfterAppend` bytes.
        QList<QByteArray> lines;
        for (int i = 0; i < 300; ++i)
            lines << QByteArray::number(i).leftJustified(1000, '.');
        lines[padded] += QByteArray(sizeAfterAppend - appended.size() - 300 * 1001 - 2, '.');
        if (strayByte)
            lines[1].back() = '\xFF';
        const QByteArray prefix = '\n' + lines.join('\n') + "\n\n";
        QCOMPARE(prefix.size() + appended.size(), sizeAfterAppend);
        writeLog(prefix);

        ActivityLogFile::append(entry);
        // Trimming keeps the last 200 non-empty lines that fit, each with
        // its line feed.
        QByteArray kept;
        for (const QByteArray &line : lines.mid(keptFrom))
            kept += line + '\n';
        QCOMPARE(readFile(ActivityLogFile::url()), (keptFrom >= 0 ? kept : prefix) + appended);
        if (keptFrom >= 0)
            QCOMPARE(ActivityLogFile::loadRecent(500), QList<LogEntry>({entry}));
    }

    // Two programs append at once while their appends trim the file again
    // and again: every line is one whole record, and what each program
    // wrote is, in the file, an unbroken run up to its last record (a trim
    // drops only the oldest; a record appended meanwhile is never lost).
    void twoProgramsAppendAcrossTrims()
    {
        constexpr int count = 2500; // about 1.6 MB together: several trims
        const auto children = startChildren("log", {"A", "B"}, count);
        const auto removeStartFiles = qScopeGuard([] {
            for (const char *suffix : {"", ".A", ".B"})
                QFile::remove(startFilePath() + suffix);
        });
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(startFilePath() + ".A") && QFileInfo::exists(startFilePath() + ".B"),
                                 60000);
        writeFile(startFilePath(), QByteArray());
        for (auto &child : children) {
            QVERIFY(child->waitForFinished(120000));
            QCOMPARE(child->exitCode(), 0);
        }
        const QByteArray bytes = readFile(ActivityLogFile::url());
        QVERIFY(bytes.size() <= ActivityLogFile::trimThresholdBytes + 1024);
        QVERIFY(bytes.endsWith('\n'));
        QHash<QString, QList<int>> seen;
        for (const QByteArray &line : bytes.split('\n')) {
            if (line.isEmpty())
                continue;
            const auto entry = LogEntry::fromLine(line);
            QVERIFY2(entry, line.constData());
            const QStringList parts = entry->message.split(QLatin1Char(' '));
            seen[parts.at(0)].append(parts.at(1).toInt());
        }
        for (const QString &tag : {QStringLiteral("A"), QStringLiteral("B")}) {
            const QList<int> numbers = seen.value(tag);
            QVERIFY2(!numbers.isEmpty(), qPrintable(tag));
            QCOMPARE(numbers.last(), count - 1);
            for (qsizetype i = 1; i < numbers.size(); ++i)
                QVERIFY2(numbers.at(i) == numbers.at(i - 1) + 1, qPrintable(tag + QString::number(numbers.at(i))));
        }
    }

    void logRecordsEverywhere_data()
    {
        QTest::addColumn<std::optional<QString>>("detail");
        QTest::addColumn<QList<QByteArray>>("mirrored");
        QTest::newRow("empty detail") << std::optional<QString>(QString()) << QList<QByteArray>({"[sync] Sync started\n"});
        QTest::newRow("detail") << std::optional<QString>("HTTP 500\nGET /api · x")
                                << QList<QByteArray>({"[sync] Sync started\n", "HTTP 500\nGET /api \xC2\xB7 x\n"});
        // Server text must not act on the terminal: escape sequences and
        // direction overrides are written out; the detail's lines stay.
        QTest::newRow("control characters")
            << std::optional<QString>(QStringLiteral("HTTP 500: \u001b]2;owned\u0007\u009b31m\u202e\r\nnext"))
            << QList<QByteArray>({"[sync] Sync started\n", "HTTP 500: \\x1b]2;owned\\x07\\x9b31m\\u202e\\x0d\nnext\n"});
    }
    void logRecordsEverywhere()
    {
        QFETCH(std::optional<QString>, detail);
        QFETCH(QList<QByteArray>, mirrored);
        setClock(t0);
        QSignalSpy changed(&store, &ActivityLogStore::entriesChanged);
        store.log(LogCategory::sync, LogLevel::warning, "Sync started", detail);

        QCOMPARE(changed.count(), 1);
        QCOMPARE(m_stderr, mirrored);
        LogEntry e = store.entries().value(0);
        QCOMPARE(e, (LogEntry{e.id, at(t0), LogCategory::sync, LogLevel::warning, "Sync started", detail}));
        if (e.detail && e.detail->isEmpty())
            e.detail.reset(); // kept as given in memory, read back as none
        QCOMPARE(ActivityLogFile::loadRecent(1), QList<LogEntry>({e}));
    }

    // A server may echo a credential back in any form; the literal value
    // is masked wherever a record carries it.
    void credentialsMasked()
    {
        SecretMask::remember(QStringLiteral(" s3cret-token \n"));
        SecretMask::remember(QStringLiteral("pw")); // too short to mask
        store.log(LogCategory::sync, LogLevel::error, "Refused s3cret-token", "echo=s3cret-tokens&pw=pw");
        const LogEntry &e = store.entries().first();
        QCOMPARE(e.message, QStringLiteral("Refused [redacted]"));
        QCOMPARE(e.detail, QStringLiteral("echo=[redacted]s&pw=pw"));
        QCOMPARE(ActivityLogFile::loadRecent(1).value(0).message, e.message);
        QVERIFY(!m_stderr.join().contains("s3cret"));
    }

    void reloadMerges()
    {
        setClock("2026-03-01T10:00:03Z");
        store.log(LogCategory::system, LogLevel::info, "Memory only");
        ActivityLogFile::clear(); // trimmed away, as far as the file goes
        setClock("2026-03-01T10:00:01Z");
        store.log(LogCategory::sync, LogLevel::info, "In both");
        const QUuid both = store.entries().first().id;
        // Another writer rewrites the shared record and adds an older and a
        // newer one; a record listed twice in the file takes its later line.
        const QUuid twice = QUuid::createUuid();
        writeLog(line("In both, from file", both, "2026-03-01T10:00:01Z") + line("Twice, first", twice, "2026-03-01T10:00:02Z")
                 + line("Older", QUuid::createUuid(), "2026-03-01T10:00:00Z")
                 + line("Newer", QUuid::createUuid(), "2026-03-01T10:00:05Z")
                 + line("Twice, second", twice, "2026-03-01T10:00:02Z"));

        QSignalSpy changed(&store, &ActivityLogStore::entriesChanged);
        store.reload();
        const QStringList expected{"Newer", "Memory only", "Twice, second", "In both, from file", "Older"};
        QCOMPARE(messages(store.entries()), expected);
        store.reload(); // nothing new: same list, still announced
        QCOMPARE(messages(store.entries()), expected);
        QCOMPARE(changed.count(), 2);

        store.clear(); // the file too, or the reload would bring its records back
        store.log(LogCategory::system, LogLevel::info, "After");
        store.reload();
        QCOMPARE(messages(store.entries()), QStringList({"After"}));

        // A process that runs for weeks keeps what a fresh start would show,
        // not every record it ever saw: reloads and appends stay bounded.
        QByteArray many;
        for (int i = 0; i < ActivityLogStore::maxEntries + 10; ++i)
            many += line(QString::number(i), QUuid::createUuid(),
                         qPrintable(QDateTime(QDate(2026, 3, 2), QTime(0, 0), Qt::UTC).addSecs(i).toString(Qt::ISODate)));
        writeLog(many);
        store.reload();
        QCOMPARE(store.entries().size(), ActivityLogStore::maxEntries);
        QCOMPARE(store.entries().first().message, QString::number(ActivityLogStore::maxEntries + 9));
        setClock("2026-03-03T00:00:00Z");
        store.log(LogCategory::system, LogLevel::info, "Newest");
        QCOMPARE(store.entries().size(), ActivityLogStore::maxEntries);
        QCOMPARE(store.entries().first().message, QStringLiteral("Newest"));
    }

    void liveReload()
    {
        // With nothing in memory, starting merges the file at once.
        writeLog(line("From another writer"));
        store.startLiveReload(3600);
        QCOMPARE(messages(store.entries()), QStringList({"From another writer"}));

        store.startLiveReload(0.05);
        store.startLiveReload(0.05);
        writeLog(line("Appended later", QUuid::createUuid(), "2026-03-01T08:00:00Z"), QIODevice::Append);
        QTRY_COMPARE_WITH_TIMEOUT(messages(store.entries()), QStringList({"Appended later", "From another writer"}), 5000);

        store.stopLiveReload();
        store.stopLiveReload();
        QVERIFY(!store.isLiveReloadRunning());
    }

    // An error is logged at level error with its description as the detail.
    void logError_data()
    {
        QTest::addColumn<std::function<void()>>("logError");
        QTest::addColumn<QString>("expected");
        auto error = [](auto e) {
            return std::function<void()>([e] { ActivityLogStore::shared().log(e, LogCategory::sync, "Failed"); });
        };
        QTest::newRow("stale") << error(SyncError::stale(GalleryResponse{})) << "HTTP 409 gallery stale";
        QTest::newRow("other domain, no description") << error(PlatformError("Other", 7, "")) << "Domain: Other code=7";
        QTest::newRow("nested causes")
            << error(PlatformError(Error::generalDomain, 0, "Save failed",
                                   std::make_shared<PlatformError>("QFileDevice", 5, "Disk full",
                                                                   std::make_shared<SyncError>(SyncError::decode()))))
            << "Save failed\nUnderlying: Domain: QFileDevice code=5\nDisk full\n"
               "Underlying: Could not decode server response";
        // The record's description repeats the first line and is not written twice.
        QTest::newRow("description and recovery")
            << error(UnsupportedImage()) << "Unsupported image: a.heic\nRecovery: Export it as JPEG\nDomain: ImageIO code=3";
        QTest::newRow("thrown SyncError") << error(std::make_exception_ptr(SyncError::missingSyncAuth()))
                                          << "Unlock the gallery to sync (session not set)";
        QTest::newRow("thrown std::exception") << error(std::make_exception_ptr(std::runtime_error("disk on fire")))
                                               << "disk on fire";
    }
    void logError()
    {
        QFETCH(std::function<void()>, logError);
        QFETCH(QString, expected);
        logError();
        const LogEntry e = store.entries().value(0);
        QCOMPARE(e.level, LogLevel::error);
        QCOMPARE(e.detail, std::optional(expected));
        QCOMPARE(m_stderr, QList<QByteArray>({"[sync] Failed\n", expected.toUtf8() + '\n'}));
    }

    void currentPhotoChange_data()
    {
        QTest::addColumn<QString>("previous"); // empty for none
        QTest::addColumn<QString>("pulled");   // empty for none; only "b" has an entry, named beach.jpg
        QTest::addColumn<int>("by");           // -1 for none
        QTest::addColumn<bool>("delta");
        QTest::addColumn<QString>("logged"); // "message / detail"; empty: nothing to log
        const int cron = int(CurrentPhotoUpdatedBy::cron), manual = int(CurrentPhotoUpdatedBy::manual);
        QTest::newRow("same photo") << "a" << "a" << cron << false << "";
        QTest::newRow("cleared") << "a" << "" << manual << true << "";
        QTest::newRow("cron") << "" << "b" << cron << true << "Gallery advanced / Scheduled advance \u00B7 beach.jpg";
        QTest::newRow("manual, no entry") << "a" << "c" << manual << true << "Current photo updated from server / c";
        QTest::newRow("no cause") << "a" << "b" << -1 << true << "Server updated current photo / beach.jpg";
        QTest::newRow("ids differ in case") << "C" << "c" << -1 << true << "Server updated current photo / c";
    }
    void currentPhotoChange()
    {
        QFETCH(QString, previous);
        QFETCH(QString, pulled);
        QFETCH(int, by);
        QFETCH(bool, delta);
        QFETCH(QString, logged);
        auto opt = [](const QString &id) { return id.isEmpty() ? std::nullopt : std::optional(id); };
        GalleryState state;
        state.currentPhotoId = opt(pulled);
        state.currentPhotoUpdatedBy = by < 0 ? std::nullopt : std::optional(CurrentPhotoUpdatedBy(by));
        state.order = {"b"};
        state.photos.insert("b", PhotoEntry{"b", "beach.jpg", "blobs/b", 10, "2026-03-01T00:00:00.000Z", {}, "u", {}});

        const auto found = CurrentPhotoPullDelta::ifCurrentChanged(opt(previous), state);
        QCOMPARE(found.has_value(), delta);
        if (!found)
            return;
        const auto text = GalleryCurrentPhotoActivity::logEntry(*found, state.currentPhoto());
        QCOMPARE(text ? text->message + " / " + text->detail.value_or("<none>") : QString(), logged);
    }
};

int main(int argc, char **argv)
{
    if (argc == 5 && qstrcmp(argv[1], "--child") == 0) {
        // Inherits the parent's temporary home from the environment.
        QCoreApplication app(argc, argv);
        const QString tag = QString::fromLatin1(argv[3]);
        const int count = QByteArray(argv[4]).toInt();
        return qstrcmp(argv[2], "log") == 0 ? appendRecords(tag, count) : saveSettingRepeatedly(tag, count);
    }
    TestEnvironment::setUp();
    QCoreApplication app(argc, argv);
    TestSupportFiles tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}
#include "tst_supportfiles.moc"
