#include "control/ControlSession.h"

#include <algorithm>
#include <cstring>

#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>

#include "base/HandlerPool.h"
#include "base/LogStream.h"
#include "base/User.h"
#include "camera/TrackCamera.h"
#include "control/ControlServer.h"

ControlSession::ControlSession(boost::asio::io_service& ioService, ControlServer& server)
    : socket(ioService), server(server)
{
}

boost::asio::ip::tcp::socket& ControlSession::Socket()
{
    return socket;
}

uint16_t ControlSession::Start()
{
    boost::system::error_code error;
    const boost::asio::ip::tcp::endpoint peer = socket.remote_endpoint(error);
    if (error || peer.port() == 0)
        return 0;
    PeerAddress = peer.address().to_string(error);
    Number = peer.port();
    Reply("SESSION " + std::to_string(Number));
    return Number;
}

void ControlSession::Send(const std::string& text)
{
    Queue(std::make_shared<const std::string>(text), false);
}

void ControlSession::Send(const std::shared_ptr<const std::string>& text)
{
    Queue(text, false);
}

void ControlSession::Reply(const std::string& text)
{
    Queue(std::make_shared<const std::string>(text), true);
}

void ControlSession::Queue(const std::shared_ptr<const std::string>& text, bool reply)
{
    if (ended)
        return;
    // A client that stops reading would otherwise make every message to it pile up here.
    if (queuedBytes + text->size() > kMaxQueuedBytes)
    {
        gLog.BeginLine() << "Dropping session with TolvexControl user " << UserName << " at " << PeerAddress
                         << ": client is not reading";
        End();
        return;
    }
    outgoing.push_back(Outgoing{text, reply});
    queuedBytes += text->size();
    if (outgoing.size() == 1)
        StartWrite();
}

void ControlSession::StartWrite()
{
    auto self = shared_from_this();
    boost::asio::async_write(socket, boost::asio::buffer(*outgoing.front().text),
                             HandlerPool::Wrap([this, self](const boost::system::error_code& error, std::size_t) {
                                 const auto guard = server.Lock();
                                 HandleWrite(error);
                             }));
}

void ControlSession::HandleWrite(const boost::system::error_code& error)
{
    const bool reply = outgoing.front().reply;
    queuedBytes -= outgoing.front().text->size();
    outgoing.pop_front();
    if (ended)
        return;

    if (reply)
    {
        if (error)
        {
            gLog.BeginLine() << "Lost session with TolvexControl user " << UserName << " at " << PeerAddress;
            End();
            return;
        }
        StartRead();
    }
    else if (error)
    {
        // The session goes on: a dead connection is noticed by the read.
        gLog.BeginLine() << "Error sending data to client at " << PeerAddress << ": " << error.message();
    }
    if (!outgoing.empty())
        StartWrite();
}

void ControlSession::StartRead()
{
    if (ended)
        return;
    // Only the last message's bytes can be other than zero: clearing just those keeps a frame
    // from touching the whole buffer.
    std::fill_n(buffer.begin(), received, 0);
    received = 0;
    auto self = shared_from_this();
    socket.async_read_some(boost::asio::buffer(buffer),
                           HandlerPool::Wrap([this, self](const boost::system::error_code& error, std::size_t length) {
                               const auto guard = server.Lock();
                               HandleRead(error, length);
                           }));
}

void ControlSession::HandleRead(const boost::system::error_code& error, std::size_t length)
{
    // A closed or broken connection ends the session without a word.
    if (error || ended)
    {
        End();
        return;
    }
    received = length;

    // A message shorter than a keyword cannot match it: the buffer is zero beyond the message.
    const char* text = reinterpret_cast<const char*>(buffer.data());
    if (std::memcmp(text, "LOGIN", 5) == 0)
    {
        HandleLogin(length);
        return; // the next read starts when the reply has gone out
    }
    if (std::memcmp(text, "CHOOSE", 6) == 0)
        server.Choose(Number);
    else if (std::memcmp(text, "CANCEL", 6) == 0)
        server.Cancel(Number);
    else
        HandlePelco(length);
    StartRead();
}

void ControlSession::HandleLogin(std::size_t length)
{
    // The text ends at the first NUL or at the count of bytes read, so a full buffer has an end too.
    const char* text = reinterpret_cast<const char*>(buffer.data());
    const std::size_t end = std::find(text, text + length, '\0') - text;
    // Byte 5 is the separator after the keyword and is not looked at.
    std::string name;
    std::string password;
    if (end > 6)
    {
        const char* first = text + 6;
        const char* last = text + end;
        const char* blank = std::find(first, last, ' ');
        name.assign(first, blank);
        if (blank != last)
            password.assign(blank + 1, last);
    }

    if (server.CheckUser(name, password))
    {
        UserName = name;
        Priority = server.LookUpUser(name).Priority;
        gLog.BeginLine() << "Login from " << PeerAddress << " by user " << UserName << " with priority "
                         << static_cast<uint32_t>(Priority);
        Reply("OK");
    }
    else
    {
        gLog.BeginLine() << "Failed login from " << PeerAddress << " by user " << name;
        Reply("FAILURE");
    }
}

void ControlSession::HandlePelco(std::size_t length)
{
    // Byte 1 is the camera's Pelco address; a one-byte message reads the zero behind it.
    const uint32_t number = buffer[1];
    TrackCamera* camera = server.FindCamera(number);
    if (camera == nullptr)
    {
        gLog.BeginLine() << "Unknown Pelco camera ID " << number;
        return;
    }

    // The operator is shown the camera before the command is judged, so a refused command still
    // leaves the session looking at the camera it tried to steer.
    if (SelectedCamera != camera->address)
        server.TakeChoice(*this, camera->address);
    server.SendCommand(*camera, Number, Priority, buffer.data(), length);
}

void ControlSession::End()
{
    if (ended)
        return;
    ended = true;
    boost::system::error_code ignored;
    socket.close(ignored);
    server.RemoveSession(Number, this);
    // The message in flight stays until its write completes; the rest will never be sent.
    while (outgoing.size() > 1)
    {
        queuedBytes -= outgoing.back().text->size();
        outgoing.pop_back();
    }
}

std::size_t ControlSession::QueuedBytes() const
{
    return queuedBytes;
}
