// The gallery manifest: its JSON format, the uploader coalescing done while
// decoding, the visibility, delete and current-photo rules, and the reorder
// helpers used by the grid. Then the frame's rules: the setup-block parser,
// the screen geometry and the rotation timetable.
#include "support/testenvironment.h"

#include "model/gallerystate.h"
#include "model/photomanifestreorder.h"
#include "rules/bloomin8.h"
#include "rules/rotationschedule.h"

#include <QJsonDocument>
#include <QTest>

#include <limits>

namespace {

std::optional<QString> opt(const QString &s)
{
    return s.isEmpty() ? std::nullopt : std::optional(s);
}

QStringList words(const QString &text)
{
    return text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// "order|visible|deleted|current": photo ids separated by spaces; the visible
// photos and the tombstones make up the photos, an empty current is none.
GalleryState parseState(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('|'));
    GalleryState s;
    s.updatedAt = QStringLiteral("2024-05-03T00:00:00.000Z");
    s.order = words(parts.value(0));
    for (int deleted = 0; deleted < 2; ++deleted) {
        for (const QString &id : words(parts.value(1 + deleted)))
            s.photos.insert(id, PhotoEntry{id, id + QStringLiteral(".jpg"), QStringLiteral("blobs/") + id, 1000,
                                           QStringLiteral("2024-05-01T10:00:00.000Z"),
                                           deleted ? opt(QStringLiteral("2024-05-02T10:00:00.000Z")) : std::nullopt,
                                           QStringLiteral("u-1"), std::nullopt});
    }
    s.currentPhotoId = opt(parts.value(3));
    return s;
}

const QByteArray photoJson = R"({"id":"p","filename":"p.jpg","blobPath":"b/p","sizeBytes":1,"updatedAt":"t")";
const QByteArray head = R"({"updatedAt":"t","order":[],"photos":{)";
const QByteArray canonicalManifest =
    R"({"currentPhotoId":"k1","currentPhotoUpdatedBy":"manual","order":["k1","gone","ghost"],"photos":{)"
    R"("gone":{"blobPath":"g/2","deletedAt":"","filename":"g.jpg","id":"gone","sizeBytes":0,"updatedAt":"t",)"
    R"("uploaderId":"u-1"},"k1":{"blobPath":"g/1","downloadUrl":"/files/1","filename":"Beach.jpg","id":"real-id",)"
    R"("sizeBytes":9007199254740993,"updatedAt":"2024-05-01T00:00:00.000Z","uploaderId":"u-1"}},)"
    R"("updatedAt":"2024-05-03T00:00:00.000Z","uploaders":{"u-1":"Zoë"}})";

const QString hex8 = QStringLiteral("0123abcd");
const QString hex32 = QStringLiteral("0123456789abcdefABCDEF0123456789");
const QString token = hex8 + QLatin1Char('.') + hex32;

QDateTime utc(const QString &iso)
{
    return QDateTime::fromString(iso + QLatin1Char('Z'), Qt::ISODateWithMs);
}

} // namespace

class TestGalleryModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void manifestDecodeAcceptsOrRejects_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("ok");
        const QByteArray p = "\"p\":" + photoJson;
        QTest::newRow("unknown keys ignored") << head + p + ",\"extra\":[1]}},\"x\":1}" << true;
        QTest::newRow("null optionals")
            << head + p + ",\"deletedAt\":null,\"uploaderId\":null,\"downloadUrl\":null}},\"uploaders\":null,"
                          "\"currentPhotoId\":null,\"currentPhotoUpdatedBy\":null}"
            << true;
        QTest::newRow("null updatedAt") << QByteArray(R"({"updatedAt":null,"order":[],"photos":{}})") << false;
        QTest::newRow("numeric updatedAt") << QByteArray(R"({"updatedAt":5,"order":[],"photos":{}})") << false;
        QTest::newRow("order not a list") << QByteArray(R"({"updatedAt":"t","order":"a","photos":{}})") << false;
        QTest::newRow("order with a number") << QByteArray(R"({"updatedAt":"t","order":["a",1],"photos":{}})")
                                             << false;
        QTest::newRow("missing photos") << QByteArray(R"({"updatedAt":"t","order":[]})") << false;
        QTest::newRow("photo missing blobPath")
            << head + R"("p":{"id":"p","filename":"f","sizeBytes":1,"updatedAt":"t"}}})" << false;
        QTest::newRow("fractional sizeBytes")
            << head + R"("p":{"id":"p","filename":"f","blobPath":"b","sizeBytes":1.5,"updatedAt":"t"}}})" << false;
        QTest::newRow("photo not an object") << head + "\"p\":\"x\"}}" << false;
        QTest::newRow("uploader name not text") << head + R"(},"uploaders":{"u-1":2}})" << false;
        QTest::newRow("uploaders a list") << head + R"(},"uploaders":[]})" << false;
        QTest::newRow("updatedBy in other case") << head + R"(},"currentPhotoUpdatedBy":"Cron"})" << false;
        QTest::newRow("truncated") << QByteArray("{\"updatedAt\":\"t\",\"order\":[],\"pho") << false;
    }
    void manifestDecodeAcceptsOrRejects()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, ok);
        QString error;
        QCOMPARE(GalleryState::fromJsonBytes(json, &error).has_value(), ok);
        QCOMPARE(error.isEmpty(), ok);
        // The envelope fails exactly when its manifest does.
        QCOMPARE(GalleryResponse::fromJsonBytes("{\"state\":" + json + "}").has_value(), ok);
    }

    void manifestCoding()
    {
        // Decoding and encoding again gives back the same (compact, sorted) text.
        const auto state = GalleryState::fromJsonBytes(canonicalManifest);
        QVERIFY(state);
        QCOMPARE(state->toJsonBytes(), canonicalManifest);
        QCOMPARE(QJsonDocument(GalleryResponse{*state}.toJson()).toJson(QJsonDocument::Compact),
                 "{\"state\":" + canonicalManifest + "}");
        // The map key is kept even where the entry's own id differs.
        QCOMPARE(state->photos.value(QStringLiteral("k1")).id, QStringLiteral("real-id"));
        QCOMPARE(state->photos.value(QStringLiteral("k1")).sizeBytes, Q_INT64_C(9007199254740993));
        QVERIFY(!state->photos.value(QStringLiteral("k1")).isDeleted());
        QVERIFY(state->photos.value(QStringLiteral("gone")).isDeleted()); // an empty deletedAt still counts
        QCOMPARE(state->currentPhotoUpdatedBy, std::optional(CurrentPhotoUpdatedBy::manual));
        // Nones are omitted, uploaders always present.
        QCOMPARE(GalleryState::empty().toJsonBytes(),
                 QByteArray("{\"order\":[],\"photos\":{},\"updatedAt\":\"1970-01-01T00:00:00.000Z\",\"uploaders\":{}}"));
        for (const char *envelope : {"{}", "{\"state\":null}", "{\"state\":[]}"})
            QVERIFY2(!GalleryResponse::fromJsonBytes(envelope), envelope);
    }

    void uploadersAreCoalesced_data()
    {
        QTest::addColumn<QByteArray>("photoUploader"); // JSON fragments, empty for none
        QTest::addColumn<QByteArray>("uploaders");
        QTest::addColumn<QString>("expectedId");
        QTest::addColumn<UploaderMap>("expectedUploaders");
        const QString kelvo = GalleryState::uploaderId(QStringLiteral("Kelvo"));
        const UploaderMap onlyKelvo{{kelvo, "Kelvo"}};
        QTest::newRow("no uploader anywhere") << QByteArray() << QByteArray() << kelvo << onlyKelvo;
        QTest::newRow("null uploader id") << QByteArray(",\"uploaderId\":null") << QByteArray(",\"uploaders\":{}")
                                          << kelvo << onlyKelvo;
        QTest::newRow("unknown id added as Kelvo")
            << QByteArray(",\"uploaderId\":\"u-x\"") << QByteArray(",\"uploaders\":{\"u-y\":\"Ana\"}")
            << QStringLiteral("u-x") << UploaderMap({{"u-y", "Ana"}, {"u-x", "Kelvo"}});
        QTest::newRow("renamed default uploader keeps its name")
            << QByteArray() << QByteArray(",\"uploaders\":{\"" + kelvo.toUtf8() + "\":\"Grandma\"}") << kelvo
            << UploaderMap({{kelvo, "Grandma"}});
    }
    void uploadersAreCoalesced()
    {
        QFETCH(QByteArray, photoUploader);
        QFETCH(QByteArray, uploaders);
        QFETCH(QString, expectedId);
        QFETCH(UploaderMap, expectedUploaders);
        const auto state = GalleryState::fromJsonBytes(head + "\"p\":" + photoJson + photoUploader + "}}" + uploaders
                                                       + "}");
        QVERIFY(state);
        QCOMPARE(state->photos.value(QStringLiteral("p")).uploaderId, expectedId);
        QCOMPARE(state->uploaders, expectedUploaders);
    }

    void currentPhotoResponse_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QByteArray>("encoded"); // empty when rejected
        QTest::newRow("full") << QByteArray(R"({"galleryVersion":"v","currentPhotoId":"a",)"
                                            R"("currentPhotoUpdatedBy":"cron","updatedAt":"t"})")
                              << QByteArray(R"({"currentPhotoId":"a","currentPhotoUpdatedBy":"cron",)"
                                            R"("galleryVersion":"v","updatedAt":"t"})");
        QTest::newRow("optionals null") << QByteArray(R"({"galleryVersion":"v","updatedAt":"t","currentPhotoId":null,)"
                                                      R"("currentPhotoUpdatedBy":null})")
                                        << QByteArray(R"({"galleryVersion":"v","updatedAt":"t"})");
        QTest::newRow("no galleryVersion") << QByteArray(R"({"updatedAt":"t"})") << QByteArray();
        QTest::newRow("unknown updatedBy")
            << QByteArray(R"({"galleryVersion":"v","updatedAt":"t","currentPhotoUpdatedBy":"user"})") << QByteArray();
    }
    void currentPhotoResponse()
    {
        QFETCH(QByteArray, json);
        QFETCH(QByteArray, encoded);
        const auto r = CurrentPhotoResponse::fromJsonBytes(json);
        QCOMPARE(r.has_value(), !encoded.isEmpty());
        if (r)
            QCOMPARE(QJsonDocument(r->toJson()).toJson(QJsonDocument::Compact), encoded);
    }

    void uploaderId_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("id");
        QTest::newRow("blanks around") << " \tKelvo \n" << "u-6db5e640";
        QTest::newRow("empty is Kelvo") << "" << "u-6db5e640";
        QTest::newRow("case matters") << "kelvo" << "u-9940faa0";
        // Whole scalar values, not UTF-8 bytes and not UTF-16 units.
        QTest::newRow("accented") << QStringLiteral("Zoë") << "u-7907a397";
        QTest::newRow("outside the BMP") << QStringLiteral("\U0001F600 Ana") << "u-341a50ad";
    }
    void uploaderId()
    {
        QFETCH(QString, name);
        QFETCH(QString, id);
        QCOMPARE(GalleryState::uploaderId(name), id);
    }

    void activePhotosAndCurrentPhoto()
    {
        // "b" deleted, "d" only in photos, "x" only in order, "a" listed twice.
        const GalleryState s = parseState(QStringLiteral("a b x c a|a c d|b|d"));
        QStringList active;
        for (const PhotoEntry &e : s.activePhotos())
            active << e.id;
        QCOMPARE(active, QStringList({"a", "c", "a"}));
        // The current photo need not be in the order, only present and not deleted.
        QCOMPARE(s.currentPhoto(), std::optional(s.photos.value(QStringLiteral("d"))));
        for (const QString &current : {QStringLiteral("b"), QStringLiteral("x"), QString()}) {
            GalleryState t = s;
            t.currentPhotoId = opt(current);
            QCOMPARE(t.currentPhoto(), std::nullopt);
        }
    }

    void deleteBlockReason_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("targets");
        QTest::addColumn<QString>("reason"); // the text shown; empty when allowed
        const QString current = QStringLiteral("Can't delete the current photo. Show another photo for today first.");
        const QString all = QStringLiteral("At least one photo must remain in the gallery.");
        QTest::newRow("the current one") << "a b|a b||a" << "a" << current;
        QTest::newRow("all, current checked first") << "a b|a b||a" << "a b" << current;
        QTest::newRow("last one, no current") << "b|b||" << "b" << all;
        QTest::newRow("all, current not visible") << "a b|a b||z" << "a b" << all;
        QTest::newRow("unknown ids are ignored") << "a b|a b||a" << "b x y" << "";
        QTest::newRow("tombstone only") << "a b|a|b|a" << "b" << "";
        QTest::newRow("deleted current among targets") << "a b c|b c|a|a" << "a b" << "";
        QTest::newRow("id listed twice counts once") << "a b a|a b||" << "a b" << all;
    }
    void deleteBlockReason()
    {
        QFETCH(QString, state);
        QFETCH(QString, targets);
        QFETCH(QString, reason);
        const GalleryState s = parseState(state);
        const QStringList list = words(targets);
        const QSet<QString> ids(list.begin(), list.end());
        const auto blocked = s.deleteBlockReason(ids);
        QCOMPARE(blocked ? userText(*blocked) : QString(), reason);
        QCOMPARE(s.canDeletePhotos(ids), reason.isEmpty());
    }

    void canSetAsCurrent_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("candidate");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("already current") << "b" << "b" << false;
        QTest::newRow("other visible") << "b" << "c" << true;
        QTest::newRow("deleted") << "b" << "d" << false;
        QTest::newRow("not in order") << "b" << "e" << false;
        QTest::newRow("only in order") << "b" << "zz" << false;
        QTest::newRow("no current yet") << "" << "b" << true;
    }
    void canSetAsCurrent()
    {
        QFETCH(QString, current);
        QFETCH(QString, candidate);
        QFETCH(bool, allowed);
        // "b" and "c" visible, "d" deleted, "e" only in photos, "zz" only in order.
        QCOMPARE(parseState("b c d zz|b c e|d|" + current).canSetAsCurrent(candidate), allowed);
    }

    void resolvedCurrentPhoto_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("resolved"); // empty for none
        QTest::newRow("current visible, not first") << "a b c|a b c||c" << "c";
        QTest::newRow("no current") << "a b c|a b c||" << "a";
        QTest::newRow("current not in order") << "b|a b||a" << "b";
        QTest::newRow("first ids missing or deleted") << "x a b|b|a|x" << "b";
        QTest::newRow("nothing visible clears") << "a x||a|a" << "";
    }
    void resolvedCurrentPhoto()
    {
        QFETCH(QString, state);
        QFETCH(QString, resolved);
        GalleryState s = parseState(state);
        s.currentPhotoUpdatedBy = CurrentPhotoUpdatedBy::cron;
        GalleryState r = s.withResolvedCurrentPhoto();
        QCOMPARE(r.currentPhotoId, opt(resolved));
        // Nothing else changes.
        r.currentPhotoId = s.currentPhotoId;
        QCOMPARE(r, s);
    }

    void insertionIndex_data()
    {
        QTest::addColumn<double>("fraction");
        QTest::addColumn<int>("photoIndex");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("expected");
        QTest::newRow("half is right") << 0.5 << 2 << 5 << 3;
        QTest::newRow("just left of half") << 0.49 << 2 << 5 << 2;
        QTest::newRow("negative index") << 0.2 << -3 << 5 << 0;
        QTest::newRow("largest index") << 1.0 << std::numeric_limits<int>::max() << 5 << 5;
    }
    void insertionIndex()
    {
        QFETCH(double, fraction);
        QFETCH(int, photoIndex);
        QFETCH(int, count);
        QFETCH(int, expected);
        QCOMPARE(PhotoManifestReorder::insertionIndex(fraction, photoIndex, count), expected);
    }

    void applyingMove_data()
    {
        QTest::addColumn<QString>("order");
        QTest::addColumn<QString>("dragged");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("expected");
        QTest::newRow("a to 3") << "a b c d" << "a" << 3 << "b c a d";
        QTest::newRow("d to front") << "a b c d" << "d" << 0 << "d a b c";
        QTest::newRow("own left gap") << "a b c d" << "b" << 1 << "a b c d";
        QTest::newRow("own right gap") << "a b c d" << "b" << 2 << "a b c d";
        QTest::newRow("negative is front") << "a b c d" << "c" << -5 << "c a b d";
        QTest::newRow("huge index") << "a b c d" << "a" << std::numeric_limits<int>::max() << "b c d a";
        QTest::newRow("unknown id") << "a b c d" << "x" << 0 << "a b c d";
        QTest::newRow("first occurrence moves") << "a b a c" << "a" << 4 << "b a c a";
    }
    void applyingMove()
    {
        QFETCH(QString, order);
        QFETCH(QString, dragged);
        QFETCH(int, index);
        QFETCH(QString, expected);
        QCOMPARE(PhotoManifestReorder::applyingMove(dragged, index, words(order)), words(expected));
    }

    // Both parsers run over every setup text: a token line must not be
    // taken for a device name, nor a device line for a token. `alone`: the
    // whole text is a token, blank ends aside.
    void setupText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("token"); // empty: none
        QTest::addColumn<QString>("device"); // empty: none
        QTest::addColumn<bool>("alone");
        QTest::newRow("bare") << " \n" + token + "\t\n" << token << "" << true;
        QTest::newRow("7 before") << hex8.left(7) + "." + hex32 << "" << "" << false;
        QTest::newRow("31 after") << hex8 + "." + hex32.left(31) << "" << "" << false;
        QTest::newRow("a g") << hex8 + "." + hex32.left(31) + "g" << "" << "" << false;
        QTest::newRow("inner space") << hex8 + ". " + hex32 << "" << "" << false;
        QTest::newRow("second stop") << token + ".00" << "" << "" << false;
        QTest::newRow("no stop") << hex8 + hex32 << "" << "" << false;
        QTest::newRow("full-width digits") << QString::fromUtf8("０１２３４５６７.") + hex32 << "" << "" << false;
        QTest::newRow("labelled, any case") << "Device: Hall\nTOKEN:   " + token + "\nInterval: 24h" << token << "Hall" << false;
        QTest::newRow("windows line ends") << "Device: Hall\r\nToken: " + token + "\r\nInterval: 24h\r\n" << token << "Hall" << false;
        QTest::newRow("bad label, then good") << "Token: nope\n\tToken:\t" + token << token << "" << false;
        QTest::newRow("split over lines") << "Bloomin8 API token\nDevice: Hall\n" + hex8 + ".\n" + hex32.left(16) + "\n"
                + hex32.mid(16) << token << "Hall" << false;
        QTest::newRow("title spoils the join") << "My frame\n" + token << "" << "" << false;
        QTest::newRow("empty") << " \n\t " << "" << "" << false;
        QTest::newRow("nothing like a token") << "Device: Hall\nToken: 1234" << "" << "Hall" << false;
        QTest::newRow("with more after the bar") << "Device:   Living room | 13.3 inch" << "" << "Living room" << false;
        QTest::newRow("only a bar") << "Device: | x\nDevice: Hall" << "" << "" << false;
        QTest::newRow("empty, then named") << "device:\n  DEVICE:\tHall\t\nToken: x" << "" << "Hall" << false;
    }
    void setupText()
    {
        QFETCH(QString, text); QFETCH(QString, token); QFETCH(QString, device); QFETCH(bool, alone);
        QCOMPARE(Bloomin8TokenParser::parseToken(text).value_or(QString()), token);
        QCOMPARE(Bloomin8TokenParser::parseDeviceName(text).value_or(QString()), device);
        QCOMPARE(Bloomin8TokenParser::looksLikeToken(text), alone);
    }

    void screenGeometry()
    {
        using namespace Bloomin8Screen;
        QCOMPARE(aspectRatio(1600, 1200), 0.75);
        QCOMPARE(aspectRatio(0, 5), 0.75);
        QCOMPARE(aspectRatio(1000, 1000), 1.0);
        QVERIFY(isLandscapeDevice(QStringLiteral("l"), std::nullopt, std::nullopt));
        QVERIFY(!isLandscapeDevice(QStringLiteral("P"), 1600, 1200));
        QVERIFY(isLandscapeDevice(std::nullopt, 1600, 1200));
        QVERIFY(!isLandscapeDevice(QStringLiteral("x"), 1600, std::nullopt));
        QVERIFY(isLandscapeDevice(QStringLiteral("x"), 1600, 1200));
        QVERIFY(!isLandscapeDevice(std::nullopt, -1600, -1200));
        QCOMPARE(displayAspectRatio(0, true), 1 / 0.75);
        QCOMPARE(displayAspectRatio(1.5, false), 1.0);
        QCOMPARE(displayAspectRatio(-2, false), 0.75);
        QCOMPARE(portraitCanvasPixels(1600, 1200), (CanvasPixels{1200, 1600}));
        QCOMPARE(portraitCanvasPixels(2000, std::nullopt), (CanvasPixels{1600, 2000}));
        QCOMPARE(portraitCanvasPixels(0, 500), (CanvasPixels{1200, 1600}));
        QCOMPARE(portraitCanvasPixels(std::nullopt, 900), (CanvasPixels{900, 1200}));
    }

    void kindAndInterval()
    {
        using namespace GalleryRotationSchedule;
        QCOMPARE(kind(false, 10), GalleryRotationScheduleKind::productionDailyUTC());
        QCOMPARE(kind(true, 10), GalleryRotationScheduleKind::debugInterval(60));
        QCOMPARE(kind(true, 100000), GalleryRotationScheduleKind::debugInterval(86400));
        QCOMPARE(kind(true, 90), GalleryRotationScheduleKind::debugInterval(90));
        QCOMPARE(periodDuration(GalleryRotationScheduleKind::productionDailyUTC()), 86400.0);
    }

    void nextDailyBoundary_data()
    {
        QTest::addColumn<QDateTime>("after");
        QTest::addColumn<QDateTime>("expected");
        QTest::newRow("just before") << utc("2026-03-01T10:59:59.000") << utc("2026-03-01T11:00:00.000");
        QTest::newRow("exactly at") << utc("2026-03-01T11:00:00.000") << utc("2026-03-02T11:00:00.000");
        QTest::newRow("end of February") << utc("2026-02-28T23:30:00.000") << utc("2026-03-01T11:00:00.000");
        QTest::newRow("leap day") << utc("2028-02-28T12:00:00.000") << utc("2028-02-29T11:00:00.000");
        QTest::newRow("year end") << utc("2026-12-31T11:00:00.001") << utc("2027-01-01T11:00:00.000");
        // An instant given in another zone is still measured in UTC.
        QTest::newRow("other zone") << QDateTime(QDate(2026, 3, 1), QTime(12, 30), QTimeZone(3600))
                                    << utc("2026-03-02T11:00:00.000");
    }
    void nextDailyBoundary()
    {
        QFETCH(QDateTime, after); QFETCH(QDateTime, expected);
        QCOMPARE(GalleryRotationSchedule::nextBoundary(after, GalleryRotationScheduleKind::productionDailyUTC(),
                     GalleryRotationSchedule::utcCalendar()),
            expected);
    }

    void plan()
    {
        const QDateTime now = utc("2026-03-01T09:30:00.000");
        const auto plan = [&](const QList<QString> &order, const QString &current, GalleryRotationScheduleKind kind) {
            return GalleryRotationSchedule::plan(order, current, now, kind, GalleryRotationSchedule::utcCalendar());
        };
        const auto daily = GalleryRotationScheduleKind::productionDailyUTC();
        const auto minutely = GalleryRotationScheduleKind::debugInterval(60);
        const QList<QString> abc{"a", "b", "c"};
        QVERIFY(!plan({}, "a", daily));

        const auto byDay = plan(abc, "b", daily);
        QVERIFY(byDay);
        QCOMPARE(byDay->nextCron, utc("2026-03-01T11:00:00.000"));
        QCOMPARE(byDay->currentShowingUntil, std::optional(utc("2026-03-01T11:00:00.000")));
        QCOMPARE(byDay->showingStartByPhotoID.value("b"), utc("2026-02-28T11:00:00.000"));
        QCOMPARE(byDay->showingStartByPhotoID.value("c"), utc("2026-03-01T11:00:00.000"));
        QCOMPARE(byDay->showingStartByPhotoID.value("a"), utc("2026-03-02T11:00:00.000"));

        // Four photos, the third current, one minute each.
        const auto byMinute = plan({"p0", "p1", "p2", "p3"}, "p2", minutely);
        QVERIFY(byMinute);
        for (const auto &[id, start] :
             {std::pair("p2", 0), std::pair("p3", 60), std::pair("p0", 120), std::pair("p1", 180)})
            QCOMPARE(byMinute->showingStartByPhotoID.value(id), now.addSecs(start));

        // A current photo outside the order: the first one counts as current.
        const auto unknown = plan(abc, "zz", minutely);
        QCOMPARE(unknown->showingStartByPhotoID.value("a"), now);
        QCOMPARE(unknown->currentShowingUntil, std::optional(now.addSecs(60)));
    }
};

LUNVIK_TEST_MAIN(TestGalleryModel)
#include "tst_gallerymodel.moc"
