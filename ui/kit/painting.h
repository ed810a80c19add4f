// Small drawing helpers shared by the gallery's views: the colours they
// agree on and the "content unavailable" notice.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPainterPath>
#include <QPalette>
#include <QRectF>
#include <QString>

#include <functional>

class QPainter;
class QWidget;

namespace UiColors {
// The brand's accent: selection borders, tags, the drop outline.
QColor accent();
// Text of lesser importance: captions, times, descriptions.
QColor secondaryText(const QPalette &palette);
// The red of error texts.
QColor errorText(const QPalette &palette);

// Sets `role` of `widget`'s palette to what `colour` makes of the palette
// the widget would otherwise have, now and again whenever that palette
// changes (the colour scheme switched), so the colour stays right for the
// scheme shown.
void followPalette(QWidget *widget, QPalette::ColorRole role, std::function<QColor(const QPalette &)> colour);
// Runs `restyle` now and whenever `widget`'s palette changes: for pixmaps,
// icons and style sheets made from the palette's colours.
void onPaletteChange(QWidget *widget, std::function<void()> restyle);
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
