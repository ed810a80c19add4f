#include "epaperrendering.h"

#include "bloomin8.h"
#include "photocachejpeg.h"

#include <QColorSpace>
#include <QFileInfo>
#include <QImageIOHandler>
#include <QImageReader>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// The inks of an E Ink Spectra 6 panel as they look on the panel, from a
// published colour measurement of such panels, in sRGB. They are far from
// the pure primaries the frame's controller is sent: the white is a light
// grey and the colours are muted, which is what makes some photos turn
// muddy on the wall.
const std::array<EpaperRendering::Ink, 6> panelInks{{
    {"black", qRgb(0, 0, 0)},
    {"white", qRgb(161, 164, 165)},
    {"yellow", qRgb(208, 190, 71)},
    {"red", qRgb(156, 72, 75)},
    {"blue", qRgb(61, 59, 94)},
    {"green", qRgb(58, 91, 70)},
}};

// Closeness of colours is judged on the square root of linear light, near
// enough to lightness (L* goes as the cube root) and far cheaper, with the
// channels weighted by how much each adds to lightness. The error that is
// passed on stays in linear light, where mixing dots of ink averages.
constexpr float weightRed = 0.30f;
constexpr float weightGreen = 0.59f;
constexpr float weightBlue = 0.11f;

struct Rgb {
    float r = 0;
    float g = 0;
    float b = 0;
};

float srgbToLinear(int value)
{
    const double c = value / 255.0;
    return float(c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
}

struct Tables {
    std::array<float, 256> linear{};
    std::array<Rgb, 6> inkLinear{};
    std::array<Rgb, 6> inkPerceptual{};

    Tables()
    {
        for (int i = 0; i < 256; ++i)
            linear[size_t(i)] = srgbToLinear(i);
        for (size_t i = 0; i < panelInks.size(); ++i) {
            const QRgb c = panelInks[i].color;
            inkLinear[i] = {linear[size_t(qRed(c))], linear[size_t(qGreen(c))], linear[size_t(qBlue(c))]};
            inkPerceptual[i] = {std::sqrt(inkLinear[i].r), std::sqrt(inkLinear[i].g), std::sqrt(inkLinear[i].b)};
        }
    }
};

const Tables &tables()
{
    static const Tables built;
    return built;
}

// Serpentine Floyd-Steinberg: even rows left to right, odd rows right to
// left, so the error does not drift to one side. The error of each row
// goes to the row below through `below`; both rows have one spare slot at
// each end, where error that would leave the photo is dropped.
void diffuse(const QImage &photo, QImage &out, QPoint at)
{
    const Tables &t = tables();
    const int width = photo.width();
    const int height = photo.height();
    std::vector<Rgb> here(size_t(width) + 2);
    std::vector<Rgb> below(size_t(width) + 2);
    for (int y = 0; y < height; ++y) {
        std::fill(below.begin(), below.end(), Rgb{});
        const auto *in = reinterpret_cast<const QRgb *>(photo.constScanLine(y));
        auto *row = reinterpret_cast<QRgb *>(out.scanLine(y + at.y())) + at.x();
        const bool forward = y % 2 == 0;
        const int step = forward ? 1 : -1;
        for (int i = 0; i < width; ++i) {
            const int x = forward ? i : width - 1 - i;
            const Rgb &carried = here[size_t(x + 1)];
            const QRgb source = in[x];
            // Beyond the gamut the error is dropped rather than carried on,
            // or a bright sky would smear its excess over the whole picture.
            const Rgb value{std::clamp(t.linear[size_t(qRed(source))] + carried.r, 0.0f, 1.0f),
                            std::clamp(t.linear[size_t(qGreen(source))] + carried.g, 0.0f, 1.0f),
                            std::clamp(t.linear[size_t(qBlue(source))] + carried.b, 0.0f, 1.0f)};
            const Rgb seen{std::sqrt(value.r), std::sqrt(value.g), std::sqrt(value.b)};
            size_t best = 0;
            float bestDistance = std::numeric_limits<float>::max();
            for (size_t k = 0; k < t.inkPerceptual.size(); ++k) {
                const Rgb &ink = t.inkPerceptual[k];
                const float dr = seen.r - ink.r;
                const float dg = seen.g - ink.g;
                const float db = seen.b - ink.b;
                const float distance = weightRed * dr * dr + weightGreen * dg * dg + weightBlue * db * db;
                if (distance < bestDistance) {
                    bestDistance = distance;
                    best = k;
                }
            }
            row[x] = panelInks[best].color;
            const Rgb &ink = t.inkLinear[best];
            const Rgb error{value.r - ink.r, value.g - ink.g, value.b - ink.b};
            const auto spread = [&error](Rgb &to, float share) {
                to.r += error.r * share;
                to.g += error.g * share;
                to.b += error.b * share;
            };
            spread(here[size_t(x + 1 + step)], 7.0f / 16);
            spread(below[size_t(x + 1 - step)], 3.0f / 16);
            spread(below[size_t(x + 1)], 5.0f / 16);
            spread(below[size_t(x + 1 + step)], 1.0f / 16);
        }
        std::swap(here, below);
    }
}

// The upright size of the image file at `path` from its header; none when
// it is no regular file, is a link, or the header tells no size (the
// decode then finds out for itself).
std::optional<QSize> uprightSize(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isFile())
        return std::nullopt;
    QImageReader reader(path);
    reader.setAutoTransform(true);
    QSize size = reader.size();
    if (size.isEmpty())
        return std::nullopt;
    if (reader.transformation() & QImageIOHandler::TransformationRotate90)
        size.transpose();
    return size;
}

// The longest side to decode at: that of the photo fitted to the screen,
// or the screen's longest side when the header told nothing.
int decodeSide(const std::optional<QSize> &upright, QSize screen)
{
    if (upright) {
        const QSize fitted = EpaperRendering::fittedRect(*upright, screen).size();
        if (!fitted.isEmpty())
            return std::max(fitted.width(), fitted.height());
    }
    return std::max(screen.width(), screen.height());
}

} // namespace

namespace EpaperRendering {

const std::array<Ink, 6> &inks()
{
    return panelInks;
}

QSize defaultScreenSize()
{
    return {Bloomin8Screen::default13Width, Bloomin8Screen::default13Height};
}

QSize boundedScreenSize(QSize size)
{
    const int width = std::max(size.width(), 1);
    const int height = std::max(size.height(), 1);
    const int longer = std::max(width, height);
    if (longer <= maxScreenSide)
        return {width, height};
    const auto scaled = [longer](int side) {
        return int(std::clamp<qint64>(qRound64(double(side) * maxScreenSide / longer), 1, maxScreenSide));
    };
    return {scaled(width), scaled(height)};
}

QSize screenSize(std::optional<int> width, std::optional<int> height, bool isLandscape)
{
    const Bloomin8Screen::CanvasPixels portrait = Bloomin8Screen::portraitCanvasPixels(width, height);
    const QSize size = isLandscape ? QSize(portrait.height, portrait.width) : QSize(portrait.width, portrait.height);
    return boundedScreenSize(size);
}

QRect fittedRect(QSize photoSize, QSize screen)
{
    if (photoSize.isEmpty() || screen.isEmpty())
        return {};
    const double scale
        = std::min(double(screen.width()) / photoSize.width(), double(screen.height()) / photoSize.height());
    const int width = std::clamp(int(std::lround(photoSize.width() * scale)), 1, screen.width());
    const int height = std::clamp(int(std::lround(photoSize.height() * scale)), 1, screen.height());
    return QRect((screen.width() - width) / 2, (screen.height() - height) / 2, width, height);
}

QImage render(const QImage &photo, QSize screen)
{
    if (photo.isNull() || screen.isEmpty())
        return {};
    screen = boundedScreenSize(screen);
    const QRect placed = fittedRect(photo.size(), screen);
    QImage fitted = photo;
    // Photos in another colour space (Display P3 from a phone) are seen in
    // sRGB, as the inks are given.
    const QColorSpace space = fitted.colorSpace();
    if (space.isValid() && space != QColorSpace(QColorSpace::SRgb))
        fitted.convertToColorSpace(QColorSpace::SRgb);
    if (fitted.size() != placed.size())
        fitted = fitted.scaled(placed.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    // Transparent areas show the black of the screen.
    if (fitted.hasAlphaChannel())
        fitted = fitted.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (fitted.format() != QImage::Format_RGB32 && fitted.format() != QImage::Format_ARGB32_Premultiplied)
        fitted = fitted.convertToFormat(QImage::Format_RGB32);

    QImage out(screen, QImage::Format_RGB32);
    if (out.isNull())
        return {};
    out.fill(panelInks[0].color);
    diffuse(fitted, out, placed.topLeft());
    out.setColorSpace(QColorSpace(QColorSpace::SRgb));
    return out;
}

std::optional<QImage> renderFile(const QString &path, QSize screen)
{
    screen = boundedScreenSize(screen);
    const std::optional<QImage> decoded = ImageDownsampler::loadThumbnail(path, decodeSide(uprightSize(path), screen));
    if (!decoded)
        return std::nullopt;
    QImage rendered = render(*decoded, screen);
    if (rendered.isNull())
        return std::nullopt;
    return rendered;
}

QCoro::Task<std::optional<QImage>> renderFileAsync(QString path, QSize screen)
{
    screen = boundedScreenSize(screen);
    QFuture<std::optional<QSize>> header = QtConcurrent::run(uprightSize, path);
    const std::optional<QSize> upright = co_await header;
    const std::optional<QImage> decoded
        = co_await ImageDownsampler::loadThumbnailAsync(path, decodeSide(upright, screen));
    if (!decoded)
        co_return std::nullopt;
    QFuture<QImage> rendering = QtConcurrent::run(render, *decoded, screen);
    QImage rendered = co_await rendering;
    if (rendered.isNull())
        co_return std::nullopt;
    co_return rendered;
}

} // namespace EpaperRendering
