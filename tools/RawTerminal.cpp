#include "RawTerminal.h"

#include <unistd.h>

RawTerminal::RawTerminal(int fd) : fd(fd)
{
    if (!isatty(fd) || tcgetattr(fd, &saved) != 0)
        return;
    termios settings = saved;
    settings.c_lflag &= ~(ICANON | ECHO | ISIG | IEXTEN);
    settings.c_iflag &= ~(IXON | ICRNL | INLCR | IGNCR | ISTRIP);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    raw = tcsetattr(fd, TCSAFLUSH, &settings) == 0;
}

RawTerminal::~RawTerminal()
{
    Restore();
}

void RawTerminal::Restore()
{
    if (!raw)
        return;
    tcsetattr(fd, TCSANOW, &saved);
    raw = false;
}
