// The password asked on the controlling terminal, without echo.
#include "VaultTool.h"

#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace vaulttool {

std::optional<std::string> ReadPasswordFromTerminal(const std::string& prompt)
{
    if (!isatty(STDIN_FILENO))
        return std::nullopt;
    std::FILE* tty = std::fopen("/dev/tty", "r+");
    if (!tty)
        return std::nullopt;
    const int fd = fileno(tty);
    termios saved{};
    const bool canHide = tcgetattr(fd, &saved) == 0;
    if (canHide) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    std::fputs(prompt.c_str(), tty);
    std::fflush(tty);
    std::string line;
    int c;
    while ((c = std::fgetc(tty)) != EOF && c != '\n')
        line.push_back(static_cast<char>(c));
    if (canHide)
        tcsetattr(fd, TCSAFLUSH, &saved);
    std::fclose(tty);
    return line;
}

} // namespace vaulttool
