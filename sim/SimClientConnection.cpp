#include "sim/SimClientConnection.h"

#include <chrono>

#include "nvr/zoapi.h"
#include "sim/NvrSimulator.h"
#include "zoapi/WireCodec.h"
#include "zoapi/WireFrame.h"

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
    Send(zoapi::WireCodec::EventFrame(ZOAPI_EVENT_CONNECTED, 0));
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
    frame.resize(zoapi::kLengthSize);
    auto self = shared_from_this();
    boost::asio::async_read(socket, boost::asio::buffer(frame),
                            [self](const boost::system::error_code& error, std::size_t bytes) {
                                self->HandleReadHeader(error, bytes);
                            });
}

void SimClientConnection::HandleReadHeader(const boost::system::error_code& error, std::size_t)
{
    zoapi::WireFrame header;
    // A client that breaks the framing cannot be resynchronised; a real server hangs up too.
    if (error || header.Read(frame.data(), frame.size()) == zoapi::WireFrame::kBroken) {
        Stop();
        return;
    }
    frame.resize(header.Size());
    auto self = shared_from_this();
    auto rest = boost::asio::buffer(frame.data() + zoapi::kLengthSize, frame.size() - zoapi::kLengthSize);
    boost::asio::async_read(socket, rest,
                            [self](const boost::system::error_code& e, std::size_t bytes) {
                                self->HandleReadBody(e, bytes);
                            });
}

void SimClientConnection::HandleReadBody(const boost::system::error_code& error, std::size_t)
{
    zoapi::WireFrame request;
    if (error || request.Read(frame.data(), frame.size()) != zoapi::WireFrame::kWhole) {
        Stop();
        return;
    }
    simulator.HandleRequest(*this, request.Type(), request.Seq(), request.Payload(), request.PayloadSize());
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
