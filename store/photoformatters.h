// The short date and attribution texts shown next to photos and frames.
//
// Locale-aware texts follow the user's locale (QLocale::system()) in the
// local time zone; "M/d/yy" is a fixed pattern. Server timestamps are ISO
// 8601 internet date-times, with or without fractional seconds. "Now" is
// Clock::now().
#pragma once

#include "model/gallerystate.h"

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QTimeZone>

#include <optional>

namespace PhotoFormatters {

// "2026-03-01T09:30:00.000Z" (any number of fraction digits, "Z" or an
// offset "+hh:mm"); none for anything else, including a text without
// fractions. The result is in UTC.
std::optional<QDateTime> parseISOWithFraction(const QString &text);
// "2026-03-01T09:30:00Z" or with an offset; none for anything else,
// including a text with fractions.
std::optional<QDateTime> parseISOPlain(const QString &text);
// With fractions, else without; none when the text is no timestamp.
std::optional<QDateTime> parseTimestamp(const QString &text);

// Medium date and short time ("Mar 1, 2026 9:30 AM" in en_US).
QString display(const QDateTime &date);
// Medium date ("Mar 1, 2026" in en_US).
QString dateOnly(const QDateTime &date);
// "M/d/yy", for example "3/1/26".
QString showingShort(const QDateTime &date);
// Short time ("9:30 AM" in en_US, "09:30" in de_DE), for showings that
// change more than once a day.
QString showingTime(const QDateTime &date);

// "Added by " + the uploader's trimmed name, or the default uploader name
// when the manifest names none or only white space.
QString addedBy(const PhotoEntry &photo, const UploaderMap &uploaders);
// "Added " + dateOnly; "Date unknown" when the text is no timestamp.
QString deviceRegisteredAt(const QString &text);
// "Last push " + display; "Last push unknown" when the text is no timestamp.
QString deviceLastPushAt(const QString &text);
// display of the timestamp, or the text unchanged when it is no timestamp.
QString updatedAt(const QString &text);
// "Showing until " + showingShort.
QString showingUntil(const QDateTime &date);

// The user's current calendar: the local time zone (Gregorian).
QTimeZone currentCalendar();
// "until today" / "until tomorrow" by the calendar days of `calendar`
// (today being the day of Clock::now()), else "until " + showingShort.
QString untilFriendlyPhrase(const QDateTime &until, const QTimeZone &calendar = currentCalendar());

// Replace the user's locale and local time zone; nullopt restores the
// system's. For tests.
void setLocaleForTesting(const std::optional<QLocale> &locale);
void setTimeZoneForTesting(const std::optional<QTimeZone> &zone);

} // namespace PhotoFormatters
