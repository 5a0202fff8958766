#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

/// Helpers for the system tests: they run the real, unchanged daemon in a private mount
/// namespace with a private directory mounted on its running directory, and play its peers.
namespace rig
{

using Timeout = std::chrono::milliseconds;

/// A TCP port on address that nothing listens on at the moment of the call.
uint16_t FreePort(const std::string& address = "127.0.0.1");

/// Polls condition every few milliseconds until it holds or timeout passes; returns its last value.
bool WaitUntil(const std::function<bool()>& condition, Timeout timeout = Timeout(10000));

/// Text of a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

/// One daemon instance with its own running directory.
class Daemon
{
public:
    /// Makes the private running directory; the test process becomes a child subreaper so that
    /// it can collect the detached daemon's exit status.
    Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;
    /// Kills a daemon still running and removes the directory.
    ~Daemon();

    /// The private running directory, with a trailing slash.
    const std::string& Dir() const { return dir; }
    /// Writes the configuration file.
    void WriteConfig(const std::string& xml) const;
    /// Writes any file in the running directory.
    void WriteFile(const std::string& name, const std::string& bytes) const;

    /// Starts the daemon and returns the launcher's exit status (0 after a successful fork).
    int Start();
    /// Starts the daemon with process 1 as its parent (a new PID namespace); returns at once.
    void StartUnderInit();
    /// Waits for the lock file to hold a pid and returns it (under init, which takes no lock, for
    /// the daemon's process below the launcher); -1 on timeout or once the daemon has been
    /// collected (its pid may then name another process).
    pid_t Pid(Timeout timeout = Timeout(10000));

    /// Waits for a log line whose text after the "[ time ] " prefix is exactly text.
    bool WaitForLine(const std::string& text, Timeout timeout = Timeout(10000)) const;
    /// Waits for text anywhere in the log.
    bool WaitForLog(const std::string& text, Timeout timeout = Timeout(10000)) const;
    /// Number of log lines whose text is exactly text.
    int CountLines(const std::string& text) const;
    /// Number of times text occurs in the log.
    int CountLog(const std::string& text) const;
    /// The whole log file.
    std::string Log() const;
    /// The texts of the log lines, without their prefixes.
    std::vector<std::string> Lines() const;

    /// Sends a signal to the daemon.
    void Signal(int signalNumber);
    /// Waits for the daemon to end and returns its exit status, 128 + n when signal n ended it,
    /// or -1 on timeout.
    int WaitExit(Timeout timeout = Timeout(10000));
    /// Waits for any other collected process (a second instance) to end; its status as WaitExit.
    int WaitOtherExit(Timeout timeout = Timeout(10000));
    /// True while the daemon process exists.
    bool Running() const;

private:
    /// Forks the launcher that enters the namespaces and runs the binary.
    pid_t Launch(bool underInit);
    /// Reaps pid without waiting; -1 while it still runs.
    int TryReap(pid_t pid);

    /// Private running directory, with a trailing slash.
    std::string dir;
    /// The daemon's pid once known; 0 before; negated once it has been collected.
    pid_t daemonPid = 0;
    /// True once Start has launched a daemon.
    bool started = false;
    /// The launcher of StartUnderInit (the PID namespace's parent), 0 otherwise.
    pid_t initLauncher = 0;
};

} // namespace rig
