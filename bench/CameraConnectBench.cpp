// Starts the real daemon with a configuration of many network track cameras, each dialling its
// own listener on a loopback address, and reports how long it takes until every camera is
// connected and how much resident memory the daemon then holds. Needs root (private mount
// namespace, as the system tests).
//
//   camera_connect_bench [cameras=1000] [runs=5]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "DaemonRig.h"

namespace
{

/// A listening socket on address with a port of the system's choosing; the port goes to port.
int Listen(const std::string& address, uint16_t& port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || listen(fd, 4) != 0)
    {
        std::perror(("listen on " + address).c_str());
        std::exit(1);
    }
    socklen_t length = sizeof where;
    getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length);
    port = ntohs(where.sin_port);
    return fd;
}

/// Resident memory of pid in KiB, from /proc.
long ResidentKiB(pid_t pid)
{
    const std::string status = rig::ReadFile("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

/// One run: returns the milliseconds from start to the last connection, and the resident memory.
bool RunOnce(int cameras, double& milliseconds, long& residentKiB)
{
    std::vector<int> listeners;
    std::string config = "<zoTolvex><Options RetryIntervalSecs=\"1\" ClientPort=\"" +
                         std::to_string(rig::FreePort()) + "\"/><TolvexControl/><NVR Address=\"127.0.0.1\" Port=\"" +
                         std::to_string(rig::FreePort()) + "\" Login=\"a\" Password=\"b\">";
    const int poller = epoll_create1(EPOLL_CLOEXEC);
    for (int i = 0; i < cameras; ++i)
    {
        const std::string address =
            "127.0." + std::to_string(10 + i / 250) + "." + std::to_string(1 + i % 250);
        uint16_t port = 0;
        const int fd = Listen(address, port);
        listeners.push_back(fd);
        epoll_event interest{};
        interest.events = EPOLLIN;
        interest.data.fd = fd;
        epoll_ctl(poller, EPOLL_CTL_ADD, fd, &interest);
        config += "<Camera Address=\"" + address + "\" Port=\"" + std::to_string(port) + "\" PelcoNumber=\"" +
                  std::to_string(i + 1) + "\"/>";
    }
    config += "</NVR></zoTolvex>";

    rig::Daemon daemon;
    daemon.WriteConfig(config);
    std::vector<int> accepted;
    const auto start = std::chrono::steady_clock::now();
    if (daemon.Start() != 0)
        return false;
    const auto deadline = start + std::chrono::seconds(30);
    while (static_cast<int>(accepted.size()) < cameras && std::chrono::steady_clock::now() < deadline)
    {
        epoll_event ready[64];
        const int count = epoll_wait(poller, ready, 64, 100);
        for (int i = 0; i < count; ++i)
        {
            const int connection = accept4(ready[i].data.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection >= 0)
                accepted.push_back(connection);
        }
    }
    const auto end = std::chrono::steady_clock::now();
    milliseconds = std::chrono::duration<double, std::milli>(end - start).count();
    const pid_t pid = daemon.Pid();
    residentKiB = pid > 0 ? ResidentKiB(pid) : -1;
    const bool complete = static_cast<int>(accepted.size()) == cameras;
    if (!complete)
        std::fprintf(stderr, "only %zu of %d cameras connected\n", accepted.size(), cameras);

    for (int fd : accepted)
        close(fd);
    for (int fd : listeners)
        close(fd);
    close(poller);
    return complete;
}

} // namespace

int main(int argc, char** argv)
{
    const int cameras = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;

    // Listeners, accepted connections and the daemon's sockets: the daemon inherits the limit.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, static_cast<rlim_t>(4 * cameras + 256));
    setrlimit(RLIMIT_NOFILE, &files);

    std::vector<double> times;
    long resident = 0;
    for (int run = 0; run < runs; ++run)
    {
        double milliseconds = 0;
        long kib = 0;
        if (!RunOnce(cameras, milliseconds, kib))
            return 1;
        times.push_back(milliseconds);
        resident = std::max(resident, kib);
        std::printf("run %d: %d cameras connected %.1f ms after start, daemon resident %ld KiB\n", run + 1, cameras,
                    milliseconds, kib);
    }
    std::sort(times.begin(), times.end());
    std::printf("median %.1f ms, worst %.1f ms, largest resident memory %ld KiB\n", times[times.size() / 2],
                times.back(), resident);
    return 0;
}
