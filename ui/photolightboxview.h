// The lightbox: one photo large, the page pushed over the gallery while the
// selection store names a lightbox photo. Beside the photo (below it when
// the page is narrower than 640 pixels) stand who added it, when it was
// updated, and the buttons "Show for today", "Download" and "Delete".
//
// The Photo / E-paper switch (or the E key) shows the photo as the frames'
// panel will, so it can be judged before "Show for today".
//
// Escape, Alt+Left, the mouse's back button and the back control close it;
// Left and Right step through the photos, wrapping at both ends. A new photo
// cross-fades in; the first one fades in when the page appears.
#pragma once

#include "galleryphotoactions.h"

#include "model/gallerystate.h"

#include <QPointer>
#include <QWidget>

#include <optional>

class CachedPhotoImage;
class CapsuleButton;
class EmptyStatePanel;
class GalleryStore;
class PreviewAppearanceSwitch;
class QBoxLayout;
class QGraphicsOpacityEffect;
class QLabel;
class QPropertyAnimation;
class QStackedWidget;
class QTimer;
class QToolButton;

class PhotoLightboxView : public QWidget
{
    Q_OBJECT
public:
    // From this width on, the details stand beside the photo.
    static constexpr int wideLayoutMinimumWidth = 640;
    // The fades: the smooth one between photos, the livelier one when the
    // page appears.
    static constexpr int smoothFadeMilliseconds = 350;
    static constexpr int bouncyFadeMilliseconds = 380;

    enum class Transition { none, appear, step };

    explicit PhotoLightboxView(GalleryStore &store, QWidget *parent = nullptr);
    ~PhotoLightboxView() override;

    void setDeleteRequest(GalleryDeleteRequestAction request);

    // The page's photo; changing it while shown cross-fades.
    const QString &photoID() const { return m_photoID; }
    void setPhotoID(const QString &photoID);
    // The gallery's entry of the page's photo; none when the gallery has no
    // such photo or it was deleted.
    std::optional<PhotoEntry> photo() const;

    // "Show for today" when the photo may become the current one; else the
    // store's "Showing until …" caption, falling back to "Show for today".
    static QString lightboxShowTodayButtonLabel(const GalleryStore &store, const PhotoEntry &photo);
    // 0.45 while the photo may become current but the store is busy, else 1.
    static double lightboxShowTodayButtonOpacity(const GalleryStore &store, const PhotoEntry &photo);

    // Closes the lightbox (the back control's action).
    void closeLightbox();

    bool isWideLayout() const { return m_wide; }
    bool isShowingUnavailable() const;
    Transition lastTransition() const { return m_lastTransition; }
    double heroOpacity() const;
    CachedPhotoImage *heroImage() const { return m_hero; }
    QToolButton *backButton() const { return m_back; }
    CapsuleButton *showForTodayButton() const { return m_showToday; }
    CapsuleButton *downloadButton() const { return m_download; }
    CapsuleButton *deleteButton() const { return m_delete; }
    QString addedByText() const;
    QString updatedText() const;
    EmptyStatePanel *unavailablePanel() const { return m_unavailable; }
    QWidget *detailsColumn() const { return m_details; }
    PreviewAppearanceSwitch *appearanceSwitch() const { return m_appearance; }

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void refresh();
    void applyLayout();
    void updateHeroSize();
    void beginTransition(Transition transition);
    void startFadeIfReady();
    void startFade();

    QPointer<GalleryStore> m_store;
    GalleryDeleteRequestAction m_deleteRequest;
    QString m_photoID;
    bool m_appeared = false;
    bool m_wide = true;
    bool m_layoutApplied = false;

    QToolButton *m_back;
    QStackedWidget *m_content;
    QWidget *m_photoPage;
    QBoxLayout *m_body;
    QWidget *m_heroFrame;
    CachedPhotoImage *m_hero;
    QLabel *m_outgoing;
    QWidget *m_details;
    QBoxLayout *m_buttons;
    QLabel *m_addedBy;
    QLabel *m_updated;
    CapsuleButton *m_showToday;
    CapsuleButton *m_download;
    CapsuleButton *m_delete;
    EmptyStatePanel *m_unavailable;
    PreviewAppearanceSwitch *m_appearance;

    QGraphicsOpacityEffect *m_heroEffect;
    QGraphicsOpacityEffect *m_outgoingEffect;
    QPropertyAnimation *m_heroFade;
    QPropertyAnimation *m_outgoingFade;
    Transition m_lastTransition = Transition::none;
    Transition m_pendingFade = Transition::none;
    QTimer *m_fadeFallback;
};
