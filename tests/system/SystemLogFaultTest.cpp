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

#include "NvrSite.h"

namespace
{

/// A small tmpfs mounted on the daemon's running directory before it starts, so that the test
/// can fill the log's disk; unmounted (lazily, the daemon's namespace keeps its own copy) after
/// the site has gone.
class TinyDisk
{
public:
    explicit TinyDisk(const std::string& dir) : dir(dir)
    {
        mounted = ::mount("zotolvex-tiny", dir.c_str(), "tmpfs", 0, "size=256k,mode=755") == 0;
    }
    ~TinyDisk()
    {
        // The site has gone by now, and with it everything in the directory but the mount point.
        if (mounted && ::umount2(dir.c_str(), MNT_DETACH) == 0)
            ::rmdir(dir.c_str());
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
    std::unique_ptr<TinyDisk> disk;
    FakeCamera camera("127.0.0.5");
    NvrSite site(NvrSite::Server("127.0.0.1", rig::FreePort(), NvrSite::NetworkCamera("127.0.0.5", 1, camera.Port())),
                 1, 1, false, [&](const std::string& dir) { disk = std::make_unique<TinyDisk>(dir); });
    ASSERT_TRUE(disk->Mounted());
    ASSERT_TRUE(site.started);
    rig::Daemon& daemon = site.daemon;
    auto alice = site.Operator("alice");
    const std::string aliceIn = "Login from 127.0.0.1 by user alice with priority 1";
    ASSERT_TRUE(daemon.WaitForLine(aliceIn));

    // The disk fills up: log lines are lost, operators are served all the same.
    ASSERT_TRUE(disk->Fill());
    auto bob = site.Operator("bob");
    FailLogins(*bob, 40);
    Steer(*alice, camera);
    site.Operator("alice");

    // Room again: the next line reaches the file, after nothing but whole lines.
    ASSERT_TRUE(disk->Free());
    site.Operator("alice");
    ASSERT_TRUE(rig::WaitUntil([&] { return daemon.CountLines(aliceIn) > 1; }));
    EXPECT_LT(daemon.CountLog("Failed login"), 40) << "the disk was never full";
    EXPECT_EQ(std::vector<std::string>{}, BrokenLines(daemon.Log()));

    // The log is replaced by a directory and the disk fills again, so the failed file cannot be
    // opened again: the lines are lost, the service goes on.
    ASSERT_EQ(0, ::unlink((daemon.Dir() + "zoTolvex.log").c_str()));
    ASSERT_EQ(0, ::mkdir((daemon.Dir() + "zoTolvex.log").c_str(), 0755));
    ASSERT_TRUE(disk->Fill());
    FailLogins(*bob, 40);
    Steer(*alice, camera);
    site.Operator("alice");

    // Directory gone and room again: logging starts a fresh file of whole lines.
    ASSERT_EQ(0, ::rmdir((daemon.Dir() + "zoTolvex.log").c_str()));
    ASSERT_TRUE(disk->Free());
    FailLogins(*bob, 1);
    ASSERT_TRUE(daemon.WaitForLog("Failed login"));
    EXPECT_EQ(std::vector<std::string>{}, BrokenLines(daemon.Log()));
    Steer(*alice, camera);
    EXPECT_TRUE(daemon.Running());
}
