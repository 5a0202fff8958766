#include "sim/SimControlConnection.h"

#include <istream>

#include "sim/NvrSimulator.h"

namespace zonvrsim {

namespace {

// Control lines are short; a longer one means a confused peer, which is cut off.
constexpr std::size_t kMaxLine = 65536;

}  // namespace

SimControlConnection::SimControlConnection(boost::asio::io_service& io, NvrSimulator& owner)
    : socket(io), simulator(owner), input(kMaxLine)
{
}

boost::asio::ip::tcp::socket& SimControlConnection::Socket()
{
    return socket;
}

void SimControlConnection::Start()
{
    StartRead();
}

void SimControlConnection::StartRead()
{
    auto self = shared_from_this();
    boost::asio::async_read_until(socket, input, '\n',
                                  [self](const boost::system::error_code& error, std::size_t bytes) {
                                      self->HandleRead(error, bytes);
                                  });
}

void SimControlConnection::HandleRead(const boost::system::error_code& error, std::size_t)
{
    if (error)
        return;
    std::istream in(&input);
    std::string line;
    std::getline(in, line);
    answer = simulator.Execute(line);
    auto self = shared_from_this();
    boost::asio::async_write(socket, boost::asio::buffer(answer),
                             [self](const boost::system::error_code& e, std::size_t bytes) {
                                 self->HandleWrite(e, bytes);
                             });
}

void SimControlConnection::HandleWrite(const boost::system::error_code& error, std::size_t)
{
    if (!error)
        StartRead();
}

}  // namespace zonvrsim
