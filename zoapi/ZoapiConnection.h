#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace zoapi {

// The TCP connection of one handle, as plain non-blocking POSIX calls: connecting within a time
// limit, sending whole frames, and taking in what the server sends. It knows bytes, not frames.
class ZoapiConnection {
public:
    /// Clock of every deadline.
    using Clock = std::chrono::steady_clock;

    /// What a wait for the server's bytes came to.
    enum Received {
        kBytes,    ///< bytes came and the connection is still open
        kNothing,  ///< the time ran out without a byte
        kClosed,   ///< end of stream or a socket error; bytes that came before it are still handed over
    };

    ZoapiConnection() = default;
    ~ZoapiConnection();
    ZoapiConnection(const ZoapiConnection&) = delete;
    ZoapiConnection& operator=(const ZoapiConnection&) = delete;

    /// Connects, trying each address the name resolves to until `until`; false (not connected)
    /// when none answers in time.
    bool Open(const char* address, unsigned short port, Clock::time_point until);
    /// Closes the socket; harmless when not connected.
    void Close();
    /// Socket, or -1 when not connected.
    int Socket() const;
    /// Sends all the bytes, without SIGPIPE; false when the socket fails or they cannot go out by
    /// `until` (the caller then gives the connection up).
    bool Send(const std::vector<std::uint8_t>& bytes, Clock::time_point until);
    /// Waits until `until` for bytes and appends what is there to `into`, a bounded amount per call
    /// so that a flooding server cannot keep the caller here.
    Received Receive(Clock::time_point until, std::vector<std::uint8_t>& into);

private:
    /// Connected socket, -1 when not connected.
    int fd = -1;
};

}  // namespace zoapi
