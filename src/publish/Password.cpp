#include "publish/Password.h"

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

namespace publish {
namespace {

// Longer lines are cut to this many bytes.
constexpr qsizetype MaxPasswordSize = 1024;

// One line of standard input without its line end (LF or CRLF); nothing when
// the input ends before any character.
std::optional<QByteArray> ReadLine() {
    QByteArray line;
    int c = 0;
    while ((c = std::getchar()) != EOF && c != '\n') {
        if (line.size() < MaxPasswordSize)
            line += static_cast<char>(c);
    }
    if (c == EOF && line.isEmpty())
        return std::nullopt;
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

} // namespace

std::optional<QByteArray> ReadPassword(const QString& prompt, QTextStream& err) {
#ifdef Q_OS_WIN
    if (!_isatty(_fileno(stdin)))
        return ReadLine();
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    GetConsoleMode(input, &mode);
    err << prompt;
    err.flush();
    SetConsoleMode(input, mode & ~DWORD(ENABLE_ECHO_INPUT));
    std::optional<QByteArray> password = ReadLine();
    SetConsoleMode(input, mode);
#else
    if (!isatty(STDIN_FILENO))
        return ReadLine();
    termios old{};
    const bool quiet = tcgetattr(STDIN_FILENO, &old) == 0;
    err << prompt;
    err.flush();
    if (quiet) {
        termios silent = old;
        silent.c_lflag &= ~tcflag_t(ECHO);
        // TCSANOW keeps what was typed ahead.
        tcsetattr(STDIN_FILENO, TCSANOW, &silent);
    }
    std::optional<QByteArray> password = ReadLine();
    if (quiet)
        tcsetattr(STDIN_FILENO, TCSANOW, &old);
#endif
    err << '\n';
    err.flush();
    return password;
}

} // namespace publish
