// lunvik-artwork: draws the pictures the application ships, at build time.
//
//   lunvik-artwork welcome OUT.png            the portrait landscape beside the unlock form
//   lunvik-artwork icon IN.svg OUT.png SIZE   the application icon as a PNG
//
// Everything is painted from code with a fixed random seed, so every build
// gets the same picture.

#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QSvgRenderer>
#include <QtMath>

#include <cstdio>
#include <random>

namespace {

constexpr int width = 600;
constexpr int height = 800;
constexpr double horizon = 0.60 * height;

// A ridge line: a few sine waves and a dash of noise over the x axis.
QPainterPath ridge(double base, double amplitude, double seed, double toY, std::mt19937 &random)
{
    std::uniform_real_distribution<double> jitter(-1.0, 1.0);
    QPainterPath path;
    path.moveTo(0, toY);
    for (int x = 0; x <= width; x += 6) {
        const double t = x / double(width);
        const double y = base
            - amplitude
                * (0.55 * qSin(t * 5.1 + seed) + 0.3 * qSin(t * 11.7 + seed * 2.3) + 0.15 * qSin(t * 23.9 + seed * 0.7))
            + 2.0 * jitter(random);
        path.lineTo(x, y);
    }
    path.lineTo(width, toY);
    path.closeSubpath();
    return path;
}

void paintSky(QPainter &p)
{
    QLinearGradient sky(0, 0, 0, horizon);
    sky.setColorAt(0.0, QColor(0x5d, 0x7f, 0xa8));
    sky.setColorAt(0.45, QColor(0xb9, 0xa9, 0xb8));
    sky.setColorAt(0.78, QColor(0xf0, 0xbf, 0x9c));
    sky.setColorAt(1.0, QColor(0xfb, 0xdc, 0xaa));
    p.fillRect(QRectF(0, 0, width, horizon + 2), sky);

    // The low sun and its glow.
    const QPointF sun(0.64 * width, horizon - 0.055 * height);
    QRadialGradient glow(sun, 0.55 * width);
    glow.setColorAt(0.0, QColor(255, 236, 196, 210));
    glow.setColorAt(0.25, QColor(255, 214, 160, 90));
    glow.setColorAt(1.0, QColor(255, 214, 160, 0));
    p.fillRect(QRectF(0, 0, width, horizon + 2), glow);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xff, 0xf4, 0xdc));
    p.drawEllipse(sun, 0.048 * width, 0.048 * width);
}

void paintClouds(QPainter &p, std::mt19937 &random)
{
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 9; ++i) {
        const QPointF centre(unit(random) * width, (0.08 + 0.3 * unit(random)) * height);
        const double w = (0.25 + 0.3 * unit(random)) * width;
        const double h = w * (0.08 + 0.05 * unit(random));
        QRadialGradient puff(centre, w / 2);
        puff.setColorAt(0.0, QColor(255, 236, 226, 95));
        puff.setColorAt(1.0, QColor(255, 238, 230, 0));
        p.save();
        p.translate(centre);
        p.scale(1.0, h / w * 2.2);
        p.translate(-centre);
        p.setBrush(puff);
        p.setPen(Qt::NoPen);
        p.drawEllipse(centre, w / 2, w / 2);
        p.restore();
    }
}

void paintMountains(QPainter &p, std::mt19937 &random)
{
    p.setPen(Qt::NoPen);
    // Far range, hazy.
    QLinearGradient far(0, horizon - 0.2 * height, 0, horizon);
    far.setColorAt(0, QColor(0x8c, 0x97, 0xb0));
    far.setColorAt(1, QColor(0xc8, 0xb4, 0xae));
    p.setBrush(far);
    p.drawPath(ridge(horizon - 0.1 * height, 0.07 * height, 1.3, horizon + 1, random));

    // Fjord walls: a tall one on the left, a lower one on the right, their
    // faces lit from the sun between them.
    const auto wall = [&](bool leftSide, double peak, double reach, double seed) {
        std::uniform_real_distribution<double> jitter(-1.0, 1.0);
        QPainterPath path;
        const double edge = leftSide ? 0 : width;
        const double foot = leftSide ? reach * width : width - reach * width;
        path.moveTo(edge, horizon + 1);
        for (int i = 0; i <= 80; ++i) {
            const double t = i / 80.0; // 0 at the outer edge, 1 at the foot
            const double x = edge + (foot - edge) * t;
            const double hump = peak * height * (1 - qPow(t, 1.7)) * (0.82 + 0.18 * qCos(t * 2.2));
            const double ridges = 0.012 * height * (qSin(t * 19 + seed) + 0.5 * qSin(t * 41 + seed * 3)) * (1 - t);
            path.lineTo(x, horizon - hump - ridges + 0.8 * jitter(random));
        }
        path.lineTo(foot, horizon + 1);
        path.closeSubpath();
        QLinearGradient face(edge, 0, foot, 0);
        face.setColorAt(0, QColor(0x3f, 0x55, 0x60));
        face.setColorAt(0.75, QColor(0x5d, 0x70, 0x74));
        face.setColorAt(1, QColor(0x86, 0x8a, 0x84));
        p.setBrush(face);
        p.drawPath(path);
        // Haze towards the water.
        QLinearGradient haze(0, horizon - peak * height, 0, horizon);
        haze.setColorAt(0, QColor(240, 200, 170, 0));
        haze.setColorAt(1, QColor(240, 200, 170, 70));
        p.setBrush(haze);
        p.drawPath(path);
    };
    wall(true, 0.30, 0.5, 0.4);
    wall(false, 0.19, 0.38, 2.1);
}

void paintWater(QPainter &p, const QImage &above, std::mt19937 &random)
{
    // The water mirrors what is above the horizon, darkened and softened.
    const int waterTop = int(horizon);
    const QImage band = above.copy(0, int(horizon - (height - horizon)), width, int(height - horizon)).mirrored(false, true);
    p.save();
    p.setOpacity(0.78);
    p.drawImage(QPointF(0, waterTop), band);
    p.restore();
    QLinearGradient depth(0, waterTop, 0, height);
    depth.setColorAt(0, QColor(0x3a, 0x55, 0x66, 40));
    depth.setColorAt(1, QColor(0x22, 0x38, 0x46, 200));
    p.fillRect(QRectF(0, waterTop, width, height - waterTop), depth);

    // Ripples and the sun's glitter path.
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double sunX = 0.64 * width;
    for (int i = 0; i < 420; ++i) {
        const double t = unit(random);
        const double y = waterTop + 4 + t * t * (height - waterTop - 4);
        const double spread = 0.03 * width + 0.25 * width * (y - waterTop) / (height - waterTop);
        const double x = sunX + (unit(random) * 2 - 1) * spread;
        const double len = 4 + 22 * unit(random) * (0.4 + (y - waterTop) / (height - waterTop));
        QColor glint(255, 236, 200, int(40 + 130 * (1 - t)));
        p.setPen(QPen(glint, 1.0 + 1.2 * t, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(x - len / 2, y), QPointF(x + len / 2, y));
    }
    for (int i = 0; i < 160; ++i) {
        const double y = waterTop + unit(random) * (height - waterTop);
        const double x = unit(random) * width;
        const double len = 10 + 40 * unit(random);
        p.setPen(QPen(QColor(255, 255, 255, 22), 1.0, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(x, y), QPointF(x + len, y));
    }
}

void paintPine(QPainter &p, QPointF foot, double h, const QColor &color)
{
    QPainterPath tree;
    const double w = h * 0.36;
    const int tiers = 5;
    for (int i = 0; i < tiers; ++i) {
        const double top = foot.y() - h + i * h * 0.17;
        const double bottom = top + h * 0.34;
        const double half = w * (0.35 + 0.65 * (i + 1) / tiers) / 2;
        tree.moveTo(foot.x(), top);
        tree.lineTo(foot.x() + half, bottom);
        tree.lineTo(foot.x() - half, bottom);
        tree.closeSubpath();
    }
    tree.addRect(QRectF(foot.x() - h * 0.02, foot.y() - h * 0.12, h * 0.04, h * 0.12));
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawPath(tree.simplified());
}

void paintForeground(QPainter &p, std::mt19937 &random)
{
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    // The near shore on the left, and a point of land on the right with a
    // red boathouse.
    QPainterPath shore;
    shore.moveTo(0, height);
    shore.lineTo(0, 0.74 * height);
    shore.cubicTo(0.16 * width, 0.73 * height, 0.3 * width, 0.8 * height, 0.42 * width, 0.9 * height);
    shore.cubicTo(0.48 * width, 0.95 * height, 0.52 * width, 0.98 * height, 0.56 * width, height);
    shore.closeSubpath();
    QLinearGradient shoreFill(0, 0.72 * height, 0, height);
    shoreFill.setColorAt(0, QColor(0x2f, 0x4f, 0x3c));
    shoreFill.setColorAt(1, QColor(0x1c, 0x30, 0x25));
    p.setPen(Qt::NoPen);
    p.setBrush(shoreFill);
    p.drawPath(shore);

    QPainterPath point;
    point.moveTo(width, 0.8 * height);
    point.cubicTo(0.9 * width, 0.79 * height, 0.8 * width, 0.805 * height, 0.7 * width, 0.83 * height);
    point.lineTo(width, 0.845 * height);
    point.closeSubpath();
    p.setBrush(QColor(0x2d, 0x47, 0x38));
    p.drawPath(point);

    // Boathouse: red walls, dark roof, white trim, its reflection below.
    const QRectF walls(0.8 * width, 0.772 * height, 0.085 * width, 0.036 * height);
    QPainterPath roof;
    roof.moveTo(walls.left() - 5, walls.top());
    roof.lineTo(walls.center().x(), walls.top() - 0.028 * height);
    roof.lineTo(walls.right() + 5, walls.top());
    roof.closeSubpath();
    p.setBrush(QColor(0x9b, 0x33, 0x26));
    p.drawRect(walls);
    p.setBrush(QColor(0x2a, 0x25, 0x24));
    p.drawPath(roof);
    p.setBrush(QColor(0xf3, 0xe9, 0xdc));
    p.drawRect(QRectF(walls.center().x() - 6, walls.bottom() - 16, 12, 16));
    p.save();
    p.setOpacity(0.3);
    p.setBrush(QColor(0x9b, 0x33, 0x26));
    p.drawRect(QRectF(walls.left(), walls.bottom() + 2, walls.width(), walls.height() * 0.8));
    p.restore();

    // Pines on the near shore, tallest at the edge.
    for (int i = 0; i < 14; ++i) {
        const double x = unit(random) * 0.34 * width;
        // Just inside the shore line, which falls towards the water.
        const double base = 0.74 * height + qPow(x / (0.42 * width), 2.0) * 0.1 * height + 0.03 * height;
        const double h = (0.1 + 0.12 * unit(random)) * height * (1.1 - x / width);
        paintPine(p, QPointF(x, base), h, QColor(0x17, 0x2c, 0x21));
    }
    for (int i = 0; i < 5; ++i) {
        const double x = (0.88 + 0.12 * unit(random)) * width;
        paintPine(p, QPointF(x, 0.8 * height + 2), (0.05 + 0.04 * unit(random)) * height, QColor(0x1d, 0x34, 0x28));
    }
}

void paintFinish(QImage &image, std::mt19937 &random)
{
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // A gentle vignette.
    QRadialGradient vignette(QPointF(width / 2.0, height * 0.45), height * 0.75);
    vignette.setColorAt(0.6, QColor(0, 0, 0, 0));
    vignette.setColorAt(1.0, QColor(0, 0, 0, 70));
    p.fillRect(image.rect(), vignette);
    p.end();
    // A little film grain.
    std::uniform_int_distribution<int> grain(-1, 1);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int n = grain(random);
            const QRgb c = line[x];
            line[x] = qRgb(qBound(0, qRed(c) + n, 255), qBound(0, qGreen(c) + n, 255), qBound(0, qBlue(c) + n, 255));
        }
    }
}

int welcome(const QString &out)
{
    std::mt19937 random(20240611);
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::black);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        paintSky(p);
        paintClouds(p, random);
        paintMountains(p, random);
    }
    const QImage above = image.copy();
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        paintWater(p, above, random);
        paintForeground(p, random);
    }
    paintFinish(image, random);
    if (!image.save(out, "PNG")) {
        std::fprintf(stderr, "lunvik-artwork: cannot write %s\n", qPrintable(out));
        return 1;
    }
    return 0;
}

int icon(const QString &svg, const QString &out, int size)
{
    QSvgRenderer renderer(svg);
    if (!renderer.isValid() || size <= 0) {
        std::fprintf(stderr, "lunvik-artwork: cannot read %s\n", qPrintable(svg));
        return 1;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        renderer.render(&p);
    }
    if (!image.save(out, "PNG")) {
        std::fprintf(stderr, "lunvik-artwork: cannot write %s\n", qPrintable(out));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = QGuiApplication::arguments();
    if (args.size() == 3 && args.at(1) == QLatin1StringView("welcome"))
        return welcome(args.at(2));
    if (args.size() == 5 && args.at(1) == QLatin1StringView("icon"))
        return icon(args.at(2), args.at(3), args.at(4).toInt());
    std::fputs("usage: lunvik-artwork welcome OUT.png | lunvik-artwork icon IN.svg OUT.png SIZE\n", stderr);
    return 2;
}
