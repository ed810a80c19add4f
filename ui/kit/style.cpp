#include "style.h"

#include "chromestate.h"

#include <QApplication>
#include <QStyleFactory>

namespace {

QColor mix(const QColor &from, const QColor &to, double amount)
{
    return QColor::fromRgbF(float(from.redF() + amount * (to.redF() - from.redF())),
                            float(from.greenF() + amount * (to.greenF() - from.greenF())),
                            float(from.blueF() + amount * (to.blueF() - from.blueF())));
}

} // namespace

namespace AppStyle {

bool isDark(const QPalette &palette)
{
    return palette.color(QPalette::Window).lightness() < 128;
}

QPalette brandPalette(const QPalette &base)
{
    QPalette palette = base;
    const bool dark = isDark(base);
    const QColor accent = AppBrandColor::accentGreen();
    const QColor glass = AppBrandColor::glassTint(dark);

    // The window background leans halfway towards the glass tint: clearly
    // the brand's, still neutral enough for long use.
    const QColor window = mix(base.color(QPalette::Active, QPalette::Window), glass, 0.5);
    const QColor button = dark ? window.lighter(125) : mix(window, Qt::white, 0.55);
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Window, window);
        palette.setColor(group, QPalette::Button, button);
        palette.setColor(group, QPalette::Highlight, accent);
        palette.setColor(group, QPalette::HighlightedText, Qt::white);
        palette.setColor(group, QPalette::Link, dark ? accent.lighter(150) : accent.darker(110));
        palette.setColor(group, QPalette::LinkVisited, dark ? accent.lighter(130) : accent.darker(130));
    }
    palette.setColor(QPalette::Disabled, QPalette::Window, window);
    palette.setColor(QPalette::Disabled, QPalette::Button, button);
    palette.setColor(QPalette::Disabled, QPalette::Highlight, mix(window, accent, 0.5));
    return palette;
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

void apply(QApplication &app, bool styleChosen)
{
    // Fusion draws every control from the palette, so the brand colours show
    // the same on every desktop.
    if (!styleChosen && qEnvironmentVariableIsEmpty("QT_STYLE_OVERRIDE")) {
        if (QStyle *fusion = QStyleFactory::create(QStringLiteral("Fusion")))
            QApplication::setStyle(fusion);
    }
    // The desktop's palette decides light or dark; Fusion's own is light.
    const QPalette desktop = QGuiApplication::palette();
    app.setPalette(brandPalette(desktop));
}

QColor secondaryText(const QPalette &palette)
{
    QColor color = palette.color(QPalette::Active, QPalette::WindowText);
    color.setAlphaF(0.62f);
    return color;
}

QColor errorText(const QPalette &palette)
{
    return isDark(palette) ? QColor(0xff, 0x6b, 0x62) : QColor(0xc4, 0x2b, 0x1c);
}

} // namespace AppStyle
