#include "service/Daemonize.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "base/LogStream.h"
#include "base/RunningDir.h"

namespace
{

/// The two signals that end the service.
sigset_t StopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGTERM);
    return signals;
}

/// Body of the signal thread: waits for SIGHUP or SIGTERM and hands it to SignalHandler.
void WaitForStopSignal()
{
    const sigset_t signals = StopSignals();
    for (;;)
    {
        int signalNumber = 0;
        if (sigwait(&signals, &signalNumber) == 0)
            SignalHandler(signalNumber);
    }
}

} // namespace

void SignalHandler(int signalNumber)
{
    if (signalNumber == SIGHUP)
        gLog.BeginLine() << "Hangup signal caught.  Exiting.";
    else if (signalNumber == SIGTERM)
        gLog.BeginLine() << "Terminate signal caught.  Exiting.";
    else
        return;
    // Every log line is flushed when it ends. The recording-server threads may be waiting inside
    // the client library, so the process ends at once instead of stopping them one by one.
    std::fflush(nullptr);
    _exit(0);
}

void Daemonize()
{
    if (getppid() == 1)
        return;

    const pid_t child = fork();
    if (child < 0)
        std::exit(1);
    if (child > 0)
        std::exit(0);

    setsid();

    for (int descriptor = getdtablesize(); descriptor >= 0; --descriptor)
        close(descriptor);
    const int devNull = open("/dev/null", O_RDWR);
    if (dup(devNull) < 0 || dup(devNull) < 0)
    {
        // Nothing can report this: standard error is what failed.
    }

    umask(027);
    if (chdir(RunningDir.c_str()) != 0)
    {
        // Every path the service uses is absolute; the lock file below then fails on its own if
        // the directory is really missing.
    }

    const int lockFile = open("zoTolvex.lock", O_RDWR | O_CREAT, 0640);
    if (lockFile < 0)
        std::exit(1);
    if (lockf(lockFile, F_TLOCK, 0) < 0)
        std::exit(0);
    char pidText[32];
    const int length = std::snprintf(pidText, sizeof pidText, "%d\n", static_cast<int>(getpid()));
    // Truncated after writing, so a shorter pid never leaves the tail of an older one behind.
    if (pwrite(lockFile, pidText, length, 0) != length || ftruncate(lockFile, length) != 0)
    {
        // The lock itself is what keeps a second instance out; a short write only costs the pid text.
    }

    std::signal(SIGCHLD, SIG_IGN);
    std::signal(SIGTSTP, SIG_IGN);
    std::signal(SIGTTOU, SIG_IGN);
    std::signal(SIGTTIN, SIG_IGN);

    // Blocked before any other thread exists, so every later thread inherits the mask and only
    // the signal thread ever receives them.
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread(WaitForStopSignal).detach();
}
