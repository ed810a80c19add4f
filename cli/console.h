// Standard input and output of the command-line client. Results go to
// standard output; messages about failures, refusals and progress go to
// standard error, where the activity log also mirrors its records. Both are
// written through C stdio and flushed line by line, so that the two streams
// interleave in the order things happened.
#pragma once

#include <QString>

namespace Console {

void printLine(const QString &line);
void printError(const QString &line);

bool standardErrorIsTerminal();

// The first line of standard input without its line end; empty when there
// is none. On a terminal, `prompt` is shown on standard error and the typed
// text is not echoed.
QString readSecretLine(const QString &prompt);
// Everything on standard input (UTF-8).
QString readAll();

} // namespace Console
