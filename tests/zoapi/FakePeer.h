#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

// A recording server that misbehaves on purpose: it accepts one client on 127.0.0.1, sends it
// fixed bytes, and answers each request frame with whatever `answer` makes of its type and
// sequence number (nothing, when it returns no bytes).
class FakePeer {
public:
    /// Builds the reply bytes for one request.
    using Answer = std::function<std::vector<std::uint8_t>(std::uint16_t type, std::uint32_t seq)>;

    /// Listens on a free port; the client gets `opening` as soon as it connects.
    FakePeer(std::vector<std::uint8_t> opening, Answer answer = nullptr, bool closeAfterOpening = false);
    /// Listens like the above, and also sends `chatter` every 100 ms, `chatterCount` times at most.
    FakePeer(std::vector<std::uint8_t> opening, Answer answer, std::vector<std::uint8_t> chatter, int chatterCount);
    /// Stops the peer's thread and closes its sockets.
    ~FakePeer();
    FakePeer(const FakePeer&) = delete;
    FakePeer& operator=(const FakePeer&) = delete;

    /// Port the peer listens on.
    unsigned short Port() const;
    /// True once the client has closed its end.
    bool ClientHungUp() const;
    /// True once all the chatter has been sent.
    bool ChatterRanOut() const;

private:
    /// Binds the listener to a free loopback port and starts the peer's thread.
    void Listen();
    /// Body of the peer's thread.
    void Serve();

    /// Listening socket.
    int listener = -1;
    /// Port of `listener`.
    unsigned short port = 0;
    /// Bytes sent on connection.
    std::vector<std::uint8_t> opening;
    /// Reply maker.
    Answer answer;
    /// Hang up right after the opening bytes.
    bool closeAfterOpening;
    /// Sent every 100 ms while the client is connected; empty for none.
    std::vector<std::uint8_t> chatter;
    /// How many more times `chatter` is sent.
    std::atomic<int> chatterLeft{0};
    /// Set when the client closed its end.
    std::atomic<bool> hungUp{false};
    /// Tells the thread to end.
    std::atomic<bool> stop{false};
    /// Runs Serve.
    std::thread thread;
};

/// A frame as the server would send it: type, sequence number and payload.
std::vector<std::uint8_t> Frame(std::uint16_t type, std::uint32_t seq, const std::vector<std::uint8_t>& payload);
/// An event frame with the given data.
std::vector<std::uint8_t> EventFrame(int type, int status, const std::vector<std::uint8_t>& data);
