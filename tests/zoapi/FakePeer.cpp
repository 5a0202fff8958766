#include "FakePeer.h"

#include <chrono>
#include <stdexcept>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "zoapi/WireCodec.h"
#include "zoapi/WireFrame.h"

FakePeer::FakePeer(std::vector<std::uint8_t> bytes, Answer reply, bool closeAfter)
    : opening(std::move(bytes)), answer(std::move(reply)), closeAfterOpening(closeAfter)
{
    Listen();
}

FakePeer::FakePeer(std::vector<std::uint8_t> bytes, Answer reply, std::vector<std::uint8_t> chatterFrame,
                   int chatterCount)
    : opening(std::move(bytes)), answer(std::move(reply)), closeAfterOpening(false), chatter(std::move(chatterFrame)),
      chatterLeft(chatterCount)
{
    Listen();
}

void FakePeer::Listen()
{
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("fake peer cannot listen");
    port = ntohs(address.sin_port);
    thread = std::thread([this] { Serve(); });
}

FakePeer::~FakePeer()
{
    stop = true;
    thread.join();
    ::close(listener);
}

unsigned short FakePeer::Port() const
{
    return port;
}

bool FakePeer::ClientHungUp() const
{
    return hungUp;
}

bool FakePeer::ChatterRanOut() const
{
    return chatterLeft <= 0;
}

void FakePeer::Serve()
{
    pollfd p{listener, POLLIN, 0};
    while (!stop && ::poll(&p, 1, 20) == 0) {
    }
    if (stop)
        return;
    int client = ::accept(listener, nullptr, nullptr);
    if (client < 0)
        return;
    if (!opening.empty())
        ::send(client, opening.data(), opening.size(), MSG_NOSIGNAL);
    if (closeAfterOpening) {
        ::close(client);
        return;
    }
    std::vector<std::uint8_t> in;
    auto nextChatter = std::chrono::steady_clock::now();
    while (!stop) {
        if (!chatter.empty() && chatterLeft > 0 && std::chrono::steady_clock::now() >= nextChatter) {
            ::send(client, chatter.data(), chatter.size(), MSG_NOSIGNAL);
            --chatterLeft;
            nextChatter += std::chrono::milliseconds(100);
        }
        pollfd c{client, POLLIN, 0};
        if (::poll(&c, 1, 20) <= 0)
            continue;
        std::uint8_t chunk[4096];
        ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
        if (n <= 0) {
            hungUp = true;
            break;
        }
        in.insert(in.end(), chunk, chunk + n);
        zoapi::WireFrame frame;
        while (frame.Read(in.data(), in.size()) == zoapi::WireFrame::kWhole) {
            std::vector<std::uint8_t> out = answer ? answer(frame.Type(), frame.Seq()) : std::vector<std::uint8_t>();
            in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(frame.Size()));
            if (!out.empty())
                ::send(client, out.data(), out.size(), MSG_NOSIGNAL);
        }
    }
    ::close(client);
}

std::vector<std::uint8_t> Frame(std::uint16_t type, std::uint32_t seq, const std::vector<std::uint8_t>& payload)
{
    zoapi::WireWriter frame(type, seq);
    frame.Raw(payload.data(), payload.size());
    return frame.Bytes();
}

std::vector<std::uint8_t> EventFrame(int type, int status, const std::vector<std::uint8_t>& data)
{
    return zoapi::WireCodec::EventFrame(type, status, data.data(), data.size());
}
