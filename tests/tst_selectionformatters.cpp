// The grid selection store with its keyboard handlers, and the photo texts.

#include "support/testenvironment.h"

#include "clock.h"
#include "store/galleryselectionstore.h"
#include "store/photoformatters.h"

#include <QSignalSpy>
#include <QTest>

namespace {

std::optional<QString> opt(const QString &id)
{
    return id.isEmpty() ? std::nullopt : std::optional<QString>(id);
}

QSet<QString> idSet(const QString &ids, QChar separator = u' ')
{
    const QStringList list = ids.split(separator, Qt::SkipEmptyParts);
    return QSet<QString>(list.cbegin(), list.cend());
}

QDateTime utc(const QString &iso)
{
    return QDateTime::fromString(iso, Qt::ISODateWithMs).toUTC();
}

// Five hours behind UTC, without daylight saving time.
const QTimeZone minus5(-5 * 3600);

// Runs `script` on a store over the order P1..Pn and returns the outcomes
// of its key presses and navigations: "h" handled/moved, "i" ignored.
// Tokens: "P3" click, ">P3" Shift-click, "^P3" Ctrl-click, "*P3" both;
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
    for (const QString &token : script.split(u' ', Qt::SkipEmptyParts)) {
        const QString arg = token.section(u':', 1);
        if (keys.contains(token)) {
            const int key = keys.value(token);
            const bool grid = !store.isLightboxOpen();
            note(store.isLightboxOpen()
                     ? GalleryLightboxArrowKeyboardHandling{}.handleKeyPress(key, store, photoOrder)
                     : GalleryOpenLightboxKeyboardHandling{grid, photoOrder}.handleKeyPress(key, store)
                         || GalleryClearSelectionKeyboardHandling{grid}.handleKeyPress(key, store)
                         || GalleryArrowSelectionKeyboardHandling{grid}.handleKeyPress(key, store, photoOrder, 3));
        } else if (token.startsWith(u'{')) {
            store.setSelectedIDs(idSet(token.mid(1).chopped(1), u','));
        } else if (token.startsWith(u'@')) {
            store.setSelectionAnchor(opt(token.mid(1)));
        } else if (token == u"clear") {
            store.clearSelection();
        } else if (token == u"all") {
            store.selectAll(photoOrder);
        } else if (token.startsWith(u"open:")) {
            store.openLightbox(arg);
        } else if (token.startsWith(u"del:")) {
            store.subtractSelection(idSet(arg, u','));
        } else if (token.startsWith(u"grid:")) {
            const QStringList n = arg.split(u',');
            note(store.navigateGridSelection(n[0].toInt(), n[1].toInt(), photoOrder, n[2].toInt()));
        } else if (token.startsWith(u"lightbox:")) {
            note(store.navigateLightbox(arg.toInt(), photoOrder));
        } else {
            const QChar mark = token.front();
            const QString id = mark.isLetterOrNumber() ? token : token.mid(1);
            store.selectPhoto(id, GridTapModifiers::fromKeyboardModifiers(
                                      (mark == u'^' || mark == u'*' ? Qt::ControlModifier : Qt::NoModifier)
                                      | (mark == u'>' || mark == u'*' ? Qt::ShiftModifier : Qt::NoModifier)),
                              photoOrder);
        }
    }
    return outcomes;
}

} // namespace

class TestSelectionFormatters : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup()
    {
        Clock::setForTesting({});
        PhotoFormatters::setLocaleForTesting(std::nullopt);
        PhotoFormatters::setTimeZoneForTesting(std::nullopt);
    }

    void selection_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("outcomes");
        QTest::addColumn<QString>("after"); // "selected|anchor|lightbox navigation photo"
        // Clicks.
        QTest::newRow("range back from the anchor") << 5 << "P3 >P1" << "" << "P1 P2 P3|P3|";
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
        QTest::newRow("nothing selected, left") << 5 << "Left" << "h" << "P5|P5|";
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
        QTest::newRow("escape clears") << 5 << "P2 >P4 Escape" << "h" << "||";
        QTest::newRow("clearing keeps the lightbox") << 5 << "open:P1 clear" << "" << "||P1";
        QTest::newRow("select all keeps the anchor") << 5 << "P4 all >P2" << "" << "P2 P3 P4|P4|";
        QTest::newRow("select all drops strays and their anchor") << 5 << "{X} @X all" << "" << "P1 P2 P3 P4 P5||";
        QTest::newRow("lightbox takes no up or escape") << 5 << "P1 Enter Up Escape" << "hii" << "P1|P1|P1";
        // Lightbox.
        QTest::newRow("lightbox: grid arrows do nothing") << 5 << "open:P2 grid:1,0,3" << "i" << "P2|P2|P2";
        QTest::newRow("lightbox: left on the first") << 5 << "open:P1 Left" << "h" << "P5|P5|P5";
        QTest::newRow("lightbox: right on the last") << 5 << "open:P5 Right" << "h" << "P1|P1|P1";
        QTest::newRow("lightbox: a full turn") << 5 << "open:P2 lightbox:5 lightbox:-7" << "ih" << "P5|P5|P5";
        QTest::newRow("lightbox: extreme delta") << 5 << "open:P1 lightbox:-2147483648" << "h" << "P3|P3|P3";
        QTest::newRow("lightbox: one photo") << 1 << "open:P1 Left" << "i" << "P1|P1|P1";
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
        QTest::newRow("registered") << "en_US" << "deviceRegisteredAt" << at << "Added Mar 1, 2026";
        QTest::newRow("registered, local day before") << "en_US" << "deviceRegisteredAt" << "2026-03-01T03:00:00Z"
                                                      << "Added Feb 28, 2026";
        QTest::newRow("registered, no date") << "en_US" << "deviceRegisteredAt" << "2026-03-01" << "Date unknown";
        QTest::newRow("last push, no fraction") << "en_US" << "deviceLastPushAt" << "2026-03-01T23:05:00Z"
                                                << "Last push Mar 1, 2026 6:05 PM";
        QTest::newRow("last push, no date") << "en_US" << "deviceLastPushAt" << "soon" << "Last push unknown";
        QTest::newRow("updated") << "en_US" << "updatedAt" << "1970-01-01T00:00:00.000Z" << "Dec 31, 1969 7:00 PM";
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
        QTest::newRow("no uploader") << "en_US" << "addedBy" << "" << "Added by Kelvo";
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

LUNVIK_TEST_MAIN(TestSelectionFormatters)
#include "tst_selectionformatters.moc"
