// An indeterminate progress spinner: twelve spokes fading around a circle,
// turning while the widget is visible.
#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>

class BusySpinner : public QWidget
{
    Q_OBJECT
public:
    explicit BusySpinner(int diameter, QWidget *parent = nullptr);

    int diameter() const { return m_diameter; }
    QSize sizeHint() const override { return {m_diameter, m_diameter}; }
    QSize minimumSizeHint() const override { return sizeHint(); }

    // The spokes in `rect` at animation step `step` (0 to stepCount - 1).
    static void paint(QPainter &painter, const QRectF &rect, const QColor &color, int step);
    // One frame as a pixmap, for buttons that show a spinner as their icon.
    static QPixmap frame(int diameter, qreal devicePixelRatio, const QColor &color, int step);
    static constexpr int stepCount = 12;
    static constexpr int stepMilliseconds = 80;

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    int m_diameter;
    int m_step = 0;
    QTimer m_timer;
};
