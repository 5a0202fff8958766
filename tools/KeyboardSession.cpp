#include "KeyboardSession.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "OperatorConsole.h"
#include "PelcoFrame.h"
#include "RawTerminal.h"

namespace
{

/// The pan and tilt speeds [ and ] step through; finer at the slow end, where a zoomed-in camera
/// needs it.
const unsigned kSpeeds[] = {1, 4, 8, 16, 24, 32, 40, 48, 56, 63};
/// The step a session starts at: speed 32, as the line mode's default.
constexpr std::size_t kFirstSpeedStep = 5;
/// The gap between two messages, as in the line mode, so the daemon reads each on its own.
constexpr std::chrono::milliseconds kSendGap(50);
/// How long the start of an escape sequence waits for its rest before it counts as the Escape key.
constexpr int kEscapeWaitMs = 50;
/// Messages that may wait; key repeat cannot reach it, since frames replace each other.
constexpr std::size_t kMostWaiting = 32;

const char* const kBlue = "\033[34m";
const char* const kRed = "\033[31m";
const char* const kPlain = "\033[0m";

/// The write end of the pipe that wakes Run for a signal; the handler does nothing else.
int signalPipe = -1;

void HandleSignal(int number)
{
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t ignored = write(signalPipe, &byte, 1);
}

bool IsFrame(const std::vector<uint8_t>& message)
{
    return message.size() == 7 && message[0] == 0xFF;
}

std::vector<uint8_t> Bytes(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

const char* MotionName(uint8_t motion)
{
    switch (motion)
    {
    case PelcoFrame::kRight: return "right";
    case PelcoFrame::kLeft: return "left";
    case PelcoFrame::kUp: return "up";
    case PelcoFrame::kDown: return "down";
    case PelcoFrame::kZoomIn: return "zoom in";
    case PelcoFrame::kZoomOut: return "zoom out";
    default: return "stopped";
    }
}

} // namespace

KeyboardSession::KeyboardSession(const std::string& host, uint16_t port, const std::string& login,
                                 const std::string& password)
    : socketFd(OperatorConsole::Connect(host, port)), speedStep(kFirstSpeedStep)
{
    const char* term = std::getenv("TERM");
    fancy = isatty(STDOUT_FILENO) && term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
    if (!login.empty())
        Queue(Bytes("LOGIN " + login + " " + password));
}

KeyboardSession::~KeyboardSession()
{
    close(socketFd);
}

int KeyboardSession::Run()
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("cannot open a pipe: ") + std::strerror(errno));
    signalPipe = pipeFds[1];
    struct sigaction action{};
    action.sa_handler = HandleSignal;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(number, &action, nullptr);

    int status = 0;
    {
        RawTerminal terminal(STDIN_FILENO);
        std::cout << "keys: arrows move, [ ] speed, + - zoom, space stop, digits Enter camera, c choose, "
                     "x cancel, q quit"
                  << std::endl;
        ShowStatus();
        bool running = true;
        auto lastKeyBytes = std::chrono::steady_clock::now();
        while (running && !quit)
        {
            // The start of an escape sequence waits for its rest a little, then counts as Escape.
            int timeout = SendDelay();
            if (decoder.Pending())
            {
                const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - lastKeyBytes)
                                        .count();
                if (waited >= kEscapeWaitMs)
                {
                    for (const KeyEvent& key : decoder.Flush())
                        HandleKey(key);
                }
                else if (timeout < 0 || timeout > kEscapeWaitMs - waited)
                    timeout = static_cast<int>(kEscapeWaitMs - waited);
            }
            pollfd waits[] = {{STDIN_FILENO, POLLIN, 0}, {socketFd, POLLIN, 0}, {pipeFds[0], POLLIN, 0}};
            if (poll(waits, 3, timeout) < 0 && errno != EINTR)
                throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
            char buffer[1024];
            if (waits[2].revents & POLLIN)
            {
                char number = 0;
                if (read(pipeFds[0], &number, 1) == 1)
                {
                    status = 128 + number;
                    running = false;
                }
            }
            if (running && (waits[1].revents & (POLLIN | POLLHUP | POLLERR)))
            {
                const ssize_t count = recv(socketFd, buffer, sizeof buffer, 0);
                if (count <= 0)
                {
                    terminal.Restore();
                    std::cout << (fancy ? "\r\n" : "") << "connection closed" << std::endl;
                    status = 1;
                    running = false;
                }
                else
                    HandleMessages(std::string(buffer, static_cast<std::size_t>(count)));
            }
            if (running && (waits[0].revents & (POLLIN | POLLHUP | POLLERR)))
            {
                const ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
                lastKeyBytes = std::chrono::steady_clock::now();
                if (count <= 0)
                    quit = true;
                else
                    for (const KeyEvent& key : decoder.Feed(buffer, static_cast<std::size_t>(count)))
                        if (!quit)
                            HandleKey(key);
            }
            if (running && SendDelay() == 0 && !SendNext())
                running = false, status = 1;
            if (running)
                ShowStatus();
        }
        // A stop typed just before q is still on its way: it goes out before the session ends.
        while (status == 0 && !outgoing.empty())
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(SendDelay()));
            if (!SendNext())
                break;
        }
        if (fancy)
            std::cout << "\r\n" << std::flush;
    }
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    signalPipe = -1;
    close(pipeFds[0]);
    close(pipeFds[1]);
    return status;
}

void KeyboardSession::HandleKey(const KeyEvent& key)
{
    note.clear();
    if (key.kind == KeyEvent::Character && key.character >= '0' && key.character <= '9')
    {
        if (entry.size() < 3)
            entry.push_back(key.character);
        return;
    }
    switch (key.kind)
    {
    case KeyEvent::Enter:
        if (entry.empty())
            return;
        if (std::stoul(entry) > 255)
            note = "no Pelco address " + entry;
        else if (std::stoul(entry) != address)
        {
            // The move in progress belongs to the old camera; the new one has not been told anything.
            address = static_cast<uint8_t>(std::stoul(entry));
            motion = 0;
        }
        entry.clear();
        return;
    case KeyEvent::Backspace:
        if (!entry.empty())
            entry.pop_back();
        return;
    case KeyEvent::Escape: entry.clear(); return;
    case KeyEvent::Up: StartMove(PelcoFrame::kUp); return;
    case KeyEvent::Down: StartMove(PelcoFrame::kDown); return;
    case KeyEvent::Right: StartMove(PelcoFrame::kRight); return;
    case KeyEvent::Left: StartMove(PelcoFrame::kLeft); return;
    case KeyEvent::Character: break;
    }
    switch (key.character)
    {
    case '+': StartMove(PelcoFrame::kZoomIn); break;
    case '-': StartMove(PelcoFrame::kZoomOut); break;
    case ' ':
        motion = 0;
        Queue(PelcoFrame::Stop(address));
        break;
    case '[':
    case ']':
        if (key.character == '[' && speedStep > 0)
            --speedStep;
        if (key.character == ']' && speedStep + 1 < std::size(kSpeeds))
            ++speedStep;
        // A pan or tilt in progress takes the new speed at once; zoom has no speed.
        if (motion & (PelcoFrame::kLeft | PelcoFrame::kRight | PelcoFrame::kUp | PelcoFrame::kDown))
            StartMove(motion);
        break;
    case 'c': Queue(Bytes("CHOOSE")); break;
    case 'x': Queue(Bytes("CANCEL")); break;
    case 'q':
    case '\x03': // Ctrl-C
    case '\x04': // Ctrl-D
        quit = true;
        break;
    default: break;
    }
}

void KeyboardSession::StartMove(uint8_t newMotion)
{
    motion = newMotion;
    Queue(PelcoFrame::Move(address, motion, kSpeeds[speedStep]));
}

void KeyboardSession::HandleMessages(const std::string& text)
{
    for (std::string message : OperatorConsole::SplitMessages(text))
    {
        if (message.compare(0, 8, "#0000F0 ") == 0 || message.compare(0, 8, "#F00000 ") == 0)
        {
            ownControl = message[1] == '0' && message.size() > 8;
            controlText = message.substr(8);
            continue;
        }
        if (message.compare(1, 6, "CAMERA") == 0 && (message[0] == '0' || message[0] == '1'))
        {
            // 0CAMERA: a camera chosen on the recording server, which the keys now steer.
            const std::size_t tab = message.find('\t', 8);
            if (message[0] == '0' && tab != std::string::npos)
            {
                const unsigned long number = std::strtoul(message.c_str() + tab + 1, nullptr, 10);
                if (number <= 255 && number != address)
                {
                    address = static_cast<uint8_t>(number);
                    motion = 0;
                }
            }
            for (std::size_t at = message.find('\t'); at != std::string::npos; at = message.find('\t', at))
                message.replace(at, 1, " | ");
            cameraText = message;
            continue;
        }
        sessionText = message == "OK" ? "logged in" : message == "FAILURE" ? "log-in refused" : message;
    }
}

void KeyboardSession::Queue(const std::vector<uint8_t>& message)
{
    if (IsFrame(message) && !outgoing.empty() && IsFrame(outgoing.back()) && outgoing.back()[1] == message[1])
    {
        outgoing.back() = message;
        return;
    }
    if (outgoing.size() >= kMostWaiting)
    {
        note = "too many keys at once; dropped one";
        return;
    }
    outgoing.push_back(message);
}

int KeyboardSession::SendDelay() const
{
    if (outgoing.empty())
        return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        lastSent + kSendGap - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool KeyboardSession::SendNext()
{
    const std::vector<uint8_t> message = outgoing.front();
    outgoing.pop_front();
    lastSent = std::chrono::steady_clock::now();
    return send(socketFd, message.data(), message.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(message.size());
}

void KeyboardSession::ShowStatus()
{
    std::string line = "camera " + std::to_string(address);
    if (!entry.empty())
        line += " -> " + entry + "_";
    line += "  speed " + std::to_string(kSpeeds[speedStep]) + "  " + MotionName(motion);
    if (!cameraText.empty())
        line += "  | " + cameraText;
    std::string control = controlText.empty() ? "no one has control" : controlText;
    if (fancy && !controlText.empty())
        control = (ownControl ? kBlue : kRed) + control + kPlain;
    line += "  | " + control;
    if (!sessionText.empty())
        line += "  | " + sessionText;
    if (!note.empty())
        line += "  | " + note;
    if (line == shown)
        return;
    shown = line;
    // A terminal redraws one line in place; a log or a dumb terminal gets a line per change.
    if (fancy)
        std::cout << "\r\033[K" << line << std::flush;
    else
        std::cout << line << std::endl;
}
