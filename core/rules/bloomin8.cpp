#include "bloomin8.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace {

bool isSpaceOrTab(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

QString trimSpacesAndTabs(const QString &s)
{
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end && isSpaceOrTab(s.at(begin)))
        ++begin;
    while (end > begin && isSpaceOrTab(s.at(end - 1)))
        --end;
    return s.mid(begin, end - begin);
}

bool isHexDigits(QStringView s)
{
    return std::all_of(s.begin(), s.end(), [](QChar c) {
        return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
               (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
    });
}

bool startsWithLabel(const QString &line, QLatin1StringView label)
{
    return line.startsWith(label, Qt::CaseInsensitive);
}

// Lines as a person sees them: "\r\n", a lone "\r" and the other Unicode
// line breaks end a line too, so a block copied on another system parses alike.
QStringList lines(const QString &text)
{
    static const QRegularExpression lineBreak(QStringLiteral("\\r\\n|[\\n\\r\\v\\f\\x{85}\\x{2028}\\x{2029}]"));
    return text.split(lineBreak);
}

} // namespace

namespace Bloomin8TokenParser {

bool looksLikeToken(const QString &candidate)
{
    const QString s = candidate.trimmed();
    const qsizetype stop = s.indexOf(QLatin1Char('.'));
    if (stop < 0)
        return false;
    const QStringView left = QStringView(s).left(stop);
    const QStringView right = QStringView(s).mid(stop + 1);
    return left.size() >= 8 && right.size() >= 32 && isHexDigits(left) && isHexDigits(right);
}

std::optional<QString> parseToken(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;

    const QLatin1StringView tokenLabel("token:");
    for (const QString &raw : lines(trimmed)) {
        const QString line = trimSpacesAndTabs(raw);
        if (!startsWithLabel(line, tokenLabel))
            continue;
        const QString value = trimSpacesAndTabs(line.mid(tokenLabel.size()));
        if (looksLikeToken(value))
            return value.trimmed();
    }

    QString joined;
    for (const QString &raw : lines(trimmed)) {
        const QString line = trimSpacesAndTabs(raw);
        if (line.isEmpty() || startsWithLabel(line, QLatin1StringView("device:")) ||
            startsWithLabel(line, tokenLabel) || startsWithLabel(line, QLatin1StringView("interval:")))
            continue;
        if (line.contains(QLatin1StringView("bloomin8"), Qt::CaseInsensitive) &&
            line.contains(QLatin1StringView("token"), Qt::CaseInsensitive))
            continue;
        joined += line;
    }
    if (looksLikeToken(joined))
        return joined.trimmed();

    if (looksLikeToken(trimmed))
        return trimmed;
    return std::nullopt;
}

std::optional<QString> parseDeviceName(const QString &text)
{
    const QLatin1StringView deviceLabel("device:");
    for (const QString &raw : lines(text)) {
        const QString line = trimSpacesAndTabs(raw);
        if (!startsWithLabel(line, deviceLabel))
            continue;
        const QString rest = trimSpacesAndTabs(line.mid(deviceLabel.size()));
        if (rest.isEmpty())
            continue;
        const QString name = trimSpacesAndTabs(rest.section(QLatin1Char('|'), 0, 0));
        if (name.isEmpty())
            return std::nullopt;
        return name;
    }
    return std::nullopt;
}

} // namespace Bloomin8TokenParser

namespace Bloomin8Screen {

double aspectRatio(int width, int height)
{
    if (width < 1 || height < 1) {
        width = default13Width;
        height = default13Height;
    }
    return double(std::min(width, height)) / double(std::max(width, height));
}

bool isLandscapeDevice(const std::optional<QString> &orientation, std::optional<int> width, std::optional<int> height)
{
    if (orientation) {
        const QString upper = orientation->toUpper();
        if (upper == QLatin1StringView("L"))
            return true;
        if (upper == QLatin1StringView("P"))
            return false;
    }
    if (!width || !height)
        return false;
    return *width > 0 && *height > 0 && *width > *height;
}

double displayAspectRatio(double normalizedAspectRatio, bool isLandscape)
{
    const double ratio = normalizedAspectRatio > 0 ? normalizedAspectRatio : defaultAspectRatio;
    return isLandscape ? 1.0 / ratio : std::min(ratio, 1.0);
}

CanvasPixels portraitCanvasPixels(std::optional<int> width, std::optional<int> height)
{
    const int w = width.value_or(default13Width);
    const int h = height.value_or(default13Height);
    if (w >= 1 && h >= 1)
        return {std::min(w, h), std::max(w, h)};
    return {};
}

} // namespace Bloomin8Screen
