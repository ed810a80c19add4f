// The credentials this process has used, masked wherever they appear in the
// text of a log record. A server may echo a token or a password back in an
// error body in any form (a query, a JSON member of its own naming, plain
// text); the pattern masking of error bodies catches the usual shapes, and
// this catches the literal value whatever surrounds it.
#pragma once

#include <QString>

namespace SecretMask {

// Remembers `secret` (surrounding white space ignored) until the process
// ends. Values shorter than minimumLength are not masked: masking every "ab"
// in the log would hide more than it protects. Any thread.
void remember(const QString &secret);
inline constexpr qsizetype minimumLength = 4;

// `text` with every remembered secret replaced by "[redacted]". Any thread.
QString masked(const QString &text);

} // namespace SecretMask
