// The two-pane layout of the gallery window: the device preview on the left
// of the gallery screen, in the screen's splitter. The pane is just wide
// enough for the framed device at the window's height, never more than
// 72 % of the window, and slides in and out with the bouncy spring when the
// chrome's showDevicePreview changes.
#pragma once

#include <QObject>
#include <QPointer>

class AppChromeState;
class DeviceCurrentPreview;
class GalleryScreen;
class GalleryStore;
class QSplitter;
class SpringAnimation;

namespace PreviewPaneLayout {

// Room the pane keeps above and below the device (margins, the title and
// the badge line) and the device's bezel, in points.
inline constexpr double verticalMargins = 40;
inline constexpr double titleAndBadge = 54;
inline constexpr double bezel = 84;
inline constexpr double horizontalMargins = 20;
inline constexpr double maximumShare = 0.72;

// The pane's width for a window content of `contentHeight` × `totalWidth`
// points and a screen of `screenAspectRatio` (width / height).
double leftPaneWidth(double contentHeight, double screenAspectRatio, double totalWidth);

} // namespace PreviewPaneLayout

class PreviewGallerySplit : public QObject
{
    Q_OBJECT
public:
    // Places a new device preview as the screen's leading pane.
    PreviewGallerySplit(GalleryScreen &screen, GalleryStore &store, AppChromeState &chrome);

    DeviceCurrentPreview *preview() const { return m_preview; }
    // The rule's width at the splitter's size, rounded to whole points.
    int targetPaneWidth() const;
    bool isAnimating() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void followChrome();
    // Moves the pane to the rule's width, springing there when `animated`.
    void followLayout(bool animated);
    void setPaneWidth(int width);
    int targetPaneWidth(QSize splitterSize) const;

    QPointer<QSplitter> m_splitter;
    const QObject *m_watchedSplitter = nullptr;
    QPointer<AppChromeState> m_chrome;
    DeviceCurrentPreview *m_preview;
    SpringAnimation *m_animation;
    bool m_shown = true;
};
