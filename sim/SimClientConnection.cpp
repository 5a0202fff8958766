#include "sim/SimClientConnection.h"

#include <chrono>

#include "nvr/zoapi.h"
#include "sim/NvrSimulator.h"
#include "zoapi/WireProtocol.h"
#include "zoapi/WireWriter.h"

namespace zonvrsim {

namespace {

// A client that leaves this much unread is dropped rather than allowed to grow the simulator.
constexpr std::size_t kMaxOutboxBytes = 64u * 1024u * 1024u;

}  // namespace

SimClientConnection::SimClientConnection(boost::asio::io_service& io, NvrSimulator& owner)
    : socket(io), simulator(owner)
{
}

boost::asio::ip::tcp::socket& SimClientConnection::Socket()
{
    return socket;
}

void SimClientConnection::Start()
{
    boost::system::error_code ignored;
    socket.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    zoapi::WireWriter greeting(zoapi::kEvent, 0);
    greeting.I32(ZOAPI_EVENT_CONNECTED);
    greeting.I32(0);
    greeting.U16(0);
    Send(greeting.Bytes());
    StartReadHeader();
}

void SimClientConnection::Stop()
{
    if (stopped)
        return;
    stopped = true;
    boost::system::error_code ignored;
    socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    simulator.Forget(shared_from_this());
}

bool SimClientConnection::LoggedIn() const
{
    return loggedIn;
}

void SimClientConnection::SetLoggedIn(bool value)
{
    loggedIn = value;
}

void SimClientConnection::StartReadHeader()
{
    auto self = shared_from_this();
    boost::asio::async_read(socket, boost::asio::buffer(header),
                            [self](const boost::system::error_code& error, std::size_t bytes) {
                                self->HandleReadHeader(error, bytes);
                            });
}

void SimClientConnection::HandleReadHeader(const boost::system::error_code& error, std::size_t)
{
    if (error) {
        Stop();
        return;
    }
    std::uint32_t length = static_cast<std::uint32_t>(header[0]) | (static_cast<std::uint32_t>(header[1]) << 8) |
                           (static_cast<std::uint32_t>(header[2]) << 16) | (static_cast<std::uint32_t>(header[3]) << 24);
    // A client that breaks the framing cannot be resynchronised; a real server hangs up too.
    if (length < zoapi::kHeaderRest || length > zoapi::kMaxFrameBody) {
        Stop();
        return;
    }
    body.resize(length);
    auto self = shared_from_this();
    boost::asio::async_read(socket, boost::asio::buffer(body),
                            [self](const boost::system::error_code& e, std::size_t bytes) {
                                self->HandleReadBody(e, bytes);
                            });
}

void SimClientConnection::HandleReadBody(const boost::system::error_code& error, std::size_t)
{
    if (error) {
        Stop();
        return;
    }
    std::uint16_t type = static_cast<std::uint16_t>(body[0] | (body[1] << 8));
    std::uint32_t seq = static_cast<std::uint32_t>(body[4]) | (static_cast<std::uint32_t>(body[5]) << 8) |
                        (static_cast<std::uint32_t>(body[6]) << 16) | (static_cast<std::uint32_t>(body[7]) << 24);
    simulator.HandleRequest(*this, type, seq, body.data() + zoapi::kHeaderRest, body.size() - zoapi::kHeaderRest);
    if (!stopped)
        StartReadHeader();
}

void SimClientConnection::Send(std::vector<std::uint8_t> frame)
{
    if (stopped)
        return;
    outboxBytes += frame.size();
    outbox.push_back(std::move(frame));
    if (outboxBytes > kMaxOutboxBytes) {
        Stop();
        return;
    }
    if (!writing && !simulator.Hanging())
        StartWrite();
}

void SimClientConnection::SendReply(std::vector<std::uint8_t> frame)
{
    int delay = simulator.AckDelay();
    if (delay <= 0) {
        Send(std::move(frame));
        return;
    }
    auto self = shared_from_this();
    auto timer = std::make_shared<boost::asio::steady_timer>(socket.get_executor());
    timer->expires_after(std::chrono::milliseconds(delay));
    timer->async_wait([self, timer, frame = std::move(frame)](const boost::system::error_code& error) mutable {
        if (!error)
            self->Send(std::move(frame));
    });
}

void SimClientConnection::ResumeWrites()
{
    if (!stopped && !writing && !outbox.empty())
        StartWrite();
}

void SimClientConnection::StartWrite()
{
    writing = true;
    auto self = shared_from_this();
    boost::asio::async_write(socket, boost::asio::buffer(outbox.front()),
                             [self](const boost::system::error_code& error, std::size_t bytes) {
                                 self->HandleWrite(error, bytes);
                             });
}

void SimClientConnection::HandleWrite(const boost::system::error_code& error, std::size_t)
{
    writing = false;
    if (error) {
        Stop();
        return;
    }
    outboxBytes -= outbox.front().size();
    outbox.pop_front();
    if (!outbox.empty() && !simulator.Hanging())
        StartWrite();
}

}  // namespace zonvrsim
