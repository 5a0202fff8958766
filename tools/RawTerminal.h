#pragma once

#include <termios.h>

/// Puts a terminal into raw mode for the lifetime of the object: keys arrive one byte at a time,
/// unechoed, and Ctrl-C, Ctrl-Z and Ctrl-S arrive as bytes instead of acting on the process.
/// Output processing stays on, so "\n" still starts a new line. The saved settings come back in
/// the destructor, which every way out of the keyboard mode passes through, or by Restore.
class RawTerminal
{
public:
    /// Switches fd to raw mode when it is a terminal; anything else is read as it is.
    explicit RawTerminal(int fd);
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;
    ~RawTerminal();

    /// Puts the saved settings back now; later calls do nothing.
    void Restore();

private:
    /// The terminal's descriptor.
    int fd;
    /// True while raw mode is on and the saved settings are still to be put back.
    bool raw = false;
    /// The settings found at the start.
    termios saved{};
};
