#include "updatedialog.h"

#include "updates/updatererror.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace {

// Release notes come from the network: they may show text and links, but
// never make the program read a file or anything else they name.
class ReleaseNotesView : public QTextBrowser
{
public:
    using QTextBrowser::QTextBrowser;
    QVariant loadResource(int, const QUrl &) override { return {}; }
};

} // namespace

UpdateDialog::UpdateDialog(QWidget *parent)
    : QDialog(parent)
    , m_title(new QLabel(this))
    , m_message(new QLabel(this))
    , m_notesTitle(new QLabel(tr("Release notes:"), this))
    , m_notes(new ReleaseNotesView(this))
    , m_progress(new QProgressBar(this))
    , m_primary(new QPushButton(this))
    , m_secondary(new QPushButton(this))
{
    setWindowTitle(tr("Software Update"));
    setObjectName(QStringLiteral("updateDialog"));
    setMinimumWidth(480);

    QFont titleFont = m_title->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.2);
    m_title->setFont(titleFont);
    m_title->setWordWrap(true);
    m_message->setWordWrap(true);
    m_message->setTextFormat(Qt::PlainText);
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_notes->setOpenLinks(false);
    m_notes->setMinimumHeight(180);
    connect(m_notes, &QTextBrowser::anchorClicked, this, [](const QUrl &link) {
        const QString scheme = link.scheme().toLower();
        if (scheme == QLatin1StringView("https") || scheme == QLatin1StringView("http"))
            QDesktopServices::openUrl(link);
    });
    m_progress->setRange(0, 0);
    m_progress->setTextVisible(false);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_secondary);
    buttons->addWidget(m_primary);
    m_primary->setDefault(true);
    m_primary->setAutoDefault(true);
    m_secondary->setAutoDefault(false);
    connect(m_primary, &QPushButton::clicked, this, [this] { answer(m_onPrimary); });
    connect(m_secondary, &QPushButton::clicked, this, [this] {
        if (m_stage == Stage::saved) {
            // Showing the file leaves the window open.
            QDesktopServices::openUrl(QUrl::fromLocalFile(m_savedFolder));
            return;
        }
        answer(m_onSecondary);
    });

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_title);
    layout->addWidget(m_message);
    layout->addWidget(m_notesTitle);
    layout->addWidget(m_notes, 1);
    layout->addWidget(m_progress);
    // Room the stages without notes leave goes below the text.
    layout->addStretch(0);
    layout->addLayout(buttons);
}

void UpdateDialog::setStage(
    Stage stage, const QString &title, const QString &message, const QString &primary, const QString &secondary)
{
    m_stage = stage;
    m_onPrimary = nullptr;
    m_onSecondary = nullptr;
    m_onDismiss = nullptr;
    m_title->setText(title);
    m_message->setText(message);
    m_message->setVisible(!message.isEmpty());
    const bool notes = stage == Stage::updateFound;
    m_notesTitle->setVisible(notes);
    m_notes->setVisible(notes);
    m_progress->setVisible(stage == Stage::checking || stage == Stage::downloading);
    m_primary->setText(primary);
    m_secondary->setText(secondary);
    m_secondary->setVisible(!secondary.isEmpty());
    adjustSize();
}

void UpdateDialog::present()
{
    show();
    raise();
    activateWindow();
}

void UpdateDialog::answer(std::function<void()> &which)
{
    // The answer may show the next stage (setting new answers) or close the
    // window, so it is taken out before it runs.
    std::function<void()> chosen = std::move(which);
    m_onPrimary = nullptr;
    m_onSecondary = nullptr;
    m_onDismiss = nullptr;
    if (chosen)
        chosen();
}

void UpdateDialog::reject()
{
    if (m_onDismiss)
        answer(m_onDismiss);
    else
        QDialog::reject();
}

void UpdateDialog::dismiss()
{
    m_onPrimary = nullptr;
    m_onSecondary = nullptr;
    m_onDismiss = nullptr;
    QDialog::reject();
}

void UpdateDialog::showChecking(std::function<void()> cancel)
{
    setStage(Stage::checking, tr("Checking for updates…"), QString(), tr("Cancel"));
    m_onPrimary = cancel;
    m_onDismiss = std::move(cancel);
    present();
}

void UpdateDialog::showUpdateFound(
    const AppcastItem &update, const QString &currentVersion, std::function<void(UpdateUserDriver::UpdateChoice)> reply)
{
    setStage(Stage::updateFound, tr("A new version of Lunvik Photos is available"),
        tr("Lunvik Photos %1 is available; you have %2. Download it now? It is checked and then saved to "
           "your Downloads folder, ready to install.")
            .arg(update.displayVersionString, currentVersion),
        tr("Download Update"), tr("Remind Me Later"));
    if (update.releaseNotes.isEmpty())
        m_notes->setPlainText(tr("No release notes were published for this version."));
    else if (Qt::mightBeRichText(update.releaseNotes))
        m_notes->setHtml(update.releaseNotes);
    else
        m_notes->setPlainText(update.releaseNotes);
    m_onPrimary = [reply] { reply(UpdateUserDriver::UpdateChoice::download); };
    m_onSecondary = [reply] { reply(UpdateUserDriver::UpdateChoice::dismiss); };
    m_onDismiss = m_onSecondary;
    present();
}

void UpdateDialog::showNoUpdate(const QString &currentVersion, std::function<void()> acknowledgement)
{
    setStage(Stage::noUpdate, tr("You’re up to date"),
        tr("Lunvik Photos %1 is the newest version available.").arg(currentVersion), tr("OK"));
    m_onPrimary = acknowledgement;
    m_onDismiss = std::move(acknowledgement);
    present();
}

QString UpdateDialog::failureText(const UpdaterError &error)
{
    switch (error.kind()) {
    case UpdaterError::Kind::configurationInvalid:
        return tr("This copy of Lunvik Photos is not set up to look for updates.");
    case UpdaterError::Kind::feedUnavailable:
        return tr("Lunvik Photos could not reach the update server. Check your internet connection and try again "
                  "later.");
    case UpdaterError::Kind::feedInvalid:
        return tr("The update information could not be read. Try again later.");
    case UpdaterError::Kind::downloadFailed:
        return tr("The update could not be downloaded. Try again later.");
    case UpdaterError::Kind::lengthMismatch:
    case UpdaterError::Kind::signatureInvalid:
        return tr("The downloaded update could not be verified, so it was deleted. Try again later.");
    case UpdaterError::Kind::saveFailed:
        return tr("The update could not be saved to your Downloads folder.");
    }
    return tr("The update failed.");
}

void UpdateDialog::showFailure(const UpdaterError &error, std::function<void()> acknowledgement)
{
    setStage(Stage::failed, tr("Update failed"), failureText(error), tr("OK"));
    m_onPrimary = acknowledgement;
    m_onDismiss = std::move(acknowledgement);
    present();
}

void UpdateDialog::showDownloading(const AppcastItem &update, std::function<void()> cancel)
{
    setStage(Stage::downloading, tr("Downloading Lunvik Photos %1…").arg(update.displayVersionString),
        tr("The update is checked against its signature before it is saved."), tr("Cancel"));
    m_onPrimary = cancel;
    m_onDismiss = std::move(cancel);
    present();
}

void UpdateDialog::showSaved(const AppcastItem &update, const QString &file, std::function<void()> acknowledgement)
{
    m_savedFolder = QFileInfo(file).absolutePath();
    setStage(Stage::saved, tr("Lunvik Photos %1 is ready to install").arg(update.displayVersionString),
        tr("The update was verified and saved to your Downloads folder as “%1”. Open it with your software "
           "installer, then restart Lunvik Photos.")
            .arg(QFileInfo(file).fileName()),
        tr("Done"), tr("Show in Folder"));
    m_onPrimary = acknowledgement;
    m_onDismiss = std::move(acknowledgement);
    present();
}

StandardUpdateUserDriver::StandardUpdateUserDriver(QWidget *window)
    : m_window(window)
{
}

StandardUpdateUserDriver::~StandardUpdateUserDriver()
{
    delete m_dialog.data();
}

UpdateDialog &StandardUpdateUserDriver::dialogForSession()
{
    if (!m_dialog)
        m_dialog = new UpdateDialog(m_window);
    return *m_dialog;
}

void StandardUpdateUserDriver::showUserInitiatedUpdateCheck(std::function<void()> cancel)
{
    dialogForSession().showChecking(std::move(cancel));
}

void StandardUpdateUserDriver::showUpdateFound(
    const AppcastItem &update, const QString &currentVersion, std::function<void(UpdateChoice)> reply)
{
    dialogForSession().showUpdateFound(update, currentVersion, std::move(reply));
}

void StandardUpdateUserDriver::showUpdateNotFound(const QString &currentVersion, std::function<void()> acknowledgement)
{
    dialogForSession().showNoUpdate(currentVersion, std::move(acknowledgement));
}

void StandardUpdateUserDriver::showUpdaterError(const UpdaterError &error, std::function<void()> acknowledgement)
{
    dialogForSession().showFailure(error, std::move(acknowledgement));
}

void StandardUpdateUserDriver::showDownloadInProgress(const AppcastItem &update, std::function<void()> cancel)
{
    dialogForSession().showDownloading(update, std::move(cancel));
}

void StandardUpdateUserDriver::showUpdateSaved(
    const AppcastItem &update, const QString &file, std::function<void()> acknowledgement)
{
    dialogForSession().showSaved(update, file, std::move(acknowledgement));
}

void StandardUpdateUserDriver::showUpdateInFocus()
{
    if (m_dialog) {
        m_dialog->show();
        m_dialog->raise();
        m_dialog->activateWindow();
    }
}

void StandardUpdateUserDriver::dismissUpdateInstallation()
{
    if (!m_dialog)
        return;
    // The next session starts with a fresh window. The dialog may be the
    // sender of the click that ended the session, so it goes later.
    UpdateDialog *dialog = m_dialog;
    m_dialog = nullptr;
    dialog->dismiss();
    dialog->deleteLater();
}
