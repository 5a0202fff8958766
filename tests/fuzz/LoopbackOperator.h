#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>

/// A TolvexControl client for a fuzz target, on the target's event loop: connects to the control
/// server on 127.0.0.1, writes each message in one send and collects what the server sends back.
class LoopbackOperator
{
public:
    /// A client that is not connected yet.
    explicit LoopbackOperator(boost::asio::io_service& ioService);
    LoopbackOperator(const LoopbackOperator&) = delete;
    LoopbackOperator& operator=(const LoopbackOperator&) = delete;

    /// Connects to 127.0.0.1:port (the kernel completes it; the server's accept runs later on the
    /// loop) and starts reading. Throws boost::system::system_error when the connect fails.
    void Connect(uint16_t port);
    /// True between Connect and Reset.
    bool Connected() const;
    /// The client's source port: the session number the server must announce.
    uint16_t LocalPort() const;
    /// Sends bytes in one write; a connection the server has cut is not an error here.
    void Write(const std::string& bytes);
    /// Ends the connection with a reset, which leaves no TIME_WAIT behind, and forgets what it received.
    void Reset();
    /// Everything received since the last call.
    std::string TakeReceived();

private:
    /// Reads whatever the server sends next.
    void StartRead();
    /// Keeps what was read and reads on, until the connection ends.
    void HandleRead(const boost::system::error_code& error, std::size_t length);

    /// The connection.
    boost::asio::ip::tcp::socket socket;
    /// One read's bytes.
    std::array<char, 4096> buffer{};
    /// Bytes received and not yet taken.
    std::string received;
    /// Source port of the current connection.
    uint16_t localPort = 0;
    /// Set by Connect, cleared by Reset.
    bool connected = false;
};
