// The activity pane: folding of long details, the empty state, Clear,
// records that stay unfolded while the list refreshes, red errors and
// copying rows.

#include "support/screentests.h"

#include "ui/activity/activitylogpane.h"
#include "ui/kit/statepanels.h"

#include <QClipboard>
#include <QTest>
#include <QToolButton>

namespace {

ActivityLogStore &logStore() { return ActivityLogStore::shared(); }

bool hasReddishPixel(const QImage &image, const QRect &area)
{
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (const QColor c = image.pixelColor(x, y); c.red() > 150 && c.green() < 110 && c.blue() < 110)
                return true;
    return false;
}

} // namespace

class TestUiActivityPane : public QObject
{
    Q_OBJECT

    std::unique_ptr<AppChromeState> chrome;
    std::unique_ptr<ActivityLogPane> pane;

    QRect rowRect(int row) const { return pane->listView()->visualRect(pane->model()->index(row)); }

private Q_SLOTS:
    void initTestCase() { logStore().setErrorStreamForTesting([](const QByteArray &) {}); }

    void init()
    {
        logStore().clear();
        chrome = std::make_unique<AppChromeState>();
        chrome->setShowActivityInspector(true);
        pane = std::make_unique<ActivityLogPane>(logStore(), *chrome);
        pane->resize(340, 600);
        pane->show();
        QVERIFY(QTest::qWaitForWindowExposed(pane.get()));
    }

    void cleanup()
    {
        pane.reset();
        chrome.reset();
    }

    // Details up to 160 user-perceived characters on one line are inline;
    // longer or multi-line ones fold to their first line, cut at 160.
    void folding_data()
    {
        QTest::addColumn<QString>("detail");
        QTest::addColumn<bool>("inlineShown");
        QTest::addColumn<QString>("preview");
        const QString a160(160, QLatin1Char('a'));
        const QString thumb = QString::fromUtf8("\U0001F44D\U0001F3FD"); // one character, four UTF-16 units
        QTest::newRow("160 on one line") << a160 << true << a160;
        QTest::newRow("161") << a160 + QLatin1Char('b') << false << a160 + QChar(0x2026);
        QTest::newRow("two short lines") << QStringLiteral("first\nsecond") << false << QStringLiteral("first");
        QTest::newRow("160 emoji") << thumb.repeated(160) << true << thumb.repeated(160);
        QTest::newRow("161 emoji") << thumb.repeated(161) << false << thumb.repeated(160) + QChar(0x2026);
    }
    void folding()
    {
        QFETCH(QString, detail);
        QFETCH(bool, inlineShown);
        QFETCH(QString, preview);
        QCOMPARE(ActivityLogText::isInline(detail), inlineShown);
        QCOMPARE(ActivityLogText::collapsedPreview(detail), preview);
    }

    void emptyStateRowsAndClear()
    {
        QVERIFY(pane->isShowingEmptyState());
        QCOMPARE(pane->emptyState()->title(), QStringLiteral("No activity yet"));
        QCOMPARE(pane->emptyState()->description(), QStringLiteral("Sync, uploads, and server events appear here."));
        logStore().log(LogCategory::sync, LogLevel::info, QStringLiteral("Sync started"));
        QVERIFY(!pane->isShowingEmptyState());
        logStore().log(LogCategory::sync, LogLevel::success, QStringLiteral("Sync complete"));
        QCOMPARE(pane->model()->rowCount(), 2);
        QCOMPARE(pane->model()->index(0).data().toString(), QStringLiteral("Sync complete"));

        QTest::mouseClick(pane->clearButton(), Qt::LeftButton);
        QVERIFY(logStore().entries().isEmpty());
        QCOMPARE(pane->model()->rowCount(), 0);
        QVERIFY(pane->isShowingEmptyState());
        chrome->setShowActivityInspector(false);
        QVERIFY(!pane->clearButton()->isVisible());
    }

    // An unfolded record stays open while new records arrive; hiding the
    // pane folds everything again.
    void unfoldedRecordsStayOpen()
    {
        logStore().log(LogCategory::gallery, LogLevel::info, QStringLiteral("Long one"),
            QStringLiteral("line one\nline two\nline three"));
        QTRY_VERIFY(rowRect(0).height() > 0);
        const int folded = rowRect(0).height();
        const QUuid id = logStore().entries().first().id;
        QStyleOptionViewItem option;
        option.initFrom(pane->listView()->viewport());
        option.rect = rowRect(0);
        const QRectF detail = ActivityLogDelegate::layout(option, logStore().entries().first(), false).detail;
        QTest::mouseClick(pane->listView()->viewport(), Qt::LeftButton, {}, detail.center().toPoint());
        QVERIFY(pane->model()->isExpanded(id));
        QTRY_VERIFY(rowRect(0).height() > folded);

        logStore().log(LogCategory::sync, LogLevel::info, QStringLiteral("Newer"));
        QVERIFY(pane->model()->isExpanded(id));
        QTRY_VERIFY(rowRect(1).height() > folded);

        pane->hide();
        pane->show();
        QVERIFY(!pane->model()->isExpanded(id));
    }

    // Only the error's row has red in it (rows are newest first).
    void onlyErrorsAreRed()
    {
        for (LogLevel level : { LogLevel::info, LogLevel::success, LogLevel::warning, LogLevel::error })
            logStore().log(LogCategory::sync, level, QStringLiteral("MMMMMMMM WWWWWWWW"));
        QTRY_VERIFY(rowRect(3).height() > 0);
        const QImage shot = pane->listView()->viewport()->grab().toImage();
        for (int row = 0; row < 4; ++row)
            QVERIFY2(hasReddishPixel(shot, rowRect(row)) == (row == 0), qPrintable(QString::number(row)));
    }

    void selectedRowsAreCopied()
    {
        logStore().log(LogCategory::sync, LogLevel::info, QStringLiteral("First"));
        logStore().log(LogCategory::sync, LogLevel::error, QStringLiteral("Second"), QStringLiteral("why it failed"));
        pane->listView()->selectAll();
        pane->listView()->setFocus();
        QTest::keyClick(pane->listView(), Qt::Key_C, Qt::ControlModifier);
        const QStringList lines = QApplication::clipboard()->text().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(0).endsWith(QStringLiteral("  Second")));
        QCOMPARE(lines.at(1), QStringLiteral("why it failed"));
        QVERIFY(lines.at(2).endsWith(QStringLiteral("  First")));
    }
};

LUNVIK_WIDGET_TEST_MAIN(TestUiActivityPane)
#include "tst_uiactivitypane.moc"
