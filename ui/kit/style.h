// The application's look: the Fusion style with the brand colours (the
// accent green as the selection and link colour, a window background tinted
// like the glass of the brand), in the light or dark scheme of the desktop.
#pragma once

#include <QColor>
#include <QPalette>

class QApplication;

namespace AppStyle {

// Light or dark. `followDesktop` keeps the platform's palette as it is
// (no portal, no session bus, or the desktop states no preference).
enum class Scheme { followDesktop, light, dark };

// Applies the style and palette to the whole application. A style the user
// chose (QT_STYLE_OVERRIDE, or -style on the command line as reported by
// `styleChosen`) is kept; only the palette changes. When `scheme` asks for
// the other brightness than the platform's palette has (Fusion's light
// palette on a desktop that prefers dark), a base palette of that scheme is
// built instead. Safe to call again whenever the scheme changes.
void apply(QApplication &app, bool styleChosen = false, Scheme scheme = Scheme::followDesktop);
// The palette apply() sets for `scheme`, on the platform's palette.
QPalette schemePalette(Scheme scheme);
// Plain base palettes of each brightness, before the brand colours.
QPalette darkBasePalette();
QPalette lightBasePalette();
// Whether the command line names a style (-style NAME, -style=NAME);
// QApplication consumes the option, so look before it is created.
bool commandLineChoosesStyle(int argc, char **argv);
// `base` with the brand colours.
QPalette brandPalette(const QPalette &base);
bool isDark(const QPalette &palette);

// Text that matters less (subtitles, captions).
QColor secondaryText(const QPalette &palette);
// Error messages shown in red.
QColor errorText(const QPalette &palette);

} // namespace AppStyle
