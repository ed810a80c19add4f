// The gallery manifest: its JSON format, the uploader coalescing done while
// decoding, the visibility, delete and current-photo rules, and the reorder
// helpers used by the grid.
#include "support/testenvironment.h"

#include "model/gallerystate.h"
#include "model/photomanifestreorder.h"

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
};

LUNVIK_TEST_MAIN(TestGalleryModel)
#include "tst_gallerymodel.moc"
