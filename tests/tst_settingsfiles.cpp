// The files of the support folder: settings decoding and clamping, the
// corrective rewrite of config.json, its 0600 permissions, the local state
// file with its recovery rules, atomic saves that fail without damage, cache
// file names and clearing the cache.
#include "support/testenvironment.h"

#include "error.h"
#include "model/appconfig.h"
#include "model/appsettings.h"
#include "model/gallerystate.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
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
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

QStringList entries(const QString &folder)
{
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

// The files of the support folder, leaving out the cache folder.
QStringList supportFiles()
{
    QStringList names = entries(AppConfig::supportFolder());
    names.removeAll(QStringLiteral("cache"));
    return names;
}

// Every regular file below `folder`, as paths relative to it.
QStringList filesBelow(const QString &folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(folder).relativeFilePath(it.next());
    out.sort();
    return out;
}

// Caps the size of any file this process writes, so that the next write of a
// larger file fails with EFBIG, even for root. Restored on destruction.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        m_active = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &m_saved); }
    bool active() const { return m_active; }

private:
    rlimit m_saved{};
    bool m_active = false;
};

// JSON written from an object; keeps URLs out of raw string literals.
QByteArray json(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

GalleryState sampleState()
{
    GalleryState s;
    s.updatedAt = QStringLiteral("2024-06-01T09:30:00.123Z");
    s.order = {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("gone")};
    s.photos.insert(QStringLiteral("a"), PhotoEntry{"a", "Beach.jpg", "g/a", 123456, "2024-05-01T00:00:00.000Z",
                                                    std::nullopt, "u-1", QStringLiteral("https://x/a")});
    s.photos.insert(QStringLiteral("b"),
                    PhotoEntry{"b", "Zoë.jpg", "g/b", 42, "2024-05-02T00:00:00.000Z", std::nullopt, "u-2", {}});
    s.photos.insert(QStringLiteral("gone"), PhotoEntry{"gone", "x.jpg", "g/x", 1, "2024-05-03T00:00:00.000Z",
                                                       QStringLiteral("2024-05-04T00:00:00.000Z"), "u-1", {}});
    s.uploaders = {{QStringLiteral("u-1"), QStringLiteral("Ana")}, {QStringLiteral("u-2"), QStringLiteral("Kelvo")}};
    s.currentPhotoId = QStringLiteral("b");
    s.currentPhotoUpdatedBy = CurrentPhotoUpdatedBy::manual;
    return s;
}

AppSettings withServer(AppSettings s, bool debug)
{
    s.debugMode = debug;
    s.serverBaseURL = AppSettings::syncServerBaseURL(debug);
    return s;
}

} // namespace

Q_DECLARE_METATYPE(AppSettings)

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
        const QString support = AppConfig::supportFolder();
        QCOMPARE(support, TestEnvironment::home() + QStringLiteral("/data/LunvikPhotos"));
        QCOMPARE(AppConfig::settingsURL(), support + QStringLiteral("/config.json"));
        QCOMPARE(AppConfig::localStateURL(), support + QStringLiteral("/local-gallery.json"));
        QDir(support).rmdir(QStringLiteral("cache"));
        QCOMPARE(AppConfig::cacheFolder(), support + QStringLiteral("/cache"));
        QVERIFY(QFileInfo(support + QStringLiteral("/cache")).isDir());
    }

    void decodeSettings_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<AppSettings>("expected");
        const AppSettings d = AppSettings::defaults();
        auto with = [&d](auto member, auto value) {
            AppSettings s = d;
            s.*member = value;
            return s;
        };
        QTest::newRow("empty object") << QByteArray("{}") << true << d;
        QTest::newRow("all null") << QByteArray(R"({"serverBaseURL":null,"debugMode":null,"syncSessionToken":null,)"
                                              R"("galleryName":null,"displayName":null,)"
                                              R"("previewPaneSplitFraction":null,"galleryGridColumnCount":null,)"
                                              R"("debugAdvanceIntervalSeconds":null})") << true << d;
        QTest::newRow("unknown key") << QByteArray(R"({"theme":"dark"})") << true << d;
        QTest::newRow("debug, server kept as read")
            << json({{"debugMode", true}, {"serverBaseURL", "https://a.example"}}) << true
            << AppSettings("https://a.example", true, "", "default", "Kelvo", 0.48, 5, 1800);
        QTest::newRow("columns 12") << QByteArray(R"({"galleryGridColumnCount":12})") << true
                                    << with(&AppSettings::galleryGridColumnCount, 8);
        QTest::newRow("columns 1") << QByteArray(R"({"galleryGridColumnCount":1})") << true
                                   << with(&AppSettings::galleryGridColumnCount, 2);
        QTest::newRow("columns past 32 bits") << QByteArray(R"({"galleryGridColumnCount":4294967297})") << true
                                              << with(&AppSettings::galleryGridColumnCount, 8);
        QTest::newRow("split 0.9") << QByteArray(R"({"previewPaneSplitFraction":0.9})") << true
                                   << with(&AppSettings::previewPaneSplitFraction, 0.72);
        QTest::newRow("split at minimum") << QByteArray(R"({"previewPaneSplitFraction":0.28})") << true
                                          << with(&AppSettings::previewPaneSplitFraction, 0.28);
        QTest::newRow("interval 5") << QByteArray(R"({"debugAdvanceIntervalSeconds":5})") << true
                                    << with(&AppSettings::debugAdvanceIntervalSeconds, 60);
        QTest::newRow("interval 100000") << QByteArray(R"({"debugAdvanceIntervalSeconds":100000})") << true
                                         << with(&AppSettings::debugAdvanceIntervalSeconds, 86400);
        QTest::newRow("blank name") << QByteArray(R"({"displayName":"   "})") << true << d;
        QTest::newRow("padded name") << QByteArray(R"({"displayName":"  Study "})") << true
                                     << with(&AppSettings::displayName, QStringLiteral("Study"));
        QTest::newRow("name in newlines") << QByteArray(R"({"displayName":"\n\tAna\r\n"})") << true
                                          << with(&AppSettings::displayName, QStringLiteral("Ana"));
        QTest::newRow("token kept untrimmed") << QByteArray(R"({"syncSessionToken":" t "})") << true
                                              << with(&AppSettings::syncSessionToken, QStringLiteral(" t "));
        const AppSettings none;
        QTest::newRow("debugMode text") << QByteArray(R"({"debugMode":"yes"})") << false << none;
        QTest::newRow("columns text") << QByteArray(R"({"galleryGridColumnCount":"5"})") << false << none;
        QTest::newRow("columns fraction") << QByteArray(R"({"galleryGridColumnCount":5.5})") << false << none;
        QTest::newRow("split text") << QByteArray(R"({"previewPaneSplitFraction":"0.5"})") << false << none;
        QTest::newRow("name number") << QByteArray(R"({"displayName":5})") << false << none;
        QTest::newRow("token bool") << QByteArray(R"({"syncSessionToken":true})") << false << none;
        QTest::newRow("server list") << QByteArray(R"({"serverBaseURL":[]})") << false << none;
        QTest::newRow("top level list") << QByteArray("[]") << false << none;
        QTest::newRow("invalid") << QByteArray(R"({"debugMode":)") << false << none;
    }
    void decodeSettings()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, ok);
        QFETCH(AppSettings, expected);
        const auto decoded = AppSettings::fromJsonBytes(json);
        QCOMPARE(decoded.has_value(), ok);
        if (ok)
            QCOMPARE(decoded->toJsonBytes(), expected.toJsonBytes());
    }

    void settingsValues()
    {
        const AppSettings d = AppSettings::defaults();
        QCOMPARE(d.displayName, QStringLiteral("Kelvo"));
        QCOMPARE(d.galleryName, QStringLiteral("default"));
        QCOMPARE(d.serverBaseURL, AppSettings::productionServerBaseURL());
        QVERIFY(d.serverBaseURL.startsWith(QLatin1String("https://")));
        QVERIFY(!d.serverBaseURL.endsWith(QLatin1Char('/')));
        QCOMPARE(AppSettings::syncServerBaseURL(true), QStringLiteral("http://127.0.0.1:3000"));
        QCOMPARE(AppSettings::syncServerBaseURL(false), AppSettings::productionServerBaseURL());

        // The constructor normalises like the decoder.
        const AppSettings s("s", true, "tok", "g", " \n", 2.0, -7, Q_INT64_C(1) << 40);
        QCOMPARE(s.displayName, QStringLiteral("Kelvo"));
        QCOMPARE(s.previewPaneSplitFraction, 0.72);
        QCOMPARE(s.galleryGridColumnCount, 2);
        QCOMPARE(s.debugAdvanceIntervalSeconds, 86400);

        // Encoding writes all eight keys and decodes to the same value.
        const AppSettings custom("https://b.example", true, "secret", "family", "Ana Maria", 0.3, 7, 61);
        const QJsonObject o = QJsonDocument::fromJson(custom.toJsonBytes()).object();
        QCOMPARE(o.keys().size(), 8);
        QVERIFY(!custom.toJsonBytes().contains('\n'));
        QCOMPARE(AppSettings::fromJsonBytes(custom.toJsonBytes()), std::optional(custom));
    }

    void syncBearer_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("bearer"); // empty for none
        QTest::newRow("none") << "" << "";
        QTest::newRow("blanks") << " \t\n " << "";
        QTest::newRow("plain") << "abc.def" << "abc.def";
        QTest::newRow("padded") << "  abc\n" << "abc";
    }
    void syncBearer()
    {
        QFETCH(QString, token);
        QFETCH(QString, bearer);
        AppSettings s;
        s.syncSessionToken = token;
        QCOMPARE(s.syncBearer(), bearer.isEmpty() ? std::nullopt : std::optional(bearer));
    }

    void loadSettings_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("present");
        QTest::addColumn<AppSettings>("expected");
        QTest::addColumn<bool>("rewritten");
        const AppSettings d = AppSettings::defaults();
        const QString prod = AppSettings::productionServerBaseURL();
        AppSettings token = d;
        token.syncSessionToken = QStringLiteral("tok");

        QTest::newRow("no file") << QByteArray() << false << d << false;
        QTest::newRow("debug flag only") << QByteArray(R"({"debugMode":true,"syncSessionToken":"tok"})") << true
                                         << withServer(token, true) << true;
        QTest::newRow("debug with production server")
            << json({{"debugMode", true}, {"serverBaseURL", prod}}) << true << withServer(d, true)
            << true;
        QTest::newRow("other server, no debug flag")
            << json({{"serverBaseURL", "https://other.example"}, {"syncSessionToken", "tok"}}) << true << token
            << true;
        QTest::newRow("local server without debug") << json({{"serverBaseURL", "http://127.0.0.1:3000"}})
                                                    << true << d << true;
        QTest::newRow("trailing slash differs") << json({{"serverBaseURL", prod + "/"}}) << true << d
                                                << true;
        AppSettings clamped = d;
        clamped.galleryGridColumnCount = 8;
        QTest::newRow("consistent, clamped in memory")
            << json({{"serverBaseURL", prod}, {"galleryGridColumnCount", 12}, {"displayName", " "}})
            << true << clamped << false;
        QTest::newRow("debug consistent") << json({{"debugMode", true}, {"serverBaseURL", "http://127.0.0.1:3000"}})
                                          << true << withServer(d, true) << false;
        QTest::newRow("wrong type falls back whole")
            << json({{"debugMode", "yes"}, {"serverBaseURL", "https://other.example"}, {"galleryGridColumnCount", 3}})
            << true << d << false;
        QTest::newRow("invalid json") << QByteArray(R"({"debugMode":tr)") << true << d << false;
        QTest::newRow("empty file") << QByteArray() << true << d << false;
    }
    void loadSettings()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, present);
        QFETCH(AppSettings, expected);
        QFETCH(bool, rewritten);
        const QString path = AppConfig::settingsURL();
        if (present)
            writeFile(path, content);

        const AppSettings loaded = AppConfig::loadSettings();
        QCOMPARE(loaded.toJsonBytes(), expected.toJsonBytes());
        QCOMPARE(QFileInfo::exists(path), present);
        if (rewritten) {
            QCOMPARE(AppSettings::fromJsonBytes(readFile(path)), std::optional(loaded));
            QCOMPARE(modeBits(path), 0600u);
        } else if (present) {
            QCOMPARE(readFile(path), content); // a bad file is left as it was
        }
    }

    void saveSettingsIsPrivate_data()
    {
        QTest::addColumn<int>("previousMode"); // 0: no previous file
        QTest::newRow("new file") << 0;
        QTest::newRow("was 0644") << 0644;
        QTest::newRow("was 0666") << 0666;
    }
    void saveSettingsIsPrivate()
    {
        QFETCH(int, previousMode);
        const QString path = AppConfig::settingsURL();
        if (previousMode) {
            writeFile(path, R"({"syncSessionToken":"old"})");
            QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode_t(previousMode)), 0);
        }
        AppSettings s;
        s.syncSessionToken = QStringLiteral("new-secret");
        AppConfig::saveSettings(s);
        QCOMPARE(modeBits(path), 0600u);
        QCOMPARE(AppConfig::loadSettings(), s);
        QCOMPARE(supportFiles(), QStringList({"config.json"}));
    }

    void loadLocalState_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("present");
        QTest::addColumn<bool>("usable");
        const QByteArray valid = sampleState().toJsonBytes();
        QTest::newRow("no file") << QByteArray() << false << false;
        QTest::newRow("valid") << valid << true << true;
        QTest::newRow("minimal") << QByteArray(R"({"updatedAt":"t","order":[],"photos":{}})") << true << true;
        QTest::newRow("empty object") << QByteArray("{}") << true << false;
        QTest::newRow("invalid json") << QByteArray("not json") << true << false;
        QTest::newRow("truncated") << valid.left(valid.size() / 2) << true << false;
        QTest::newRow("empty file") << QByteArray() << true << false;
        QTest::newRow("top level list") << QByteArray("[]") << true << false;
        QTest::newRow("unknown updatedBy")
            << QByteArray(R"({"updatedAt":"t","order":[],"photos":{},"currentPhotoUpdatedBy":"x"})") << true << false;
    }
    void loadLocalState()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, present);
        QFETCH(bool, usable);
        const QString path = AppConfig::localStateURL();
        if (present)
            writeFile(path, content);

        const AppConfig::LocalStateLoad load = AppConfig::loadLocalState();
        QCOMPARE(load.needsServerPull, present && !usable);
        QCOMPARE(load.state, usable ? *GalleryState::fromJsonBytes(content) : GalleryState::empty());
        // An unusable file is removed; a good one stays.
        QCOMPARE(QFileInfo::exists(path), usable);
    }

    void saveLocalStateRoundTrips()
    {
        const GalleryState first = sampleState();
        AppConfig::saveLocalState(first);
        QCOMPARE(readFile(AppConfig::localStateURL()), first.toJsonBytes());
        auto load = AppConfig::loadLocalState();
        QCOMPARE(load.state, first);
        QVERIFY(!load.needsServerPull);

        GalleryState second = first;
        second.updatedAt = QStringLiteral("2024-06-02T00:00:00.000Z");
        second.order.removeFirst();
        second.currentPhotoId.reset();
        second.currentPhotoUpdatedBy.reset();
        AppConfig::saveLocalState(second);
        QCOMPARE(AppConfig::loadLocalState().state, second);
        QCOMPARE(supportFiles(), QStringList({"local-gallery.json"}));
    }

    void failedSaveKeepsPreviousFile_data()
    {
        QTest::addColumn<bool>("settingsFile");
        QTest::newRow("config.json") << true;
        QTest::newRow("local-gallery.json") << false;
    }
    void failedSaveKeepsPreviousFile()
    {
        QFETCH(bool, settingsFile);
        const QString path = settingsFile ? AppConfig::settingsURL() : AppConfig::localStateURL();
        AppSettings bigSettings;
        bigSettings.syncSessionToken = QString(4096, QLatin1Char('t'));
        if (settingsFile)
            AppConfig::saveSettings(AppSettings());
        else
            AppConfig::saveLocalState(GalleryState::empty());
        const QByteArray before = readFile(path);
        QVERIFY(!before.isEmpty());

        std::optional<Error::Record> failure;
        bool limited = false;
        {
            // Large enough for the old file, too small for the new one.
            FileSizeLimit limit(rlim_t(before.size() + 16));
            limited = limit.active();
            try {
                if (settingsFile)
                    AppConfig::saveSettings(bigSettings);
                else
                    AppConfig::saveLocalState(sampleState());
            } catch (const PlatformError &e) {
                failure = e.record();
            }
        }
        QVERIFY(limited);
        QVERIFY2(failure, "a save that could not be written was reported as success");
        QCOMPARE(failure->domain, QStringLiteral("QFileDevice"));
        QVERIFY(failure->code != 0);
        QCOMPARE(readFile(path), before);
        QCOMPARE(supportFiles(), QStringList({QFileInfo(path).fileName()}));
    }

    void saveOntoDirectoryFails_data()
    {
        QTest::addColumn<bool>("settingsFile");
        QTest::newRow("config.json") << true;
        QTest::newRow("local-gallery.json") << false;
    }
    void saveOntoDirectoryFails()
    {
        QFETCH(bool, settingsFile);
        const QString path = settingsFile ? AppConfig::settingsURL() : AppConfig::localStateURL();
        QVERIFY(QDir().mkpath(path));
        writeFile(path + QStringLiteral("/keep"), "data");
        if (settingsFile)
            QVERIFY_THROWS_EXCEPTION(PlatformError, AppConfig::saveSettings(AppSettings()));
        else
            QVERIFY_THROWS_EXCEPTION(PlatformError, AppConfig::saveLocalState(sampleState()));
        QCOMPARE(readFile(path + QStringLiteral("/keep")), QByteArray("data"));
        // The loaders still give usable values.
        if (settingsFile)
            QCOMPARE(AppConfig::loadSettings(), AppSettings::defaults());
        else
            QCOMPARE(AppConfig::loadLocalState().state, GalleryState::empty());
    }

    void cacheFileNames_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<bool>("ordinary");
        for (const char *id : {"p1", "IMG_0001", "3f9c2a1e-7b4d-4c1a-9e8f-0a1b2c3d4e5f", "a.b", "a..b", "with space"})
            QTest::newRow(id) << QString::fromUtf8(id) << true;
        QTest::newRow("accented") << QStringLiteral("Zoë") << true;
        for (const char *id : {"../x", "a/b", ".hidden", "..", ".", "a\\b", "%", "/", "../../../etc/passwd"})
            QTest::newRow(id) << QString::fromUtf8(id) << false;
        QTest::newRow("NUL") << QStringLiteral("a") + QChar(0) + QStringLiteral("b") << false;
    }
    void cacheFileNames()
    {
        QFETCH(QString, id);
        QFETCH(bool, ordinary);
        const QString cache = AppConfig::cacheFolder();
        const QFileInfo photo(AppConfig::cacheURL(id));
        const QFileInfo thumb(AppConfig::thumbnailCacheURL(id, 480));
        for (const QFileInfo &file : {photo, thumb}) {
            QCOMPARE(file.absolutePath(), cache);
            QVERIFY(!file.fileName().startsWith(QLatin1Char('.')));
            QVERIFY(!file.fileName().contains(QLatin1Char('/')));
            QVERIFY(!file.fileName().contains(QLatin1Char('\\')));
            QVERIFY(!file.fileName().contains(QChar(0)));
        }
        QVERIFY(photo.fileName().endsWith(QLatin1String(".jpg")));
        // The thumbnail shares the photo's stem, however it was encoded.
        QCOMPARE(thumb.fileName(), photo.fileName().chopped(4) + QStringLiteral("_w480.jpg"));
        if (ordinary) {
            QCOMPARE(photo.fileName(), id + QStringLiteral(".jpg"));
            QCOMPARE(thumb.fileName(), id + QStringLiteral("_w480.jpg"));
        } else {
            QVERIFY(photo.fileName() != id + QStringLiteral(".jpg"));
        }
    }

    void cacheNamesAreDistinctAndContained()
    {
        // Ids alongside the spelling their encoded form might take.
        const QStringList ids{"a/b", "a%2Fb", "a%2fb", "a\\b", "a%5Cb", ".x", "%2Ex", "%2ex", "..", "%2E.",
                              QStringLiteral("a") + QChar(0) + QStringLiteral("b"), "a%00b", "a%0b", "%", "%25",
                              "../x", "%2E.%2Fx", "p1", "P1", "a480Fb"};
        const qsizetype filesBefore = filesBelow(TestEnvironment::home()).size();
        for (const QString &id : ids) {
            writeFile(AppConfig::cacheURL(id), id.toUtf8());
            writeFile(AppConfig::thumbnailCacheURL(id, 480), "thumb " + id.toUtf8());
        }
        const QString cache = AppConfig::cacheFolder();
        QCOMPARE(filesBelow(cache).size(), 2 * ids.size());
        for (const QString &id : ids) {
            QCOMPARE(readFile(AppConfig::cacheURL(id)), id.toUtf8());
            QCOMPARE(readFile(AppConfig::thumbnailCacheURL(id, 480)), "thumb " + id.toUtf8());
        }
        QCOMPARE(supportFiles(), QStringList());
        QCOMPARE(filesBelow(TestEnvironment::home()).size(), filesBefore + 2 * ids.size());
    }

    void clearPhotoCacheEmptiesFolder()
    {
        const QString cache = AppConfig::cacheFolder();
        const QString outside = TestEnvironment::home() + QStringLiteral("/outside");
        QVERIFY(QDir().mkpath(outside));
        writeFile(outside + QStringLiteral("/keep.jpg"), "keep");
        writeFile(AppConfig::settingsURL(), AppSettings().toJsonBytes());

        writeFile(AppConfig::cacheURL(QStringLiteral("p1")), "jpeg");
        writeFile(AppConfig::thumbnailCacheURL(QStringLiteral("p1"), 480), "thumb");
        writeFile(cache + QStringLiteral("/.hidden"), "h");
        QVERIFY(QDir().mkpath(cache + QStringLiteral("/sub/deeper")));
        writeFile(cache + QStringLiteral("/sub/deeper/x.jpg"), "x");
        writeFile(cache + QStringLiteral("/sub/.y"), "y");
        QVERIFY(QDir().mkpath(cache + QStringLiteral("/.emptydir")));
        QVERIFY(QFile::link(outside, cache + QStringLiteral("/dirlink")));
        QVERIFY(QFile::link(outside + QStringLiteral("/keep.jpg"), cache + QStringLiteral("/filelink.jpg")));

        AppConfig::clearPhotoCache();
        QVERIFY(QFileInfo(cache).isDir());
        QCOMPARE(entries(cache), QStringList());
        // Links are removed, never followed.
        QCOMPARE(readFile(outside + QStringLiteral("/keep.jpg")), QByteArray("keep"));
        QVERIFY(QFileInfo::exists(AppConfig::settingsURL()));

        // Clearing a missing or already empty cache is harmless.
        QVERIFY(QDir(cache).removeRecursively());
        AppConfig::clearPhotoCache();
        AppConfig::clearPhotoCache();
        QVERIFY(QFileInfo(AppConfig::cacheFolder()).isDir());
    }
};

LUNVIK_TEST_MAIN(TestSettingsFiles)
#include "tst_settingsfiles.moc"
