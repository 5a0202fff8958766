#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// A TolvexControl session on the command line: connects to the daemon, turns typed commands
/// into the operator protocol (LOGIN, CHOOSE, CANCEL and Pelco-D frames) and prints every
/// message the daemon sends, with tabs shown as " | ".
class OperatorConsole
{
public:
    /// Connects to host:port (numeric IPv4); throws std::runtime_error with the reason on failure.
    OperatorConsole(const std::string& host, uint16_t port, const std::string& label);
    OperatorConsole(const OperatorConsole&) = delete;
    OperatorConsole& operator=(const OperatorConsole&) = delete;
    ~OperatorConsole();

    /// Carries out one command line; returns false for "quit" or when the daemon has gone.
    /// Unknown commands print the help text and return true.
    bool Execute(const std::string& line);

    /// Prints what the daemon sends for up to milliseconds; returns false when the connection ended.
    bool Drain(int milliseconds);

    /// The command summary.
    static const char* Help();

private:
    /// Writes one protocol message as one TCP segment.
    bool Write(const std::vector<uint8_t>& bytes);
    /// A Pelco-D frame: sync byte, address, two command bytes, two data bytes, checksum.
    static std::vector<uint8_t> PelcoFrame(unsigned camera, uint8_t command1, uint8_t command2, uint8_t data1,
                                           uint8_t data2);

    /// The connection to the daemon.
    int socketFd;
    /// Printed before each received message, to tell several consoles apart in one terminal.
    std::string label;
};
