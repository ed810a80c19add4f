// The gallery manifest: its JSON format, the uploader coalescing done while
// decoding, the visibility, delete and current-photo rules, and the reorder
// helpers used by the grid.
#include "support/testenvironment.h"

#include "model/gallerystate.h"
#include "model/photomanifestreorder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <limits>

namespace {

PhotoEntry photo(const QString &id, bool deleted = false, const QString &uploader = QStringLiteral("u-1"))
{
    return PhotoEntry{id,
                      id + QStringLiteral(".jpg"),
                      QStringLiteral("blobs/") + id,
                      1000,
                      QStringLiteral("2024-05-01T10:00:00.000Z"),
                      deleted ? std::optional<QString>(QStringLiteral("2024-05-02T10:00:00.000Z")) : std::nullopt,
                      uploader,
                      std::nullopt};
}

// A state whose photos are `visible` plus the tombstones `deleted`, shown in
// `order`; an empty `current` means no current photo.
GalleryState makeState(const QStringList &order, const QStringList &visible, const QStringList &deleted,
                       const QString &current)
{
    GalleryState s;
    s.updatedAt = QStringLiteral("2024-05-03T00:00:00.000Z");
    s.order = order;
    for (const QString &id : visible)
        s.photos.insert(id, photo(id));
    for (const QString &id : deleted)
        s.photos.insert(id, photo(id, true));
    if (!current.isEmpty())
        s.currentPhotoId = current;
    return s;
}

QStringList ids(const QList<PhotoEntry> &entries)
{
    QStringList out;
    for (const PhotoEntry &e : entries)
        out << e.id;
    return out;
}

QSet<QString> toSet(const QStringList &list)
{
    return QSet<QString>(list.begin(), list.end());
}

const QByteArray photoJson = R"({"id":"p","filename":"p.jpg","blobPath":"b/p","sizeBytes":1,"updatedAt":"t")";

} // namespace

class TestGalleryModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void manifestDecodeAcceptsOrRejects_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("ok");
        const QByteArray p = photoJson;
        QTest::newRow("minimal") << QByteArray(R"({"updatedAt":"t","order":[],"photos":{}})") << true;
        QTest::newRow("unknown keys ignored")
            << QByteArray(R"({"updatedAt":"t","order":["p"],"x":1,"photos":{"p":)" + p + R"(,"extra":[1]}}})")
            << true;
        QTest::newRow("null optionals")
            << QByteArray(R"({"updatedAt":"t","order":[],"photos":{"p":)" + p
                          + R"(,"deletedAt":null,"uploaderId":null,"downloadUrl":null}},"uploaders":null,)"
                            R"("currentPhotoId":null,"currentPhotoUpdatedBy":null})")
            << true;
        QTest::newRow("missing updatedAt") << QByteArray(R"({"order":[],"photos":{}})") << false;
        QTest::newRow("null updatedAt") << QByteArray(R"({"updatedAt":null,"order":[],"photos":{}})") << false;
        QTest::newRow("numeric updatedAt") << QByteArray(R"({"updatedAt":5,"order":[],"photos":{}})") << false;
        QTest::newRow("missing order") << QByteArray(R"({"updatedAt":"t","photos":{}})") << false;
        QTest::newRow("order not a list") << QByteArray(R"({"updatedAt":"t","order":"a","photos":{}})") << false;
        QTest::newRow("order with a number") << QByteArray(R"({"updatedAt":"t","order":["a",1],"photos":{}})")
                                             << false;
        QTest::newRow("missing photos") << QByteArray(R"({"updatedAt":"t","order":[]})") << false;
        QTest::newRow("photo missing blobPath")
            << QByteArray(R"({"updatedAt":"t","order":[],"photos":{"p":{"id":"p","filename":"f",)"
                          R"("sizeBytes":1,"updatedAt":"t"}}})")
            << false;
        QTest::newRow("sizeBytes as text")
            << QByteArray(R"({"updatedAt":"t","order":[],"photos":{"p":{"id":"p","filename":"f","blobPath":"b",)"
                          R"("sizeBytes":"1","updatedAt":"t"}}})")
            << false;
        QTest::newRow("fractional sizeBytes")
            << QByteArray(R"({"updatedAt":"t","order":[],"photos":{"p":{"id":"p","filename":"f","blobPath":"b",)"
                          R"("sizeBytes":1.5,"updatedAt":"t"}}})")
            << false;
        QTest::newRow("numeric deletedAt")
            << QByteArray(R"({"updatedAt":"t","order":[],"photos":{"p":)" + p + R"(,"deletedAt":1}}})") << false;
        QTest::newRow("photo not an object") << QByteArray(R"({"updatedAt":"t","order":[],"photos":{"p":"x"}})")
                                             << false;
        QTest::newRow("uploader name not text")
            << QByteArray(R"({"updatedAt":"t","order":[],"photos":{},"uploaders":{"u-1":2}})") << false;
        QTest::newRow("uploaders a list")
            << QByteArray(R"({"updatedAt":"t","order":[],"photos":{},"uploaders":[]})") << false;
        QTest::newRow("numeric currentPhotoId")
            << QByteArray(R"({"updatedAt":"t","order":[],"photos":{},"currentPhotoId":3})") << false;
        QTest::newRow("unknown updatedBy")
            << QByteArray(R"({"updatedAt":"t","order":[],"photos":{},"currentPhotoUpdatedBy":"robot"})") << false;
        QTest::newRow("updatedBy in other case")
            << QByteArray(R"({"updatedAt":"t","order":[],"photos":{},"currentPhotoUpdatedBy":"Cron"})") << false;
        QTest::newRow("top level list") << QByteArray("[]") << false;
        QTest::newRow("truncated") << QByteArray("{\"updatedAt\":\"t\",\"order\":[],\"pho") << false;
        QTest::newRow("empty") << QByteArray() << false;
    }
    void manifestDecodeAcceptsOrRejects()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, ok);
        QString error;
        const auto state = GalleryState::fromJsonBytes(json, &error);
        QCOMPARE(state.has_value(), ok);
        QCOMPARE(error.isEmpty(), ok);
        // The envelope fails exactly when its manifest does.
        QCOMPARE(GalleryResponse::fromJsonBytes("{\"state\":" + json + "}").has_value(), ok);
    }

    void manifestDecodeReadsEveryField()
    {
        const QByteArray json =
            R"({"updatedAt":"2024-05-03T00:00:00.000Z","order":["k1","gone"],"photos":{)"
            R"("k1":{"id":"real-id","filename":"Beach.jpg","blobPath":"g/1","sizeBytes":9007199254740993,)"
            R"("updatedAt":"2024-05-01T00:00:00.000Z","uploaderId":"u-1","downloadUrl":"/files/1"},)"
            R"("gone":{"id":"gone","filename":"g.jpg","blobPath":"g/2","sizeBytes":0,"updatedAt":"t",)"
            R"("deletedAt":"","uploaderId":"u-1"}},)"
            R"("uploaders":{"u-1":"Ana"},"currentPhotoId":"k1","currentPhotoUpdatedBy":"manual"})";
        const auto state = GalleryState::fromJsonBytes(json);
        QVERIFY(state);
        QCOMPARE(state->updatedAt, QStringLiteral("2024-05-03T00:00:00.000Z"));
        QCOMPARE(state->order, QStringList({"k1", "gone"}));
        // The map key is kept even where the entry's own id differs.
        const PhotoEntry p = state->photos.value(QStringLiteral("k1"));
        QCOMPARE(p.id, QStringLiteral("real-id"));
        QCOMPARE(p.filename, QStringLiteral("Beach.jpg"));
        QCOMPARE(p.sizeBytes, Q_INT64_C(9007199254740993)); // not rounded through a double
        QCOMPARE(p.downloadUrl, std::optional<QString>(QStringLiteral("/files/1")));
        QVERIFY(!p.isDeleted());
        // An empty deletedAt is still a tombstone.
        QVERIFY(state->photos.value(QStringLiteral("gone")).isDeleted());
        QCOMPARE(state->uploaders, UploaderMap({{"u-1", "Ana"}}));
        QCOMPARE(state->currentPhotoId, std::optional<QString>(QStringLiteral("k1")));
        QCOMPARE(state->currentPhotoUpdatedBy, std::optional(CurrentPhotoUpdatedBy::manual));
    }

    void uploadersAreCoalesced_data()
    {
        QTest::addColumn<QByteArray>("photoUploader"); // JSON fragment, empty for none
        QTest::addColumn<QByteArray>("uploaders");     // JSON fragment, empty for none
        QTest::addColumn<QString>("expectedId");
        QTest::addColumn<UploaderMap>("expectedUploaders");
        const QString kelvo = GalleryState::uploaderId(QStringLiteral("Kelvo"));
        QTest::newRow("no uploader anywhere") << QByteArray() << QByteArray() << kelvo
                                              << UploaderMap({{kelvo, "Kelvo"}});
        QTest::newRow("null uploader id") << QByteArray(R"(,"uploaderId":null)") << QByteArray(R"(,"uploaders":{})")
                                          << kelvo << UploaderMap({{kelvo, "Kelvo"}});
        QTest::newRow("unknown id added as Kelvo")
            << QByteArray(R"(,"uploaderId":"u-x")") << QByteArray(R"(,"uploaders":{"u-y":"Ana"})")
            << QStringLiteral("u-x") << UploaderMap({{"u-y", "Ana"}, {"u-x", "Kelvo"}});
        QTest::newRow("known id keeps its name")
            << QByteArray(R"(,"uploaderId":"u-x")") << QByteArray(R"(,"uploaders":{"u-x":"Ana"})")
            << QStringLiteral("u-x") << UploaderMap({{"u-x", "Ana"}});
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
        const QByteArray json = R"({"updatedAt":"t","order":["p"],"photos":{"p":)" + photoJson + photoUploader
                                + "}}" + uploaders + "}";
        const auto state = GalleryState::fromJsonBytes(json);
        QVERIFY(state);
        QCOMPARE(state->photos.value(QStringLiteral("p")).uploaderId, expectedId);
        QCOMPARE(state->uploaders, expectedUploaders);
    }

    void photoEntryOutsideManifestNeedsUploader()
    {
        const auto raw = RawManifestPhoto::fromJson(QJsonDocument::fromJson(photoJson + "}").object());
        QVERIFY(raw);
        QCOMPARE(raw->uploaderId, std::nullopt);
        QVERIFY(!PhotoEntry::fromJson(QJsonDocument::fromJson(photoJson + "}").object()));
        QVERIFY(!PhotoEntry::fromJson(QJsonDocument::fromJson(photoJson + R"(,"uploaderId":null})").object()));
        const auto entry = PhotoEntry::fromJson(QJsonDocument::fromJson(photoJson + R"(,"uploaderId":"u-9"})").object());
        QVERIFY(entry);
        QCOMPARE(entry->uploaderId, QStringLiteral("u-9"));
    }

    void encodingRoundTrips()
    {
        GalleryState full = makeState({"a", "b", "ghost"}, {"a"}, {"b"}, QStringLiteral("a"));
        full.photos[QStringLiteral("a")].downloadUrl = QStringLiteral("https://x/a");
        full.photos[QStringLiteral("a")].sizeBytes = Q_INT64_C(9007199254740993);
        full.photos[QStringLiteral("b")].deletedAt = QString(QLatin1String("")); // empty but present
        full.uploaders.insert(QStringLiteral("u-1"), QStringLiteral("Zoë"));
        full.currentPhotoUpdatedBy = CurrentPhotoUpdatedBy::cron;
        QCOMPARE(GalleryState::fromJsonBytes(full.toJsonBytes()), std::optional(full));
        const GalleryResponse response{full};
        QCOMPARE(GalleryResponse::fromJsonBytes(QJsonDocument(response.toJson()).toJson()), std::optional(response));
        QCOMPARE(response.toJson().value(QLatin1String("state")).toObject(), full.toJson());

        // Nones are omitted, uploaders always present.
        const QJsonObject bare = makeState({"a"}, {"a"}, {}, QString()).toJson();
        QVERIFY(!bare.contains(QLatin1String("currentPhotoId")));
        QVERIFY(!bare.contains(QLatin1String("currentPhotoUpdatedBy")));
        QCOMPARE(bare.value(QLatin1String("uploaders")), QJsonValue(QJsonObject()));
        const QJsonObject entry = bare.value(QLatin1String("photos")).toObject().value(QLatin1String("a")).toObject();
        QVERIFY(!entry.contains(QLatin1String("deletedAt")));
        QVERIFY(!entry.contains(QLatin1String("downloadUrl")));
        QCOMPARE(entry.value(QLatin1String("uploaderId")).toString(), QStringLiteral("u-1"));
        QCOMPARE(GalleryState::fromJson(GalleryState::empty().toJson()), std::optional(GalleryState::empty()));
        QCOMPARE(GalleryState::empty().updatedAt, QStringLiteral("1970-01-01T00:00:00.000Z"));
    }

    void envelopeNeedsState()
    {
        QVERIFY(!GalleryResponse::fromJsonBytes("{}"));
        QVERIFY(!GalleryResponse::fromJsonBytes(R"({"state":null})"));
        QVERIFY(!GalleryResponse::fromJsonBytes(R"({"state":[]})"));
    }

    void currentPhotoResponse_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("currentId"); // empty for none
        QTest::addColumn<int>("updatedBy");     // -1 for none
        QTest::newRow("full") << QByteArray(R"({"galleryVersion":"v","currentPhotoId":"a",)"
                                            R"("currentPhotoUpdatedBy":"cron","updatedAt":"t"})")
                              << true << "a" << int(CurrentPhotoUpdatedBy::cron);
        QTest::newRow("optionals absent") << QByteArray(R"({"galleryVersion":"v","updatedAt":"t"})") << true << ""
                                          << -1;
        QTest::newRow("optionals null") << QByteArray(R"({"galleryVersion":"v","updatedAt":"t","currentPhotoId":null,)"
                                                      R"("currentPhotoUpdatedBy":null})")
                                        << true << "" << -1;
        QTest::newRow("manual") << QByteArray(R"({"galleryVersion":"v","updatedAt":"t","currentPhotoUpdatedBy":"manual"})")
                                << true << "" << int(CurrentPhotoUpdatedBy::manual);
        QTest::newRow("no galleryVersion") << QByteArray(R"({"updatedAt":"t"})") << false << "" << -1;
        QTest::newRow("no updatedAt") << QByteArray(R"({"galleryVersion":"v"})") << false << "" << -1;
        QTest::newRow("unknown updatedBy")
            << QByteArray(R"({"galleryVersion":"v","updatedAt":"t","currentPhotoUpdatedBy":"user"})") << false << ""
            << -1;
    }
    void currentPhotoResponse()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, ok);
        QFETCH(QString, currentId);
        QFETCH(int, updatedBy);
        const auto r = CurrentPhotoResponse::fromJsonBytes(json);
        QCOMPARE(r.has_value(), ok);
        if (!ok)
            return;
        QCOMPARE(r->galleryVersion, QStringLiteral("v"));
        QCOMPARE(r->updatedAt, QStringLiteral("t"));
        QCOMPARE(r->currentPhotoId, currentId.isEmpty() ? std::nullopt : std::optional(currentId));
        QCOMPARE(r->currentPhotoUpdatedBy,
                 updatedBy < 0 ? std::nullopt : std::optional(CurrentPhotoUpdatedBy(updatedBy)));
        const QJsonObject encoded = r->toJson();
        QCOMPARE(encoded.contains(QLatin1String("currentPhotoId")), !currentId.isEmpty());
        QCOMPARE(encoded.contains(QLatin1String("currentPhotoUpdatedBy")), updatedBy >= 0);
        QCOMPARE(CurrentPhotoResponse::fromJson(encoded), r);
    }

    void uploaderId_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("id");
        QTest::newRow("abc") << "abc" << "u-1a47e90b";
        QTest::newRow("Kelvo") << "Kelvo" << "u-6db5e640";
        QTest::newRow("blanks around") << " \tKelvo \n" << "u-6db5e640";
        QTest::newRow("unicode blanks around") << QStringLiteral("\u00a0Kelvo\u2028") << "u-6db5e640";
        QTest::newRow("empty is Kelvo") << "" << "u-6db5e640";
        QTest::newRow("only blanks is Kelvo") << " \r\n\t " << "u-6db5e640";
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
        const GalleryState s = makeState({"a", "b", "x", "c", "a"}, {"a", "c", "d"}, {"b"}, QStringLiteral("d"));
        QCOMPARE(ids(s.activePhotos()), QStringList({"a", "c", "a"}));
        // The current photo need not be in the order, only present and not deleted.
        QCOMPARE(s.currentPhoto(), std::optional(s.photos.value(QStringLiteral("d"))));
        for (const QString &current : {QStringLiteral("b"), QStringLiteral("x"), QString()}) {
            GalleryState t = s;
            t.currentPhotoId = current.isEmpty() ? std::nullopt : std::optional(current);
            QCOMPARE(t.currentPhoto(), std::nullopt);
        }
    }

    void deleteBlockReason_data()
    {
        QTest::addColumn<QStringList>("order");
        QTest::addColumn<QStringList>("visible");
        QTest::addColumn<QStringList>("deleted");
        QTest::addColumn<QString>("current");
        QTest::addColumn<QStringList>("targets");
        QTest::addColumn<int>("reason"); // -1 for allowed
        const int current = int(GalleryDeleteBlockReason::includesCurrentPhoto);
        const int all = int(GalleryDeleteBlockReason::wouldRemoveAllPhotos);
        const QStringList ab{"a", "b"};
        QTest::newRow("the current one") << ab << ab << QStringList() << "a" << QStringList{"a"} << current;
        QTest::newRow("another one") << ab << ab << QStringList() << "a" << QStringList{"b"} << -1;
        QTest::newRow("all, current checked first") << ab << ab << QStringList() << "a" << ab << current;
        QTest::newRow("last one, current deleted")
            << ab << QStringList{"b"} << QStringList{"a"} << "a" << QStringList{"b"} << all;
        QTest::newRow("last one, no current")
            << QStringList{"b"} << QStringList{"b"} << QStringList() << "" << QStringList{"b"} << all;
        QTest::newRow("all, current not visible") << ab << ab << QStringList() << "z" << ab << all;
        QTest::newRow("unknown id") << ab << ab << QStringList() << "a" << QStringList{"x"} << -1;
        QTest::newRow("nothing") << ab << ab << QStringList() << "a" << QStringList() << -1;
        QTest::newRow("unknown ids are ignored") << ab << ab << QStringList() << "a" << QStringList{"b", "x", "y"}
                                                 << -1;
        QTest::newRow("tombstone only") << ab << QStringList{"a"} << QStringList{"b"} << "a" << QStringList{"b"}
                                        << -1;
        QTest::newRow("deleted current among targets")
            << QStringList{"a", "b", "c"} << QStringList{"b", "c"} << QStringList{"a"} << "a"
            << QStringList{"a", "b"} << -1;
        QTest::newRow("id listed twice counts once")
            << QStringList{"a", "b", "a"} << ab << QStringList() << "b" << QStringList{"a"} << -1;
    }
    void deleteBlockReason()
    {
        QFETCH(QStringList, order);
        QFETCH(QStringList, visible);
        QFETCH(QStringList, deleted);
        QFETCH(QString, current);
        QFETCH(QStringList, targets);
        QFETCH(int, reason);
        const GalleryState s = makeState(order, visible, deleted, current);
        const auto expected = reason < 0 ? std::nullopt : std::optional(GalleryDeleteBlockReason(reason));
        QCOMPARE(s.deleteBlockReason(toSet(targets)), expected);
        QCOMPARE(s.canDeletePhotos(toSet(targets)), reason < 0);
    }

    void blockReasonTexts()
    {
        QCOMPARE(userText(GalleryDeleteBlockReason::includesCurrentPhoto),
                 QStringLiteral("Can't delete the current photo. Show another photo for today first."));
        QCOMPARE(userText(GalleryDeleteBlockReason::wouldRemoveAllPhotos),
                 QStringLiteral("At least one photo must remain in the gallery."));
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
        QTest::newRow("unknown") << "b" << "zz" << false;
        QTest::newRow("no current yet") << "" << "b" << true;
        QTest::newRow("current deleted") << "d" << "b" << true;
    }
    void canSetAsCurrent()
    {
        QFETCH(QString, current);
        QFETCH(QString, candidate);
        QFETCH(bool, allowed);
        // "b" and "c" visible, "d" deleted, "e" only in photos, "zz" only in order.
        const GalleryState s = makeState({"b", "c", "d", "zz"}, {"b", "c", "e"}, {"d"}, current);
        QCOMPARE(s.canSetAsCurrent(candidate), allowed);
    }

    void resolvedCurrentPhoto_data()
    {
        QTest::addColumn<QStringList>("order");
        QTest::addColumn<QStringList>("visible");
        QTest::addColumn<QStringList>("deleted");
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("resolved"); // empty for none
        const QStringList abc{"a", "b", "c"};
        QTest::newRow("current deleted") << abc << QStringList{"b", "c"} << QStringList{"a"} << "a" << "b";
        QTest::newRow("current visible, not first") << abc << abc << QStringList() << "c" << "c";
        QTest::newRow("no current") << abc << abc << QStringList() << "" << "a";
        QTest::newRow("current not in order") << QStringList{"b"} << QStringList{"a", "b"} << QStringList() << "a"
                                              << "b";
        QTest::newRow("first ids missing or deleted")
            << QStringList{"x", "a", "b"} << QStringList{"b"} << QStringList{"a"} << "x" << "b";
        QTest::newRow("nothing visible clears") << QStringList{"a", "x"} << QStringList() << QStringList{"a"} << "a"
                                                << "";
        QTest::newRow("empty stays empty") << QStringList() << QStringList() << QStringList() << "" << "";
    }
    void resolvedCurrentPhoto()
    {
        QFETCH(QStringList, order);
        QFETCH(QStringList, visible);
        QFETCH(QStringList, deleted);
        QFETCH(QString, current);
        QFETCH(QString, resolved);
        GalleryState s = makeState(order, visible, deleted, current);
        s.currentPhotoUpdatedBy = CurrentPhotoUpdatedBy::cron;
        const GalleryState r = s.withResolvedCurrentPhoto();
        QCOMPARE(r.currentPhotoId, resolved.isEmpty() ? std::nullopt : std::optional(resolved));
        QCOMPARE(r.currentPhotoUpdatedBy, std::optional(CurrentPhotoUpdatedBy::cron));
        // Nothing else changes.
        GalleryState rest = r;
        rest.currentPhotoId = s.currentPhotoId;
        QCOMPARE(rest, s);
    }

    void insertionIndex_data()
    {
        QTest::addColumn<double>("fraction");
        QTest::addColumn<int>("photoIndex");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("expected");
        QTest::newRow("half is right") << 0.5 << 2 << 5 << 3;
        QTest::newRow("just left of half") << 0.49 << 2 << 5 << 2;
        QTest::newRow("left edge") << 0.0 << 0 << 5 << 0;
        QTest::newRow("after last") << 0.9 << 4 << 5 << 5;
        QTest::newRow("index beyond count") << 0.1 << 7 << 5 << 5;
        QTest::newRow("negative index") << 0.2 << -3 << 5 << 0;
        QTest::newRow("no photos") << 0.7 << 0 << 0 << 0;
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
        QTest::addColumn<QStringList>("order");
        QTest::addColumn<QString>("dragged");
        QTest::addColumn<int>("index");
        QTest::addColumn<QStringList>("expected");
        const QStringList abcd{"a", "b", "c", "d"};
        QTest::newRow("a to 3") << abcd << "a" << 3 << QStringList{"b", "c", "a", "d"};
        QTest::newRow("a to end") << abcd << "a" << 4 << QStringList{"b", "c", "d", "a"};
        QTest::newRow("d to front") << abcd << "d" << 0 << QStringList{"d", "a", "b", "c"};
        QTest::newRow("c to 1") << abcd << "c" << 1 << QStringList{"a", "c", "b", "d"};
        QTest::newRow("own left gap") << abcd << "b" << 1 << abcd;
        QTest::newRow("own right gap") << abcd << "b" << 2 << abcd;
        QTest::newRow("negative is front") << abcd << "c" << -5 << QStringList{"c", "a", "b", "d"};
        QTest::newRow("beyond end is end") << abcd << "b" << 99 << QStringList{"a", "c", "d", "b"};
        QTest::newRow("huge index") << abcd << "a" << std::numeric_limits<int>::max()
                                    << QStringList{"b", "c", "d", "a"};
        QTest::newRow("last beyond end stays") << abcd << "d" << 40 << abcd;
        QTest::newRow("unknown id") << abcd << "x" << 0 << abcd;
        QTest::newRow("empty order") << QStringList() << "a" << 0 << QStringList();
        QTest::newRow("first occurrence moves")
            << QStringList{"a", "b", "a", "c"} << "a" << 4 << QStringList{"b", "a", "c", "a"};
    }
    void applyingMove()
    {
        QFETCH(QStringList, order);
        QFETCH(QString, dragged);
        QFETCH(int, index);
        QFETCH(QStringList, expected);
        QCOMPARE(PhotoManifestReorder::applyingMove(dragged, index, order), expected);
    }
};

LUNVIK_TEST_MAIN(TestGalleryModel)
#include "tst_gallerymodel.moc"
