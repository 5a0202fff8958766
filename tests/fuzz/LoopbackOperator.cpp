#include "LoopbackOperator.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>

using boost::asio::ip::tcp;

LoopbackOperator::LoopbackOperator(boost::asio::io_service& ioService) : socket(ioService)
{
}

void LoopbackOperator::Connect(uint16_t port)
{
    socket.connect(tcp::endpoint(boost::asio::ip::address_v4::loopback(), port));
    // Each write must reach the server as one message: Nagle would hold a small one back until
    // the last one is acknowledged, and the server would read the two together.
    socket.set_option(tcp::no_delay(true));
    localPort = socket.local_endpoint().port();
    connected = true;
    StartRead();
}

bool LoopbackOperator::Connected() const
{
    return connected;
}

uint16_t LoopbackOperator::LocalPort() const
{
    return localPort;
}

void LoopbackOperator::Write(const std::string& bytes)
{
    boost::system::error_code ignored;
    boost::asio::write(socket, boost::asio::buffer(bytes), ignored);
}

void LoopbackOperator::Reset()
{
    boost::system::error_code ignored;
    socket.set_option(boost::asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
    connected = false;
    received.clear();
}

std::string LoopbackOperator::TakeReceived()
{
    std::string taken;
    taken.swap(received);
    return taken;
}

void LoopbackOperator::StartRead()
{
    socket.async_read_some(boost::asio::buffer(buffer), [this](const boost::system::error_code& error,
                                                               std::size_t length) { HandleRead(error, length); });
}

void LoopbackOperator::HandleRead(const boost::system::error_code& error, std::size_t length)
{
    if (error)
        return;
    received.append(buffer.data(), length);
    StartRead();
}
