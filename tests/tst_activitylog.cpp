// The activity log: the one-line record format and the lines a reader skips,
// the log file with its read limit and trim, the shared store (standard-error
// mirror, merging the file back, live reload, error descriptions) and the
// texts of current-photo changes found by a pull.
#include "support/testenvironment.h"

#include "clock.h"
#include "log/activitylogfile.h"
#include "log/activitylogstore.h"
#include "log/secretmask.h"
#include "log/currentphotoactivity.h"
#include "server/syncerror.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QThread>
#include <QProcess>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <stdexcept>

Q_DECLARE_METATYPE(std::optional<LogEntry>)
Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(std::function<QString()>)

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

// A second program on the same folder (this executable run with --child):
// appends `count` records "<tag> <n>", n counting up from 0, once the
// parent has made the start file (so that both programs append at once and
// neither has all its records trimmed away by the other before it starts).
QString startFilePath()
{
    return ActivityLogFile::url() + QStringLiteral(".start");
}

int appendRecords(const QString &tag, int count)
{
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

    void writeLine()
    {
        // Compact, sorted keys, upper-case id, UTC time without fraction, no detail as "".
        LogEntry e{idA, at("2026-03-01T09:05:09.750+02:00"), LogCategory::gallery, LogLevel::success,
                   QStringLiteral("Café \"q\" \\ · 写真"), QStringLiteral("HTTP 500\nGET\r\n\ttab")};
        QCOMPARE(e.toLine(), QByteArray("{\"c\":\"gallery\",\"d\":\"HTTP 500\\nGET\\r\\n\\ttab\","
                                        "\"id\":\"0F8FAD5B-D9CB-469F-A165-70867728950E\",\"l\":\"success\","
                                        "\"m\":\"Café \\\"q\\\" \\\\ · 写真\",\"t\":\"2026-03-01T07:05:09Z\"}"));
        e.timestamp = at(t0);
        QCOMPARE(LogEntry::fromLine(e.toLine()), std::optional(e));
        e.detail.reset();
        QVERIFY(e.toLine().contains("\"d\":\"\","));
        QCOMPARE(LogEntry::fromLine(e.toLine()), std::optional(e));
    }

    void timeText_data()
    {
        QTest::addColumn<QString>("time");
        QTest::addColumn<QString>("written");
        QTest::newRow("ordinary") << "2026-03-01T09:05:09.750+02:00" << "2026-03-01T07:05:09Z";
        QTest::newRow("year below 1000") << "0708-03-01T07:05:09.123+02:00" << "0708-03-01T05:05:09Z";
        QTest::newRow("year 1") << "0001-01-01T00:00:00Z" << "0001-01-01T00:00:00Z";
        QTest::newRow("year 9999") << "9999-12-31T23:59:59Z" << "9999-12-31T23:59:59Z";
    }
    void timeText()
    {
        // Every time the reader accepts is written so that it reads back.
        QFETCH(QString, time);
        QFETCH(QString, written);
        const LogEntry e{idA, at(time.toLatin1().constData()), LogCategory::device, LogLevel::info, QString(), std::nullopt};
        QCOMPARE(logTimeText(e.timestamp), written);
        const auto back = LogEntry::fromLine(e.toLine());
        QVERIFY(back);
        QCOMPARE(back->timestamp, e.timestamp.addMSecs(-e.timestamp.time().msec()));
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
        const auto noDetail = with([](LogEntry &e) { e.detail.reset(); });
        const std::optional<LogEntry> skipped;

        QTest::newRow("well formed") << lineWith("c", "sync") << std::optional(good);
        QTest::newRow("d empty") << lineWith("d", "") << noDetail;
        QTest::newRow("d missing") << lineWith("d", QJsonValue::Undefined) << noDetail;
        QTest::newRow("fractional seconds") << lineWith("t", "2026-03-01T07:05:09.250Z")
                                            << with([](LogEntry &e) { e.timestamp = at("2026-03-01T07:05:09.250Z"); });
        QTest::newRow("offset zone") << lineWith("t", "2026-03-01T09:05:09+02:00") << std::optional(good);
        QTest::newRow("lower-case id") << lineWith("id", "0f8fad5b-d9cb-469f-a165-70867728950e") << std::optional(good);
        QTest::newRow("unknown string member") << lineWith("x", "y") << std::optional(good);
        QTest::newRow("CRLF line end") << lineWith("c", "sync") + "\r" << std::optional(good);

        QTest::newRow("category wrong case") << lineWith("c", "Sync") << skipped;
        QTest::newRow("unknown level") << lineWith("l", "debug") << skipped;
        QTest::newRow("m missing") << lineWith("m", QJsonValue::Undefined) << skipped;
        QTest::newRow("id not a UUID") << lineWith("id", "not-a-uuid") << skipped;
        QTest::newRow("id without dashes") << lineWith("id", "0F8FAD5BD9CB469FA16570867728950E") << skipped;
        QTest::newRow("t without zone") << lineWith("t", "2026-03-01T07:05:09") << skipped;
        QTest::newRow("t before year 1 in UTC") << lineWith("t", "0001-01-01T00:30:00+02:00") << skipped;
        QTest::newRow("t after year 9999 in UTC") << lineWith("t", "9999-12-31T23:30:00-02:00") << skipped;
        QTest::newRow("d null") << lineWith("d", QJsonValue::Null) << skipped;
        QTest::newRow("cut short") << lineWith("c", "sync").chopped(5) << skipped;
        QTest::newRow("array") << "[" + lineWith("c", "sync") + "]" << skipped;
    }
    void readLine()
    {
        QFETCH(QByteArray, text);
        QFETCH(std::optional<LogEntry>, expected);
        QCOMPARE(LogEntry::fromLine(text), expected);
    }

    void loadRecent_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QStringList>("expected");
        const QByteArray five = line("1") + line("2") + line("3") + line("4") + line("5");
        QTest::newRow("limit 0") << five << 0 << QStringList();
        QTest::newRow("last three in file order") << five << 3 << QStringList({"3", "4", "5"});
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

    // A reload keeps the records of lines it decoded before; whatever
    // changed in the file since is read as it is now.
    void rereadAfterChange_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QStringList>("expected");
        const QUuid id = QUuid::createUuid();
        const QByteArray kept = line(QStringLiteral("Kept"));
        QTest::newRow("a line rewritten under the same id")
            << line(QStringLiteral("One"), id) + kept << line(QStringLiteral("Two"), id) + kept
            << QStringList({"Two", "Kept"});
        QTest::newRow("a line cut short") << kept + line(QStringLiteral("Whole"), id)
                                          << kept + line(QStringLiteral("Whole"), id).chopped(9) + '\n'
                                          << QStringList({"Kept"});
        QTest::newRow("a bad line mended") << "garbage\n" + kept << line(QStringLiteral("Mended"), id) + kept
                                           << QStringList({"Mended", "Kept"});
        QTest::newRow("emptied") << kept << QByteArray() << QStringList();
    }
    void rereadAfterChange()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QFETCH(QStringList, expected);
        writeLog(before);
        ActivityLogFile::loadRecent(10);
        writeLog(after);
        QCOMPARE(messages(ActivityLogFile::loadRecent(10)), expected);
    }

    void appendAndClear()
    {
        const QString path = ActivityLogFile::url();
        const LogEntry first{idA, at(t0), LogCategory::server, LogLevel::warning, "Slow", {}};
        ActivityLogFile::append(first); // creates the file
        const LogEntry second{QUuid::createUuid(), at(t0), LogCategory::device, LogLevel::error, "Down", "x"};
        ActivityLogFile::append(second);
        QCOMPARE(readLog(), first.toLine() + '\n' + second.toLine() + '\n');

        // A previous writer died mid-line: the next record must still stand
        // on a line of its own, and the one before the torn line survives.
        writeLog(line("Before") + line("Torn").chopped(20));
        ActivityLogFile::append(first);
        QCOMPARE(messages(ActivityLogFile::loadRecent(10)), QStringList({"Before", "Slow"}));

        ActivityLogFile::clear();
        QCOMPARE(readLog(), QByteArray());
        QVERIFY(QFile::remove(path));
        ActivityLogFile::clear(); // on a missing file: creates an empty one
        QVERIFY(QFile::exists(path));
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
        QCOMPARE(readLog(), (keptFrom >= 0 ? kept : prefix) + appended);
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
        std::vector<std::unique_ptr<QProcess>> children;
        for (const char *tag : {"A", "B"}) {
            auto child = std::make_unique<QProcess>();
            child->setProcessChannelMode(QProcess::ForwardedChannels);
            child->start(QCoreApplication::applicationFilePath(),
                         {QStringLiteral("--child"), QString::fromLatin1(tag), QString::number(count)});
            children.push_back(std::move(child));
        }
        for (auto &child : children)
            QVERIFY(child->waitForStarted());
        QFile start(startFilePath());
        QVERIFY(start.open(QIODevice::WriteOnly));
        start.close();
        const auto removeStartFile = qScopeGuard([] { QFile::remove(startFilePath()); });
        for (auto &child : children) {
            QVERIFY(child->waitForFinished(120000));
            QCOMPARE(child->exitCode(), 0);
        }
        QFile file(ActivityLogFile::url());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
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
        QTest::newRow("no detail") << std::optional<QString>() << QList<QByteArray>({"[sync] Sync started\n"});
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
        store.log(LogCategory::system, LogLevel::info, "Earlier");
        setClock(t0);
        m_stderr.clear();
        QSignalSpy changed(&store, &ActivityLogStore::entriesChanged);
        store.log(LogCategory::sync, LogLevel::warning, "Sync started", detail);

        QCOMPARE(changed.count(), 1);
        QCOMPARE(m_stderr, mirrored);
        QCOMPARE(messages(store.entries()), QStringList({"Sync started", "Earlier"}));
        LogEntry e = store.entries().first();
        QCOMPARE(e, (LogEntry{e.id, at(t0), LogCategory::sync, LogLevel::warning, "Sync started", detail}));
        if (e.detail && e.detail->isEmpty())
            e.detail.reset(); // kept as given in memory, read back as none
        QCOMPARE(ActivityLogFile::loadRecent(1), QList<LogEntry>({e}));
    }

    void logError()
    {
        store.log(SyncError::decode(), LogCategory::sync, "Sync failed");
        store.log(std::make_exception_ptr(std::runtime_error("disk on fire")), LogCategory::gallery, "Upload failed");
        QCOMPARE(store.entries().size(), 2);
        for (const LogEntry &e : store.entries())
            QCOMPARE(e.level, LogLevel::error);
        QCOMPARE(m_stderr, QList<QByteArray>({"[sync] Sync failed\n", "Could not decode server response\n",
                                              "[gallery] Upload failed\n", "disk on fire\n"}));
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

        store.clear();
        QVERIFY(store.entries().isEmpty());
        QCOMPARE(readLog(), QByteArray());
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
        QVERIFY(store.isLiveReloadRunning());
        writeLog(line("Appended later", QUuid::createUuid(), "2026-03-01T08:00:00Z"), QIODevice::Append);
        QTRY_COMPARE_WITH_TIMEOUT(messages(store.entries()), QStringList({"Appended later", "From another writer"}), 5000);

        store.stopLiveReload();
        store.stopLiveReload();
        QVERIFY(!store.isLiveReloadRunning());
    }

    void describe_data()
    {
        QTest::addColumn<std::function<QString()>>("describe");
        QTest::addColumn<QString>("expected");
        auto error = [](auto e) { return std::function<QString()>([e] { return ActivityLogStore::describe(e); }); };
        QTest::newRow("stale") << error(SyncError::stale(GalleryResponse{})) << "HTTP 409 gallery stale";
        QTest::newRow("general domain, code 0") << error(PlatformError::general("x")) << "x";
        QTest::newRow("other domain") << error(PlatformError("Other", 7, "desc")) << "Domain: Other code=7\ndesc";
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
    }
    void describe()
    {
        QFETCH(std::function<QString()>, describe);
        QFETCH(QString, expected);
        QCOMPARE(describe(), expected);
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
        QVERIFY(*found == (CurrentPhotoPullDelta{opt(previous), opt(pulled), state.currentPhotoUpdatedBy}));
        QCOMPARE(found->didChange(), !logged.isEmpty());
        const auto text = GalleryCurrentPhotoActivity::logEntry(*found, state.currentPhoto());
        QCOMPARE(text ? text->message + " / " + text->detail.value_or("<none>") : QString(), logged);
    }
};

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--child") == 0) {
        // Inherits the parent's temporary home from the environment.
        QCoreApplication app(argc, argv);
        return appendRecords(QString::fromLatin1(argv[2]), QByteArray(argv[3]).toInt());
    }
    TestEnvironment::setUp();
    QCoreApplication app(argc, argv);
    TestActivityLog tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}
#include "tst_activitylog.moc"
