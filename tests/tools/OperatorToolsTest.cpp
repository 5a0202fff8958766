// The tools as built: zotolvex-operator's keyboard mode, with this test as both the terminal (a
// pseudo-terminal) and the daemon (a loopback listener), and the command lines of the tools.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLimit = std::chrono::seconds(20);  // generous: the 32-bit build may run under qemu

// Runs args (through this build's emulator, if any) with fds[i] as descriptor i; returns the pid.
pid_t Spawn(std::vector<std::string> args, const int (&fds)[3])
{
    std::istringstream emulator(TOOLS_EMULATOR);
    std::vector<std::string> command;
    for (std::string word; emulator >> word;)
        command.push_back(word);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : command)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int i = 0; i < 3; ++i)
        posix_spawn_file_actions_adddup2(&actions, fds[i], i);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Waits for the child; its exit status, 128 + n for signal n, -1 past the limit.
int Wait(pid_t pid)
{
    for (auto until = Clock::now() + kLimit; Clock::now() < until; ::usleep(5000)) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

// Appends what is ready on fd to text until done(text) or the limit; false at the limit or EOF.
template <typename Done>
bool ReadUntil(int fd, std::string& text, Done done)
{
    for (auto until = Clock::now() + kLimit; !done(text);) {
        pollfd p{fd, POLLIN, 0};
        if (Clock::now() > until)
            return false;
        if (::poll(&p, 1, 20) <= 0)
            continue;
        char chunk[512];
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        text.append(chunk, n);
    }
    return true;
}

std::string Hex(const std::string& bytes)
{
    std::string text;
    char two[4];
    for (unsigned char b : bytes) {
        std::snprintf(two, sizeof two, "%02X ", b);
        text += two;
    }
    return text;
}

// A listener on 127.0.0.1, port 0; its port.
int Listen(unsigned short& port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    ::listen(fd, 1);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
    port = ntohs(at.sin_port);
    return fd;
}

int Accept(int listener)
{
    pollfd p{listener, POLLIN, 0};
    return ::poll(&p, 1, 20000) == 1 ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

// How a keyboard session is ended, and the exit status that follows.
enum class End { QuitKey, CtrlD, Terminate, DaemonGone };

}  // namespace

TEST(ComponentOperatorKeys, KeysSendFramesAndEveryWayOutRestoresTheTerminal)
{
    ::setenv("TERM", "xterm", 1);
    struct Case {
        const char* keys;
        std::string frames;     // what the daemon receives
        std::string daemonSays; // sent before the keys
        const char* shown;      // expected on the terminal after the keys
        End end;
        const char* more = "";  // keys typed once shown is on the terminal
    } cases[] = {
        {"\x1b[C", {"\xFF\x01\x00\x02\x20\x00\x23", 7}, "", "speed 32", End::QuitKey},
        {"\x1b[D", {"\xFF\x01\x00\x04\x20\x00\x25", 7}, "", "", End::CtrlD},
        {"\x1b[A", {"\xFF\x01\x00\x08\x00\x20\x29", 7}, "", "", End::Terminate},
        {"\x1bOB", {"\xFF\x01\x00\x10\x00\x20\x31", 7}, "", "", End::DaemonGone},
        {"]\x1b[C", {"\xFF\x01\x00\x02\x28\x00\x2B", 7}, "", "speed 40", End::QuitKey},
        {"[[\x1b[D", {"\xFF\x01\x00\x04\x10\x00\x15", 7}, "", "speed 16", End::QuitKey},
        {"+", {"\xFF\x01\x00\x20\x00\x00\x21", 7}, "", "", End::QuitKey},
        {"-", {"\xFF\x01\x00\x40\x00\x00\x41", 7}, "", "", End::QuitKey},
        {" ", {"\xFF\x01\x00\x00\x00\x00\x01", 7}, "", "", End::QuitKey},
        // A new address sends nothing until a key moves the camera; Backspace edits the digits.
        {"129\x7f\r", {"\xFF\x0C\x00\x02\x20\x00\x2E", 7}, "", "camera 12 ", End::QuitKey, "\x1b[C"},
        {"c", "CHOOSE", "", "", End::QuitKey},
        {"x", "CANCEL", "", "", End::QuitKey},
        // A camera chosen on the recording server is the one the keys steer; the holder is in red.
        {"\x1b[B", {"\xFF\x02\x00\x10\x00\x20\x32", 7}, "0CAMERA\t127.0.0.6\t2\tGate#F00000 bob has control",
         "\x1b[31mbob has control\x1b[0m", End::QuitKey},
        {"", "", "1CAMERA\t127.0.0.5\t1#0000F0 You have control", "\x1b[34mYou have control", End::QuitKey},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Hex(c.keys) + "/ " + c.daemonSays);
        unsigned short port = 0;
        int listener = Listen(port);
        int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(::grantpt(master), 0);
        ASSERT_EQ(::unlockpt(master), 0);
        int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(slave, 0);
        termios cooked{};
        ASSERT_EQ(::tcgetattr(slave, &cooked), 0);
        pid_t pid = Spawn({ZOTOLVEX_OPERATOR_PATH, "--keys", "--port", std::to_string(port)}, {slave, slave, slave});
        ASSERT_GT(pid, 0);
        int daemon = Accept(listener);
        ASSERT_GE(daemon, 0);
        std::string greeting = "SESSION 4242" + c.daemonSays;
        ::send(daemon, greeting.data(), greeting.size(), MSG_NOSIGNAL);

        // Keys typed before raw mode would be echoed, or thrown away by the switch.
        std::string screen;
        ASSERT_TRUE(ReadUntil(master, screen, [&](const std::string& s) {
            termios now{};
            return ::tcgetattr(slave, &now) == 0 && !(now.c_lflag & ICANON) && s.find("SESSION 4242") != std::string::npos;
        })) << screen;
        ASSERT_EQ(::write(master, c.keys, std::strlen(c.keys)), static_cast<ssize_t>(std::strlen(c.keys)));
        EXPECT_TRUE(ReadUntil(master, screen, [&](const std::string& s) { return s.find(c.shown) != std::string::npos; }))
            << screen;
        ASSERT_EQ(::write(master, c.more, std::strlen(c.more)), static_cast<ssize_t>(std::strlen(c.more)));
        std::string received;
        EXPECT_TRUE(ReadUntil(daemon, received, [&](const std::string& r) { return r.size() >= c.frames.size(); }));
        EXPECT_EQ(Hex(received), Hex(c.frames));

        int expected = 0;
        if (c.end == End::QuitKey || c.end == End::CtrlD)
            ::write(master, c.end == End::QuitKey ? "q" : "\x04", 1);
        if (c.end == End::Terminate)
            ::kill(pid, SIGTERM), expected = 128 + SIGTERM;
        if (c.end == End::DaemonGone)
            ::close(daemon), daemon = -1, expected = 1;
        EXPECT_EQ(Wait(pid), expected);
        termios after{};
        ASSERT_EQ(::tcgetattr(slave, &after), 0);
        EXPECT_EQ(after.c_lflag, cooked.c_lflag);
        EXPECT_EQ(after.c_iflag, cooked.c_iflag);
        if (daemon >= 0) {  // and nothing more was sent
            std::string rest;
            ReadUntil(daemon, rest, [](const std::string&) { return false; });
            EXPECT_EQ(Hex(rest), "");
            ::close(daemon);
        }
        ::close(slave);
        ::close(master);
        ::close(listener);
    }
}

TEST(ComponentToolCommandLines, BadOptionsAndValuesExitWithStatusTwo)
{
    struct Case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{ZOTOLVEX_OPERATOR_PATH, "--port", "abc"}, 2},
        {{ZOTOLVEX_OPERATOR_PATH, "--port", "0"}, 2},
        {{ZOTOLVEX_OPERATOR_PATH, "--port", "65536"}, 2},
        {{ZOTOLVEX_OPERATOR_PATH, "--port", "-1"}, 2},
        {{ZOTOLVEX_OPERATOR_PATH, "--port", "80x"}, 2},
        {{ZOTOLVEX_OPERATOR_PATH, "--keys", "--colour"}, 2},
        {{ZOTOLVEX_OPERATOR_PATH, "--host"}, 2},
        {{ZOTOLVEX_OPERATOR_PATH, "--help"}, 0},
        {{ZONVR_SIM_PATH, "--control-port", "70000"}, 2},
        {{ZONVR_SIM_PATH, "--state"}, 2},
        {{ZONVR_SIM_PATH, "list"}, 2},
        {{ZONVR_SIM_PATH, "--help"}, 0},
        {{ZONVR_SIM_PATH, "ctl"}, 2},
        {{ZONVR_SIM_PATH, "ctl", "--control-port", "0", "list", "cameras"}, 2},
        {{ZONVR_SIM_PATH, "ctl", "--port", "1", "list", "cameras"}, 2},
        {{ZONVR_SIM_PATH, "ctl", "--help"}, 0},
        {{ZOCAM_SIM_PATH}, 2},
        {{ZOCAM_SIM_PATH, "--verbose", "dome=tcp:127.0.0.5:4001"}, 2},
        {{ZOCAM_SIM_PATH, "dome=tcp:127.0.0.5:port"}, 2},
        {{ZOCAM_SIM_PATH, "dome=udp:127.0.0.5:4001"}, 2},
        {{ZOCAM_SIM_PATH, "--help"}, 0},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args)
            line += a.substr(a.rfind('/') + 1) + " ";
        SCOPED_TRACE(line);
        int out[2], err[2];
        ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
        ASSERT_EQ(::pipe2(err, O_CLOEXEC), 0);
        int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        pid_t pid = Spawn(c.args, {null, out[1], err[1]});
        ASSERT_GT(pid, 0);
        ::close(null), ::close(out[1]), ::close(err[1]);
        std::string printed, complaint;
        ReadUntil(out[0], printed, [](const std::string&) { return false; });
        ReadUntil(err[0], complaint, [](const std::string&) { return false; });
        EXPECT_EQ(Wait(pid), c.status);
        // An error says why on stderr; help goes to stdout and starts with the usage.
        EXPECT_EQ(complaint.empty(), c.status == 0) << complaint;
        EXPECT_EQ(printed.compare(0, 7, "usage: ") == 0, c.status == 0) << printed;
        ::close(out[0]), ::close(err[0]);
    }
}

TEST(ComponentToolCommandLines, CtlPassesItsCommandWordsOnAsTyped)
{
    unsigned short port = 0;
    int listener = Listen(port);
    int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    pid_t pid = Spawn({ZONVR_SIM_PATH, "ctl", "--address", "127.0.0.1", "--control-port", std::to_string(port), "camera",
                       "rename", "9", "-x",
                       "--address", "Back door"},
                      {null, null, null});
    ASSERT_GT(pid, 0);
    int simulator = Accept(listener);
    ASSERT_GE(simulator, 0);
    std::string line;
    EXPECT_TRUE(ReadUntil(simulator, line, [](const std::string& l) { return l.find('\n') != std::string::npos; }));
    EXPECT_EQ(line, "camera rename 9 -x --address \"Back door\"\n");
    ::send(simulator, "OK\n", 3, MSG_NOSIGNAL);
    EXPECT_EQ(Wait(pid), 0);
    ::close(simulator), ::close(listener), ::close(null);
}
