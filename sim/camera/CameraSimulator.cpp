#include "CameraSimulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace
{

std::string SystemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

/// Pan/tilt/zoom bits of Pelco-D command byte 2, lowest first.
const char* const kMotionNames[] = {nullptr, "right", "left", "up", "down", "zoom-tele", "zoom-wide", nullptr};

const char* BaudName(speed_t speed)
{
    switch (speed)
    {
    case B1200: return "1200";
    case B2400: return "2400";
    case B4800: return "4800";
    case B9600: return "9600";
    case B19200: return "19200";
    case B38400: return "38400";
    case B57600: return "57600";
    case B115200: return "115200";
    default: return "other";
    }
}

} // namespace

CameraSimulator::~CameraSimulator()
{
    for (Camera& camera : cameras)
    {
        if (camera.listener >= 0)
            close(camera.listener);
        if (camera.stream >= 0)
            close(camera.stream);
        if (!camera.link.empty())
            unlink(camera.link.c_str());
    }
}

void CameraSimulator::AddNetworkCamera(const std::string& name, const std::string& address, uint16_t port)
{
    Camera camera;
    camera.name = name;
    camera.listener = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(camera.listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &endpoint.sin_addr) != 1)
        throw std::runtime_error("not a numeric IPv4 address: " + address);
    if (bind(camera.listener, reinterpret_cast<sockaddr*>(&endpoint), sizeof endpoint) != 0 ||
        listen(camera.listener, 4) != 0)
        throw std::runtime_error(SystemError("cannot listen on " + address + ":" + std::to_string(port)));
    std::cout << "[" << name << "] network camera listening on " << address << ":" << port << std::endl;
    cameras.push_back(camera);
}

void CameraSimulator::AddSerialCamera(const std::string& name, const std::string& link)
{
    Camera camera;
    camera.name = name;
    camera.stream = posix_openpt(O_RDWR | O_NOCTTY);
    if (camera.stream < 0 || grantpt(camera.stream) != 0 || unlockpt(camera.stream) != 0)
        throw std::runtime_error(SystemError("cannot open a pseudo-terminal"));
    const char* device = ptsname(camera.stream);
    unlink(link.c_str());
    if (symlink(device, link.c_str()) != 0)
        throw std::runtime_error(SystemError("cannot link " + link));
    camera.link = link;
    // Keep the slave side open ourselves so the master never sees a hang-up between the
    // daemon's opens.
    open(device, O_RDWR | O_NOCTTY);
    std::cout << "[" << name << "] serial camera on " << device << " (linked as " << link << ")" << std::endl;
    cameras.push_back(camera);
}

std::string CameraSimulator::Describe(const uint8_t* bytes, std::size_t length)
{
    std::ostringstream text;
    char hex[4];
    for (std::size_t i = 0; i < length; ++i)
    {
        std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
        text << (i ? " " : "") << hex;
    }
    if (length == 7 && bytes[0] == 0xFF)
    {
        const uint8_t sum = static_cast<uint8_t>(bytes[1] + bytes[2] + bytes[3] + bytes[4] + bytes[5]);
        text << "  Pelco-D address " << unsigned(bytes[1]) << ":";
        bool moving = false;
        for (int bit = 1; bit <= 6; ++bit)
        {
            if (bytes[3] & (1u << bit))
            {
                text << ' ' << kMotionNames[bit];
                moving = true;
            }
        }
        if (!moving && bytes[2] == 0 && bytes[3] == 0)
            text << " stop";
        if (bytes[4] || bytes[5])
            text << " (pan speed " << unsigned(bytes[4]) << ", tilt speed " << unsigned(bytes[5]) << ")";
        if (sum != bytes[6])
            text << " [bad checksum]";
    }
    return text.str();
}

void CameraSimulator::Serve(Camera& camera, int readyFd)
{
    if (readyFd == camera.listener)
    {
        const int accepted = accept(camera.listener, nullptr, nullptr);
        if (accepted < 0)
            return;
        if (camera.stream >= 0)
            close(camera.stream);
        camera.stream = accepted;
        std::cout << "[" << camera.name << "] daemon connected" << std::endl;
        return;
    }
    uint8_t buffer[2048];
    const ssize_t count = read(camera.stream, buffer, sizeof buffer);
    if (count <= 0)
    {
        if (camera.listener >= 0)
        {
            std::cout << "[" << camera.name << "] daemon disconnected" << std::endl;
            close(camera.stream);
            camera.stream = -1;
        }
        return;
    }
    std::cout << "[" << camera.name << "] " << Describe(buffer, static_cast<std::size_t>(count));
    termios settings{};
    if (camera.listener < 0 && tcgetattr(camera.stream, &settings) == 0)
        std::cout << "  line " << BaudName(cfgetospeed(&settings)) << " baud";
    std::cout << std::endl;
}

void CameraSimulator::Run()
{
    for (;;)
    {
        std::vector<pollfd> waits;
        std::vector<Camera*> owners;
        for (Camera& camera : cameras)
        {
            if (camera.listener >= 0)
            {
                waits.push_back({camera.listener, POLLIN, 0});
                owners.push_back(&camera);
            }
            if (camera.stream >= 0)
            {
                waits.push_back({camera.stream, POLLIN, 0});
                owners.push_back(&camera);
            }
        }
        if (poll(waits.data(), waits.size(), -1) < 0 && errno != EINTR)
            throw std::runtime_error(SystemError("poll"));
        for (std::size_t i = 0; i < waits.size(); ++i)
            if (waits[i].revents & (POLLIN | POLLHUP | POLLERR))
                Serve(*owners[i], waits[i].fd);
    }
}
