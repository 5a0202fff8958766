#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include <boost/asio.hpp>

namespace zonvrsim {

class NvrSimulator;

// One client of the simulated server: reads request frames, hands them to the simulator, and
// writes replies and events through a queue, one write in flight at a time.
class SimClientConnection : public std::enable_shared_from_this<SimClientConnection> {
public:
    /// Creates an unconnected client on the simulator's event loop.
    SimClientConnection(boost::asio::io_service& io, NvrSimulator& simulator);

    /// Socket that the acceptor fills.
    boost::asio::ip::tcp::socket& Socket();
    /// Greets the client (event 1) and starts reading its requests.
    void Start();
    /// Closes the connection and leaves the simulator's client set.
    void Stop();
    /// Queues a frame for writing now.
    void Send(std::vector<std::uint8_t> frame);
    /// Queues an answer to a request, after the simulator's acknowledgement delay.
    void SendReply(std::vector<std::uint8_t> frame);
    /// Starts writing what waited while the simulator was hanging.
    void ResumeWrites();
    /// True once this client has logged in successfully.
    bool LoggedIn() const;
    /// Records the outcome of the client's last login.
    void SetLoggedIn(bool value);

private:
    /// Reads the next frame's length field.
    void StartReadHeader();
    /// Checks the length field and reads the rest of the frame.
    void HandleReadHeader(const boost::system::error_code& error, std::size_t bytes);
    /// Hands the frame to the simulator and reads the next one.
    void HandleReadBody(const boost::system::error_code& error, std::size_t bytes);
    /// Writes the oldest queued frame.
    void StartWrite();
    /// Drops the written frame and writes the next one.
    void HandleWrite(const boost::system::error_code& error, std::size_t bytes);

    /// Connection to the client.
    boost::asio::ip::tcp::socket socket;
    /// The simulator that answers the requests.
    NvrSimulator& simulator;
    /// The frame being read: its length field first, then the rest once the length is checked.
    std::vector<std::uint8_t> frame;
    /// Frames waiting to be written, oldest first.
    std::deque<std::vector<std::uint8_t>> outbox;
    /// Bytes in `outbox`; a client that lets it grow past the bound is dropped.
    std::size_t outboxBytes = 0;
    /// Set while a write is in flight.
    bool writing = false;
    /// Set once the client has logged in.
    bool loggedIn = false;
    /// Set once Stop has run.
    bool stopped = false;
};

}  // namespace zonvrsim
