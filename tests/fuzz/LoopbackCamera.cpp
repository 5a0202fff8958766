#include "LoopbackCamera.h"

#include <boost/asio/buffer.hpp>

using boost::asio::ip::tcp;

LoopbackCamera::LoopbackCamera(boost::asio::io_service& ioService, const std::string& address)
    : acceptor(ioService, tcp::endpoint(boost::asio::ip::make_address(address), 0)), connection(ioService)
{
    acceptor.async_accept(connection, [this](const boost::system::error_code& error) { HandleAccept(error); });
}

uint16_t LoopbackCamera::Port() const
{
    return acceptor.local_endpoint().port();
}

bool LoopbackCamera::Connected() const
{
    return connected;
}

std::size_t LoopbackCamera::Received() const
{
    return received;
}

void LoopbackCamera::Close()
{
    boost::system::error_code ignored;
    acceptor.close(ignored);
    if (connection.is_open())
    {
        connection.set_option(boost::asio::socket_base::linger(true, 0), ignored);
        connection.close(ignored);
    }
}

void LoopbackCamera::HandleAccept(const boost::system::error_code& error)
{
    if (error)
        return;
    connected = true;
    StartRead();
}

void LoopbackCamera::StartRead()
{
    connection.async_read_some(boost::asio::buffer(buffer),
                               [this](const boost::system::error_code& error, std::size_t length) {
                                   HandleRead(error, length);
                               });
}

void LoopbackCamera::HandleRead(const boost::system::error_code& error, std::size_t length)
{
    if (error)
        return;
    received += length;
    StartRead();
}
