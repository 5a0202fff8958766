#pragma once

// The floor of the operator relay path: one thread and one epoll set doing, per operator message,
// only what the daemon must do for it: one read, one write of the bytes to the camera named by
// byte 1 (Pelco number n is camera n), one control notice back. No session numbers, log-ins,
// queues, timers, locks or log. Like the daemon it sets no socket option.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

/// A plain epoll relay that listens for operators on 127.0.0.1 and relays to its own cameras.
class EpollRelay
{
public:
    /// Connects to the camera of Pelco number n + 1 at cameras[n] (address, port) and listens on
    /// port. Returns false when a connection or the listener cannot be made.
    bool Open(uint16_t port, const std::vector<std::pair<std::string, uint16_t>>& cameras)
    {
        for (const auto& camera : cameras)
        {
            const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
            const sockaddr_in endpoint = Endpoint(camera.first, camera.second);
            if (::connect(descriptor, reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint) != 0)
                return false;
            cameraDescriptors.push_back(descriptor);
        }
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const int on = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in endpoint = Endpoint("127.0.0.1", port);
        if (::bind(listener, reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint) != 0 ||
            ::listen(listener, 128) != 0)
            return false;
        poller = ::epoll_create1(0);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = listener;
        return ::epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event) == 0;
    }

    /// Relays until the process is ended. A write that the kernel does not take whole is lost:
    /// with one frame in flight per operator the socket buffers never fill.
    void Run()
    {
        static const char kNotice[] = "#0000F0 You have control";
        epoll_event events[256];
        uint8_t buffer[1024];
        for (;;)
        {
            const int ready = ::epoll_wait(poller, events, 256, -1);
            for (int e = 0; e < ready; ++e)
            {
                const int descriptor = events[e].data.fd;
                if (descriptor == listener)
                {
                    const int operatorDescriptor = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
                    if (operatorDescriptor < 0)
                        continue;
                    epoll_event event{};
                    event.events = EPOLLIN;
                    event.data.fd = operatorDescriptor;
                    ::epoll_ctl(poller, EPOLL_CTL_ADD, operatorDescriptor, &event);
                    continue;
                }
                const ssize_t length = ::read(descriptor, buffer, sizeof buffer);
                if (length <= 0)
                {
                    ::close(descriptor);
                    continue;
                }
                const std::size_t camera = length > 1 ? buffer[1] : 0;
                if (camera >= 1 && camera <= cameraDescriptors.size() &&
                    ::send(cameraDescriptors[camera - 1], buffer, static_cast<std::size_t>(length), MSG_NOSIGNAL) ==
                        length)
                    ::send(descriptor, kNotice, sizeof kNotice - 1, MSG_NOSIGNAL);
            }
        }
    }

private:
    /// The IPv4 endpoint address:port.
    static sockaddr_in Endpoint(const std::string& address, uint16_t port)
    {
        sockaddr_in endpoint{};
        endpoint.sin_family = AF_INET;
        endpoint.sin_port = htons(port);
        ::inet_pton(AF_INET, address.c_str(), &endpoint.sin_addr);
        return endpoint;
    }

    /// Connections to the cameras, by Pelco number - 1.
    std::vector<int> cameraDescriptors;
    /// The operators' listening socket.
    int listener = -1;
    /// The epoll set: the listener and every operator connection.
    int poller = -1;
};
