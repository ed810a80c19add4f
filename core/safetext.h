// Text from outside (a server's answers, file names, the log file) made safe
// to show on a terminal or to use as a file name.
//
// Unsafe are the characters that a terminal acts on or that change how the
// text around them reads: the C0 controls (U+0000–U+001F), DEL, the C1
// controls (U+0080–U+009F, U+009B starts an escape sequence on its own) and
// the bidirectional embeddings, overrides and isolates (U+202A–U+202E,
// U+2066–U+2069), which can make "gpj.exe" read as "exe.jpg".
#pragma once

#include <QString>

namespace SafeText {

bool isUnsafe(char16_t c);
bool containsUnsafe(const QString &text);

// Each unsafe character written out visibly: "\x1b", "\x9b", "\u202e".
// The characters in `kept` (a line feed or tab that the caller's own layout
// needs) stay as they are.
QString visible(const QString &text, QStringView kept = {});

// JSON text with every unsafe character of its strings written as a JSON
// escape ("\u009b"), so it shows safely and decodes to the same value. Line
// feeds between values stay.
QString escapedJSON(const QString &json);

// Each unsafe character replaced by `replacement`.
QString replaced(const QString &text, QChar replacement);

} // namespace SafeText
