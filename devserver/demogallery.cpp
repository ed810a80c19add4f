#include "demogallery.h"

#include "gallerystore.h"
#include "photoimages.h"
#include "serverutil.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRandomGenerator>

#include <cmath>
#include <numbers>

namespace {

constexpr int demoQuality = 85;
const QString mia = QStringLiteral("Mia");
const QString jonas = QStringLiteral("Jonas");
const QString ruth = QStringLiteral("Grandma Ruth");

void fillVertical(QPainter &p, const QRectF &area, const QColor &top, const QColor &bottom)
{
    QLinearGradient gradient(area.topLeft(), area.bottomLeft());
    gradient.setColorAt(0, top);
    gradient.setColorAt(1, bottom);
    p.fillRect(area, gradient);
}

void sun(QPainter &p, QPointF centre, qreal radius, const QColor &core, const QColor &glow)
{
    QRadialGradient halo(centre, radius * 3);
    QColor transparent = glow;
    transparent.setAlpha(0);
    halo.setColorAt(0, glow);
    halo.setColorAt(1, transparent);
    p.setPen(Qt::NoPen);
    p.setBrush(halo);
    p.drawEllipse(centre, radius * 3, radius * 3);
    p.setBrush(core);
    p.drawEllipse(centre, radius, radius);
}

// A ridge of hills across the image: a smooth curve through random heights
// around `baseline`, filled down to the bottom edge.
void hills(QPainter &p, const QSizeF &size, qreal baseline, qreal amplitude, const QColor &near, const QColor &far,
           QRandomGenerator &random)
{
    const int points = 5;
    QPainterPath path(QPointF(0, size.height()));
    QPointF previous(0, baseline + amplitude * (random.generateDouble() - 0.5));
    path.lineTo(previous);
    for (int i = 1; i <= points; ++i) {
        const QPointF next(size.width() * i / points, baseline + amplitude * (random.generateDouble() - 0.5));
        const qreal dx = (next.x() - previous.x()) / 2;
        path.cubicTo(previous + QPointF(dx, 0), next - QPointF(dx, 0), next);
        previous = next;
    }
    path.lineTo(size.width(), size.height());
    path.closeSubpath();
    QLinearGradient shade(0, baseline - amplitude, 0, size.height());
    shade.setColorAt(0, far);
    shade.setColorAt(1, near);
    p.setPen(Qt::NoPen);
    p.setBrush(shade);
    p.drawPath(path);
}

void sea(QPainter &p, const QSizeF &size, qreal horizon, const QColor &top, const QColor &bottom,
         QRandomGenerator &random)
{
    fillVertical(p, QRectF(0, horizon, size.width(), size.height() - horizon), top, bottom);
    p.setPen(QPen(QColor(255, 255, 255, 60), std::max(1.0, size.height() / 400)));
    for (int i = 0; i < 40; ++i) {
        const qreal y = horizon + (size.height() - horizon) * std::pow(random.generateDouble(), 1.5);
        const qreal x = size.width() * random.generateDouble();
        const qreal length = size.width() * (0.02 + 0.08 * (y - horizon) / (size.height() - horizon));
        p.drawLine(QPointF(x, y), QPointF(x + length, y));
    }
}

struct Landscape {
    QSize size;
    QColor skyTop, skyBottom;
    std::optional<QPointF> sunAt; // fractions of the size
    QColor sunCore = QColor(255, 244, 214), sunGlow = QColor(255, 200, 120, 160);
    QList<std::pair<QColor, QColor>> ridges; // far to near: (near colour, far colour)
    std::optional<qreal> seaAt; // horizon as a fraction of the height
    QColor seaTop = QColor(40, 90, 140), seaBottom = QColor(10, 40, 70);
    bool stars = false;
};

QImage paintLandscape(const Landscape &scene, quint32 seed)
{
    QRandomGenerator random(seed);
    QImage image(scene.size, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QSizeF size = scene.size;
    fillVertical(p, QRectF(QPointF(0, 0), size), scene.skyTop, scene.skyBottom);
    if (scene.stars) {
        p.setPen(Qt::NoPen);
        for (int i = 0; i < 300; ++i) {
            p.setBrush(QColor(255, 255, 255, 80 + random.bounded(175)));
            const qreal r = 0.6 + 1.6 * random.generateDouble();
            p.drawEllipse(
                QPointF(size.width() * random.generateDouble(), size.height() * 0.6 * random.generateDouble()), r, r);
        }
    }
    if (scene.sunAt)
        sun(p, QPointF(size.width() * scene.sunAt->x(), size.height() * scene.sunAt->y()),
            std::min(size.width(), size.height()) * 0.07, scene.sunCore, scene.sunGlow);
    if (scene.seaAt)
        sea(p, size, size.height() * *scene.seaAt, scene.seaTop, scene.seaBottom, random);
    const qsizetype count = scene.ridges.size();
    for (qsizetype i = 0; i < count; ++i) {
        const qreal baseline = size.height() * (0.5 + 0.35 * qreal(i + 1) / qreal(count + 1));
        hills(p, size, baseline, size.height() * 0.12, scene.ridges[i].first, scene.ridges[i].second, random);
    }
    return image;
}

// Overlapping circles, squares and triangles in one palette.
QImage paintShapes(QSize size, const QList<QColor> &palette, const QColor &background, quint32 seed)
{
    QRandomGenerator random(seed);
    QImage image(size, QImage::Format_RGB32);
    image.fill(background);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    const qreal unit = std::min(size.width(), size.height()) / 6.0;
    for (int i = 0; i < 18; ++i) {
        QColor colour = palette[random.bounded(int(palette.size()))];
        colour.setAlpha(170 + random.bounded(86));
        p.setBrush(colour);
        const QPointF centre(size.width() * random.generateDouble(), size.height() * random.generateDouble());
        const qreal r = unit * (0.4 + 1.2 * random.generateDouble());
        p.save();
        p.translate(centre);
        p.rotate(360 * random.generateDouble());
        switch (i % 3) {
        case 0:
            p.drawEllipse(QPointF(0, 0), r, r);
            break;
        case 1:
            p.drawRect(QRectF(-r, -r, 2 * r, 2 * r));
            break;
        default:
            p.drawPolygon(QPolygonF{QPointF(0, -r), QPointF(r * 0.87, r / 2), QPointF(-r * 0.87, r / 2)});
            break;
        }
        p.restore();
    }
    return image;
}

// Bands of colour rising from the bottom, like a rainbow or aurora.
QImage paintArcs(QSize size, const QList<QColor> &bands, const QColor &skyTop, const QColor &skyBottom,
                 const QColor &ground)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    fillVertical(p, QRectF(QPointF(0, 0), QSizeF(size)), skyTop, skyBottom);
    const QPointF centre(size.width() / 2.0, size.height() * 0.95);
    const qreal outer = size.height() * 0.8;
    const qreal width = outer * 0.06;
    p.setBrush(Qt::NoBrush);
    for (qsizetype i = 0; i < bands.size(); ++i) {
        QColor colour = bands[i];
        colour.setAlpha(150);
        p.setPen(QPen(colour, width, Qt::SolidLine, Qt::FlatCap));
        const qreal r = outer - width * qreal(i);
        p.drawArc(QRectF(centre.x() - r, centre.y() - r, 2 * r, 2 * r), 0, 180 * 16);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(ground);
    p.drawRect(QRectF(0, size.height() * 0.8, size.width(), size.height() * 0.2));
    return image;
}

} // namespace

namespace DemoGallery {

QList<DemoPhoto> photos()
{
    const QColor deepGreen(34, 85, 51), green(84, 140, 70), paleGreen(150, 190, 120);
    QList<DemoPhoto> result;
    result.append({QStringLiteral("sunset-over-the-bay.jpg"), mia,
                   paintLandscape({QSize(1600, 1067),
                                   QColor(72, 52, 120),
                                   QColor(250, 150, 90),
                                   QPointF(0.62, 0.52),
                                   QColor(255, 236, 190),
                                   QColor(255, 140, 80, 170),
                                   {},
                                   0.58,
                                   QColor(120, 80, 110),
                                   QColor(30, 30, 60),
                                   false},
                                  1)});
    result.append({QStringLiteral("rolling-hills.jpg"), jonas,
                   paintLandscape({QSize(1600, 1000),
                                   QColor(90, 150, 220),
                                   QColor(200, 225, 245),
                                   QPointF(0.2, 0.2),
                                   QColor(255, 250, 230),
                                   QColor(255, 240, 180, 140),
                                   {{paleGreen, QColor(170, 200, 190)}, {green, paleGreen}, {deepGreen, green}},
                                   std::nullopt,
                                   {},
                                   {},
                                   false},
                                  2)});
    result.append({QStringLiteral("mountain-morning.jpg"), ruth,
                   paintLandscape({QSize(1080, 1440),
                                   QColor(120, 160, 210),
                                   QColor(250, 210, 180),
                                   QPointF(0.7, 0.3),
                                   QColor(255, 248, 230),
                                   QColor(255, 210, 150, 150),
                                   {{QColor(110, 110, 140), QColor(170, 170, 200)},
                                    {QColor(70, 90, 110), QColor(120, 130, 160)},
                                    {QColor(40, 60, 60), QColor(80, 100, 100)}},
                                   std::nullopt,
                                   {},
                                   {},
                                   false},
                                  3)});
    result.append({QStringLiteral("garden-shapes.jpg"), mia,
                   paintShapes(QSize(1200, 1200),
                               {QColor(230, 90, 70), QColor(250, 190, 60), QColor(60, 140, 170), QColor(40, 60, 90)},
                               QColor(245, 238, 225), 4)});
    result.append({QStringLiteral("desert-panorama.jpg"), jonas,
                   paintLandscape(
                       {QSize(2400, 800),
                        QColor(70, 130, 200),
                        QColor(240, 220, 190),
                        QPointF(0.8, 0.25),
                        QColor(255, 252, 240),
                        QColor(255, 230, 170, 150),
                        {{QColor(220, 170, 110), QColor(235, 200, 150)}, {QColor(200, 130, 80), QColor(225, 170, 110)}},
                        std::nullopt,
                        {},
                        {},
                        false},
                       5)});
    result.append({QStringLiteral("starry-night.jpg"), ruth,
                   paintLandscape({QSize(1200, 1600),
                                   QColor(8, 12, 40),
                                   QColor(40, 50, 100),
                                   QPointF(0.3, 0.18),
                                   QColor(250, 250, 235),
                                   QColor(200, 210, 255, 90),
                                   {{QColor(10, 15, 30), QColor(25, 30, 60)}},
                                   std::nullopt,
                                   {},
                                   {},
                                   true},
                                  6)});
    result.append({QStringLiteral("summer-beach.jpg"), mia,
                   paintLandscape({QSize(1500, 1000),
                                   QColor(60, 140, 230),
                                   QColor(190, 225, 250),
                                   QPointF(0.15, 0.18),
                                   QColor(255, 255, 240),
                                   QColor(255, 245, 200, 150),
                                   {{QColor(240, 215, 160), QColor(230, 200, 150)}},
                                   0.5,
                                   QColor(60, 170, 200),
                                   QColor(20, 100, 150),
                                   false},
                                  7)});
    result.append({QStringLiteral("blue-patterns.jpg"), jonas,
                   paintShapes(QSize(1000, 1000),
                               {QColor(30, 60, 120), QColor(80, 140, 200), QColor(200, 220, 240), QColor(250, 200, 80)},
                               QColor(20, 30, 50), 8)});
    result.append({QStringLiteral("autumn-valley.jpg"), ruth,
                   paintLandscape({QSize(1000, 1500),
                                   QColor(150, 180, 210),
                                   QColor(250, 220, 170),
                                   QPointF(0.5, 0.3),
                                   QColor(255, 240, 210),
                                   QColor(255, 190, 120, 140),
                                   {{QColor(200, 120, 50), QColor(220, 170, 100)},
                                    {QColor(170, 70, 40), QColor(200, 120, 60)},
                                    {QColor(100, 50, 30), QColor(150, 80, 40)}},
                                   std::nullopt,
                                   {},
                                   {},
                                   false},
                                  9)});
    result.append({QStringLiteral("northern-lights.jpg"), mia,
                   paintArcs(QSize(2400, 900),
                             {QColor(60, 255, 170), QColor(40, 200, 160), QColor(90, 120, 220), QColor(150, 80, 200)},
                             QColor(5, 10, 30), QColor(20, 40, 70), QColor(10, 20, 25))});
    result.append({QStringLiteral("rainbow-meadow.jpg"), jonas,
                   paintArcs(QSize(1600, 1200),
                             {QColor(230, 60, 60), QColor(245, 150, 50), QColor(245, 220, 60), QColor(80, 190, 80),
                              QColor(60, 120, 220), QColor(120, 70, 180)},
                             QColor(110, 150, 200), QColor(210, 225, 240), green)});
    result.append({QStringLiteral("evening-lake.jpg"), ruth,
                   paintLandscape({QSize(1200, 1200),
                                   QColor(40, 40, 90),
                                   QColor(230, 120, 110),
                                   QPointF(0.5, 0.55),
                                   QColor(255, 220, 180),
                                   QColor(255, 120, 90, 150),
                                   {{QColor(30, 30, 50), QColor(60, 50, 80)}},
                                   0.62,
                                   QColor(90, 60, 100),
                                   QColor(20, 20, 40),
                                   false},
                                  12)});
    return result;
}

void seed(GalleryStore &store)
{
    const QList<DemoPhoto> demo = photos();
    for (const DemoPhoto &photo : demo) {
        const QByteArray jpeg = PhotoImages::encodeJpeg(photo.image, demoQuality);
        store.addPhoto({photo.uploadedBy, photo.filename, QString(), jpeg}, store.state().updatedAt);
    }
    // The frame first, so that it shows the current photo once that is set.
    const QString token = ServerUtil::randomHexId(4) + QLatin1Char('.') + ServerUtil::randomHexId(16);
    store.registerDevice({QStringLiteral("Device: Living room\nToken: %1\nInterval: 24h").arg(token),
                          QStringLiteral("Living room"), mia});
    const GalleryState state = store.state();
    if (state.order.size() > 4)
        store.setCurrent(state.order[4], state.updatedAt);
}

} // namespace DemoGallery
