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

    /// Opens a TCP connection to host:port (numeric IPv4) with Nagle's delay off, so each message
    /// leaves as a segment of its own; throws std::runtime_error with the reason on failure.
    static int Connect(const std::string& host, uint16_t port);
    /// Splits one read from the daemon into its messages. The protocol has no delimiter, so
    /// messages written back to back may arrive in one read: each known message start (camera and
    /// control messages) after the first byte begins a new one.
    static std::vector<std::string> SplitMessages(const std::string& text);

private:
    /// Writes one protocol message as one TCP segment.
    bool Write(const std::vector<uint8_t>& bytes);
    /// The connection to the daemon.
    int socketFd;
    /// Printed before each received message, to tell several consoles apart in one terminal.
    std::string label;
};
