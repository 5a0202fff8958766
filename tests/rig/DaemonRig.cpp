#include "DaemonRig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef ZOTOLVEX_BINARY
#error "ZOTOLVEX_BINARY must name the daemon executable"
#endif

namespace rig
{

namespace
{

/// Enters the private mount namespace's view: when the host has no running directory, an empty
/// tmpfs on /usr/local provides the mount point, so nothing on the host is created or changed.
const char* kMountScript =
    "set -e\n"
    "if [ ! -d /usr/local/marnu/zoTolvex ]; then\n"
    "  mount -t tmpfs -o mode=755 zotolvex-rig /usr/local\n"
    "  mkdir -p /usr/local/marnu/zoTolvex\n"
    "fi\n"
    "mount --bind \"$1\" /usr/local/marnu/zoTolvex\n";

int StatusOf(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return -1;
}

std::string StripPrefix(const std::string& line)
{
    if (line.compare(0, 2, "[ ") != 0)
        return line;
    const std::size_t end = line.find(" ] ");
    return end == std::string::npos ? line : line.substr(end + 3);
}

} // namespace

uint16_t FreePort(const std::string& address)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &endpoint.sin_addr);
    endpoint.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&endpoint), sizeof endpoint) != 0)
    {
        close(fd);
        throw std::runtime_error("cannot bind a free port on " + address);
    }
    socklen_t length = sizeof endpoint;
    getsockname(fd, reinterpret_cast<sockaddr*>(&endpoint), &length);
    close(fd);
    return ntohs(endpoint.sin_port);
}

bool WaitUntil(const std::function<bool()>& condition, Timeout timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;)
    {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

namespace
{

/// The first child of pid whose command is name (any child for an empty name); -1 for none.
pid_t ChildOf(pid_t pid, const std::string& name = "")
{
    const std::string task = std::to_string(pid) + "/task/" + std::to_string(pid);
    std::istringstream children(ReadFile("/proc/" + task + "/children"));
    for (pid_t child = 0; children >> child;)
        if (name.empty() || ReadFile("/proc/" + std::to_string(child) + "/comm") == name + "\n")
            return child;
    return -1;
}

} // namespace

Daemon::Daemon()
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    char pattern[] = "/tmp/zotolvex-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("cannot make a running directory");
    dir = std::string(pattern) + "/";
}

Daemon::~Daemon()
{
    if (initLauncher > 0)
    {
        kill(initLauncher, SIGKILL);
        waitpid(initLauncher, nullptr, 0);
    }
    // A test that never asked for the pid still must not leave its daemon behind.
    if (started && daemonPid == 0)
        Pid(Timeout(2000));
    if (daemonPid > 0 && kill(daemonPid, 0) == 0)
    {
        kill(daemonPid, SIGKILL);
        waitpid(daemonPid, nullptr, 0);
    }
    // Collect any other instance this test left behind.
    while (waitpid(-1, nullptr, WNOHANG) > 0)
    {
    }
    const std::string command = "rm -rf '" + dir + "'";
    if (std::system(command.c_str()) != 0)
    {
        // A directory left in /tmp is harmless.
    }
}

void Daemon::WriteConfig(const std::string& xml) const
{
    WriteFile("zoTolvex.xml", xml);
}

void Daemon::WriteFile(const std::string& name, const std::string& bytes) const
{
    std::ofstream out(dir + name, std::ios::binary | std::ios::trunc);
    out << bytes;
}

pid_t Daemon::Launch(bool underInit)
{
    // Everything the child needs is prepared before the fork: the test may have threads, so the
    // child does only async-signal-safe work until exec.
    std::string script = kMountScript;
    script += underInit ? "\"$2\"\n" : "exec \"$2\"\n";
    const std::string binary = ZOTOLVEX_BINARY;
    std::vector<std::string> arguments = {"unshare", "--mount", "--propagation", "private"};
    if (underInit)
        arguments.insert(arguments.end(), {"--pid", "--fork", "--kill-child"});
    arguments.insert(arguments.end(), {"sh", "-c", script, "sh", dir, binary});
    // The daemon keeps its registries for the life of the process by design; a sanitizer build
    // must not count them as leaks when it ends on a configuration error or an exception.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::strncmp(*entry, "ASAN_OPTIONS=", 13) != 0)
            environment.emplace_back(*entry);
    const char* asanOptions = std::getenv("ASAN_OPTIONS");
    environment.push_back(std::string("ASAN_OPTIONS=") + (asanOptions ? asanOptions : "") + ":detect_leaks=0");

    std::vector<char*> argv;
    for (std::string& each : arguments)
        argv.push_back(&each[0]);
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& each : environment)
        envp.push_back(&each[0]);
    envp.push_back(nullptr);

    const pid_t child = fork();
    if (child != 0)
        return child;
    // The daemon under init keeps the standard streams it is given, so it must not inherit the
    // test runner's pipes.
    const int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, 0);
    dup2(devNull, 1);
    dup2(devNull, 2);
    execvpe("unshare", argv.data(), envp.data());
    _exit(127);
}

int Daemon::Start()
{
    started = true;
    // A daemon started again after the last one ended: its pid is the one to wait for, not the
    // one the lock file still holds.
    if (daemonPid < 0)
    {
        daemonPid = 0;
        WriteFile("zoTolvex.lock", "");
    }
    const pid_t launcher = Launch(false);
    int status = 0;
    waitpid(launcher, &status, 0);
    return StatusOf(status);
}

void Daemon::StartUnderInit()
{
    initLauncher = Launch(true);
}

pid_t Daemon::Pid(Timeout timeout)
{
    if (daemonPid > 0)
        return daemonPid;
    // Once collected, the pid in the lock file is free for the system to hand to another process.
    if (daemonPid < 0)
        return -1;
    pid_t found = -1;
    WaitUntil(
        [&] {
            if (initLauncher > 0)
            {
                // The launcher runs unshare, whose child is the namespace's process 1, the daemon's parent.
                found = ChildOf(ChildOf(initLauncher), "zoTolvex");
                return found > 0;
            }
            const std::string text = ReadFile(dir + "zoTolvex.lock");
            if (text.empty() || text.back() != '\n')
                return false;
            found = static_cast<pid_t>(std::atoi(text.c_str()));
            return found > 0;
        },
        timeout);
    if (found > 0)
        daemonPid = found;
    return found;
}

std::string Daemon::Log() const
{
    return ReadFile(dir + "zoTolvex.log");
}

std::vector<std::string> Daemon::Lines() const
{
    std::vector<std::string> lines;
    std::istringstream text(Log());
    std::string line;
    while (std::getline(text, line))
        lines.push_back(StripPrefix(line));
    return lines;
}

int Daemon::CountLines(const std::string& text) const
{
    int count = 0;
    for (const std::string& line : Lines())
        count += (line == text);
    return count;
}

int Daemon::CountLog(const std::string& text) const
{
    const std::string log = Log();
    int count = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size()))
        ++count;
    return count;
}

bool Daemon::WaitForLine(const std::string& text, Timeout timeout) const
{
    return WaitUntil([&] { return CountLines(text) > 0; }, timeout);
}

bool Daemon::WaitForLog(const std::string& text, Timeout timeout) const
{
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeout);
}

void Daemon::Signal(int signalNumber)
{
    if (Pid() > 0)
        kill(daemonPid, signalNumber);
}

int Daemon::TryReap(pid_t pid)
{
    int status = 0;
    const pid_t reaped = waitpid(pid, &status, WNOHANG);
    return reaped == pid ? StatusOf(status) : -1;
}

int Daemon::WaitExit(Timeout timeout)
{
    if (Pid(timeout) <= 0)
        return -1;
    int result = -1;
    WaitUntil(
        [&] {
            result = TryReap(daemonPid);
            return result != -1;
        },
        timeout);
    if (result != -1)
        daemonPid = -daemonPid;
    return result;
}

int Daemon::WaitOtherExit(Timeout timeout)
{
    int result = -1;
    WaitUntil(
        [&] {
            int status = 0;
            const pid_t reaped = waitpid(-1, &status, WNOHANG);
            if (reaped <= 0)
                return false;
            if (reaped == daemonPid)
            {
                daemonPid = -daemonPid;
                return false;
            }
            result = StatusOf(status);
            return true;
        },
        timeout);
    return result;
}

bool Daemon::Running() const
{
    return daemonPid > 0 && kill(daemonPid, 0) == 0;
}

} // namespace rig
