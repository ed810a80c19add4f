#include "console.h"

#include "safetext.h"

#include <QByteArray>

#include <cstdio>

#include <termios.h>
#include <unistd.h>

namespace {

void write(std::FILE *stream, const QString &line)
{
    const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// Turns echo off for as long as it lives, when standard input is a terminal.
class EchoOff
{
public:
    EchoOff()
    {
        if (tcgetattr(STDIN_FILENO, &m_saved) != 0)
            return;
        termios quiet = m_saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        m_active = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff()
    {
        if (m_active)
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &m_saved);
    }
    EchoOff(const EchoOff &) = delete;
    EchoOff &operator=(const EchoOff &) = delete;

private:
    termios m_saved{};
    bool m_active = false;
};

QByteArray readLineBytes()
{
    QByteArray line;
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar())
        line.append(char(c));
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

} // namespace

namespace Console {

// Text from a server or a file never reaches the terminal as escape
// sequences: only our own tabs and line breaks pass unchanged.
void printLine(const QString &line)
{
    write(stdout, SafeText::visible(line, u"\t\n"));
}

void printError(const QString &line)
{
    write(stderr, SafeText::visible(line, u"\t\n"));
}

void printJSON(const QString &json)
{
    write(stdout, SafeText::escapedJSON(json));
}

bool standardErrorIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

QString readSecretLine(const QString &prompt)
{
    if (isatty(STDIN_FILENO) != 1)
        return QString::fromUtf8(readLineBytes());
    const QByteArray promptBytes = prompt.toUtf8();
    std::fwrite(promptBytes.constData(), 1, size_t(promptBytes.size()), stderr);
    std::fflush(stderr);
    QByteArray line;
    {
        const EchoOff echoOff;
        line = readLineBytes();
    }
    std::fputc('\n', stderr);
    return QString::fromUtf8(line);
}

QString readAll()
{
    QByteArray bytes;
    char buffer[4096];
    size_t read = 0;
    while ((read = std::fread(buffer, 1, sizeof buffer, stdin)) > 0)
        bytes.append(buffer, qsizetype(read));
    return QString::fromUtf8(bytes);
}

} // namespace Console
