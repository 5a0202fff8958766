#pragma once

#include <memory>
#include <string>

#include <boost/asio.hpp>

namespace zonvrsim {

class NvrSimulator;

// One connection to the control port: reads command lines and writes each answer before
// reading the next line.
class SimControlConnection : public std::enable_shared_from_this<SimControlConnection> {
public:
    /// Creates an unconnected control connection on the simulator's event loop.
    SimControlConnection(boost::asio::io_service& io, NvrSimulator& simulator);

    /// Socket that the acceptor fills.
    boost::asio::ip::tcp::socket& Socket();
    /// Starts reading command lines.
    void Start();

private:
    /// Reads the next line.
    void StartRead();
    /// Runs the line and writes the answer.
    void HandleRead(const boost::system::error_code& error, std::size_t bytes);
    /// Reads the next line once the answer is out.
    void HandleWrite(const boost::system::error_code& error, std::size_t bytes);

    /// Connection to the controller.
    boost::asio::ip::tcp::socket socket;
    /// The simulator that runs the commands.
    NvrSimulator& simulator;
    /// Received bytes; bounded so an endless line cannot eat memory.
    boost::asio::streambuf input;
    /// Answer being written.
    std::string answer;
};

}  // namespace zonvrsim
