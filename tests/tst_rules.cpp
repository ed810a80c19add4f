// The setup-block parser, the frame screen geometry and the rotation timetable.

#include "support/testenvironment.h"

#include "rules/bloomin8.h"
#include "rules/rotationschedule.h"

#include <QTest>

namespace {

const QString hex8 = QStringLiteral("0123abcd");
const QString hex32 = QStringLiteral("0123456789abcdefABCDEF0123456789");
const QString token = hex8 + QLatin1Char('.') + hex32;

QDateTime utc(const QString &iso)
{
    return QDateTime::fromString(iso + QLatin1Char('Z'), Qt::ISODateWithMs);
}

} // namespace

class TestRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
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

LUNVIK_TEST_MAIN(TestRules)
#include "tst_rules.moc"
