// A log that cannot be written while the daemon runs: its disk fills up, and the file is
// replaced by a directory. The daemon goes on serving operators, and what reaches the file is
// whole lines only.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../control/OperatorClient.h"
#include "DaemonRig.h"

namespace
{

/// A small tmpfs mounted on the daemon's running directory before it starts, so that the test
/// can fill the log's disk; unmounted (lazily, the daemon's namespace keeps its own copy) at
/// the end.
class TinyDisk
{
public:
    explicit TinyDisk(const std::string& dir) : dir(dir)
    {
        mounted = ::mount("zotolvex-tiny", dir.c_str(), "tmpfs", 0, "size=256k,mode=755") == 0;
    }
    ~TinyDisk()
    {
        if (mounted)
            ::umount2(dir.c_str(), MNT_DETACH);
    }

    /// True when the tmpfs is in place.
    bool Mounted() const { return mounted; }

    /// Takes every free block with a filler file; true once a write was refused for lack of room.
    bool Fill() const
    {
        const int fd = ::open((dir + "filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        const std::string block(4096, 'f');
        bool full = false;
        for (int i = 0; fd >= 0 && i < 1024 && !full; ++i)
            full = ::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size());
        ::close(fd);
        return full;
    }

    /// Gives the filler's room back.
    bool Free() const { return ::unlink((dir + "filler").c_str()) == 0; }

private:
    /// The running directory, with its trailing slash.
    std::string dir;
    /// Whether the mount succeeded.
    bool mounted = false;
};

/// Connects an operator to port and checks its SESSION message.
std::unique_ptr<OperatorClient> Connect(uint16_t port)
{
    std::unique_ptr<OperatorClient> client;
    rig::WaitUntil([&] {
        client = std::make_unique<OperatorClient>(port);
        return client->Connected();
    });
    const std::string session = "SESSION " + std::to_string(client->LocalPort());
    EXPECT_EQ(session, client->ReceiveLike(session));
    return client;
}

/// Sends one frame for camera 1 and checks that it reaches the camera unchanged.
void Steer(OperatorClient& client, FakeCamera& camera)
{
    const std::string frame("\xFF\x01\x00\x04\x20\x00\x25", 7);
    ASSERT_TRUE(client.Write(frame));
    EXPECT_EQ(frame, camera.Receive(frame.size()));
}

/// Failed log-ins by a user whose name is long, so that a few of them outgrow a page of the log.
void FailLogins(OperatorClient& client, int count)
{
    for (int i = 0; i < count; ++i)
        EXPECT_EQ("FAILURE", client.Login(std::string(200, 'm') + std::to_string(i), "x"));
}

/// Lines of text that are not one whole log line: a missing prefix, a second prefix inside, or
/// a failed log-in cut short.
std::vector<std::string> BrokenLines(const std::string& text)
{
    static const std::regex prefix(R"(\[ \d{4}-[A-Z][a-z]{2}-\d\d \d\d:\d\d:\d\d \] )");
    static const std::regex failed("Failed login from 127\\.0\\.0\\.1 by user m{200}\\d+");
    std::vector<std::string> broken;
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); start < text.size(); end = text.find('\n', start))
    {
        const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        std::smatch match;
        const bool prefixed = std::regex_search(line, match, prefix) && match.position(0) == 0;
        const std::string rest = prefixed ? match.suffix().str() : line;
        if (end == std::string::npos || !prefixed || std::regex_search(rest, prefix) ||
            (rest.compare(0, 13, "Failed login ") == 0 && !std::regex_match(rest, failed)))
            broken.push_back(line);
    }
    return broken;
}

} // namespace

TEST(SystemLogFaults, AFullDiskAndALogReplacedByADirectoryLoseLinesButNeitherSplitThemNorStopTheDaemon)
{
    rig::Daemon daemon;
    TinyDisk disk(daemon.Dir());
    ASSERT_TRUE(disk.Mounted());
    FakeCamera camera("127.0.0.5");
    const uint16_t port = rig::FreePort();
    daemon.WriteConfig("<zoTolvex><Options ClientPort=\"" + std::to_string(port) +
                       "\"/><TolvexControl LockTime=\"1\"><User Name=\"alice\" Password=\"alice\" Priority=\"1\"/>"
                       "</TolvexControl><NVR Address=\"127.0.0.1\" Port=\"" + std::to_string(rig::FreePort()) +
                       "\" Login=\"a\" Password=\"b\"><Camera Address=\"127.0.0.5\" Port=\"" +
                       std::to_string(camera.Port()) + "\" PelcoNumber=\"1\"/></NVR></zoTolvex>");
    ASSERT_EQ(0, daemon.Start());
    ASSERT_GT(daemon.Pid(), 0);
    auto alice = Connect(port);
    EXPECT_EQ("OK", alice->Login("alice", "alice"));
    ASSERT_TRUE(daemon.WaitForLine("Login from 127.0.0.1 by user alice with priority 1"));

    // The disk fills up: log lines are lost, operators are served all the same.
    ASSERT_TRUE(disk.Fill());
    auto mallory = Connect(port);
    FailLogins(*mallory, 40);
    Steer(*alice, camera);
    EXPECT_EQ("OK", Connect(port)->Login("alice", "alice"));

    // Room again: the next line reaches the file, after nothing but whole lines.
    ASSERT_TRUE(disk.Free());
    EXPECT_EQ("OK", Connect(port)->Login("alice", "alice"));
    ASSERT_TRUE(rig::WaitUntil([&] { return daemon.CountLines("Login from 127.0.0.1 by user alice with priority 1") > 1; }));
    EXPECT_LT(daemon.CountLog("Failed login"), 40) << "the disk was never full";
    EXPECT_EQ(std::vector<std::string>{}, BrokenLines(daemon.Log()));

    // The log is replaced by a directory and the disk fills again, so the failed file cannot be
    // opened again: the lines are lost, the service goes on.
    ASSERT_EQ(0, ::unlink((daemon.Dir() + "zoTolvex.log").c_str()));
    ASSERT_EQ(0, ::mkdir((daemon.Dir() + "zoTolvex.log").c_str(), 0755));
    ASSERT_TRUE(disk.Fill());
    FailLogins(*mallory, 40);
    Steer(*alice, camera);
    EXPECT_EQ("OK", Connect(port)->Login("alice", "alice"));

    // Directory gone and room again: logging starts a fresh file of whole lines.
    ASSERT_EQ(0, ::rmdir((daemon.Dir() + "zoTolvex.log").c_str()));
    ASSERT_TRUE(disk.Free());
    FailLogins(*mallory, 1);
    ASSERT_TRUE(daemon.WaitForLog("Failed login"));
    EXPECT_EQ(std::vector<std::string>{}, BrokenLines(daemon.Log()));
    Steer(*alice, camera);
    EXPECT_TRUE(daemon.Running());
}
