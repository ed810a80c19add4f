// Small drawing helpers shared by the gallery's views: the colours they
// agree on and the "content unavailable" notice.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPainterPath>
#include <QPalette>
#include <QRectF>
#include <QString>

class QPainter;

namespace UiColors {
// The brand's accent: selection borders, tags, the drop outline.
QColor accent();
// Text of lesser importance: captions, times, descriptions.
QColor secondaryText(const QPalette &palette);
// The red of error texts.
QColor errorText(const QPalette &palette);
} // namespace UiColors

namespace UiPaint {

// A notice that some content is not available: an icon, a title and a
// description, centred in `area`. Parts that do not fit are left out,
// the description first, then the icon.
void unavailableContent(QPainter &painter, const QRectF &area, const QIcon &icon, const QString &title,
    const QString &description, const QPalette &palette);

// A rounded rectangle path.
QPainterPath roundedRect(const QRectF &rect, double radius);

} // namespace UiPaint
