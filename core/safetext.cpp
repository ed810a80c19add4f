#include "safetext.h"

namespace SafeText {

bool isUnsafe(char16_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

bool containsUnsafe(const QString &text)
{
    for (const QChar c : text)
        if (isUnsafe(c.unicode()))
            return true;
    return false;
}

QString visible(const QString &text, QStringView kept)
{
    if (!containsUnsafe(text))
        return text;
    QString result;
    result.reserve(text.size() + 16);
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (!isUnsafe(u) || kept.contains(c))
            result += c;
        else if (u <= 0xff)
            result += QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
        else
            result += QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'));
    }
    return result;
}

QString escapedJSON(const QString &json)
{
    if (!containsUnsafe(json))
        return json;
    QString result;
    result.reserve(json.size() + 16);
    for (const QChar c : json) {
        const char16_t u = c.unicode();
        if (!isUnsafe(u) || u == u'\n')
            result += c;
        else
            result += QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'));
    }
    return result;
}

QString replaced(const QString &text, QChar replacement)
{
    QString result = text;
    for (QChar &c : result)
        if (isUnsafe(c.unicode()))
            c = replacement;
    return result;
}

} // namespace SafeText
