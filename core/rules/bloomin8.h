// Reading a frame's setup block, and the screen geometry of the frames.
//
// The frame's companion app shows a short block of a few lines (device name,
// API token, refresh interval) that the user pastes into the client, or just
// the bare token. A token is two runs of hexadecimal digits joined by one
// full stop: at least 8 digits, ".", at least 32 digits.
#pragma once

#include <QString>

#include <optional>

namespace Bloomin8TokenParser {

bool looksLikeToken(const QString &candidate);
// The token in a pasted block: a "Token:" line first, then the lines joined
// (a token broken over several lines), then the whole text.
std::optional<QString> parseToken(const QString &text);
// The name of the first non-empty "Device:" line, without what follows "|".
std::optional<QString> parseDeviceName(const QString &text);

} // namespace Bloomin8TokenParser

namespace Bloomin8Screen {

// The default 13-inch screen, in portrait.
inline constexpr int default13Width = 1200;
inline constexpr int default13Height = 1600;
// Width divided by height, in portrait.
inline constexpr double defaultAspectRatio = 0.75;

// Shorter side over longer side, in (0, 1]; the default screen for sizes below 1.
double aspectRatio(int width, int height);
bool isLandscapeDevice(const std::optional<QString> &orientation, std::optional<int> width,
                       std::optional<int> height);
double displayAspectRatio(double normalizedAspectRatio, bool isLandscape);

struct CanvasPixels {
    int width = default13Width;
    int height = default13Height;
    bool operator==(const CanvasPixels &) const = default;
};
// Always portrait: width <= height.
CanvasPixels portraitCanvasPixels(std::optional<int> width, std::optional<int> height);

} // namespace Bloomin8Screen
