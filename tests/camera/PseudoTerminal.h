#pragma once

#include <termios.h>

#include <cstdint>
#include <string>
#include <vector>

/// A serial track camera played by the test: the master side of a pseudo-terminal whose slave
/// device the camera opens as its serial line.
class PseudoTerminal
{
public:
    /// Opens a new pseudo-terminal pair; throws std::runtime_error when the system has none.
    PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;
    /// Closes the master side.
    ~PseudoTerminal();

    /// Path of the slave device, for the camera's Port.
    const std::string& SlavePath() const { return slavePath; }
    /// Reads whatever the camera has written since the last call and appends it to received.
    void Drain();
    /// Everything read from the line so far.
    const std::vector<uint8_t>& Received() const { return received; }
    /// The line settings of the slave side as the camera left them.
    termios Settings() const;
    /// Closes the master side: the camera's next write fails and the device goes away.
    void Close();

private:
    /// The master side; -1 once closed.
    int master = -1;
    /// The slave device's path.
    std::string slavePath;
    /// Bytes read from the master side.
    std::vector<uint8_t> received;
};
