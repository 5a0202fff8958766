#include "PseudoTerminal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

PseudoTerminal::PseudoTerminal()
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    const char* name = ptsname(master);
    if (name == nullptr)
        throw std::runtime_error("no pseudo-terminal name");
    slavePath = name;
}

PseudoTerminal::~PseudoTerminal()
{
    Close();
}

void PseudoTerminal::Drain()
{
    if (master < 0)
        return;
    uint8_t buffer[4096];
    for (;;)
    {
        const ssize_t count = read(master, buffer, sizeof buffer);
        if (count <= 0)
            return;
        received.insert(received.end(), buffer, buffer + count);
    }
}

termios PseudoTerminal::Settings() const
{
    termios settings{};
    const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave < 0)
        throw std::runtime_error("cannot open " + slavePath);
    const int result = tcgetattr(slave, &settings);
    close(slave);
    if (result != 0)
        throw std::runtime_error("tcgetattr failed on " + slavePath);
    return settings;
}

void PseudoTerminal::Close()
{
    if (master >= 0)
        close(master);
    master = -1;
}
