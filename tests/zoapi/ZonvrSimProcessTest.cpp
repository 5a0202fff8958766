// The library against zonvr-sim running as a separate process, driven by `zonvr-sim ctl`.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TestClient.h"
#include "nvr/zoapi.h"

extern char** environ;

namespace {

// The command that runs this build's programs, words separated by blanks: empty when the host runs
// them itself, qemu-i386 for the 32-bit build on a kernel without 32-bit support. Inside the
// emulator an exec goes to the host kernel, so the simulator has to be started through it too.
std::vector<std::string> EmulatorWords()
{
    std::vector<std::string> words;
    std::istringstream text(ZONVR_SIM_EMULATOR);
    for (std::string word; text >> word;)
        words.push_back(word);
    return words;
}

// Runs `args` (through the emulator, if any) with stdout to a pipe; returns the child's pid and
// the pipe's read end.
pid_t Spawn(const std::vector<std::string>& args, int& out)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    std::vector<std::string> command = EmulatorWords();
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (const auto& a : command)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    out = pipeFds[0];
    return pid;
}

// Reads everything the child writes until it closes its stdout or the limit passes.
std::string ReadAll(int fd, std::chrono::seconds limit, bool firstLineOnly = false)
{
    std::string text;
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        char chunk[4096];
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        text.append(chunk, n);
        if (firstLineOnly && text.find('\n') != std::string::npos)
            break;
    }
    return text;
}

// Runs `zonvr-sim ctl` with the given words; its exit status and what it printed.
int Ctl(unsigned short controlPort, std::vector<std::string> words, std::string& printed)
{
    std::vector<std::string> args = {ZONVR_SIM_PATH, "ctl", "--control-port", std::to_string(controlPort)};
    args.insert(args.end(), words.begin(), words.end());
    int out = -1;
    pid_t pid = Spawn(args, out);
    if (pid < 0)
        return -1;
    printed = ReadAll(out, std::chrono::seconds(10));
    ::close(out);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(ComponentZonvrSimProcess, ControlledFromItsCliAndLostWhenKilled)
{
    std::string stateFile = ::testing::TempDir() + "zonvr-sim-state-" + std::to_string(::getpid()) + ".txt";
    {
        std::ofstream state(stateFile);
        state << "# users, cameras, triggers, associations, links\n"
                 "user admin \"pass word\"\n"
                 "camera 17 \"Lobby\" \"rtsp://127.0.0.5:554/stream\"\n"
                 "camera 7 \"Yard\"\n"
                 "trigger 5 \"Tolvex Control\" \"TOLVEX_17\"\n"
                 "association 17 \"TOLVEX_17\" 5\n"
                 "link 3 5 \"Door alarm\"\n";
    }
    int out = -1;
    pid_t sim = Spawn({ZONVR_SIM_PATH, "--port", "0", "--control-port", "0", "--state", stateFile}, out);
    ASSERT_GT(sim, 0);
    std::string banner = ReadAll(out, std::chrono::seconds(10), true);
    unsigned port = 0;
    unsigned controlPort = 0;
    ASSERT_EQ(std::sscanf(banner.c_str(), "zonvr-sim listening on 127.0.0.1 port %u control port %u", &port,
                          &controlPort),
              2)
        << banner;

    TestClient client;
    ASSERT_TRUE(client.Connect(static_cast<unsigned short>(port), "admin", "pass word"));
    EXPECT_EQ(ZOAPI_NumCameras(client.handle), 2u);

    std::string printed;
    EXPECT_EQ(Ctl(controlPort, {"list", "cameras"}, printed), 0);
    EXPECT_EQ(printed, "camera 7 \"Yard\"\ncamera 17 \"Lobby\" \"rtsp://127.0.0.5:554/stream\"\n");
    EXPECT_EQ(Ctl(controlPort, {"fire", "5", "1"}, printed), 0);
    int fired = client.WaitForEvent(ZOAPI_EVENT_SOFT_TRIGGER_CHANGED);
    ASSERT_GE(fired, 0);
    EXPECT_EQ(TestClient::TriggerOf(client.events[fired]), 5u);
    EXPECT_EQ(client.events[fired].status, 1);
    EXPECT_EQ(Ctl(controlPort, {"camera", "add", "9", "Back door", "rtsp://127.0.0.6/"}, printed), 0);
    EXPECT_GE(client.WaitForEvent(ZOAPI_EVENT_CONFIG_CHANGED), 0);
    EXPECT_EQ(ZOAPI_NumCameras(client.handle), 3u);
    EXPECT_EQ(Ctl(controlPort, {"calls"}, printed), 0);
    EXPECT_NE(printed.find("Login user=admin\n"), std::string::npos) << printed;
    EXPECT_EQ(Ctl(controlPort, {"fire", "99", "1"}, printed), 1);
    EXPECT_EQ(Ctl(controlPort, {"no", "such", "command"}, printed), 1);

    ::kill(sim, SIGKILL);
    int status = 0;
    ::waitpid(sim, &status, 0);
    ::close(out);
    EXPECT_TRUE(client.WaitForSelectFailure());
    EXPECT_EQ(ZOAPI_GetSocket(client.handle), -1);
    EXPECT_EQ(ZOAPI_NumCameras(client.handle), 0u);
    EXPECT_NE(ZOAPI_Open(client.handle, "127.0.0.1", static_cast<unsigned short>(port)), 0);
    std::remove(stateFile.c_str());
}
