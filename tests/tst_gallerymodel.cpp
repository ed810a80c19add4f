// The gallery manifest's format and rules, the reorder helpers, the frame's
// setup blocks, screen geometry and rotation timetable, the selection store
// with its keyboard handlers, and the photo texts.
#include "support/testenvironment.h"

#include "clock.h"
#include "model/gallerystate.h"
#include "model/photomanifestreorder.h"
#include "rules/bloomin8.h"
#include "rules/rotationschedule.h"
#include "store/galleryselectionstore.h"
#include "store/photoformatters.h"

#include <QJsonDocument>
#include <QSignalSpy>
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
    return QDateTime::fromString(iso, Qt::ISODateWithMs).toUTC();
}

QSet<QString> idSet(const QString &ids, QChar separator = u' ')
{
    const QStringList list = ids.split(separator, Qt::SkipEmptyParts);
    return QSet<QString>(list.cbegin(), list.cend());
}

// Five hours behind UTC, without daylight saving time.
const QTimeZone minus5(-5 * 3600);

// Runs `script` on a store over the order P1..Pn and returns the outcomes
// of its key presses and navigations: "h" handled/moved, "i" ignored.
// Steps: "P3" click, ">P3" Shift-click, "^P3" Ctrl-click, "*P3" both;
// "{P1,P4}" sets the selection, "@P2" the anchor; "open:P2" double click;
// "del:P1,P2" photos deleted; "clear"; "all" Select All; "Left" ...
// "Escape" a key press, to the grid's handlers (3 columns) or, while the
// lightbox is open, to the lightbox's; "grid:h,v,columns" and "lightbox:delta" navigate directly.
QString run(GallerySelectionStore &store, int count, const QString &script)
{
    static const QHash<QString, int> keys{{"Left", Qt::Key_Left},     {"Right", Qt::Key_Right},
                                          {"Up", Qt::Key_Up},         {"Down", Qt::Key_Down},
                                          {"Return", Qt::Key_Return}, {"Enter", Qt::Key_Enter},
                                          {"Space", Qt::Key_Space},   {"Escape", Qt::Key_Escape}};
    QList<QString> photoOrder;
    for (int i = 1; i <= count; ++i)
        photoOrder.append(QStringLiteral("P%1").arg(i));
    QString outcomes;
    const auto note = [&outcomes](bool handled) { outcomes += handled ? u'h' : u'i'; };
    for (const QString &step : script.split(u' ', Qt::SkipEmptyParts)) {
        const QString arg = step.section(u':', 1);
        if (keys.contains(step)) {
            const int key = keys.value(step);
            const bool grid = !store.isLightboxOpen();
            note(store.isLightboxOpen()
                     ? GalleryLightboxArrowKeyboardHandling{}.handleKeyPress(key, store, photoOrder)
                     : GalleryOpenLightboxKeyboardHandling{grid, photoOrder}.handleKeyPress(key, store)
                         || GalleryClearSelectionKeyboardHandling{grid}.handleKeyPress(key, store)
                         || GalleryArrowSelectionKeyboardHandling{grid}.handleKeyPress(key, store, photoOrder, 3));
        } else if (step.startsWith(u'{')) {
            store.setSelectedIDs(idSet(step.mid(1).chopped(1), u','));
        } else if (step.startsWith(u'@')) {
            store.setSelectionAnchor(opt(step.mid(1)));
        } else if (step == u"clear") {
            store.clearSelection();
        } else if (step == u"all") {
            store.selectAll(photoOrder);
        } else if (step.startsWith(u"open:")) {
            store.openLightbox(arg);
        } else if (step.startsWith(u"del:")) {
            store.subtractSelection(idSet(arg, u','));
        } else if (step.startsWith(u"grid:")) {
            const QStringList n = arg.split(u',');
            note(store.navigateGridSelection(n[0].toInt(), n[1].toInt(), photoOrder, n[2].toInt()));
        } else if (step.startsWith(u"lightbox:")) {
            note(store.navigateLightbox(arg.toInt(), photoOrder));
        } else {
            const QChar mark = step.front();
            const QString id = mark.isLetterOrNumber() ? step : step.mid(1);
            store.selectPhoto(id, GridTapModifiers::fromKeyboardModifiers(
                                      (mark == u'^' || mark == u'*' ? Qt::ControlModifier : Qt::NoModifier)
                                      | (mark == u'>' || mark == u'*' ? Qt::ShiftModifier : Qt::NoModifier)),
                              photoOrder);
        }
    }
    return outcomes;
}

} // namespace

class TestGalleryModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup()
    {
        Clock::setForTesting({});
        PhotoFormatters::setLocaleForTesting(std::nullopt);
        PhotoFormatters::setTimeZoneForTesting(std::nullopt);
    }

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
        // Decoding and encoding again gives back the same (compact, sorted)
        // text: the map key kept where the entry's own id differs, a size
        // beyond a double's precision exact.
        const auto state = GalleryState::fromJsonBytes(canonicalManifest);
        QVERIFY(state);
        QCOMPARE(state->toJsonBytes(), canonicalManifest);
        QCOMPARE(QJsonDocument(GalleryResponse{*state}.toJson()).toJson(QJsonDocument::Compact),
                 "{\"state\":" + canonicalManifest + "}");
        QVERIFY(state->photos.value(QStringLiteral("gone")).isDeleted()); // an empty deletedAt still counts
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
        QTest::newRow("unknown ids are ignored") << "a b|a b||a" << "b x y" << "";
        QTest::newRow("deleted current among targets") << "a b c|b c|a|a" << "a b" << "";
        QTest::newRow("id listed twice counts once") << "a b a|a b||" << "a b" << all;
    }
    void deleteBlockReason()
    {
        QFETCH(QString, state);
        QFETCH(QString, targets);
        QFETCH(QString, reason);
        const GalleryState s = parseState(state);
        const QSet<QString> ids = idSet(targets);
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
        QTest::newRow("d to front") << "a b c d" << "d" << 0 << "d a b c";
        QTest::newRow("own left gap") << "a b c d" << "b" << 1 << "a b c d";
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
        QTest::newRow("just before") << utc("2026-03-01T10:59:59.000Z") << utc("2026-03-01T11:00:00.000Z");
        QTest::newRow("exactly at") << utc("2026-03-01T11:00:00.000Z") << utc("2026-03-02T11:00:00.000Z");
        QTest::newRow("leap day") << utc("2028-02-28T12:00:00.000Z") << utc("2028-02-29T11:00:00.000Z");
        QTest::newRow("year end") << utc("2026-12-31T11:00:00.001Z") << utc("2027-01-01T11:00:00.000Z");
        // An instant given in another zone is still measured in UTC.
        QTest::newRow("other zone") << QDateTime(QDate(2026, 3, 1), QTime(12, 30), QTimeZone(3600))
                                    << utc("2026-03-02T11:00:00.000Z");
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
        const QDateTime now = utc("2026-03-01T09:30:00.000Z");
        const auto plan = [&](const QList<QString> &order, const QString &current, GalleryRotationScheduleKind kind) {
            return GalleryRotationSchedule::plan(order, current, now, kind, GalleryRotationSchedule::utcCalendar());
        };
        const auto daily = GalleryRotationScheduleKind::productionDailyUTC();
        const auto minutely = GalleryRotationScheduleKind::debugInterval(60);
        const QList<QString> abc{"a", "b", "c"};
        QVERIFY(!plan({}, "a", daily));

        const auto byDay = plan(abc, "b", daily);
        QVERIFY(byDay);
        QCOMPARE(byDay->nextCron, utc("2026-03-01T11:00:00.000Z"));
        QCOMPARE(byDay->currentShowingUntil, std::optional(utc("2026-03-01T11:00:00.000Z")));
        QCOMPARE(byDay->showingStartByPhotoID.value("b"), utc("2026-02-28T11:00:00.000Z"));
        QCOMPARE(byDay->showingStartByPhotoID.value("c"), utc("2026-03-01T11:00:00.000Z"));
        QCOMPARE(byDay->showingStartByPhotoID.value("a"), utc("2026-03-02T11:00:00.000Z"));

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

    void selection_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("outcomes");
        QTest::addColumn<QString>("after"); // "selected|anchor|lightbox navigation photo"
        // Clicks.
        QTest::newRow("range swings past the anchor") << 5 << "P3 >P1 >P5" << "" << "P3 P4 P5|P3|";
        QTest::newRow("no anchor: earliest selected, not stored") << 5 << "{X,P4,P2} >P5" << "" << "P2 P3 P4 P5||";
        QTest::newRow("no anchor, nothing selected") << 5 << ">P3" << "" << "P3||";
        QTest::newRow("target not in order") << 5 << "P2 >Q" << "" << "Q|Q|";
        QTest::newRow("stored anchor not in order") << 5 << "{G} @G >P3" << "" << "P3|P3|";
        QTest::newRow("shift on an empty order is a click") << 0 << "A >B" << "" << "B|B|";
        QTest::newRow("ctrl toggles, anchor stays") << 5 << "P2 ^P4 ^P2" << "" << "P4|P2|";
        QTest::newRow("ctrl+shift is a range") << 5 << "P2 *P4" << "" << "P2 P3 P4|P2|";
        QTest::newRow("open selects the photo") << 5 << "P1 >P3 open:P5" << "" << "P5|P5|P5";
        // Grid arrows (3 columns) and Return, Enter, Space, Escape.
        QTest::newRow("nothing selected, right") << 5 << "Right" << "h" << "P1|P1|";
        QTest::newRow("nothing selected, down") << 5 << "Down" << "h" << "P3|P3|";
        QTest::newRow("nothing selected, up") << 7 << "Up" << "h" << "P5|P5|";
        QTest::newRow("right from the last wraps") << 5 << "P5 Right" << "h" << "P1|P1|";
        QTest::newRow("up from the first wraps, 7 photos") << 7 << "P1 Up" << "h" << "P5|P5|";
        QTest::newRow("from the selected anchor") << 5 << "P2 ^P4 @P4 Right" << "h" << "P5|P5|";
        QTest::newRow("unselected anchor: first selected") << 5 << "P1 ^P4 ^P2 ^P1 Left" << "h" << "P1|P1|";
        QTest::newRow("only strays selected") << 5 << "X Right" << "h" << "P1|P1|";
        QTest::newRow("columns of 0 or less count as 1") << 5 << "P2 grid:0,1,0 grid:0,-1,-4" << "hh" << "P2|P2|";
        QTest::newRow("moves that cancel out") << 5 << "P2 grid:-3,1,3" << "i" << "P2|P2|";
        QTest::newRow("empty gallery") << 0 << "Right Down" << "ii" << "||";
        QTest::newRow("extreme deltas wrap")
            << 7 << "grid:2147483647,2147483647,2147483647 {} grid:-2147483648,-2147483648,2147483647" << "hh"
            << "P4|P4|";
        QTest::newRow("return, nothing selected") << 5 << "Return Space Escape" << "iii" << "||";
        QTest::newRow("return opens the anchor") << 5 << "P2 ^P4 @P4 Return" << "h" << "P4|P4|P4";
        QTest::newRow("space opens the first in order") << 5 << "P1 ^P4 ^P2 ^P1 Space" << "h" << "P2|P2|P2";
        QTest::newRow("enter opens the smallest stray") << 5 << "{Y,X} Enter" << "h" << "X|X|X";
        QTest::newRow("clearing keeps the lightbox") << 5 << "open:P1 clear" << "" << "||P1";
        QTest::newRow("select all keeps the anchor") << 5 << "P4 all >P2" << "" << "P2 P3 P4|P4|";
        QTest::newRow("select all drops strays and their anchor") << 5 << "{X} @X all" << "" << "P1 P2 P3 P4 P5||";
        QTest::newRow("lightbox takes no up or escape") << 5 << "P1 Enter Up Escape" << "hii" << "P1|P1|P1";
        // Lightbox.
        QTest::newRow("lightbox: grid arrows do nothing") << 5 << "open:P2 grid:1,0,3" << "i" << "P2|P2|P2";
        QTest::newRow("lightbox: a full turn") << 5 << "open:P2 lightbox:5 lightbox:-7" << "ih" << "P5|P5|P5";
        QTest::newRow("lightbox: extreme delta") << 5 << "open:P1 lightbox:-2147483648" << "h" << "P3|P3|P3";
        QTest::newRow("lightbox: photo not in order") << 5 << "open:X Right" << "i" << "X|X|X";
        QTest::newRow("lightbox: closed") << 5 << "lightbox:1" << "i" << "||";
        // Deletes.
        QTest::newRow("delete the lightbox photo") << 5 << "open:P2 del:P2" << "" << "||";
        QTest::newRow("delete another, lightbox stays") << 5 << "open:P2 ^P3 del:P3" << "" << "P2|P2|P2";
        QTest::newRow("anchor moves to a remaining photo") << 5 << "{D,C,B} @B del:B,X" << "" << "C D|C|";
        QTest::newRow("anchor gone with the selection") << 5 << "P2 >P3 del:P2,P3" << "" << "||";
        QTest::newRow("unselected anchor not deleted") << 5 << "P2 ^P3 ^P2 del:P3" << "" << "|P2|";
    }
    void selection()
    {
        QFETCH(int, count);
        QFETCH(QString, script);
        QFETCH(QString, outcomes);
        QFETCH(QString, after);

        GallerySelectionStore store;
        QCOMPARE(run(store, count, script), outcomes);
        QCOMPARE(store.selectedIDs(), idSet(after.section(u'|', 0, 0)));
        QCOMPARE(store.selectionAnchor(), opt(after.section(u'|', 1, 1)));
        QCOMPARE(store.lightboxNavigationPhotoID(), opt(after.section(u'|', 2, 2)));
        if (!store.isLightboxOpen())
            QCOMPARE(store.lightboxPhotoID(), std::nullopt);
    }

    void changeSignalsOnlyOnRealChanges()
    {
        GallerySelectionStore store;
        QSignalSpy selected(&store, &GallerySelectionStore::selectedIDsChanged);
        QSignalSpy navigation(&store, &GallerySelectionStore::lightboxNavigationPhotoIDChanged);
        QSignalSpy page(&store, &GallerySelectionStore::lightboxPhotoIDChanged);
        QSignalSpy anchor(&store, &GallerySelectionStore::selectionAnchorChanged);
        const auto take = [&] {
            const QList<qsizetype> counts{selected.size(), navigation.size(), page.size(), anchor.size()};
            selected.clear(), navigation.clear(), page.clear(), anchor.clear();
            return counts;
        };
        using Counts = QList<qsizetype>; // selected, navigation, page, anchor

        QCOMPARE(run(store, 5, "{} @ del:P1 Escape"), "i");
        store.closeLightbox();
        QCOMPARE(take(), (Counts{0, 0, 0, 0}));
        run(store, 5, "P1");
        QCOMPARE(take(), (Counts{1, 0, 0, 1}));
        run(store, 5, "P1 {P1} @P1 >P3 {P3,P2,P1}"); // the same set, built in another order
        QCOMPARE(take(), (Counts{1, 0, 0, 0}));

        // Listeners see the whole operation done.
        QSet<QString> seen;
        connect(&store, &GallerySelectionStore::lightboxNavigationPhotoIDChanged, this,
                [&] { seen = store.selectedIDs(); });
        store.openLightbox(QStringLiteral("P4"));
        QCOMPARE(take(), (Counts{1, 1, 0, 1}));
        QCOMPARE(seen, QSet<QString>{"P4"});

        store.noteLightboxPageAppeared(QStringLiteral("P2")); // a stale page
        QCOMPARE(take(), (Counts{0, 0, 0, 0}));
        store.noteLightboxPageAppeared(QStringLiteral("P4"));
        store.noteLightboxPageAppeared(QStringLiteral("P4"));
        QCOMPARE(store.lightboxPhotoID(), QStringLiteral("P4"));
        store.openLightbox(QStringLiteral("P4")); // reopening forgets the page only
        QCOMPARE(take(), (Counts{0, 0, 2, 0}));
        QVERIFY(!store.closeLightboxIfShowingAny({QStringLiteral("P1")}));
        QVERIFY(store.closeLightboxIfShowingAny({QStringLiteral("P4")}));
        QCOMPARE(take(), (Counts{0, 1, 0, 0}));
    }

    void parseTimestamp_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected"); // in UTC; empty: no timestamp
        QTest::newRow("milliseconds") << "1970-01-01T00:00:00.000Z" << "1970-01-01T00:00:00.000Z";
        QTest::newRow("plain") << "2026-03-01T09:30:05Z" << "2026-03-01T09:30:05.000Z";
        QTest::newRow("one digit, offset") << "2026-03-01T09:30:00.5+02:00" << "2026-03-01T07:30:00.500Z";
        QTest::newRow("microseconds") << "2026-03-01T09:30:00.123456Z" << "2026-03-01T09:30:00.123Z";
        QTest::newRow("offset into the next day") << "2026-02-28T22:00:00-05:30" << "2026-03-01T03:30:00.000Z";
        for (const char *text :
             {"", "yesterday", "2026-03-01", "2026-03-01T09:30Z", "2026-03-01T09:30:00.000", "2026-03-01 09:30:00Z",
              "2026-03-01T09:30:00.Z", "2026-02-29T09:30:00Z", "2026-03-01T24:00:00Z", "2026-03-01T09:30:00+24:00",
              " 2026-03-01T09:30:00Z", "2026-03-01T09:30:00Z\n", "２０２６-03-01T09:30:00Z"}) {
            const QByteArray tag = *text ? QByteArray(text).replace('\n', "\\n") : QByteArray("empty");
            QTest::newRow(tag.constData()) << QString::fromUtf8(text) << "";
        }
    }
    void parseTimestamp()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        const std::optional<QDateTime> parsed = PhotoFormatters::parseTimestamp(text);
        QCOMPARE(parsed ? parsed->toUTC().toString(Qt::ISODateWithMs) : QString(), expected);
    }

    void texts_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("function");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        const QString at = QStringLiteral("2026-03-01T14:30:00.000Z"); // 9:30 in the test zone
        QTest::newRow("registered, local day before") << "en_US" << "deviceRegisteredAt" << "2026-03-01T03:00:00Z"
                                                      << "Added Feb 28, 2026";
        QTest::newRow("registered, no date") << "en_US" << "deviceRegisteredAt" << "2026-03-01" << "Date unknown";
        QTest::newRow("last push, no fraction") << "en_US" << "deviceLastPushAt" << "2026-03-01T23:05:00Z"
                                                << "Last push Mar 1, 2026 6:05 PM";
        QTest::newRow("last push, no date") << "en_US" << "deviceLastPushAt" << "soon" << "Last push unknown";
        QTest::newRow("updated, no date, kept") << "en_US" << "updatedAt" << " 2026-03-01 " << " 2026-03-01 ";
        QTest::newRow("showing until") << "en_US" << "showingUntil" << "2009-01-05T03:00:00.000Z"
                                       << "Showing until 1/4/09";
        QTest::newRow("short date is fixed") << "de_DE" << "showingUntil" << at << "Showing until 3/1/26";
        QTest::newRow("showing time") << "en_US" << "showingTime" << at << "9:30 AM";
        QTest::newRow("showing time, de_DE") << "de_DE" << "showingTime" << at << "09:30";
        QTest::newRow("en_GB") << "en_GB" << "updatedAt" << at << "1 Mar 2026 09:30";
        QTest::newRow("de_DE") << "de_DE" << "deviceLastPushAt" << at << "Last push 1. März 2026 09:30";
        QTest::newRow("ja_JP") << "ja_JP" << "deviceRegisteredAt" << at << "Added 2026年3月1日";
        QTest::newRow("name trimmed") << "en_US" << "addedBy" << " Ada Lunvik\n\t" << "Added by Ada Lunvik";
        QTest::newRow("blank name") << "en_US" << "addedBy" << " \n\u3000 " << "Added by Kelvo";
    }
    void texts()
    {
        QFETCH(QString, locale);
        QFETCH(QString, function);
        QFETCH(QString, input);
        QFETCH(QString, expected);
        PhotoFormatters::setLocaleForTesting(QLocale(locale));
        PhotoFormatters::setTimeZoneForTesting(minus5);
        PhotoEntry photo;
        photo.uploaderId = QStringLiteral("u1");
        const UploaderMap uploaders = input.isEmpty() ? UploaderMap{} : UploaderMap{{QStringLiteral("u1"), input}};
        const QHash<QString, QString> texts{
            {"deviceRegisteredAt", PhotoFormatters::deviceRegisteredAt(input)},
            {"deviceLastPushAt", PhotoFormatters::deviceLastPushAt(input)},
            {"updatedAt", PhotoFormatters::updatedAt(input)},
            {"showingUntil", PhotoFormatters::showingUntil(utc(input))},
            {"showingTime", PhotoFormatters::showingTime(utc(input))},
            {"addedBy", PhotoFormatters::addedBy(photo, uploaders)},
        };
        QCOMPARE(texts.value(function), expected);
    }

    void untilFriendlyPhrase_data()
    {
        QTest::addColumn<QString>("zone"); // empty: five hours behind UTC
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QDateTime>("until");
        QTest::addColumn<QString>("expected");
        const auto local = [](int month, int day, int hour, int minute) {
            return QDateTime(QDate(2026, month, day), QTime(hour, minute), minus5);
        };
        const QDateTime now = local(3, 1, 10, 0);
        QTest::newRow("23:59 today") << "" << now << local(3, 1, 23, 59) << "until today";
        QTest::newRow("tomorrow in UTC, today here") << "" << now << utc("2026-03-02T02:00:00.000Z") << "until today";
        QTest::newRow("midnight tomorrow") << "" << now << local(3, 2, 0, 0) << "until tomorrow";
        QTest::newRow("day after tomorrow") << "" << now << local(3, 3, 0, 0) << "until 3/3/26";
        QTest::newRow("yesterday") << "" << now << local(2, 28, 23, 0) << "until 2/28/26";
        QTest::newRow("over the year end") << "" << local(12, 31, 23, 0)
                                           << QDateTime(QDate(2027, 1, 1), QTime(11, 0), minus5) << "until tomorrow";
        // The day the clocks go forward is 23 hours long.
        QTest::newRow("daylight saving starts") << "America/New_York"
                                                << utc("2026-03-07T17:00:00.000Z") // Mar 7, 12:00 EST
                                                << utc("2026-03-09T03:30:00.000Z") // Mar 8, 23:30 EDT
                                                << "until tomorrow";
    }
    void untilFriendlyPhrase()
    {
        QFETCH(QString, zone);
        QFETCH(QDateTime, now);
        QFETCH(QDateTime, until);
        QFETCH(QString, expected);
        const QTimeZone calendar = zone.isEmpty() ? minus5 : QTimeZone(zone.toUtf8());
        if (!calendar.isValid())
            QSKIP("time zone data not installed");
        Clock::setForTesting([now] { return now; });
        PhotoFormatters::setTimeZoneForTesting(calendar);
        QCOMPARE(PhotoFormatters::untilFriendlyPhrase(until), expected); // the user's calendar, as the app asks
    }
};

LUNVIK_TEST_MAIN(TestGalleryModel)
#include "tst_gallerymodel.moc"
