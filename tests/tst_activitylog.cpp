// The activity log: the one-line record format and the lines a reader skips,
// the log file with its read limit and trim, the shared store (standard-error
// mirror, merging the file back, live reload, error descriptions) and the
// texts of current-photo changes found by a pull.
#include "support/testenvironment.h"

#include "clock.h"
#include "log/activitylogfile.h"
#include "log/activitylogstore.h"
#include "log/currentphotoactivity.h"
#include "server/syncerror.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <stdexcept>

Q_DECLARE_METATYPE(std::optional<LogEntry>)
Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(std::optional<CurrentPhotoUpdatedBy>)
Q_DECLARE_METATYPE(std::function<QString()>)

// Lets QCOMPARE print records.
char *toString(const LogEntry &e)
{
    return QTest::toString(QStringLiteral("%1 %2 %3/%4 \"%5\" detail=%6")
                               .arg(uuidText(e.id), e.timestamp.toString(Qt::ISODateWithMs), toRawValue(e.category),
                                    toRawValue(e.level), e.message, e.detail ? *e.detail : QStringLiteral("<none>")));
}

namespace {

const QUuid idA = QUuid::fromString(QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E"));

QDateTime at(const char *isoText)
{
    return QDateTime::fromString(QString::fromLatin1(isoText), Qt::ISODateWithMs);
}

void setClock(const QDateTime &time)
{
    Clock::setForTesting([time] { return time; });
}

QJsonObject recordObject(const QString &message, const QUuid &id = QUuid::createUuid(),
                         const QString &time = QStringLiteral("2026-03-01T07:05:09Z"))
{
    return {{"id", uuidText(id)}, {"t", time}, {"c", "sync"}, {"l", "info"}, {"m", message}, {"d", "More"}};
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// A well-formed record line with one member replaced, or removed when `value` is undefined.
QByteArray lineWith(const QString &key, const QJsonValue &value)
{
    QJsonObject object = recordObject(QStringLiteral("Hello"), idA);
    if (value.isUndefined())
        object.remove(key);
    else
        object.insert(key, value);
    return compact(object);
}

QByteArray line(const QString &message, const QUuid &id = QUuid::createUuid(),
                const QString &time = QStringLiteral("2026-03-01T07:05:09Z"))
{
    return compact(recordObject(message, id, time)) + '\n';
}

void writeLog(const QByteArray &bytes, QIODevice::OpenMode mode = QIODevice::Truncate)
{
    QFile file(ActivityLogFile::url());
    QVERIFY(file.open(QIODevice::WriteOnly | mode));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readLog()
{
    QFile file(ActivityLogFile::url());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList messages(const QList<LogEntry> &entries)
{
    QStringList out;
    for (const LogEntry &e : entries)
        out << e.message;
    return out;
}

// An error with a description and a recovery suggestion of its own.
struct UnsupportedImage : Error {
    std::optional<QString> errorDescription() const override { return QStringLiteral("Unsupported image: a.heic"); }
    std::optional<QString> recoverySuggestion() const override { return QStringLiteral("Export it as JPEG"); }
    Record record() const override { return {"ImageIO", 3, "Unsupported image: a.heic", {}}; }
};

} // namespace

class TestActivityLog : public QObject
{
    Q_OBJECT

    QList<QByteArray> m_stderr;
    ActivityLogStore &store = ActivityLogStore::shared();

private Q_SLOTS:
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

    void rawValues()
    {
        QStringList raw;
        for (LogCategory c : allLogCategories())
            raw << toRawValue(c) + (logCategoryFromRaw(toRawValue(c)) == c ? "" : "!");
        for (LogLevel l : allLogLevels())
            raw << toRawValue(l) + (logLevelFromRaw(toRawValue(l)) == l ? "" : "!");
        QCOMPARE(raw, QStringList({"server", "device", "sync", "gallery", "system", "info", "success", "warning", "error"}));
    }

    void writeLine_data()
    {
        QTest::addColumn<LogEntry>("entry");
        QTest::addColumn<QString>("t");
        QTest::addColumn<LogEntry>("readBack");

        const LogEntry plain{idA, at("2026-03-01T07:05:09Z"), LogCategory::gallery, LogLevel::success, "Uploaded", "beach.jpg"};
        QTest::newRow("with detail") << plain << "2026-03-01T07:05:09Z" << plain;

        LogEntry none = plain;
        none.detail = std::nullopt;
        QTest::newRow("no detail") << none << "2026-03-01T07:05:09Z" << none;
        LogEntry empty = plain;
        empty.detail = QString();
        QTest::newRow("empty detail reads as none") << empty << "2026-03-01T07:05:09Z" << none;

        LogEntry awkward = plain;
        awkward.message = QStringLiteral("Café \"quoted\" \\ · 写真");
        awkward.detail = QStringLiteral("HTTP 500\nGET https://x/api\r\n\ttab");
        QTest::newRow("escapes and non-ASCII") << awkward << "2026-03-01T07:05:09Z" << awkward;

        LogEntry zoned = plain;
        zoned.timestamp = at("2026-03-01T09:05:09.750+02:00");
        QTest::newRow("other zone, fraction dropped") << zoned << "2026-03-01T07:05:09Z" << plain;
    }

    void writeLine()
    {
        QFETCH(LogEntry, entry);
        QFETCH(QString, t);
        QFETCH(LogEntry, readBack);

        const QByteArray text = entry.toLine();
        QVERIFY(!text.contains('\n'));
        QCOMPARE(text, compact(QJsonDocument::fromJson(text).object())); // compact: no white space
        const QJsonObject object = QJsonDocument::fromJson(text).object();
        QCOMPARE(object.keys(), QStringList({"c", "d", "id", "l", "m", "t"}));
        for (const QJsonValue &v : object)
            QVERIFY(v.isString());
        QCOMPARE(object.value("id").toString(), QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E"));
        QCOMPARE(object.value("t").toString(), t);
        QCOMPARE(object.value("d").toString(), entry.detail.value_or(QString()));

        const auto back = LogEntry::fromLine(text);
        QVERIFY(back);
        QCOMPARE(*back, readBack);
    }

    void readLine_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<std::optional<LogEntry>>("expected");

        const LogEntry good{idA, at("2026-03-01T07:05:09Z"), LogCategory::sync, LogLevel::info, "Hello", "More"};
        auto with = [&good](auto change) { LogEntry e = good; change(e); return std::optional<LogEntry>(e); };
        const std::optional<LogEntry> skipped;

        QTest::newRow("well formed") << lineWith("c", "sync") << std::optional(good);
        QTest::newRow("d empty") << lineWith("d", "") << with([](LogEntry &e) { e.detail.reset(); });
        QTest::newRow("d missing") << lineWith("d", QJsonValue::Undefined) << with([](LogEntry &e) { e.detail.reset(); });
        QTest::newRow("m empty") << lineWith("m", "") << with([](LogEntry &e) { e.message.clear(); });
        QTest::newRow("fractional seconds") << lineWith("t", "2026-03-01T07:05:09.250Z")
                                            << with([](LogEntry &e) { e.timestamp = at("2026-03-01T07:05:09.250Z"); });
        QTest::newRow("offset zone") << lineWith("t", "2026-03-01T09:05:09+02:00") << std::optional(good);
        QTest::newRow("lower-case id") << lineWith("id", "0f8fad5b-d9cb-469f-a165-70867728950e") << std::optional(good);
        QTest::newRow("unknown string member") << lineWith("x", "y") << std::optional(good);
        QTest::newRow("CRLF line end") << lineWith("c", "sync") + "\r" << std::optional(good);

        QTest::newRow("unknown category") << lineWith("c", "network") << skipped;
        QTest::newRow("category wrong case") << lineWith("c", "Sync") << skipped;
        QTest::newRow("unknown level") << lineWith("l", "debug") << skipped;
        QTest::newRow("m missing") << lineWith("m", QJsonValue::Undefined) << skipped;
        QTest::newRow("id missing") << lineWith("id", QJsonValue::Undefined) << skipped;
        QTest::newRow("id not a UUID") << lineWith("id", "not-a-uuid") << skipped;
        QTest::newRow("id without dashes") << lineWith("id", "0F8FAD5BD9CB469FA16570867728950E") << skipped;
        QTest::newRow("t missing") << lineWith("t", QJsonValue::Undefined) << skipped;
        QTest::newRow("t unparsable") << lineWith("t", "yesterday") << skipped;
        QTest::newRow("t date only") << lineWith("t", "2026-03-01") << skipped;
        QTest::newRow("t without zone") << lineWith("t", "2026-03-01T07:05:09") << skipped;
        QTest::newRow("m a number") << lineWith("m", 5) << skipped;
        QTest::newRow("d null") << lineWith("d", QJsonValue::Null) << skipped;
        QTest::newRow("extra non-string member") << lineWith("n", 1) << skipped;
        QTest::newRow("not JSON") << QByteArray("hello") << skipped;
        QTest::newRow("cut short") << lineWith("c", "sync").chopped(5) << skipped;
        QTest::newRow("array") << "[" + lineWith("c", "sync") + "]" << skipped;
        QTest::newRow("empty object") << QByteArray("{}") << skipped;
    }

    void readLine()
    {
        QFETCH(QByteArray, text);
        QFETCH(std::optional<LogEntry>, expected);
        const auto actual = LogEntry::fromLine(text);
        QCOMPARE(actual.has_value(), expected.has_value());
        if (expected)
            QCOMPARE(*actual, *expected);
    }

    void loadRecent_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QStringList>("expected");

        const QByteArray five = line("1") + line("2") + line("3") + line("4") + line("5");
        QTest::newRow("limit 0") << five << 0 << QStringList();
        QTest::newRow("last three in file order") << five << 3 << QStringList({"3", "4", "5"});
        QTest::newRow("limit above count") << five << 50 << QStringList({"1", "2", "3", "4", "5"});
        QTest::newRow("blank lines not counted")
            << "\n" + line("1") + "\n\n" + line("2") + "\n" + line("3") + "\n\n" << 2 << QStringList({"2", "3"});
        QTest::newRow("bad lines skipped, neighbours load")
            << line("1") + lineWith("c", "network") + "\n" + line("3") + "garbage\n" + line("5") << 10
            << QStringList({"1", "3", "5"});
        QTest::newRow("bad line counts towards limit")
            << line("1") + line("2") + "garbage\n" + line("4") << 3 << QStringList({"2", "4"});
        QTest::newRow("last line without line feed") << line("1") + line("2").chopped(1) << 5 << QStringList({"1", "2"});
        QTest::newRow("not UTF-8") << line("1") + QByteArray("{\"m\":\"caf\xE9\"}\n") + line("3") << 5 << QStringList();
    }

    void loadRecent()
    {
        QFETCH(QByteArray, contents);
        QFETCH(int, limit);
        QFETCH(QStringList, expected);
        writeLog(contents);
        QCOMPARE(messages(ActivityLogFile::loadRecent(limit)), expected);
    }

    void appendAndClear()
    {
        const QString path = ActivityLogFile::url();
        QVERIFY(!QFile::exists(path));
        QVERIFY(ActivityLogFile::loadRecent(10).isEmpty());

        const LogEntry first{idA, at("2026-03-01T07:05:09Z"), LogCategory::server, LogLevel::warning, "Slow", {}};
        ActivityLogFile::append(first); // creates the file
        QCOMPARE(readLog(), first.toLine() + '\n');
        const LogEntry second{QUuid::createUuid(), at("2026-03-01T07:05:10Z"), LogCategory::device, LogLevel::error, "Down", "x"};
        ActivityLogFile::append(second);
        QCOMPARE(readLog(), first.toLine() + '\n' + second.toLine() + '\n');
        QCOMPARE(ActivityLogFile::loadRecent(10), QList<LogEntry>({first, second}));

        ActivityLogFile::clear();
        QVERIFY(QFile::exists(path));
        QCOMPARE(readLog(), QByteArray());

        QVERIFY(QFile::remove(path));
        ActivityLogFile::clear(); // on a missing file: creates an empty one
        QVERIFY(QFile::exists(path));
        QCOMPARE(QFile(path).size(), 0);
        QVERIFY(ActivityLogFile::loadRecent(10).isEmpty());
    }

    void appendAfterTornLine()
    {
        // A previous writer died mid-line: the next record must still stand
        // on a line of its own, and the one before the torn line survives.
        const QByteArray whole = line(QStringLiteral("Before"));
        writeLog(whole + '\n' + whole.left(whole.size() / 2));
        const LogEntry next{QUuid::createUuid(), at("2026-03-01T07:05:11Z"), LogCategory::sync, LogLevel::info, "After", {}};
        ActivityLogFile::append(next);
        QCOMPARE(messages(ActivityLogFile::loadRecent(10)), QStringList({"Before", "After"}));
        QVERIFY(readLog().endsWith(next.toLine() + '\n'));
    }

    void trim_data()
    {
        QTest::addColumn<qint64>("sizeAfterAppend");
        QTest::addColumn<bool>("trimmed");
        QTest::addColumn<bool>("strayByte"); // an old line that is not UTF-8
        QTest::newRow("exactly at the limit") << ActivityLogFile::trimThresholdBytes << false << false;
        QTest::newRow("one byte over") << ActivityLogFile::trimThresholdBytes + 1 << true << false;
        QTest::newRow("one byte over, not UTF-8") << ActivityLogFile::trimThresholdBytes + 1 << true << true;
    }

    void trim()
    {
        QFETCH(qint64, sizeAfterAppend);
        QFETCH(bool, trimmed);
        QFETCH(bool, strayByte);

        const LogEntry entry{idA, at("2026-03-01T07:05:09Z"), LogCategory::system, LogLevel::info, "Last", {}};
        const QByteArray appended = entry.toLine() + '\n';

        // 300 numbered filler lines plus two blank lines, padded so that the
        // append brings the file to exactly `sizeAfterAppend` bytes.
        const qint64 prefixSize = sizeAfterAppend - appended.size();
        const int count = 300;
        const qint64 width = (prefixSize - 2) / count - 1;
        QList<QByteArray> lines;
        for (int i = 0; i < count; ++i)
            lines << QByteArray::number(i).leftJustified(width, '.');
        lines[0] += QByteArray(prefixSize - 2 - count * (width + 1), '.');
        if (strayByte)
            lines[1].back() = '\xFF';
        QByteArray prefix = "\n";
        for (int i = 0; i < count; ++i)
            prefix += lines[i] + (i == 250 ? "\n\n" : "\n");
        QCOMPARE(qint64(prefix.size()), prefixSize);
        writeLog(prefix);
        QVERIFY(ActivityLogFile::loadRecent(500).isEmpty()); // no good records yet (or not UTF-8)

        ActivityLogFile::append(entry);
        const QByteArray after = readLog();
        if (!trimmed) {
            QCOMPARE(qint64(after.size()), sizeAfterAppend);
            QCOMPARE(after, prefix + appended);
            return;
        }
        QByteArray expected; // the last 200 non-empty lines, each with its line feed
        for (int i = count - 199; i < count; ++i)
            expected += lines[i] + '\n';
        expected += appended;
        QCOMPARE(after, expected);
        QCOMPARE(ActivityLogFile::loadRecent(500), QList<LogEntry>({entry}));
    }

    void logRecordsEverywhere_data()
    {
        QTest::addColumn<std::optional<QString>>("detail");
        QTest::addColumn<QList<QByteArray>>("mirrored");
        QTest::newRow("no detail") << std::optional<QString>() << QList<QByteArray>({"[sync] Sync started\n"});
        QTest::newRow("empty detail") << std::optional<QString>(QString()) << QList<QByteArray>({"[sync] Sync started\n"});
        QTest::newRow("detail") << std::optional<QString>("HTTP 500\nGET /api · x")
                                << QList<QByteArray>({"[sync] Sync started\n", "HTTP 500\nGET /api \xC2\xB7 x\n"});
    }

    void logRecordsEverywhere()
    {
        QFETCH(std::optional<QString>, detail);
        QFETCH(QList<QByteArray>, mirrored);

        store.log(LogCategory::system, LogLevel::info, "Earlier");
        setClock(at("2026-03-01T07:05:09Z"));
        m_stderr.clear();
        QSignalSpy changed(&store, &ActivityLogStore::entriesChanged);
        store.log(LogCategory::sync, LogLevel::warning, "Sync started", detail);

        QCOMPARE(changed.count(), 1);
        QCOMPARE(m_stderr, mirrored);
        QCOMPARE(messages(store.entries()), QStringList({"Sync started", "Earlier"}));
        const LogEntry &e = store.entries().first();
        QCOMPARE(e.timestamp, at("2026-03-01T07:05:09Z"));
        QCOMPARE(e.category, LogCategory::sync);
        QCOMPARE(e.level, LogLevel::warning);
        QCOMPARE(e.detail, detail); // kept as given, also when empty
        LogEntry onDisk = e;
        if (onDisk.detail && onDisk.detail->isEmpty())
            onDisk.detail.reset();
        QCOMPARE(ActivityLogFile::loadRecent(1), QList<LogEntry>({onDisk}));
    }

    void logError()
    {
        store.log(SyncError::decode(), LogCategory::sync, "Sync failed");
        store.log(std::make_exception_ptr(std::runtime_error("disk on fire")), LogCategory::gallery, "Upload failed");
        QCOMPARE(store.entries().size(), 2);
        for (const LogEntry &e : store.entries())
            QCOMPARE(e.level, LogLevel::error);
        QCOMPARE(store.entries()[0].category, LogCategory::gallery);
        QCOMPARE(store.entries()[0].message, "Upload failed");
        QCOMPARE(store.entries()[0].detail, "disk on fire");
        QCOMPARE(store.entries()[1].detail, "Could not decode server response");
        QCOMPARE(m_stderr, QList<QByteArray>({"[sync] Sync failed\n", "Could not decode server response\n",
                                              "[gallery] Upload failed\n", "disk on fire\n"}));
    }

    void reloadMerges()
    {
        setClock(at("2026-03-01T10:00:03Z"));
        store.log(LogCategory::system, LogLevel::info, "Memory only");
        ActivityLogFile::clear(); // trimmed away, as far as the file goes
        setClock(at("2026-03-01T10:00:01Z"));
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
        QCOMPARE(changed.count(), 1);

        store.reload(); // nothing new: same list, still announced
        QCOMPARE(messages(store.entries()), expected);
        QCOMPARE(changed.count(), 2);
    }

    void clearThenReload()
    {
        store.log(LogCategory::system, LogLevel::info, "Before");
        store.clear();
        QVERIFY(store.entries().isEmpty());
        QCOMPARE(readLog(), QByteArray());
        store.log(LogCategory::system, LogLevel::info, "After");
        store.reload();
        QCOMPARE(messages(store.entries()), QStringList({"After"}));
    }

    void liveReload()
    {
        // With nothing in memory, starting merges the file at once.
        writeLog(line("From another writer"));
        store.startLiveReload(3600);
        QCOMPARE(messages(store.entries()), QStringList({"From another writer"}));

        store.startLiveReload(0.05);
        store.startLiveReload(0.05);
        QVERIFY(store.isLiveReloadRunning());
        writeLog(line("Appended later", QUuid::createUuid(), "2026-03-01T08:00:00Z"), QIODevice::Append);
        QTRY_COMPARE_WITH_TIMEOUT(messages(store.entries()), QStringList({"Appended later", "From another writer"}), 5000);

        store.stopLiveReload();
        QVERIFY(!store.isLiveReloadRunning());
        store.stopLiveReload();
        QVERIFY(!store.isLiveReloadRunning());
    }

    void describe_data()
    {
        QTest::addColumn<std::function<QString()>>("describe");
        QTest::addColumn<QString>("expected");

        auto error = [](auto e) { return std::function<QString()>([e] { return ActivityLogStore::describe(e); }); };
        auto thrown = [](auto e) {
            return std::function<QString()>([e] { return ActivityLogStore::describe(std::make_exception_ptr(e)); });
        };
        const SyncHTTPFailure failure{500, "POST", "https://photos.example/api/gallery/photos",
                                      R"({"error":"bad token Bearer abc123"})", 532, "upload photo"};

        QTest::newRow("decode") << error(SyncError::decode()) << "Could not decode server response";
        QTest::newRow("missing auth") << error(SyncError::missingSyncAuth()) << "Unlock the gallery to sync (session not set)";
        QTest::newRow("stale") << error(SyncError::stale(GalleryResponse{})) << "HTTP 409 gallery stale";
        QTest::newRow("bad URL") << error(SyncError::badURL(" ht tp:/x \n"))
                                 << "Looks like the server is down (ht tp:/x). Please try again.";
        QTest::newRow("bad URL, empty") << error(SyncError::badURL(""))
                                        << "Looks like the server is down (your server). Please try again.";
        QTest::newRow("http, secret masked")
            << error(SyncError::http(failure))
            << "HTTP 500\nPOST https://photos.example/api/gallery/photos\nupload photo\nRequest size: 532 bytes\n"
               "Response: bad token Bearer [redacted]";
        QTest::newRow("general domain, code 0") << error(PlatformError::general("x")) << "x";
        QTest::newRow("other domain") << error(PlatformError("Other", 7, "desc")) << "Domain: Other code=7\ndesc";
        QTest::newRow("other domain, no description") << error(PlatformError("Other", 7, "")) << "Domain: Other code=7";
        QTest::newRow("nested causes")
            << error(PlatformError(Error::generalDomain, 0, "Save failed",
                                   std::make_shared<PlatformError>(
                                       "QFileDevice", 5, "Disk full",
                                       std::make_shared<SyncError>(SyncError::decode()))))
            << "Save failed\nUnderlying: Domain: QFileDevice code=5\nDisk full\n"
               "Underlying: Could not decode server response";
        // The record's description repeats the first line and is not written twice.
        QTest::newRow("description and recovery")
            << error(UnsupportedImage()) << "Unsupported image: a.heic\nRecovery: Export it as JPEG\nDomain: ImageIO code=3";
        QTest::newRow("runtime_error") << error(std::runtime_error("disk on fire")) << "disk on fire";
        QTest::newRow("thrown SyncError") << thrown(SyncError::missingSyncAuth())
                                          << "Unlock the gallery to sync (session not set)";
        QTest::newRow("thrown runtime_error") << thrown(std::runtime_error("boom")) << "boom";
    }

    void describe()
    {
        QFETCH(std::function<QString()>, describe);
        QFETCH(QString, expected);
        QCOMPARE(describe(), expected);
    }

    void currentPhotoChange_data()
    {
        QTest::addColumn<std::optional<QString>>("previous");
        QTest::addColumn<std::optional<QString>>("pulled");
        QTest::addColumn<std::optional<CurrentPhotoUpdatedBy>>("by");
        QTest::addColumn<bool>("hasEntry"); // the pulled manifest has an entry for "b"
        QTest::addColumn<bool>("delta");
        QTest::addColumn<QString>("message"); // empty: nothing to log
        QTest::addColumn<QString>("detail");

        using Opt = std::optional<QString>;
        const auto cron = std::optional(CurrentPhotoUpdatedBy::cron);
        const auto manual = std::optional(CurrentPhotoUpdatedBy::manual);
        const std::optional<CurrentPhotoUpdatedBy> noCause;

        QTest::newRow("same photo") << Opt("a") << Opt("a") << cron << false << false << "" << "";
        QTest::newRow("none both times") << Opt() << Opt() << noCause << false << false << "" << "";
        QTest::newRow("cleared") << Opt("a") << Opt() << manual << false << true << "" << "";
        QTest::newRow("cron") << Opt() << Opt("b") << cron << true << true << "Gallery advanced"
                              << "Scheduled advance \u00B7 beach.jpg";
        QTest::newRow("cron, no entry") << Opt("a") << Opt("b") << cron << false << true << "Gallery advanced"
                                        << "Scheduled advance \u00B7 b";
        QTest::newRow("manual, no entry") << Opt("a") << Opt("b") << manual << false << true
                                          << "Current photo updated from server" << "b";
        QTest::newRow("no cause") << Opt("a") << Opt("b") << noCause << true << true << "Server updated current photo"
                                  << "beach.jpg";
        QTest::newRow("ids differ in case") << Opt("B") << Opt("b") << noCause << false << true
                                            << "Server updated current photo" << "b";
    }

    void currentPhotoChange()
    {
        QFETCH(std::optional<QString>, previous);
        QFETCH(std::optional<QString>, pulled);
        QFETCH(std::optional<CurrentPhotoUpdatedBy>, by);
        QFETCH(bool, hasEntry);
        QFETCH(bool, delta);
        QFETCH(QString, message);
        QFETCH(QString, detail);

        GalleryState state;
        state.currentPhotoId = pulled;
        state.currentPhotoUpdatedBy = by;
        if (hasEntry) {
            state.order = {"b"};
            state.photos.insert("b", PhotoEntry{"b", "beach.jpg", "blobs/b", 10, "2026-03-01T00:00:00.000Z", {}, "u", {}});
        }

        const auto found = CurrentPhotoPullDelta::ifCurrentChanged(previous, state);
        QCOMPARE(found.has_value(), delta);
        if (!found)
            return;
        QVERIFY(*found == (CurrentPhotoPullDelta{previous, pulled, by}));
        QCOMPARE(found->didChange(), !message.isEmpty());
        const auto text = GalleryCurrentPhotoActivity::logEntry(*found, state.currentPhoto());
        QCOMPARE(text.has_value(), !message.isEmpty());
        if (text)
            QVERIFY2(*text == (GalleryCurrentPhotoActivity::Text{message, detail}),
                     qPrintable(text->message + " / " + text->detail.value_or("<none>")));
    }
};

LUNVIK_TEST_MAIN(TestActivityLog)
#include "tst_activitylog.moc"
