// A photo as a six-ink colour e-paper frame shows it.
//
// The frames' panels have six inks (black, white, yellow, red, blue, green)
// and show a photo as a dithered picture of those inks, which look much
// duller on the panel than a laptop's primaries. The rendering here fits the
// photo to the frame's screen as the device preview does (letterboxed in
// black) and reduces it to the inks by serpentine Floyd-Steinberg error
// diffusion, the error kept in linear light and each ink chosen by a
// perceptual distance. Its pixels are exactly the ink colours of inks(), as
// the panel shows them.
//
// Pure and deterministic: the same photo and screen size give the same
// pixels. Everything here is safe on any thread and needs no
// QGuiApplication; the *Async functions do the work on worker threads.
#pragma once

#include <QImage>
#include <QSize>
#include <QString>

#include <qcoro/qcorotask.h>

#include <array>
#include <optional>

namespace EpaperRendering {

struct Ink {
    const char *name;
    QRgb color;
};

// The six inks as they look on the panel (sRGB).
const std::array<Ink, 6> &inks();

// The screen when no frame has reported its size: the default 13-inch
// screen, portrait.
QSize defaultScreenSize();
// The longest side a rendering may have. A frame (or a command line) may
// report any size; larger ones are scaled down, the aspect kept.
inline constexpr int maxScreenSide = 4096;

// The rendering's size for a frame's reported size and orientation, as the
// device preview shapes the screen: the portrait canvas of the reported
// sides (Bloomin8Screen::portraitCanvasPixels), turned on its side for a
// landscape frame, bounded by maxScreenSide.
QSize screenSize(std::optional<int> width, std::optional<int> height, bool isLandscape);
// `size` with each side at least 1 and the longer at most maxScreenSide.
QSize boundedScreenSize(QSize size);

// Where the photo of `photoSize` lies on a screen of `screen`: as large as
// fits, centred (the rest of the screen is black). Empty for empty sizes.
QRect fittedRect(QSize photoSize, QSize screen);

// `photo` on a screen of `screen` (bounded by boundedScreenSize()), in the
// six inks; Format_RGB32. A null image for a null photo or empty screen.
QImage render(const QImage &photo, QSize screen);

// The image file at `path` (a file of the photo cache: never followed
// through a link) rendered for `screen`, decoded at no more than the
// fitted size (JPEGs scaled while decoding), within the shared decode
// memory budget. None when the file cannot be read or decoded. Blocks
// while the budget has no room.
std::optional<QImage> renderFile(const QString &path, QSize screen);
// renderFile() on worker threads; the awaiting coroutine resumes on its
// own thread, which must run an event loop.
QCoro::Task<std::optional<QImage>> renderFileAsync(QString path, QSize screen);

} // namespace EpaperRendering
