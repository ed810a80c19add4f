// The files of the support folder: settings decoding and clamping, the
// corrective rewrite of config.json, its 0600 permissions, the local state
// file with its recovery rules, atomic saves that fail without damage, cache
// file names and clearing the cache.
#include "support/testenvironment.h"

#include "error.h"
#include "log/activitylogstore.h"
#include "model/appconfig.h"
#include "model/appsettings.h"
#include "model/gallerystate.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(file.errorString()));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

unsigned modeBits(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

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

// The defaults with the server matching `debug`.
AppSettings expect(bool debug, const QString &token = QString(), int columns = 5)
{
    AppSettings s;
    s.debugMode = debug;
    s.serverBaseURL = AppSettings::syncServerBaseURL(debug);
    s.syncSessionToken = token;
    s.galleryGridColumnCount = columns;
    return s;
}

// A second program on the same folder (this executable run with --child):
// `count` times, sets its one setting ("name" or "interval") to its next
// value and saves that change alone over the file. Fails (exit status 3)
// when the file, as written, no longer holds the other program's latest
// value or its own.
int saveSettingRepeatedly(const QString &which, int count)
{
    AppSettings known = AppConfig::readSettingsFile().value_or(AppSettings());
    int otherSeen = 0;
    for (int n = 1; n <= count; ++n) {
        AppSettings mine = known;
        if (which == QLatin1StringView("name"))
            mine.displayName = QStringLiteral("N%1").arg(n);
        else
            mine.debugAdvanceIntervalSeconds = 60 + n;
        try {
            known = AppConfig::saveSettingsChanges(mine, known);
        } catch (const Error &) {
            return 2;
        }
        const int own = which == QLatin1StringView("name") ? known.displayName.mid(1).toInt()
                                                           : known.debugAdvanceIntervalSeconds - 60;
        const int other = which == QLatin1StringView("name") ? known.debugAdvanceIntervalSeconds - 60
                                                             : known.displayName.mid(1).toInt();
        if (own != n || other < otherSeen)
            return 3;
        otherSeen = other;
    }
    return 0;
}

} // namespace

Q_DECLARE_METATYPE(AppSettings)
Q_DECLARE_METATYPE(std::optional<QByteArray>)

class TestSettingsFiles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // A write beyond RLIMIT_FSIZE must fail with EFBIG, not kill the process.
        std::signal(SIGXFSZ, SIG_IGN);
    }
    void init() { TestEnvironment::clearSupportFolder(); }

    void fileLocations()
    {
        const QString support = TestEnvironment::home() + QStringLiteral("/data/LunvikPhotos");
        QCOMPARE(AppConfig::settingsURL(), support + QStringLiteral("/config.json"));
        QCOMPARE(AppConfig::localStateURL(), support + QStringLiteral("/local-gallery.json"));
        QDir(support).rmdir(QStringLiteral("cache"));
        QCOMPARE(AppConfig::cacheFolder(), support + QStringLiteral("/cache"));
        QVERIFY(QFileInfo(support + QStringLiteral("/cache")).isDir());
    }

    // A save carries every setting this program changed onto what another
    // program wrote meanwhile, whichever setting it is.
    void saveCarriesEveryChangedSetting()
    {
        const AppSettings mine = AppSettings::fromJson(QJsonObject{{"serverBaseURL", "https://other.example"},
            {"debugMode", true}, {"syncSessionToken", "t"}, {"galleryName", "g"}, {"displayName", "Ana"},
            {"previewPaneSplitFraction", 0.5}, {"galleryGridColumnCount", 3}, {"debugAdvanceIntervalSeconds", 90},
            {"uploaderNameOnServer", "Old"}, {"previewAppearance", "epaper"}}).value();
        QCOMPARE(AppConfig::mergedSettings(mine, AppSettings(), AppSettings()).toJson(), mine.toJson());
    }

    void decodeSettings_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QJsonObject>("changed"); // from the defaults; {"rejected":true} when it fails
        const QJsonObject rejected{{"rejected", true}};
        using B = QByteArray;
        QTest::newRow("all null, unknown key")
            << B("{\"serverBaseURL\":null,\"debugMode\":null,\"syncSessionToken\":null,\"galleryName\":null,"
                 "\"displayName\":null,\"previewPaneSplitFraction\":null,\"galleryGridColumnCount\":null,"
                 "\"debugAdvanceIntervalSeconds\":null,\"theme\":\"dark\"}")
            << QJsonObject();
        QTest::newRow("debug, server kept as read")
            << json({{"debugMode", true}, {"serverBaseURL", "https://a.example"}})
            << QJsonObject{{"debugMode", true}, {"serverBaseURL", "https://a.example"}};
        QTest::newRow("columns 1") << B("{\"galleryGridColumnCount\":1}") << QJsonObject{{"galleryGridColumnCount", 2}};
        QTest::newRow("columns past 32 bits")
            << B("{\"galleryGridColumnCount\":4294967297}") << QJsonObject{{"galleryGridColumnCount", 8}};
        QTest::newRow("split at minimum")
            << B("{\"previewPaneSplitFraction\":0.28}") << QJsonObject{{"previewPaneSplitFraction", 0.28}};
        QTest::newRow("interval 5")
            << B("{\"debugAdvanceIntervalSeconds\":5}") << QJsonObject{{"debugAdvanceIntervalSeconds", 60}};
        QTest::newRow("padded name") << B("{\"displayName\":\"\\n\\tAna \"}") << QJsonObject{{"displayName", "Ana"}};
        QTest::newRow("token kept untrimmed")
            << B("{\"syncSessionToken\":\" t \"}") << QJsonObject{{"syncSessionToken", " t "}};
        // Written only for the e-paper look; anything else reads as the photo.
        QTest::newRow("e-paper preview")
            << B("{\"previewAppearance\":\"epaper\"}") << QJsonObject{{"previewAppearance", "epaper"}};
        QTest::newRow("photo preview") << B("{\"previewAppearance\":\"photo\"}") << QJsonObject();
        QTest::newRow("newer appearance") << B("{\"previewAppearance\":\"hologram\"}") << QJsonObject();
        QTest::newRow("appearance number") << B("{\"previewAppearance\":1}") << rejected;
        QTest::newRow("debugMode text") << B("{\"debugMode\":\"yes\"}") << rejected;
        QTest::newRow("columns text") << B("{\"galleryGridColumnCount\":\"5\"}") << rejected;
        QTest::newRow("columns fraction") << B("{\"galleryGridColumnCount\":5.5}") << rejected;
        QTest::newRow("split text") << B("{\"previewPaneSplitFraction\":\"0.5\"}") << rejected;
        QTest::newRow("name number") << B("{\"displayName\":5}") << rejected;
        QTest::newRow("invalid") << B("{\"debugMode\":") << rejected;
    }
    void decodeSettings()
    {
        QFETCH(QByteArray, json);
        QFETCH(QJsonObject, changed);
        const auto decoded = AppSettings::fromJsonBytes(json);
        QCOMPARE(decoded.has_value(), !changed.contains(QLatin1String("rejected")));
        QJsonObject expected = AppSettings::defaults().toJson();
        for (const QString &key : changed.keys())
            expected.insert(key, changed.value(key));
        if (decoded)
            QCOMPARE(decoded->toJson(), expected);
    }

    void settingsValues()
    {
        const AppSettings d = AppSettings::defaults();
        QVERIFY(d.serverBaseURL.startsWith(QLatin1String("https://")));
        QVERIFY(!d.serverBaseURL.endsWith(QLatin1Char('/')));

        // The constructor normalises like the decoder.
        const AppSettings s("s", true, "tok", "g", " \n", 2.0, -7, Q_INT64_C(1) << 40);
        QCOMPARE(s.displayName, QStringLiteral("Kelvo"));
        QCOMPARE(s.previewPaneSplitFraction, 0.72);
        QCOMPARE(s.galleryGridColumnCount, 2);
        QCOMPARE(s.debugAdvanceIntervalSeconds, 86400);
        QVERIFY(!s.toJsonBytes().contains('\n')); // one line

        // The bearer is the trimmed token, none when blank.
        QCOMPARE(AppSettings("s", false, " \t\n ", "g", "n", 0.5, 5, 60).syncBearer(), std::nullopt);
        QCOMPARE(AppSettings("s", false, "  abc.def\n", "g", "n", 0.5, 5, 60).syncBearer(), QStringLiteral("abc.def"));
    }

    void loadSettings_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no file
        QTest::addColumn<AppSettings>("expected");
        QTest::addColumn<bool>("rewritten");
        const AppSettings d = AppSettings::defaults();
        const QString prod = AppSettings::productionServerBaseURL();
        const QString local = AppSettings::syncServerBaseURL(true);
        QTest::newRow("no file") << QByteArray() << d << false;
        QTest::newRow("debug flag only") << QByteArray("{\"debugMode\":true,\"syncSessionToken\":\"tok\"}")
                                         << expect(true, "tok") << true;
        QTest::newRow("other server, no debug flag")
            << json({{"serverBaseURL", "https://other.example"}, {"syncSessionToken", "tok"}}) << expect(false, "tok")
            << true;
        QTest::newRow("trailing slash differs") << json({{"serverBaseURL", prod + "/"}}) << d << true;
        QTest::newRow("consistent, clamped in memory")
            << json({{"serverBaseURL", prod}, {"galleryGridColumnCount", 12}, {"displayName", " "}})
            << expect(false, "", 8) << false;
        QTest::newRow("debug consistent") << json({{"debugMode", true}, {"serverBaseURL", local}}) << expect(true)
                                          << false;
        QTest::newRow("wrong type falls back whole")
            << json({{"debugMode", "yes"}, {"serverBaseURL", "https://other.example"}, {"galleryGridColumnCount", 3}})
            << d << false;
        QTest::newRow("invalid json") << QByteArray("{\"debugMode\":tr") << d << false;
    }
    void loadSettings()
    {
        QFETCH(QByteArray, content);
        QFETCH(AppSettings, expected);
        QFETCH(bool, rewritten);
        const QString path = AppConfig::settingsURL();
        if (!content.isEmpty())
            writeFile(path, content);

        const AppSettings loaded = AppConfig::loadSettings();
        QCOMPARE(loaded.toJsonBytes(), expected.toJsonBytes());
        QCOMPARE(QFileInfo::exists(path), !content.isEmpty());
        if (rewritten) {
            QCOMPARE(AppSettings::fromJsonBytes(readFile(path)), std::optional(loaded));
            QCOMPARE(modeBits(path), 0600u);
        } else {
            QCOMPARE(readFile(path), content); // a bad file is left as it was
        }
    }

    void loadLocalState_data()
    {
        QTest::addColumn<std::optional<QByteArray>>("content");
        QTest::addColumn<bool>("usable");
        QTest::newRow("no file") << std::optional<QByteArray>() << false;
        QTest::newRow("valid") << std::optional(sampleJson) << true;
        QTest::newRow("truncated") << std::optional(sampleJson.left(sampleJson.size() / 2)) << false;
        QTest::newRow("unknown updatedBy")
            << std::optional<QByteArray>("{\"updatedAt\":\"t\",\"order\":[],\"photos\":{},\"currentPhotoUpdatedBy\":\"x\"}")
            << false;
    }
    void loadLocalState()
    {
        QFETCH(std::optional<QByteArray>, content);
        QFETCH(bool, usable);
        const QString path = AppConfig::localStateURL();
        if (content)
            writeFile(path, *content);

        const AppConfig::LocalStateLoad load = AppConfig::loadLocalState();
        QCOMPARE(load.needsServerPull, content && !usable);
        QCOMPARE(load.state, usable ? sampleState() : GalleryState::empty());
        // An unusable file is removed; a good one stays.
        QCOMPARE(QFileInfo::exists(path), usable);
    }

    void failedSaveKeepsPreviousFile_data()
    {
        QTest::addColumn<bool>("settingsFile");
        QTest::addColumn<bool>("ontoFolder"); // else the disk fills up mid-write
        QTest::newRow("config.json, disk full") << true << false;
        QTest::newRow("local-gallery.json, disk full") << false << false;
        QTest::newRow("config.json onto a folder") << true << true;
        QTest::newRow("local-gallery.json onto a folder") << false << true;
    }
    void failedSaveKeepsPreviousFile()
    {
        QFETCH(bool, settingsFile);
        QFETCH(bool, ontoFolder);
        const QString path = settingsFile ? AppConfig::settingsURL() : AppConfig::localStateURL();
        AppSettings big;
        big.syncSessionToken = QString(4096, QLatin1Char('t'));
        auto save = [&](bool large) {
            if (settingsFile)
                AppConfig::saveSettings(large ? big : AppSettings());
            else
                AppConfig::saveLocalState(large ? sampleState() : GalleryState::empty());
        };
        if (ontoFolder) {
            QVERIFY(QDir().mkpath(path));
            writeFile(path + QStringLiteral("/keep"), "data");
            QVERIFY_THROWS_EXCEPTION(PlatformError, save(true));
            QCOMPARE(readFile(path + QStringLiteral("/keep")), QByteArray("data"));
            // The loaders still give usable values.
            QCOMPARE(AppConfig::loadSettings(), AppSettings::defaults());
            QCOMPARE(AppConfig::loadLocalState().state, GalleryState::empty());
            return;
        }
        save(false);
        const QByteArray before = readFile(path);
        QVERIFY(!before.isEmpty());
        std::optional<Error::Record> failure;
        {
            // Large enough for the old file, too small for the new one.
            FileSizeLimit limit(rlim_t(before.size() + 16));
            QVERIFY(limit.active);
            try {
                save(true);
            } catch (const PlatformError &e) {
                failure = e.record();
            }
        }
        QVERIFY2(failure, "a save that could not be written was reported as success");
        QCOMPARE(failure->domain, QStringLiteral("QFileDevice"));
        QVERIFY(failure->code != 0);
        QCOMPARE(readFile(path), before);
        QCOMPARE(entries(), QStringList({QFileInfo(path).fileName()}));

        save(true); // with room again, the new file replaces the old one
        if (settingsFile)
            QCOMPARE(readFile(path), big.toJsonBytes());
        else
            QVERIFY(AppConfig::loadLocalState().state == sampleState());
        QCOMPARE(entries(), QStringList({QFileInfo(path).fileName()}));
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
        std::vector<std::unique_ptr<QProcess>> children;
        for (const char *which : {"name", "interval"}) {
            auto child = std::make_unique<QProcess>();
            child->setProcessChannelMode(QProcess::ForwardedChannels);
            child->start(QCoreApplication::applicationFilePath(),
                         {QStringLiteral("--child"), QString::fromLatin1(which), QString::number(count)});
            children.push_back(std::move(child));
        }
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
        QTest::newRow("older, same server") << older << "http://a" << false << false << newer;
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
        const AppConfig::LocalStateLoad loaded = AppConfig::loadLocalState();
        QVERIFY(!loaded.needsServerPull);
        QCOMPARE(loaded.state.updatedAt, kept);
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
        for (const QString &id : ids) {
            QCOMPARE(readFile(AppConfig::cacheURL(id)), id.toUtf8());
            QCOMPARE(readFile(AppConfig::thumbnailCacheURL(id, 480)), "thumb " + id.toUtf8());
        }
        QCOMPARE(entries(), QStringList());
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
        ActivityLogStore::shared().clear();
        QCOMPARE(AppConfig::cacheFolder(), cache);
        QVERIFY(!QFileInfo(cache).isSymLink());
        QVERIFY(QFileInfo(cache).isDir());
        QCOMPARE(entries(cache), QStringList());
        AppConfig::clearPhotoCache();
        QCOMPARE(entries(pictures), QStringList{"mine.jpg"});
        const QList<LogEntry> &logged = ActivityLogStore::shared().entries();
        QVERIFY(!logged.isEmpty());
        QCOMPARE(logged.first().message, QStringLiteral("Cache folder replaced"));
        QCOMPARE(logged.first().level, LogLevel::warning);

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
};

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--child") == 0) {
        // Inherits the parent's temporary home from the environment.
        QCoreApplication app(argc, argv);
        return saveSettingRepeatedly(QString::fromLatin1(argv[2]), QByteArray(argv[3]).toInt());
    }
    TestEnvironment::setUp();
    QCoreApplication app(argc, argv);
    TestSettingsFiles tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}
#include "tst_settingsfiles.moc"
