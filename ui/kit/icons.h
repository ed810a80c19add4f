// Icons for the symbol names the screens use ("eye", "sidebar.trailing",
// "arrow.clockwise", …). Each name maps to freedesktop icon names, so the
// desktop's icon theme is used where it has one; otherwise the drawing
// bundled with the application is shown, in the palette's text colour.
#pragma once

#include <QColor>
#include <QIcon>
#include <QString>
#include <QStringList>

namespace AppIcons {

// The theme's icon when the theme has one of the symbol's names, else the
// bundled drawing. An unknown symbol gives a null icon.
QIcon icon(const QString &symbolName);
// The bundled drawing in a fixed colour (status symbols, badges), never the
// theme's icon.
QIcon tintedIcon(const QString &symbolName, const QColor &color);
// The bundled drawing, ignoring the theme.
QIcon bundledIcon(const QString &symbolName);

// The freedesktop names tried for a symbol, in order (may be empty when no
// theme icon fits, as for the coloured status symbols).
QStringList themeNames(const QString &symbolName);
// Every symbol with a bundled drawing.
QStringList symbolNames();

// The application's own icon.
QIcon applicationIcon();

} // namespace AppIcons
