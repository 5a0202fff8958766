#pragma once

// The recording server that the daemon logs into, played by zonvr-sim as a separate process on a
// loopback address and driven through `zonvr-sim ctl`, as an installer would drive it.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "DaemonRig.h"
#include "sim/SimWords.h"

#ifndef ZONVR_SIM_BINARY
#error "ZONVR_SIM_BINARY must name the zonvr-sim executable"
#endif

extern char** environ;

/// One zonvr-sim process with its own state file and ports.
class ZonvrSimProcess
{
public:
    /// Writes state (state-file lines) and starts the simulator on address, at port (0: a free one)
    /// and a free control port. Running() tells whether it came up.
    explicit ZonvrSimProcess(const std::string& state, const std::string& address = "127.0.0.1",
                             uint16_t port = 0)
        : address(address)
    {
        char pattern[] = "/tmp/zonvr-sim-state-XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd >= 0)
            close(fd);
        statePath = pattern;
        std::ofstream(statePath, std::ios::trunc) << state;
        Launch(port, 0);
    }
    ZonvrSimProcess(const ZonvrSimProcess&) = delete;
    ZonvrSimProcess& operator=(const ZonvrSimProcess&) = delete;
    ~ZonvrSimProcess()
    {
        Kill();
        std::remove(statePath.c_str());
    }

    /// True while the simulator runs.
    bool Running() const { return pid > 0; }
    /// The address it listens on.
    const std::string& Address() const { return address; }
    /// The port the daemon logs into.
    uint16_t Port() const { return port; }

    /// Ends the simulator at once, as a server that crashes: its clients see the connection end.
    void Kill()
    {
        if (pid > 0)
        {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
        if (out >= 0)
            close(out);
        out = -1;
    }

    /// Stops or resumes the process (SIGSTOP / SIGCONT), as a server that hangs in its kernel:
    /// its sockets stay open and connections still queue, but nothing is read or answered.
    /// `Ctl` must not be used while it is frozen.
    void Freeze(bool frozen) const
    {
        if (pid > 0)
            kill(pid, frozen ? SIGSTOP : SIGCONT);
    }

    /// Starts a fresh simulator from the same state file on the same ports; true once it listens.
    bool Restart()
    {
        Kill();
        return Launch(port, controlPort);
    }

    /// Runs `zonvr-sim ctl` with words; true when the simulator answered OK. The lines it printed
    /// go to printed when given.
    bool Ctl(const std::vector<std::string>& words, std::vector<std::string>* printed = nullptr) const
    {
        std::vector<std::string> arguments = {ZONVR_SIM_BINARY, "ctl", "--address", address, "--control-port",
                                              std::to_string(controlPort)};
        arguments.insert(arguments.end(), words.begin(), words.end());
        int pipeOut = -1;
        const pid_t child = Spawn(arguments, pipeOut);
        if (child < 0)
            return false;
        const std::string text = ReadFrom(pipeOut, std::chrono::seconds(10), false);
        close(pipeOut);
        int status = 0;
        waitpid(child, &status, 0);
        if (printed != nullptr)
        {
            printed->clear();
            std::size_t start = 0;
            for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start))
            {
                printed->push_back(text.substr(start, end - start));
                start = end + 1;
            }
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    /// The lines of `list kind` (cameras, triggers, associations, links, clients).
    std::vector<std::string> List(const std::string& kind) const
    {
        std::vector<std::string> lines;
        Ctl({"list", kind}, &lines);
        return lines;
    }

    /// Every request the simulator has received, oldest first.
    std::vector<std::string> Calls() const
    {
        std::vector<std::string> lines;
        Ctl({"calls"}, &lines);
        return lines;
    }

    /// Number of received requests whose record starts with prefix.
    int CountCalls(const std::string& prefix) const
    {
        int count = 0;
        for (const std::string& call : Calls())
            count += call.compare(0, prefix.size(), prefix) == 0;
        return count;
    }

    /// Waits until at least count received requests start with prefix.
    bool WaitForCalls(const std::string& prefix, int count = 1, rig::Timeout timeout = rig::Timeout(10000)) const
    {
        return Poll([&] { return CountCalls(prefix) >= count; }, timeout);
    }

    /// Number of client connections the simulator has open.
    int Clients() const
    {
        const std::vector<std::string> lines = List("clients");
        return lines.size() == 1 ? std::atoi(lines[0].c_str() + std::string("clients ").size()) : -1;
    }

    /// Waits until the simulator has exactly count client connections.
    bool WaitForClients(int count, rig::Timeout timeout = rig::Timeout(10000)) const
    {
        return Poll([&] { return Clients() == count; }, timeout);
    }

    /// Ids of the server's soft triggers whose GUID is guid, ascending.
    std::vector<uint32_t> TriggerIds(const std::string& guid) const
    {
        std::vector<uint32_t> ids;
        for (const std::string& line : List("triggers"))
        {
            std::vector<std::string> words;
            std::string error;
            if (zonvrsim::SimWords::Split(line, words, error) && words.size() == 4 && words[3] == guid)
                ids.push_back(static_cast<uint32_t>(std::stoul(words[1])));
        }
        return ids;
    }

    /// The id of the one soft trigger with GUID guid; 0 when there is none or more than one.
    uint32_t TriggerId(const std::string& guid) const
    {
        const std::vector<uint32_t> ids = TriggerIds(guid);
        return ids.size() == 1 ? ids[0] : 0;
    }

    /// Runs a control command that changes the server, then waits until the provisioning pass
    /// that the change causes has listed the event links. Events the server sent before the
    /// change have been handled by the daemon's link by then, since it takes them in order.
    /// Call it only while no pass is running.
    bool Change(const std::vector<std::string>& words) const
    {
        const int before = CountCalls("ListEventLinks");
        return Ctl(words) && WaitForCalls("ListEventLinks", before + 1);
    }

    /// Change with a camera that no track camera matches: a pass that should find nothing to do.
    bool RunPass() const { return Change({"camera", "add", "999", "Spare", "rtsp://10.255.255.1/"}); }

private:
    /// Starts the process with stdout on a pipe and reads its ports from the "listening on" line.
    bool Launch(uint16_t wantedPort, uint16_t wantedControlPort)
    {
        pid = Spawn({ZONVR_SIM_BINARY, "--address", address, "--port", std::to_string(wantedPort), "--control-port",
                     std::to_string(wantedControlPort), "--state", statePath},
                    out);
        if (pid < 0)
            return false;
        const std::string banner = ReadFrom(out, std::chrono::seconds(10), true);
        unsigned listening = 0;
        unsigned control = 0;
        const std::string format = "zonvr-sim listening on " + address + " port %u control port %u";
        if (std::sscanf(banner.c_str(), format.c_str(), &listening, &control) != 2)
        {
            Kill();
            return false;
        }
        port = static_cast<uint16_t>(listening);
        controlPort = static_cast<uint16_t>(control);
        return true;
    }

    /// Runs arguments with stdout to a pipe whose read end goes to readEnd; the child's pid or -1.
    static pid_t Spawn(const std::vector<std::string>& arguments, int& readEnd)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return -1;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        // The simulator must not hold the caller's sockets: an operator connection the caller
        // closes would stay open in a simulator started after it.
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        std::vector<char*> argv;
        for (const std::string& each : arguments)
            argv.push_back(const_cast<char*>(each.c_str()));
        argv.push_back(nullptr);
        pid_t child = -1;
        if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            child = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        readEnd = fds[0];
        return child;
    }

    /// What the child writes until it closes its stdout (or its first line) or limit passes.
    static std::string ReadFrom(int fd, std::chrono::seconds limit, bool firstLineOnly)
    {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline)
        {
            pollfd entry{fd, POLLIN, 0};
            if (poll(&entry, 1, 50) <= 0)
                continue;
            char chunk[4096];
            const ssize_t got = read(fd, chunk, sizeof chunk);
            if (got <= 0)
                break;
            text.append(chunk, static_cast<std::size_t>(got));
            if (firstLineOnly && text.find('\n') != std::string::npos)
                break;
        }
        return text;
    }

    /// Like rig::WaitUntil, at a pace that suits a condition costing a process start.
    static bool Poll(const std::function<bool()>& condition, rig::Timeout timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!condition())
        {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    /// The loopback address the simulator listens on.
    std::string address;
    /// The state file it loads at every start.
    std::string statePath;
    /// The simulator's pid; -1 when it does not run.
    pid_t pid = -1;
    /// Read end of its stdout, kept open so that it never writes into a closed pipe.
    int out = -1;
    /// The port the daemon logs into.
    uint16_t port = 0;
    /// The port `ctl` talks to.
    uint16_t controlPort = 0;
};
