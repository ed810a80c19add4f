#include "icons.h"

#include <QApplication>
#include <QFile>
#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QPalette>
#include <QSvgRenderer>

#include <optional>

namespace {

// Symbol name → freedesktop names; symbols with an empty list always use the
// bundled drawing (their look carries meaning the themes do not share).
const QHash<QString, QStringList> &themeTable()
{
    static const QHash<QString, QStringList> table{
        {QStringLiteral("sidebar.trailing"), {QStringLiteral("sidebar-show-right-symbolic"), QStringLiteral("view-right-new")}},
        {QStringLiteral("sidebar.left"), {QStringLiteral("sidebar-show-symbolic"), QStringLiteral("view-left-new")}},
        {QStringLiteral("eye"), {QStringLiteral("view-visible"), QStringLiteral("view-reveal-symbolic")}},
        {QStringLiteral("eye.slash"), {QStringLiteral("view-hidden"), QStringLiteral("view-conceal-symbolic")}},
        {QStringLiteral("questionmark.circle"), {QStringLiteral("help-contextual"), QStringLiteral("help-browser")}},
        {QStringLiteral("info.circle"), {QStringLiteral("help-about")}},
        {QStringLiteral("plus"), {QStringLiteral("list-add")}},
        {QStringLiteral("minus"), {QStringLiteral("list-remove")}},
        {QStringLiteral("plus.circle.fill"), {}},
        {QStringLiteral("minus.circle"), {}},
        {QStringLiteral("checkmark"), {QStringLiteral("object-select")}},
        {QStringLiteral("checkmark.circle.fill"), {}},
        {QStringLiteral("xmark"), {QStringLiteral("window-close")}},
        {QStringLiteral("xmark.circle.fill"), {}},
        {QStringLiteral("ellipsis.circle.fill"), {}},
        {QStringLiteral("ellipsis"), {QStringLiteral("view-more-horizontal-symbolic"), QStringLiteral("overflow-menu")}},
        {QStringLiteral("arrow.clockwise"), {QStringLiteral("view-refresh")}},
        {QStringLiteral("trash"), {QStringLiteral("edit-delete"), QStringLiteral("user-trash")}},
        {QStringLiteral("photo"), {QStringLiteral("image-x-generic")}},
        {QStringLiteral("photo.badge.plus"), {QStringLiteral("insert-image")}},
        {QStringLiteral("gearshape"), {QStringLiteral("configure"), QStringLiteral("preferences-system")}},
        {QStringLiteral("square.and.arrow.down"), {QStringLiteral("document-save"), QStringLiteral("download")}},
        {QStringLiteral("square.and.arrow.up"), {QStringLiteral("document-share"), QStringLiteral("send-to")}},
        {QStringLiteral("star"), {QStringLiteral("non-starred-symbolic"), QStringLiteral("rating-unrated")}},
        {QStringLiteral("star.fill"), {QStringLiteral("starred-symbolic"), QStringLiteral("rating")}},
        {QStringLiteral("display"), {QStringLiteral("video-display")}},
        {QStringLiteral("text.badge.clock"), {QStringLiteral("document-open-recent")}},
        {QStringLiteral("square.grid.3x3"), {}},
        {QStringLiteral("square.grid.2x2"), {}},
        {QStringLiteral("chevron.right"), {QStringLiteral("go-next")}},
        {QStringLiteral("chevron.left"), {QStringLiteral("go-previous")}},
        {QStringLiteral("exclamationmark.triangle"), {QStringLiteral("dialog-warning")}},
        {QStringLiteral("doc.on.doc"), {QStringLiteral("edit-copy")}},
        {QStringLiteral("rectangle.portrait.and.arrow.right"), {QStringLiteral("system-log-out")}},
    };
    return table;
}

QString resourcePath(const QString &symbolName)
{
    return QStringLiteral(":/lunvik/icons/") + symbolName + QStringLiteral(".svg");
}

// Draws a bundled symbol, replacing "currentColor" with the colour of the
// icon mode: a fixed tint, or the application palette's text colours.
class SymbolIconEngine : public QIconEngine
{
public:
    SymbolIconEngine(QByteArray svg, std::optional<QColor> tint) : m_svg(std::move(svg)), m_tint(std::move(tint)) {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State) override
    {
        QSvgRenderer renderer(coloured(colorFor(mode)));
        if (!renderer.isValid())
            return;
        // The drawings are square; keep them square inside any rectangle.
        const int side = qMin(rect.width(), rect.height());
        const QRectF target(rect.x() + (rect.width() - side) / 2.0, rect.y() + (rect.height() - side) / 2.0, side,
                            side);
        renderer.render(painter, target);
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state, qreal scale) override
    {
        const QColor color = colorFor(mode);
        const QString key = QStringLiteral("%1x%2@%3/%4").arg(size.width()).arg(size.height()).arg(scale).arg(color.name(QColor::HexArgb));
        if (const auto cached = m_pixmaps.constFind(key); cached != m_pixmaps.constEnd())
            return *cached;
        QPixmap pixmap(size * scale);
        pixmap.fill(Qt::transparent);
        {
            QPainter painter(&pixmap);
            painter.setRenderHint(QPainter::Antialiasing);
            paint(&painter, QRect(QPoint(), size * scale), mode, state);
        }
        pixmap.setDevicePixelRatio(scale);
        if (m_pixmaps.size() > 32)
            m_pixmaps.clear();
        m_pixmaps.insert(key, pixmap);
        return pixmap;
    }

    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override { return size; }
    QIconEngine *clone() const override { return new SymbolIconEngine(m_svg, m_tint); }
    QString key() const override { return QStringLiteral("LunvikSymbol"); }
    bool isNull() override { return m_svg.isEmpty(); }

private:
    QColor colorFor(QIcon::Mode mode) const
    {
        if (m_tint) {
            QColor color = *m_tint;
            if (mode == QIcon::Disabled)
                color.setAlphaF(color.alphaF() * 0.4f);
            return color;
        }
        const QPalette palette = QApplication::palette();
        switch (mode) {
        case QIcon::Disabled:
            return palette.color(QPalette::Disabled, QPalette::WindowText);
        case QIcon::Selected:
            return palette.color(QPalette::Active, QPalette::HighlightedText);
        case QIcon::Normal:
        case QIcon::Active:
            break;
        }
        return palette.color(QPalette::Active, QPalette::WindowText);
    }

    QByteArray coloured(const QColor &color) const
    {
        QByteArray svg = m_svg;
        svg.replace("currentColor", color.name(QColor::HexRgb).toLatin1());
        if (color.alpha() < 255) {
            // SVG colours carry no alpha; fade the whole drawing instead.
            svg.replace("<svg ", "<svg opacity=\"" + QByteArray::number(color.alphaF(), 'f', 3) + "\" ");
        }
        return svg;
    }

    QByteArray m_svg;
    std::optional<QColor> m_tint;
    QHash<QString, QPixmap> m_pixmaps;
};

QByteArray bundledDrawing(const QString &symbolName)
{
    QFile file(resourcePath(symbolName));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

} // namespace

namespace AppIcons {

QIcon icon(const QString &symbolName)
{
    for (const QString &name : themeTable().value(symbolName)) {
        if (QIcon::hasThemeIcon(name))
            return QIcon::fromTheme(name);
    }
    return bundledIcon(symbolName);
}

QIcon bundledIcon(const QString &symbolName)
{
    QByteArray svg = bundledDrawing(symbolName);
    if (svg.isEmpty())
        return {};
    return QIcon(new SymbolIconEngine(std::move(svg), std::nullopt));
}

QIcon tintedIcon(const QString &symbolName, const QColor &color)
{
    QByteArray svg = bundledDrawing(symbolName);
    if (svg.isEmpty())
        return {};
    return QIcon(new SymbolIconEngine(std::move(svg), color));
}

QStringList themeNames(const QString &symbolName)
{
    return themeTable().value(symbolName);
}

QStringList symbolNames()
{
    QStringList names = themeTable().keys();
    names.sort();
    return names;
}

QIcon applicationIcon()
{
    return QIcon(QStringLiteral(":/lunvik/lunvik-photos.svg"));
}

} // namespace AppIcons
