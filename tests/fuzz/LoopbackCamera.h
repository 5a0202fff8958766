#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>

/// The far end of a network track camera for a fuzz target: listens on a loopback address at a
/// free port, takes the one connection the camera makes and counts the bytes relayed to it.
/// Everything runs on the target's event loop.
class LoopbackCamera
{
public:
    /// Listens on address (127.x.y.z) at a free port and waits for the camera's connection.
    LoopbackCamera(boost::asio::io_service& ioService, const std::string& address);
    LoopbackCamera(const LoopbackCamera&) = delete;
    LoopbackCamera& operator=(const LoopbackCamera&) = delete;

    /// The port the camera is to connect to.
    uint16_t Port() const;
    /// True once the camera's connection has been accepted.
    bool Connected() const;
    /// Bytes the camera has relayed so far.
    std::size_t Received() const;
    /// Resets the connection and stops listening. A reset rather than an orderly close leaves no
    /// TIME_WAIT behind, so thousands of inputs a minute do not use up the loopback ports.
    void Close();

private:
    /// Accept completed: keeps the connection and starts reading it.
    void HandleAccept(const boost::system::error_code& error);
    /// Reads whatever the camera writes next.
    void StartRead();
    /// Counts what was read and reads on, until the connection ends.
    void HandleRead(const boost::system::error_code& error, std::size_t length);

    /// The listening socket.
    boost::asio::ip::tcp::acceptor acceptor;
    /// The camera's connection once accepted.
    boost::asio::ip::tcp::socket connection;
    /// Receives the relayed bytes, which are only counted.
    std::array<char, 4096> buffer{};
    /// Set by the accept.
    bool connected = false;
    /// Total bytes read from the connection.
    std::size_t received = 0;
};
