// The settings popover under the toolbar's Settings button, against a
// scripted server: a refresh of the pills per opening and a save per
// closing, the display name, the local-server caption, registering frames
// from pasted setup blocks, removing them, the help, and logging out.

#include "support/screentests.h"

#include "ui/settings/connectionpill.h"
#include "ui/settings/framessection.h"
#include "ui/gallery/galleryphotogrid.h"
#include "ui/gallery/gallerytoolbar.h"
#include "ui/settings/settingspopover.h"
#include "ui/kit/helppopovers.h"
#include "store/photoformatters.h"

#include <QAbstractButton>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

namespace {

using ScreenTests::logged;

const QString token = QStringLiteral("0123abcd.0123456789abcdef0123456789abcdef");

QByteArray frameJson(const QString &id, const QString &name, bool pushed = true)
{
    QJsonObject frame{{"id", id},
                      {"displayName", name},
                      {"registeredBy", "Ana"},
                      {"registeredAt", "2026-03-01T09:30:00.000Z"}};
    if (pushed)
        frame.insert("lastPushAt", "2026-03-02T11:00:00.000Z");
    return QJsonDocument(frame).toJson(QJsonDocument::Compact);
}

QByteArray frameList(const QList<QByteArray> &frames)
{
    QByteArray list = "{\"devices\":[";
    for (int i = 0; i < frames.size(); ++i)
        list += (i ? "," : "") + frames.at(i);
    return list + "]}";
}

} // namespace

class TestUiSettings : public QObject, private GalleryFixture
{
    Q_OBJECT

    SettingsPopover *popover = nullptr;

    FramesSettingsSection *frames() const { return popover->framesSection(); }
    QAction *settingsAction() const { return screen->toolbar()->settingsAction(); }

    // The gallery with its settings popover, the server listing `frameList`.
    void open(const QByteArray &listed = frameList({}))
    {
        server.on("GET", "/api/devices", Response::json(200, listed));
        QVERIFY(unlock());
        createScreen();
        popover = SettingsPopover::attach(*screen, *store, *session);
        QVERIFY(showScreen({1000, 700}));
        settle();
        server.clearRequests();
        ActivityLogStore::shared().clear();
    }

    void openPopover()
    {
        settingsAction()->trigger();
        QVERIFY(popover->isVisible());
        settle();
    }

    void paste(const QString &text)
    {
        frames()->pasteField()->setFocus(Qt::MouseFocusReason);
        QTRY_VERIFY(frames()->isPasteFieldFocused());
        frames()->setSetupPasteText(text);
    }

private Q_SLOTS:
    void initTestCase() { startServer(); }

    void init()
    {
        reset();
        server.on("GET", "/api/gallery", Response::text(304, ""));
        server.on("GET", "/api/devices/status",
                  Response::json(200, R"({"devices":[{"id":"f1","displayName":"Hall","reachable":true}]})"));
    }

    void cleanup()
    {
        if (popover && popover->isVisible())
            popover->hide();
        popover = nullptr;
        tearDown();
    }

    // Each opening shows the pills checking once, then the fresh result;
    // each closing saves the settings, also when nothing was edited. Return
    // in the name field drops the focus and saves the name, once. The
    // local-server caption shows only in debug mode.
    void openingRefreshesClosingSaves()
    {
        open();
        int checkingShown = 0;
        connect(store.get(), &GalleryStore::deviceLinkStatusChanged, this, [&] {
            checkingShown += store->deviceLinkStatus() == LinkStatus::checking ? 1 : 0;
        });
        QVERIFY(settingsAction()->isVisible());
        settingsAction()->trigger();
        QVERIFY(popover->isVisible());
        QVERIFY(settingsAction()->isChecked());
        QVERIFY(!screen->grid()->isKeyboardHandlingEnabled());
        QCOMPARE(popover->width(), 340);
        QCOMPARE(checkingShown, 1);
        QCOMPARE(popover->serverPill()->statusText(), QStringLiteral("Connecting"));
        QVERIFY(frames()->framesPill()->isSpinnerShown());
        settle();
        QCOMPARE(popover->serverPill()->title(), QStringLiteral("Server"));
        QCOMPARE(popover->serverPill()->statusText(), QStringLiteral("Connected"));
        QCOMPARE(popover->serverPill()->subtitle(), std::optional<QString>(store->settings().serverBaseURL));
        QCOMPARE(frames()->framesPill()->title(), QStringLiteral("All frames"));
        QCOMPARE(frames()->framesPill()->statusText(), QStringLiteral("Connected"));
        QVERIFY(popover->localServerCaptionLabel()->isVisible());
        QCOMPARE(popover->localServerCaptionLabel()->text(),
                 QStringLiteral("Run ./scripts/dev.sh in the repo to start the local API."));
        QCOMPARE(logged(QStringLiteral("Settings saved")), 0);

        QCOMPARE(popover->nameField()->text(), store->settings().displayName);
        popover->nameField()->setFocus(Qt::MouseFocusReason);
        QTRY_VERIFY(popover->nameField()->hasFocus());
        popover->nameField()->selectAll();
        QTest::keyClicks(popover->nameField(), QStringLiteral("Bodil"));
        QCOMPARE(store->settings().displayName, QStringLiteral("Bodil"));
        QTest::keyClick(popover->nameField(), Qt::Key_Return);
        QVERIFY(!popover->nameField()->hasFocus());
        QCOMPARE(logged(QStringLiteral("Settings saved")), 1);
        QCOMPARE(AppConfig::loadSettings().displayName, QStringLiteral("Bodil"));

        popover->hide();
        QVERIFY(!popover->didRefreshConnectionsOnOpen());
        QVERIFY(!settingsAction()->isChecked());
        QVERIFY(screen->grid()->isKeyboardHandlingEnabled());
        QCOMPARE(logged(QStringLiteral("Settings saved")), 2);
        settle();
        QCOMPARE(checkingShown, 1); // the save's own check shows no "Connecting"

        openPopover();
        QCOMPARE(checkingShown, 2);
        AppSettings settings = store->settings();
        settings.debugMode = false;
        store->setSettings(settings);
        QVERIFY(!popover->localServerCaptionLabel()->isVisible());
        popover->hide();
        QCOMPARE(logged(QStringLiteral("Settings saved")), 3);
    }

    // Return in the paste field registers a frame when it finds a token, and
    // so does leaving the field for another in the popover, or a click
    // outside, which closes the popover. A failure shows the server's error
    // and keeps the text.
    void registration_data()
    {
        QTest::addColumn<QString>("pasted");
        QTest::addColumn<QString>("submit"); // "return", "name field", "outside"
        QTest::addColumn<int>("status"); // the server's answer
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("sent");
        QTest::newRow("only white space") << "  \n\t " << "return" << 200 << "" << false;
        QTest::newRow("a sentence") << "Please add the frame in the hall" << "return" << 200
                                    << "Could not find a Bloomin8 API token. Paste the setup block or token only." << false;
        QTest::newRow("a setup block") << "\n  Device: Hall | 13.3 inch\nToken: " + token + "\nInterval: 1h\n" << "return"
                                       << 200 << "" << true;
        QTest::newRow("the server refuses") << "Token: " + token << "return" << 400 << "HTTP 400: Frame token rejected"
                                            << true;
        QTest::newRow("on to the name field") << "Token: " + token << "name field" << 200 << "" << true;
        QTest::newRow("a click outside") << "Token: " + token << "outside" << 200 << "" << true;
    }
    void registration()
    {
        QFETCH(QString, pasted);
        QFETCH(QString, submit);
        QFETCH(int, status);
        QFETCH(QString, error);
        QFETCH(bool, sent);
        server.on("POST", "/api/devices",
                  status == 200 ? Response::json(200, "{\"device\":" + frameJson("f9", "Hall", false) + "}")
                                : Response::json(status, R"({"error":"Frame token rejected"})"));
        open();
        openPopover();
        // No frame yet: the form is open.
        QVERIFY(frames()->isAddingDeviceExpanded());
        QCOMPARE(frames()->pasteField()->placeholderText(), QStringLiteral("Paste Bloomin8 setup block or API key"));
        paste(pasted);
        if (submit == QLatin1StringView("return")) {
            QTest::keyClick(frames()->pasteField(), Qt::Key_Return);
        } else if (submit == QLatin1StringView("name field")) {
            popover->nameField()->setFocus(Qt::MouseFocusReason);
        } else {
            // A press outside an open popup goes to the popup, which closes.
            QTest::mouseClick(popover, Qt::LeftButton, {}, QPoint(-20, -20));
            QVERIFY(!popover->isVisible());
        }
        QTRY_VERIFY(!frames()->isRegistering());
        settle();

        const auto requests = server.requests("POST", "/api/devices");
        QCOMPARE(requests.size(), sent ? 1 : 0);
        if (sent) {
            const QJsonObject body = QJsonDocument::fromJson(requests.first().body).object();
            QCOMPARE(body.value("setupText").toString(), pasted.trimmed());
            QCOMPARE(body.value("registeredBy").toString(), store->settings().displayName);
        }
        QCOMPARE(frames()->registerError().value_or(QString()), error);
        QCOMPARE(frames()->errorLabel()->isVisible(), !error.isEmpty());
        QCOMPARE(frames()->errorLabel()->text(), error);
        const bool registered = sent && status == 200;
        QCOMPARE(frames()->isAddingDeviceExpanded(), !registered);
        QCOMPARE(frames()->setupPasteText(), registered ? QString() : pasted);
        if (popover->isVisible()) {
            QCOMPARE(frames()->rowFrameIDs(), registered ? QStringList{"f9"} : QStringList{});
            if (registered)
                QCOMPARE(frames()->rowTexts("f9").last(), QStringLiteral("Last push unknown"));
        }
        // A failure on screen is in the activity log too.
        QCOMPARE(logged(QStringLiteral("Frame registration failed")), sent && !registered ? 1 : 0);
    }

    // A removal drops the row at once; a second one waits for nothing and is
    // ignored while the first runs; a failed one brings the row back and
    // shows the error, also with the form closed.
    void removal()
    {
        server.on("DELETE", "/api/devices/f1", [] {
            Response answer = Response::text(204, "");
            answer.delayMs = 300;
            return answer;
        }());
        server.on("DELETE", "/api/devices/f2", Response::json(500, R"({"error":"Frame busy"})"));
        open(frameList({frameJson("f1", "Hall"), frameJson("f2", "Kitchen", false)}));
        openPopover();
        QVERIFY(!frames()->isAddingDeviceExpanded());
        QCOMPARE(frames()->rowFrameIDs(), (QStringList{"f1", "f2"}));
        QCOMPARE(frames()->rowTexts("f1"),
                 (QStringList{"Hall", PhotoFormatters::deviceRegisteredAt("2026-03-01T09:30:00.000Z"),
                              PhotoFormatters::deviceLastPushAt("2026-03-02T11:00:00.000Z")}));
        QCOMPARE(frames()->rowTexts("f2").last(), QStringLiteral("Last push unknown"));
        QCOMPARE(frames()->removeButton("f1")->toolTip(), QStringLiteral("Remove frame from server"));

        frames()->removeButton("f1")->click();
        QCOMPARE(frames()->deletingFrameID(), std::optional<QString>(QStringLiteral("f1")));
        QCOMPARE(frames()->rowFrameIDs(), QStringList{"f2"});
        frames()->removeButton("f2")->click();
        QTRY_VERIFY(!frames()->deletingFrameID());
        settle();
        QCOMPARE(server.requests("DELETE", "/api/devices/f1").size(), 1);
        QCOMPARE(server.requests("DELETE", "/api/devices/f2").size(), 0);
        QCOMPARE(logged(QStringLiteral("Frame removed")), 1);
        QVERIFY(!frames()->errorLabel()->isVisible());

        frames()->removeButton("f2")->click();
        QCOMPARE(frames()->rowFrameIDs(), QStringList{});
        QTRY_VERIFY(!frames()->deletingFrameID());
        QCOMPARE(frames()->rowFrameIDs(), QStringList{"f2"});
        QVERIFY(!frames()->isRowDimmed("f2"));
        QVERIFY(frames()->errorLabel()->isVisible());
        QCOMPARE(frames()->errorLabel()->text(), QStringLiteral("HTTP 500: Frame busy"));
        const LogEntry failed = ActivityLogStore::shared().entries().first();
        QCOMPARE(failed.message, QStringLiteral("Frame removal failed"));
        QCOMPARE(failed.level, LogLevel::error);
        QCOMPARE(failed.category, LogCategory::device);
        QVERIFY(failed.detail.value_or(QString()).contains(QStringLiteral("Frame busy")));
    }

    // The form opens by itself only without frames; closing it clears its
    // error. The help button shows how to get a setup block.
    void formAndHelp()
    {
        open(frameList({frameJson("f1", "Hall")}));
        openPopover();
        QVERIFY(!frames()->isAddingDeviceExpanded());
        frames()->addDeviceButton()->click();
        QVERIFY(frames()->isAddingDeviceExpanded());
        paste(QStringLiteral("no token here"));
        QTest::keyClick(frames()->pasteField(), Qt::Key_Return);
        QVERIFY(frames()->registerError());
        frames()->addDeviceButton()->click();
        QVERIFY(!frames()->isAddingDeviceExpanded());
        QVERIFY(!frames()->registerError());
        QVERIFY(!frames()->errorLabel()->isVisible());

        QCOMPARE(frames()->helpButton()->toolTip(), QStringLiteral("How to register a Bloomin8 frame"));
        frames()->helpButton()->click();
        QVERIFY(frames()->showBloomin8Help());
        QCOMPARE(frames()->helpPopover()->shownSteps(), Bloomin8TokenHelpPopover::steps());
        frames()->helpPopover()->hide();
        QVERIFY(!frames()->showBloomin8Help());
    }

    // Log out locks the session; a lock from elsewhere closes the popover
    // too, which saves the settings as every closing does.
    void lockingClosesThePopover_data()
    {
        QTest::addColumn<bool>("byButton");
        QTest::newRow("Log out") << true;
        QTest::newRow("locked elsewhere") << false;
    }
    void lockingClosesThePopover()
    {
        QFETCH(bool, byButton);
        open();
        openPopover();
        QCOMPARE(popover->logOutButton()->text(), QStringLiteral("Log out"));
        if (byButton)
            popover->logOutButton()->click();
        else
            session->lock(*store);
        QCOMPARE(session->sessionPhase(), SessionPhase::locked);
        QVERIFY(!popover->isVisible());
        QCOMPARE(logged(QStringLiteral("Settings saved")), 1);
        QVERIFY(AppConfig::loadSettings().syncSessionToken.isEmpty());
    }
};

LUNVIK_WIDGET_TEST_MAIN(TestUiSettings)
#include "tst_uisettings.moc"
