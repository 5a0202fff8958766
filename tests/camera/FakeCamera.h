#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>

/// A network track camera played by the test: listens on a loopback address, accepts every
/// connection and keeps every byte it reads.
class FakeCamera
{
public:
    /// Listens on address:port (port 0 picks a free one).
    FakeCamera(boost::asio::io_service& ioService, uint16_t port = 0, const std::string& address = "127.0.0.1");
    FakeCamera(const FakeCamera&) = delete;
    FakeCamera& operator=(const FakeCamera&) = delete;
    /// Closes everything; completions queued afterwards do nothing.
    ~FakeCamera();

    /// A port on 127.0.0.1 that nothing listens on at the moment of the call.
    static uint16_t FreePort();

    /// The listening port.
    uint16_t Port() const { return port; }
    /// Number of connections accepted so far.
    std::size_t Connections() const { return connections.size(); }
    /// Bytes read so far on connection number index.
    const std::vector<uint8_t>& Received(std::size_t index) const { return connections.at(index)->bytes; }
    /// Closes every accepted connection with a reset (no orderly close).
    void ResetAll();
    /// Stops or resumes reading, so that the camera's side fills up like a stalled camera.
    void SetReading(bool on);
    /// Reads connection number index outside the event loop until nothing arrives for quietMs.
    void ReadNow(std::size_t index, int quietMs);

private:
    /// One accepted connection.
    struct Connection
    {
        /// The accepted socket.
        explicit Connection(boost::asio::io_service& ioService) : socket(ioService) {}
        /// Socket to the daemon's side.
        boost::asio::ip::tcp::socket socket;
        /// Everything read on it.
        std::vector<uint8_t> bytes;
        /// Space for one read.
        uint8_t buffer[65536];
        /// True while a read is pending on it.
        bool reading = false;
    };

    /// Keeps one accept outstanding.
    void StartAccept();
    /// Starts reading a connection unless reading is paused.
    void StartRead(Connection& connection);

    /// The event loop of the test.
    boost::asio::io_service& ioService;
    /// Alive as long as the fake; completions hold a weak reference.
    std::shared_ptr<char> life;
    /// The listening socket.
    boost::asio::ip::tcp::acceptor acceptor;
    /// The listening port.
    uint16_t port = 0;
    /// Accepted connections, in order.
    std::vector<std::unique_ptr<Connection>> connections;
    /// The connection of the pending accept.
    std::unique_ptr<Connection> next;
    /// False while reading is paused.
    bool readingOn = true;
};
