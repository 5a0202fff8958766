#include "zoapi/ZoapiConnection.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "zoapi/WireProtocol.h"

namespace zoapi {

namespace {

// Bytes one Receive takes at most: more than the largest frame, so any frame can complete.
constexpr std::size_t kReceiveBudget = kLengthSize + kMaxFrameBody + 65536;

// Waits for `what` on the socket until `until`: above 0 when ready, 0 when the time ran out (or a
// signal came), below 0 on a socket error.
int PollFor(int fd, short what, ZoapiConnection::Clock::time_point until)
{
    auto now = ZoapiConnection::Clock::now();
    long long ms = 0;
    if (until > now)
        ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
    int wait = static_cast<int>(std::min<long long>(ms, 1000 * 1000));
    pollfd p{fd, what, 0};
    int n = ::poll(&p, 1, wait);
    if (n < 0 && errno == EINTR)
        return 0;
    if (n > 0 && (p.revents & (POLLERR | POLLNVAL)) && !(p.revents & POLLIN))
        return -1;
    return n;
}

// Connects one resolved address before `until`; the socket, or -1.
int ConnectOne(const addrinfo& a, ZoapiConnection::Clock::time_point until)
{
    int s = ::socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol);
    if (s < 0)
        return -1;
    int rc = ::connect(s, a.ai_addr, a.ai_addrlen);
    if (rc < 0 && errno == EINPROGRESS) {
        int error = 0;
        socklen_t length = sizeof error;
        rc = -1;
        while (ZoapiConnection::Clock::now() < until) {
            int n = PollFor(s, POLLOUT, until);
            if (n == 0)
                continue;
            if (n > 0 && ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
                rc = 0;
            break;
        }
    }
    if (rc == 0)
        return s;
    ::close(s);
    return -1;
}

}  // namespace

ZoapiConnection::~ZoapiConnection()
{
    Close();
}

bool ZoapiConnection::Open(const char* address, unsigned short port, Clock::time_point until)
{
    Close();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    if (::getaddrinfo(address, service.c_str(), &hints, &found) != 0)
        return false;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next)
        fd = ConnectOne(*a, until);
    ::freeaddrinfo(found);
    if (fd < 0)
        return false;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

void ZoapiConnection::Close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

int ZoapiConnection::Socket() const
{
    return fd;
}

bool ZoapiConnection::Send(const std::vector<std::uint8_t>& bytes, Clock::time_point until)
{
    if (fd < 0)
        return false;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && Clock::now() < until &&
            PollFor(fd, POLLOUT, until) >= 0)
            continue;
        return false;
    }
    return true;
}

ZoapiConnection::Received ZoapiConnection::Receive(Clock::time_point until, std::vector<std::uint8_t>& into)
{
    if (fd < 0)
        return kClosed;
    int ready = PollFor(fd, POLLIN, until);
    if (ready < 0)
        return kClosed;
    if (ready == 0)
        return kNothing;
    std::uint8_t chunk[65536];
    std::size_t taken = 0;
    while (taken < kReceiveBudget) {
        ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got > 0) {
            into.insert(into.end(), chunk, chunk + got);
            taken += static_cast<std::size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        return kClosed;
    }
    // Woken by readiness that brought nothing (a spurious wake-up) counts as no bytes.
    return taken > 0 ? kBytes : kNothing;
}

}  // namespace zoapi
