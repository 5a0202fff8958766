#include "FakeCamera.h"

#include <poll.h>
#include <sys/socket.h>

#include <boost/asio/socket_base.hpp>

using boost::asio::ip::tcp;

FakeCamera::FakeCamera(boost::asio::io_service& ioService, uint16_t wanted, const std::string& address)
    : ioService(ioService), life(std::make_shared<char>(0)), acceptor(ioService)
{
    const tcp::endpoint endpoint(boost::asio::ip::make_address_v4(address), wanted);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen();
    port = acceptor.local_endpoint().port();
    StartAccept();
}

FakeCamera::~FakeCamera()
{
    life.reset();
    boost::system::error_code ignored;
    acceptor.close(ignored);
    for (auto& connection : connections)
        connection->socket.close(ignored);
    // The buffers of reads that the closing cancelled are still referenced by the event loop
    // until those completions run, so the connections are kept until the loop drops them.
    auto keep = std::make_shared<std::vector<std::unique_ptr<Connection>>>(std::move(connections));
    if (next)
        keep->push_back(std::move(next));
    ioService.post([keep] {});
}

uint16_t FakeCamera::FreePort()
{
    boost::asio::io_service scratch;
    tcp::acceptor probe(scratch, tcp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 0));
    return probe.local_endpoint().port();
}

void FakeCamera::ResetAll()
{
    for (auto& connection : connections)
    {
        boost::system::error_code ignored;
        connection->socket.set_option(boost::asio::socket_base::linger(true, 0), ignored);
        connection->socket.close(ignored);
    }
}

void FakeCamera::SetReading(bool on)
{
    readingOn = on;
    if (on)
        for (auto& connection : connections)
            StartRead(*connection);
}

void FakeCamera::ReadNow(std::size_t index, int quietMs)
{
    Connection& connection = *connections.at(index);
    const int fd = connection.socket.native_handle();
    pollfd waiting{fd, POLLIN, 0};
    while (poll(&waiting, 1, quietMs) == 1)
    {
        const ssize_t count = recv(fd, connection.buffer, sizeof connection.buffer, MSG_DONTWAIT);
        if (count <= 0)
            return;
        connection.bytes.insert(connection.bytes.end(), connection.buffer, connection.buffer + count);
    }
}

void FakeCamera::StartAccept()
{
    next.reset(new Connection(ioService));
    std::weak_ptr<char> alive = life;
    acceptor.async_accept(next->socket, [this, alive](const boost::system::error_code& error) {
        if (alive.expired() || error)
            return;
        connections.push_back(std::move(next));
        StartRead(*connections.back());
        StartAccept();
    });
}

void FakeCamera::StartRead(Connection& connection)
{
    if (!readingOn || connection.reading || !connection.socket.is_open())
        return;
    connection.reading = true;
    std::weak_ptr<char> alive = life;
    Connection* target = &connection;
    connection.socket.async_read_some(boost::asio::buffer(connection.buffer),
                                      [this, alive, target](const boost::system::error_code& error, std::size_t count) {
                                          if (alive.expired())
                                              return;
                                          target->reading = false;
                                          if (error)
                                              return;
                                          target->bytes.insert(target->bytes.end(), target->buffer,
                                                               target->buffer + count);
                                          StartRead(*target);
                                      });
}
