#include "unlockwelcomephotopanel.h"

#include "rules/bloomin8.h"

#include <QPainter>
#include <QPainterPath>
#include <QtMath>

UnlockWelcomePhotoPanel::UnlockWelcomePhotoPanel(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

double UnlockWelcomePhotoPanel::screenAspectRatio()
{
    return Bloomin8Screen::aspectRatio(1200, 1600);
}

int UnlockWelcomePhotoPanel::paneWidth(int contentHeight, int maxPaneWidth)
{
    if (contentHeight <= 0 || maxPaneWidth <= 0)
        return 0;
    return qMin(maxPaneWidth, qRound(contentHeight * screenAspectRatio()));
}

const QImage &UnlockWelcomePhotoPanel::welcomeImage()
{
    static const QImage image(QStringLiteral(":/lunvik/unlock-welcome.png"));
    return image;
}

void UnlockWelcomePhotoPanel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = QRectF(rect());
    QPainterPath shape;
    shape.addRoundedRect(bounds, 14, 14);

    const QImage &image = welcomeImage();
    if (image.isNull()) {
        QColor fill = palette().color(QPalette::WindowText);
        fill.setAlphaF(0.08f);
        painter.fillPath(shape, fill);
        return;
    }
    // Scaled to fill and cut to the pane, kept until the size changes.
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (size() * ratio);
    if (m_scaled.size() != pixels) {
        const QImage filled = image.scaled(pixels, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
        const QRect crop((filled.width() - pixels.width()) / 2, (filled.height() - pixels.height()) / 2,
                         pixels.width(), pixels.height());
        m_scaled = QPixmap::fromImage(filled.copy(crop));
        m_scaled.setDevicePixelRatio(ratio);
    }
    painter.setClipPath(shape);
    painter.drawPixmap(QPointF(0, 0), m_scaled);
    painter.setClipping(false);
    QColor edge = Qt::black;
    edge.setAlphaF(0.12f);
    painter.setPen(QPen(edge, 1));
    painter.drawPath(shape.translated(0, 0));
}
