#include "photoformatters.h"

#include "clock.h"

#include <QRegularExpression>

#include <mutex>

namespace {

// The shared formatters: the locale, the local zone and the patterns made
// from the locale, built on first use.
struct Formatters {
    QLocale locale;
    std::optional<QTimeZone> zone; // none: the system's local time
    QString mediumDate;
    QString display;
    QString shortTime;
};

std::mutex formattersMutex;
std::optional<QLocale> localeOverride;
std::optional<QTimeZone> zoneOverride;
std::optional<Formatters> sharedFormatters;

bool isPatternLetter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool isFieldSeparator(QChar c)
{
    return c == u' ' || c == u',' || c == QChar(0x00A0) || c == QChar(0x3001) || c == QChar(0xFF0C);
}

// Qt offers long and short dates only. The medium date is the long one
// without the weekday and with abbreviated month names: "dddd, MMMM d, yyyy"
// becomes "MMM d, yyyy", "dddd d MMMM yyyy" becomes "d MMM yyyy".
QString mediumDateFormat(const QLocale &locale)
{
    const QString longFormat = locale.dateFormat(QLocale::LongFormat);
    QString result;
    qsizetype i = 0;
    const qsizetype n = longFormat.size();
    while (i < n) {
        const QChar c = longFormat.at(i);
        if (c == u'\'') {
            // A quoted literal, copied through its closing quote.
            const qsizetype close = longFormat.indexOf(u'\'', i + 1);
            const qsizetype end = close < 0 ? n : close + 1;
            result += QStringView(longFormat).mid(i, end - i);
            i = end;
            continue;
        }
        if (!isPatternLetter(c)) {
            result += c;
            ++i;
            continue;
        }
        qsizetype run = 1;
        while (i + run < n && longFormat.at(i + run) == c)
            ++run;
        if (c == u'd' && run >= 3) {
            // The weekday goes, with the separators that follow it.
            i += run;
            while (i < n && isFieldSeparator(longFormat.at(i)))
                ++i;
            continue;
        }
        if (c == u'M' && run == 4)
            result += QStringLiteral("MMM");
        else
            result += QStringView(longFormat).mid(i, run);
        i += run;
    }
    while (!result.isEmpty() && isFieldSeparator(result.back()))
        result.chop(1);
    return result.isEmpty() ? locale.dateFormat(QLocale::ShortFormat) : result;
}

// Medium date and short time, joined the way the locale joins its short
// date and time.
QString displayFormat(const QLocale &locale, const QString &mediumDate)
{
    const QString shortDate = locale.dateFormat(QLocale::ShortFormat);
    const QString shortTime = locale.timeFormat(QLocale::ShortFormat);
    const QString shortDateTime = locale.dateTimeFormat(QLocale::ShortFormat);
    const qsizetype separatorLength = shortDateTime.size() - shortDate.size() - shortTime.size();
    if (separatorLength > 0) {
        if (shortDateTime.startsWith(shortDate) && shortDateTime.endsWith(shortTime))
            return mediumDate + shortDateTime.mid(shortDate.size(), separatorLength) + shortTime;
        if (shortDateTime.startsWith(shortTime) && shortDateTime.endsWith(shortDate))
            return shortTime + shortDateTime.mid(shortTime.size(), separatorLength) + mediumDate;
    }
    return mediumDate + u' ' + shortTime;
}

// Called with formattersMutex held.
const Formatters &formatters()
{
    if (!sharedFormatters) {
        Formatters made;
        made.locale = localeOverride.value_or(QLocale::system());
        made.zone = zoneOverride;
        made.mediumDate = mediumDateFormat(made.locale);
        made.display = displayFormat(made.locale, made.mediumDate);
        made.shortTime = made.locale.timeFormat(QLocale::ShortFormat);
        sharedFormatters = std::move(made);
    }
    return *sharedFormatters;
}

// `date` in `zone`; the system's local time when the zone is unusable.
QDateTime inZone(const QDateTime &date, const std::optional<QTimeZone> &zone)
{
    if (zone && zone->isValid())
        return date.toTimeZone(*zone);
    return date.toLocalTime();
}

QString formatLocal(const QDateTime &date, QString Formatters::*pattern)
{
    std::lock_guard lock(formattersMutex);
    const Formatters &f = formatters();
    return f.locale.toString(inZone(date, f.zone), f.*pattern);
}

enum class Fraction { required, forbidden };

// An internet date-time (RFC 3339): date, "T", time with seconds, optional
// fraction, and "Z" or a "+hh:mm" offset. Digits are ASCII only.
std::optional<QDateTime> parseInternetDateTime(const QString &text, Fraction fraction)
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("([0-9]{4})-([0-9]{2})-([0-9]{2})[Tt]([0-9]{2}):([0-9]{2}):([0-9]{2})"
                       "(?:\\.([0-9]+))?([Zz]|([+-])([0-9]{2}):([0-9]{2}))")));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const QString fractionDigits = match.captured(7);
    if (fractionDigits.isEmpty() != (fraction == Fraction::forbidden))
        return std::nullopt;

    const auto number = [&match](int group) { return match.capturedView(group).toInt(); };
    const QDate date(number(1), number(2), number(3));
    const int milliseconds = fractionDigits.left(3).leftJustified(3, u'0').toInt();
    const QTime time(number(4), number(5), number(6), milliseconds);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;

    int offsetSeconds = 0;
    if (match.capturedLength(9) > 0) {
        const int hours = number(10);
        const int minutes = number(11);
        if (hours > 23 || minutes > 59)
            return std::nullopt;
        offsetSeconds = (hours * 60 + minutes) * 60;
        if (match.capturedView(9) == u"-")
            offsetSeconds = -offsetSeconds;
    }
    const QDateTime result = QDateTime(date, time, QTimeZone::utc()).addSecs(-offsetSeconds);
    if (!result.isValid())
        return std::nullopt;
    return result;
}

} // namespace

namespace PhotoFormatters {

std::optional<QDateTime> parseISOWithFraction(const QString &text)
{
    return parseInternetDateTime(text, Fraction::required);
}

std::optional<QDateTime> parseISOPlain(const QString &text)
{
    return parseInternetDateTime(text, Fraction::forbidden);
}

std::optional<QDateTime> parseTimestamp(const QString &text)
{
    if (auto date = parseISOWithFraction(text))
        return date;
    return parseISOPlain(text);
}

QString display(const QDateTime &date)
{
    return formatLocal(date, &Formatters::display);
}

QString dateOnly(const QDateTime &date)
{
    return formatLocal(date, &Formatters::mediumDate);
}

QString showingShort(const QDateTime &date)
{
    std::optional<QTimeZone> zone;
    {
        std::lock_guard lock(formattersMutex);
        zone = formatters().zone;
    }
    return QLocale::c().toString(inZone(date, zone), QStringLiteral("M/d/yy"));
}

QString showingTime(const QDateTime &date)
{
    return formatLocal(date, &Formatters::shortTime);
}

QString addedBy(const PhotoEntry &photo, const UploaderMap &uploaders)
{
    const QString name = uploaders.value(photo.uploaderId).trimmed();
    return QStringLiteral("Added by ") + (name.isEmpty() ? defaultUploaderDisplayName : name);
}

QString deviceRegisteredAt(const QString &text)
{
    const std::optional<QDateTime> date = parseTimestamp(text);
    return date ? QStringLiteral("Added ") + dateOnly(*date) : QStringLiteral("Date unknown");
}

QString deviceLastPushAt(const QString &text)
{
    const std::optional<QDateTime> date = parseTimestamp(text);
    return date ? QStringLiteral("Last push ") + display(*date) : QStringLiteral("Last push unknown");
}

QString updatedAt(const QString &text)
{
    const std::optional<QDateTime> date = parseTimestamp(text);
    return date ? display(*date) : text;
}

QString showingUntil(const QDateTime &date)
{
    return QStringLiteral("Showing until ") + showingShort(date);
}

QTimeZone currentCalendar()
{
    {
        std::lock_guard lock(formattersMutex);
        if (zoneOverride)
            return *zoneOverride;
    }
    return QTimeZone::systemTimeZone();
}

QString untilFriendlyPhrase(const QDateTime &until, const QTimeZone &calendar)
{
    const QDate today = inZone(Clock::now(), calendar).date();
    const QDate day = inZone(until, calendar).date();
    if (day == today)
        return QStringLiteral("until today");
    if (day == today.addDays(1))
        return QStringLiteral("until tomorrow");
    return QStringLiteral("until ") + showingShort(until);
}

void setLocaleForTesting(const std::optional<QLocale> &locale)
{
    std::lock_guard lock(formattersMutex);
    localeOverride = locale;
    sharedFormatters.reset();
}

void setTimeZoneForTesting(const std::optional<QTimeZone> &zone)
{
    std::lock_guard lock(formattersMutex);
    zoneOverride = zone;
    sharedFormatters.reset();
}

} // namespace PhotoFormatters
