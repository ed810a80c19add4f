// Standard input and output of the command-line client. Results go to
// standard output; messages about failures, refusals and progress go to
// standard error, where the activity log also mirrors its records. Both are
// written through C stdio and flushed line by line, so that the two streams
// interleave in the order things happened.
#pragma once

#include <QString>

namespace Console {

// Control and bidirectional-override characters in `line` are written out
// visibly ("\x1b"); tabs and line feeds stay.
void printLine(const QString &line);
void printError(const QString &line);
// JSON text to standard output, exact: unsafe characters inside its strings
// are written as JSON escapes.
void printJSON(const QString &json);

bool standardErrorIsTerminal();

// The first line of standard input without its line end; empty when there
// is none. On a terminal, `prompt` is shown on standard error and the typed
// text is not echoed.
QString readSecretLine(const QString &prompt);
// Everything on standard input (UTF-8).
QString readAll();

} // namespace Console
