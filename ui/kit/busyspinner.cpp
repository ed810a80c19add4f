#include "busyspinner.h"

#include <QPainter>
#include <QPixmap>
#include <QtMath>

BusySpinner::BusySpinner(int diameter, QWidget *parent) : QWidget(parent), m_diameter(diameter)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    m_timer.setInterval(stepMilliseconds);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_step = (m_step + 1) % stepCount;
        update();
    });
}

void BusySpinner::paint(QPainter &painter, const QRectF &rect, const QColor &color, int step)
{
    const qreal side = qMin(rect.width(), rect.height());
    const QPointF centre = rect.center();
    const qreal outer = side / 2;
    const qreal inner = outer * 0.48;
    const qreal width = qMax<qreal>(1.2, side * 0.085);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    for (int i = 0; i < stepCount; ++i) {
        // The spoke at `step` is the brightest; the ones behind it fade out.
        const int age = (step - i + stepCount) % stepCount;
        QColor spoke = color;
        spoke.setAlphaF(float(color.alphaF() * (1.0 - 0.75 * age / (stepCount - 1))));
        QPen pen(spoke, width, Qt::SolidLine, Qt::RoundCap);
        painter.setPen(pen);
        const qreal angle = qDegreesToRadians(i * 360.0 / stepCount - 90);
        const QPointF direction(qCos(angle), qSin(angle));
        painter.drawLine(centre + direction * inner, centre + direction * (outer - width / 2));
    }
    painter.restore();
}

QPixmap BusySpinner::frame(int diameter, qreal devicePixelRatio, const QColor &color, int step)
{
    QPixmap pixmap(QSize(diameter, diameter) * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    paint(painter, QRectF(0, 0, diameter, diameter), color, step);
    return pixmap;
}

void BusySpinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRectF square(QPointF((width() - m_diameter) / 2.0, (height() - m_diameter) / 2.0),
                        QSizeF(m_diameter, m_diameter));
    QColor color = palette().color(QPalette::WindowText);
    color.setAlphaF(0.8f);
    paint(painter, square, color, m_step);
}

void BusySpinner::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_timer.start();
}

void BusySpinner::hideEvent(QHideEvent *event)
{
    m_timer.stop();
    QWidget::hideEvent(event);
}
