#include "OperatorConsole.h"

#include "PelcoFrame.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace
{

/// Pan/tilt/zoom commands by name and their command 2 bits.
struct Motion
{
    const char* name;
    uint8_t command2;
};

const Motion kMotions[] = {
    {"left", PelcoFrame::kLeft},      {"right", PelcoFrame::kRight},      {"up", PelcoFrame::kUp},
    {"down", PelcoFrame::kDown},      {"zoomin", PelcoFrame::kZoomIn}, {"zoomout", PelcoFrame::kZoomOut},
    {"stop", 0x00},
};

} // namespace

OperatorConsole::OperatorConsole(const std::string& host, uint16_t port, const std::string& label)
    : socketFd(Connect(host, port)), label(label)
{
}

int OperatorConsole::Connect(const std::string& host, uint16_t port)
{
    const int socketFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socketFd < 0)
        throw std::runtime_error(std::string("cannot open a socket: ") + std::strerror(errno));
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &endpoint.sin_addr) != 1)
    {
        close(socketFd);
        throw std::runtime_error("not a numeric IPv4 address: " + host);
    }
    if (connect(socketFd, reinterpret_cast<sockaddr*>(&endpoint), sizeof endpoint) != 0)
    {
        const std::string reason = std::strerror(errno);
        close(socketFd);
        throw std::runtime_error("cannot connect to " + host + ":" + std::to_string(port) + ": " + reason);
    }
    // Each command must arrive as a message of its own: the protocol has no delimiter.
    const int on = 1;
    setsockopt(socketFd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return socketFd;
}

std::vector<std::string> OperatorConsole::SplitMessages(const std::string& text)
{
    std::vector<std::size_t> starts = {0};
    for (const char* start : {"#0000F0 ", "#F00000 ", "0CAMERA", "1CAMERA"})
        for (std::size_t at = text.find(start, 1); at != std::string::npos; at = text.find(start, at + 1))
            starts.push_back(at);
    std::sort(starts.begin(), starts.end());
    starts.push_back(text.size());
    std::vector<std::string> messages;
    for (std::size_t i = 0; i + 1 < starts.size(); ++i)
        messages.push_back(text.substr(starts[i], starts[i + 1] - starts[i]));
    return messages;
}

OperatorConsole::~OperatorConsole()
{
    close(socketFd);
}

const char* OperatorConsole::Help()
{
    return "commands:\n"
           "  login NAME [PASSWORD]      log in (LOGIN NAME PASSWORD)\n"
           "  choose | cancel            ask for / withdraw the next camera chosen on the recording server\n"
           "  left|right|up|down CAM [SPEED]   move camera CAM (Pelco number), speed 0-63 (default 32)\n"
           "  zoomin|zoomout|stop CAM    zoom or stop camera CAM\n"
           "  raw HEX...                 send bytes as given, e.g. raw ff 01 00 00 00 00 01\n"
           "  wait MS                    show messages for MS milliseconds\n"
           "  quit\n";
}

bool OperatorConsole::Write(const std::vector<uint8_t>& bytes)
{
    if (send(socketFd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
        return false;
    // Give the daemon a moment to read it before the next command, so the two are not merged.
    return Drain(50);
}

bool OperatorConsole::Execute(const std::string& line)
{
    std::istringstream words(line);
    std::string command;
    if (!(words >> command) || command[0] == '#')
        return true;

    if (command == "quit")
        return false;
    if (command == "login")
    {
        std::string name, password;
        words >> name;
        std::getline(words >> std::ws, password);
        std::string text = "LOGIN " + name + (password.empty() ? "" : " " + password);
        return Write(std::vector<uint8_t>(text.begin(), text.end()));
    }
    if (command == "choose" || command == "cancel")
    {
        const std::string text = command == "choose" ? "CHOOSE" : "CANCEL";
        return Write(std::vector<uint8_t>(text.begin(), text.end()));
    }
    if (command == "wait")
    {
        int milliseconds = 0;
        words >> milliseconds;
        return Drain(milliseconds);
    }
    if (command == "raw")
    {
        std::vector<uint8_t> bytes;
        std::string hex;
        while (words >> hex)
            bytes.push_back(static_cast<uint8_t>(std::stoul(hex, nullptr, 16)));
        return bytes.empty() ? true : Write(bytes);
    }
    for (const Motion& motion : kMotions)
    {
        if (command != motion.name)
            continue;
        unsigned camera = 1, speed = 32;
        words >> camera >> speed;
        return Write(PelcoFrame::Move(static_cast<uint8_t>(camera), motion.command2, speed));
    }
    std::cout << Help();
    return true;
}

bool OperatorConsole::Drain(int milliseconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;)
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left < 0)
            return true;
        pollfd wait{socketFd, POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(left)) <= 0)
            continue;
        char buffer[1024];
        const ssize_t count = recv(socketFd, buffer, sizeof buffer, 0);
        if (count <= 0)
        {
            std::cout << label << "<< connection closed" << std::endl;
            return false;
        }
        for (std::string message : SplitMessages(std::string(buffer, static_cast<std::size_t>(count))))
        {
            for (std::size_t at = message.find('\t'); at != std::string::npos; at = message.find('\t', at))
                message.replace(at, 1, " | ");
            std::cout << label << "<< " << message << std::endl;
        }
    }
}
