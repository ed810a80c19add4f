#include "style.h"

#include "chromestate.h"

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>

namespace {

QColor mix(const QColor &from, const QColor &to, double amount)
{
    return QColor::fromRgbF(float(from.redF() + amount * (to.redF() - from.redF())),
                            float(from.greenF() + amount * (to.greenF() - from.greenF())),
                            float(from.blueF() + amount * (to.blueF() - from.blueF())));
}

// The platform's own palette, as it was before this program first set one:
// once the application palette is set, QGuiApplication::palette() returns
// that instead.
const QPalette &platformPalette()
{
    static const QPalette palette = QGuiApplication::palette();
    return palette;
}

struct BaseColours {
    QColor window, windowText, base, alternateBase, text, button, buttonText, placeholder, disabledText, light,
        midlight, mid, dark, shadow, toolTipBase, toolTipText;
};

QPalette paletteOf(const BaseColours &c)
{
    QPalette palette(c.windowText, c.button, c.light, c.dark, c.mid, c.text, Qt::white, c.base, c.window);
    palette.setColor(QPalette::Midlight, c.midlight);
    palette.setColor(QPalette::Shadow, c.shadow);
    palette.setColor(QPalette::AlternateBase, c.alternateBase);
    palette.setColor(QPalette::ButtonText, c.buttonText);
    palette.setColor(QPalette::ToolTipBase, c.toolTipBase);
    palette.setColor(QPalette::ToolTipText, c.toolTipText);
    palette.setColor(QPalette::PlaceholderText, c.placeholder);
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, c.disabledText);
    palette.setColor(QPalette::Disabled, QPalette::PlaceholderText, c.disabledText);
    return palette;
}

} // namespace

namespace AppStyle {

bool isDark(const QPalette &palette)
{
    return palette.color(QPalette::Window).lightness() < 128;
}

QPalette darkBasePalette()
{
    return paletteOf({.window = QColor(0x2d, 0x2d, 0x30),
                      .windowText = QColor(0xec, 0xec, 0xec),
                      .base = QColor(0x1f, 0x1f, 0x22),
                      .alternateBase = QColor(0x28, 0x28, 0x2b),
                      .text = QColor(0xec, 0xec, 0xec),
                      .button = QColor(0x3a, 0x3a, 0x3e),
                      .buttonText = QColor(0xec, 0xec, 0xec),
                      .placeholder = QColor(0x9c, 0x9c, 0xa2),
                      .disabledText = QColor(0x80, 0x80, 0x86),
                      .light = QColor(0x55, 0x55, 0x5a),
                      .midlight = QColor(0x44, 0x44, 0x48),
                      .mid = QColor(0x26, 0x26, 0x29),
                      .dark = QColor(0x18, 0x18, 0x1a),
                      .shadow = QColor(0x00, 0x00, 0x00),
                      .toolTipBase = QColor(0x3a, 0x3a, 0x3e),
                      .toolTipText = QColor(0xec, 0xec, 0xec)});
}

QPalette lightBasePalette()
{
    return paletteOf({.window = QColor(0xef, 0xef, 0xef),
                      .windowText = QColor(0x1d, 0x1d, 0x1f),
                      .base = QColor(0xff, 0xff, 0xff),
                      .alternateBase = QColor(0xf5, 0xf5, 0xf5),
                      .text = QColor(0x1d, 0x1d, 0x1f),
                      .button = QColor(0xf4, 0xf4, 0xf4),
                      .buttonText = QColor(0x1d, 0x1d, 0x1f),
                      .placeholder = QColor(0x6e, 0x6e, 0x73),
                      .disabledText = QColor(0x9a, 0x9a, 0x9e),
                      .light = QColor(0xff, 0xff, 0xff),
                      .midlight = QColor(0xf0, 0xf0, 0xf0),
                      .mid = QColor(0xb8, 0xb8, 0xbc),
                      .dark = QColor(0x9f, 0x9f, 0xa3),
                      .shadow = QColor(0x4a, 0x4a, 0x4c),
                      .toolTipBase = QColor(0xff, 0xff, 0xdc),
                      .toolTipText = QColor(0x1d, 0x1d, 0x1f)});
}

QPalette brandPalette(const QPalette &base)
{
    QPalette palette = base;
    const bool dark = isDark(base);
    const QColor glass = AppBrandColor::glassTint(dark);

    // The window background leans halfway towards the glass tint: clearly
    // the brand's, still neutral enough for long use.
    const QColor window = mix(base.color(QPalette::Active, QPalette::Window), glass, 0.5);
    const QColor button = dark ? window.lighter(125) : mix(window, Qt::white, 0.55);
    // White text on the accent reads at 4.8:1, in either scheme.
    const QColor selection = AppBrandColor::accentGreen();
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Window, window);
        palette.setColor(group, QPalette::Button, button);
        palette.setColor(group, QPalette::Highlight, selection);
        palette.setColor(group, QPalette::HighlightedText, Qt::white);
        palette.setColor(group, QPalette::Link, AppBrandColor::accentText(dark));
        palette.setColor(group, QPalette::LinkVisited, AppBrandColor::accentText(dark).darker(dark ? 115 : 120));
        // A translucent placeholder (Qt's default) is too faint to read.
        const QColor placeholder = base.color(group, QPalette::PlaceholderText);
        if (placeholder.alpha() < 255)
            palette.setColor(group, QPalette::PlaceholderText,
                             mix(base.color(group, QPalette::Base), base.color(group, QPalette::Text),
                                 std::max(placeholder.alphaF(), dark ? 0.62f : 0.58f)));
    }
    palette.setColor(QPalette::Disabled, QPalette::Window, window);
    palette.setColor(QPalette::Disabled, QPalette::Button, button);
    palette.setColor(QPalette::Disabled, QPalette::Highlight, mix(window, selection, 0.5));
    return palette;
}

QPalette schemePalette(Scheme scheme)
{
    const QPalette &desktop = platformPalette();
    QPalette base = desktop;
    if (scheme == Scheme::dark && !isDark(desktop))
        base = darkBasePalette();
    else if (scheme == Scheme::light && isDark(desktop))
        base = lightBasePalette();
    return brandPalette(base);
}

bool commandLineChoosesStyle(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const QByteArrayView arg(argv[i]);
        if (arg == "-style" || arg == "--style" || arg.startsWith("-style=") || arg.startsWith("--style="))
            return true;
    }
    return false;
}

void apply(QApplication &app, bool styleChosen, Scheme scheme)
{
    // Fusion draws every control from the palette, so the brand colours show
    // the same on every desktop.
    if (!styleChosen && qEnvironmentVariableIsEmpty("QT_STYLE_OVERRIDE")
        && QApplication::style()->name().compare(QLatin1StringView("fusion"), Qt::CaseInsensitive) != 0) {
        if (QStyle *fusion = QStyleFactory::create(QStringLiteral("Fusion")))
            QApplication::setStyle(fusion);
    }
    platformPalette(); // taken before the first palette is set
    // The desktop's palette decides light or dark unless the desktop's
    // colour-scheme preference says otherwise; Fusion's own is light.
    app.setPalette(schemePalette(scheme));
}

QColor secondaryText(const QPalette &palette)
{
    QColor color = palette.color(QPalette::Active, QPalette::WindowText);
    color.setAlphaF(0.62f);
    return color;
}

QColor errorText(const QPalette &palette)
{
    return isDark(palette) ? QColor(0xff, 0x6b, 0x62) : QColor(0xb4, 0x23, 0x18);
}

} // namespace AppStyle
