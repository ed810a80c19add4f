// The decorative portrait photo beside the unlock form, shaped like the
// screen of a 13-inch frame and as tall as the form.
#pragma once

#include <QImage>
#include <QPixmap>
#include <QWidget>

class UnlockWelcomePhotoPanel : public QWidget
{
    Q_OBJECT
public:
    explicit UnlockWelcomePhotoPanel(QWidget *parent = nullptr);

    // Width over height of the pane: a 1200 × 1600 frame screen.
    static double screenAspectRatio();
    // The pane's width for a pane `contentHeight` tall, at most `maxPaneWidth`.
    static int paneWidth(int contentHeight, int maxPaneWidth);
    // The bundled welcome photo, read once per process; null when missing.
    static const QImage &welcomeImage();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QPixmap m_scaled;
};
