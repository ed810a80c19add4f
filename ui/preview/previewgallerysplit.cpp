#include "previewgallerysplit.h"

#include "devicepreview.h"
#include "ui/gallery/galleryscreen.h"

#include "ui/kit/chromestate.h"
#include "ui/kit/animation.h"
#include "store/gallerystore.h"

#include <QResizeEvent>
#include <QSplitter>

#include <cmath>

namespace PreviewPaneLayout {

double leftPaneWidth(double contentHeight, double screenAspectRatio, double totalWidth)
{
    const double usableHeight = std::max(contentHeight - verticalMargins - titleAndBadge - bezel, 0.0);
    const double screenWidth = std::max(screenAspectRatio * usableHeight, 80.0);
    const double paneWidth = screenWidth + bezel + horizontalMargins;
    return std::min(std::max(paneWidth, 0.0), maximumShare * std::max(totalWidth, 1.0));
}

} // namespace PreviewPaneLayout

PreviewGallerySplit::PreviewGallerySplit(GalleryScreen &screen, GalleryStore &store, AppChromeState &chrome)
    : QObject(&screen), m_splitter(screen.splitter()), m_chrome(&chrome)
{
    m_preview = new DeviceCurrentPreview(store, chrome);
    screen.setLeadingPane(m_preview);
    // The pane's width is the layout rule's, so the handle beside it only
    // draws the dividing line.
    const int galleryIndex = m_splitter->indexOf(m_preview) + 1;
    if (QSplitterHandle *handle = m_splitter->handle(galleryIndex)) {
        handle->setEnabled(false);
        handle->setCursor(Qt::ArrowCursor);
    }

    m_animation = new SpringAnimation(AppAnimation::bouncy, this);
    connect(m_animation, &QVariantAnimation::valueChanged, this,
            [this](const QVariant &value) { setPaneWidth(std::max(value.toInt(), 0)); });
    connect(m_animation, &QAbstractAnimation::finished, this, [this] {
        if (!m_shown)
            m_preview->hide();
    });

    m_watchedSplitter = m_splitter;
    m_splitter->installEventFilter(this);
    connect(&chrome, &AppChromeState::showDevicePreviewChanged, this, &PreviewGallerySplit::followChrome);
    connect(&store, &GalleryStore::deviceScreenAspectRatioChanged, this, [this] { followLayout(true); });
    connect(&store, &GalleryStore::deviceScreenIsLandscapeChanged, this, [this] { followLayout(true); });

    m_shown = chrome.showDevicePreview();
    m_preview->setVisible(m_shown);
    setPaneWidth(m_shown ? targetPaneWidth() : 0);
}

int PreviewGallerySplit::targetPaneWidth() const
{
    return m_splitter ? targetPaneWidth(m_splitter->size()) : 0;
}

int PreviewGallerySplit::targetPaneWidth(QSize splitterSize) const
{
    return int(std::lround(PreviewPaneLayout::leftPaneWidth(splitterSize.height(), m_preview->screenAspectRatio(),
                                                            splitterSize.width())));
}

bool PreviewGallerySplit::isAnimating() const
{
    return m_animation->state() == QAbstractAnimation::Running;
}

void PreviewGallerySplit::setPaneWidth(int width)
{
    m_preview->setFixedWidth(width);
}

void PreviewGallerySplit::followChrome()
{
    if (!m_chrome || m_chrome->showDevicePreview() == m_shown)
        return;
    m_shown = m_chrome->showDevicePreview();
    if (m_shown && m_preview->isHidden()) {
        setPaneWidth(0);
        m_preview->show();
    }
    followLayout(true);
}

void PreviewGallerySplit::followLayout(bool animated)
{
    const int target = m_shown ? targetPaneWidth() : 0;
    if (!animated || !m_splitter || !m_splitter->isVisible()) {
        m_animation->stop();
        setPaneWidth(target);
        if (!m_shown)
            m_preview->hide();
        return;
    }
    if (isAnimating()) {
        // Already on its way: head for the new width from where it is.
        m_animation->setEndValue(target);
        return;
    }
    if (m_preview->width() == target && m_preview->isVisible() == m_shown)
        return;
    m_animation->setStartValue(m_preview->isHidden() ? 0 : m_preview->width());
    m_animation->setEndValue(target);
    m_animation->start();
}

bool PreviewGallerySplit::eventFilter(QObject *watched, QEvent *event)
{
    // The splitter may be half destroyed when it sends its last events, so
    // it is recognised by address only.
    if (event->type() == QEvent::Resize && watched == m_watchedSplitter) {
        const QSize size = static_cast<QResizeEvent *>(event)->size();
        if (isAnimating())
            m_animation->setEndValue(m_shown ? targetPaneWidth(size) : 0);
        else if (m_shown)
            setPaneWidth(targetPaneWidth(size));
    }
    return false;
}
