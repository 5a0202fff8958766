#pragma once

// A TolvexControl client and a fake track camera for tests: plain blocking loopback sockets with
// deadline-bounded reads. Shared by the component and the system tests of operator control.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

/// Milliseconds left until deadline, at least 0.
inline int MillisecondsLeft(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

/// Reads from descriptor (a socket or a terminal) into received until it holds count bytes, the peer closes or the
/// deadline passes. Returns false once the connection has ended.
inline bool FillTo(int descriptor, std::string& received, std::size_t count,
                   std::chrono::steady_clock::time_point deadline)
{
    while (received.size() < count)
    {
        pollfd entry{descriptor, POLLIN, 0};
        if (::poll(&entry, 1, MillisecondsLeft(deadline)) <= 0)
            return true;
        char chunk[65536];
        const ssize_t got = ::read(descriptor, chunk, sizeof chunk);
        if (got <= 0)
            return false;
        received.append(chunk, static_cast<std::size_t>(got));
    }
    return true;
}

/// A listening TCP socket on address:port (a free port for 0), with address reuse; -1 when it
/// cannot bind or listen.
inline int ListenOn(const std::string& address, uint16_t port, int backlog)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || ::listen(listener, backlog) != 0)
    {
        ::close(listener);
        return -1;
    }
    return listener;
}

/// One operator connection to the control server at 127.0.0.1:port.
class OperatorClient
{
public:
    using Clock = std::chrono::steady_clock;

    /// Connects from localAddress, and from localPort when it is not 0. A receiveBuffer above 0
    /// shrinks the client's receive window (a client that reads slowly).
    explicit OperatorClient(uint16_t port, const std::string& localAddress = "127.0.0.1", uint16_t localPort = 0,
                            int receiveBuffer = 0, const std::string& serverAddress = "127.0.0.1")
    {
        descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        ::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (receiveBuffer > 0)
            ::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        // Each message leaves at once, so that the tests decide where one message ends.
        ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(localPort);
        ::inet_pton(AF_INET, localAddress.c_str(), &local.sin_addr);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(port);
        ::inet_pton(AF_INET, serverAddress.c_str(), &server.sin_addr);
        connected = ::bind(descriptor, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                    ::connect(descriptor, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0;
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&bound), &length);
        localPortNumber = ntohs(bound.sin_port);
    }
    OperatorClient(const OperatorClient&) = delete;
    OperatorClient& operator=(const OperatorClient&) = delete;
    ~OperatorClient() { Close(); }

    /// True when the connection was established.
    bool Connected() const { return connected; }
    /// The client's source port: the session number the server should announce.
    uint16_t LocalPort() const { return localPortNumber; }
    /// The connection's descriptor, for a caller that waits on many clients at once.
    int Descriptor() const { return descriptor; }

    /// Sends bytes in one write, as the real client sends each message.
    bool Write(const std::string& bytes)
    {
        const bool sent =
            ::send(descriptor, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
        if (afterWrite)
            afterWrite();
        return sent;
    }

    /// Run after every write; a test that drives the server's event loop waits there until the
    /// server has read the message, so that the next one cannot join it in one read.
    std::function<void()> afterWrite;

    /// The next count bytes from the server; fewer when they do not come before the timeout.
    std::string Receive(std::size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
    {
        FillTo(descriptor, received, count, Clock::now() + timeout);
        const std::string taken = received.substr(0, count);
        received.erase(0, taken.size());
        return taken;
    }

    /// The next bytes, as many as expected has; compare the result with expected.
    std::string ReceiveLike(const std::string& expected) { return Receive(expected.size()); }

    /// Discards everything up to and including marker; false when it does not come in time.
    bool SkipPast(const std::string& marker, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
    {
        const auto deadline = Clock::now() + timeout;
        for (;;)
        {
            const auto found = received.find(marker);
            if (found != std::string::npos)
            {
                received.erase(0, found + marker.size());
                return true;
            }
            if (MillisecondsLeft(deadline) == 0 || !FillTo(descriptor, received, received.size() + 1, deadline))
                return false;
        }
    }

    /// Logs in and returns the reply ("OK" or "FAILURE", or what came instead of it).
    std::string Login(const std::string& name, const std::string& password)
    {
        Write("LOGIN " + name + " " + password);
        const std::string first = Receive(2);
        return first == "OK" ? first : first + Receive(5);
    }

    /// Waits until the server has closed the connection; false when it is still open at the timeout.
    bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
    {
        const auto deadline = Clock::now() + timeout;
        while (FillTo(descriptor, received, received.size() + 1, deadline))
        {
            if (MillisecondsLeft(deadline) == 0)
                return false;
        }
        return true;
    }

    /// Ends the connection with a reset instead of an orderly close.
    void Reset()
    {
        const linger abort{1, 0};
        ::setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        Close();
    }

    /// Closes the connection.
    void Close()
    {
        if (descriptor >= 0)
            ::close(descriptor);
        descriptor = -1;
    }

private:
    /// The connection.
    int descriptor = -1;
    /// Whether connect succeeded.
    bool connected = false;
    /// Source port of the connection.
    uint16_t localPortNumber = 0;
    /// Bytes received but not yet taken.
    std::string received;
};

/// A track camera played by the test: listens on address, takes the service's connection and
/// collects what is written to it.
class FakeCamera
{
public:
    using Clock = std::chrono::steady_clock;

    /// Listens on address at a free port (or at port when it is not 0).
    explicit FakeCamera(const std::string& address = "127.0.0.1", uint16_t port = 0)
    {
        listener = ListenOn(address, port, 16);
        sockaddr_in local{};
        socklen_t length = sizeof local;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length);
        portNumber = ntohs(local.sin_port);
    }
    FakeCamera(const FakeCamera&) = delete;
    FakeCamera& operator=(const FakeCamera&) = delete;
    ~FakeCamera()
    {
        if (connection >= 0)
            ::close(connection);
        ::close(listener);
    }

    /// The port the camera listens on.
    uint16_t Port() const { return portNumber; }
    /// The accepted connection's descriptor; -1 before Accept.
    int Descriptor() const { return connection; }

    /// Waits for the service to connect; true once it has.
    bool Accept(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
    {
        if (connection >= 0)
            return true;
        pollfd entry{listener, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0)
            return false;
        connection = ::accept(listener, nullptr, nullptr);
        return connection >= 0;
    }

    /// The next count bytes written to the camera; fewer when they do not come before the timeout.
    std::string Receive(std::size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
    {
        const auto deadline = Clock::now() + timeout;
        if (!Accept(timeout))
            return std::string();
        FillTo(connection, received, count, deadline);
        const std::string taken = received.substr(0, count);
        received.erase(0, taken.size());
        return taken;
    }

    /// Drops the service's connection with a reset, whatever it still has to send; the next
    /// Accept takes its next connection.
    void Reset()
    {
        const linger abort{1, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(connection);
        connection = -1;
        received.clear();
    }

private:
    /// The listening socket.
    int listener = -1;
    /// The service's connection; -1 until accepted.
    int connection = -1;
    /// The listening port.
    uint16_t portNumber = 0;
    /// Bytes received but not yet taken.
    std::string received;
};
