// The daemon's life from the outside: start-up, the lock file, the banner, signals, exit
// statuses and the configuration file's messages, all through the real binary.

#include <signal.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "DaemonRig.h"

namespace
{

const char* kBanner = "------ Starting zoTolvex version 1.0.14.134927";
const char* kConfigError = "Exiting due to configuration file error(s)";

std::string MinimalConfig()
{
    return "<zoTolvex><Options ClientAddress=\"127.0.0.1\" ClientPort=\"" + std::to_string(rig::FreePort()) +
           "\"/><TolvexControl/></zoTolvex>";
}

/// Starts a daemon on config and waits for it to end; returns its exit status.
int RunToExit(rig::Daemon& daemon, const std::string& config)
{
    daemon.WriteConfig(config);
    EXPECT_EQ(0, daemon.Start());
    return daemon.WaitExit();
}

} // namespace

TEST(SystemServiceLife, StartsDetachedWritesLockAndBannerAndEndsOnSignals)
{
    for (int signalNumber : {SIGTERM, SIGHUP})
    {
        rig::Daemon daemon;
        daemon.WriteConfig(MinimalConfig());
        ASSERT_EQ(0, daemon.Start()) << "the launcher sees the parent side of the fork";
        const pid_t pid = daemon.Pid();
        ASSERT_GT(pid, 0);
        EXPECT_EQ(std::to_string(pid) + "\n", rig::ReadFile(daemon.Dir() + "zoTolvex.lock"));
        struct stat lockStat{};
        ASSERT_EQ(0, stat((daemon.Dir() + "zoTolvex.lock").c_str(), &lockStat));
        EXPECT_EQ(0640u, lockStat.st_mode & 0777u);

        ASSERT_TRUE(daemon.WaitForLine("Reading config file /usr/local/marnu/zoTolvex/zoTolvex.xml"));
        const auto lines = daemon.Lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(kBanner, lines[0]);

        daemon.Signal(signalNumber);
        EXPECT_EQ(0, daemon.WaitExit());
        const char* expected =
            signalNumber == SIGTERM ? "Terminate signal caught.  Exiting." : "Hangup signal caught.  Exiting.";
        EXPECT_EQ(expected, daemon.Lines().back());
    }
}

TEST(SystemServiceLife, SecondInstanceLeavesSilentlyAndLockKeepsOnlyThePid)
{
    rig::Daemon daemon;
    // A longer pid left by an earlier run must not leave its tail behind.
    const std::string stale = "99999999999\n";
    daemon.WriteFile("zoTolvex.lock", stale);
    daemon.WriteConfig(MinimalConfig());
    ASSERT_EQ(0, daemon.Start());
    ASSERT_TRUE(rig::WaitUntil([&] { return rig::ReadFile(daemon.Dir() + "zoTolvex.lock") != stale; }));
    const pid_t pid = daemon.Pid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(std::to_string(pid) + "\n", rig::ReadFile(daemon.Dir() + "zoTolvex.lock"));
    ASSERT_TRUE(daemon.WaitForLine("Reading config file /usr/local/marnu/zoTolvex/zoTolvex.xml"));
    const std::string logBefore = daemon.Log();

    EXPECT_EQ(0, daemon.Start());
    EXPECT_EQ(0, daemon.WaitOtherExit()) << "the second daemon ends with status 0 at the lock";
    EXPECT_EQ(logBefore, daemon.Log()) << "the second instance writes nothing";
    EXPECT_EQ(std::to_string(pid) + "\n", rig::ReadFile(daemon.Dir() + "zoTolvex.lock"));
    EXPECT_TRUE(daemon.Running());
}

TEST(SystemServiceLife, UnderInitRunsInForegroundWithoutLockFile)
{
    rig::Daemon daemon;
    daemon.WriteConfig(MinimalConfig());
    daemon.StartUnderInit();
    ASSERT_TRUE(daemon.WaitForLine("Reading config file /usr/local/marnu/zoTolvex/zoTolvex.xml"));
    EXPECT_EQ(kBanner, daemon.Lines().front());
    EXPECT_TRUE(rig::ReadFile(daemon.Dir() + "zoTolvex.lock").empty());
    struct stat lockStat{};
    EXPECT_NE(0, stat((daemon.Dir() + "zoTolvex.lock").c_str(), &lockStat)) << "no lock file is made";
}

TEST(SystemServiceConfig, ConfigurationErrorsEndWith255AfterTheirReasons)
{
    struct Case
    {
        std::string config;
        std::string reason;
    };
    const std::string missing = "Exiting due to missing, incorrect, or incomplete zoTolvex.xml configuration file.";
    std::string nested;
    nested.reserve(10 * 1024 * 1024 + 3);
    while (nested.size() < 10 * 1024 * 1024)
        nested += "<a>";
    const Case cases[] = {
        {"", missing},
        {std::string("\x00\xff\x13garbage\x89PNG", 14), missing},
        {"<zoTolvex><TolvexControl>", missing},
        {"<zoTolvex>" + nested, missing},
        {"<other/>", "No zoTolvex section found in zoTolvex.xml config file.  Exiting."},
        {"<zoTolvex><Options ClientPort=\"65536\"/></zoTolvex>", "*** Error: Invalid ClientPort value 65536 in zoTolvex.xml."},
        {"<zoTolvex><NVR Address=\"127.0.0.1\" Login=\"a\" Password=\"b\"><Camera Address=\"127.0.0.9\"/>"
         "</NVR><NVR Address=\"127.0.0.2\" Login=\"a\" Password=\"b\"><Camera Address=\"127.0.0.8\"/></NVR></zoTolvex>",
         "*** Error: Configuration has multiple entries with PelcoNumber=1"},
    };
    for (const Case& each : cases)
    {
        rig::Daemon daemon;
        EXPECT_EQ(255, RunToExit(daemon, each.config)) << each.reason;
        const auto lines = daemon.Lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(kConfigError, lines.back());
        EXPECT_EQ(each.reason, lines[lines.size() - 2]);
    }
}

TEST(SystemServiceConfig, MissingConfigurationFileAndUnopenableLogDoNotCrash)
{
    rig::Daemon daemon;
    EXPECT_EQ(0, daemon.Start());
    EXPECT_EQ(255, daemon.WaitExit());
    EXPECT_EQ(kConfigError, daemon.Lines().back());

    // A log path that is a directory loses the lines but the service runs and obeys signals.
    rig::Daemon blind;
    ASSERT_EQ(0, mkdir((blind.Dir() + "zoTolvex.log").c_str(), 0755));
    blind.WriteConfig(MinimalConfig());
    ASSERT_EQ(0, blind.Start());
    ASSERT_GT(blind.Pid(), 0);
    blind.Signal(SIGTERM);
    EXPECT_EQ(0, blind.WaitExit());
}

TEST(SystemServiceLog, AnOversizedLogFromAnEarlierRunRotatesAtTheSecondLine)
{
    rig::Daemon daemon;
    const std::string earlier(1048577, 'x');
    daemon.WriteFile("zoTolvex.log", earlier);
    daemon.WriteConfig(MinimalConfig());
    ASSERT_EQ(0, daemon.Start());
    ASSERT_TRUE(rig::WaitUntil([&] { return daemon.Log().find("Reading config file") != std::string::npos; }));
    const std::string old = rig::ReadFile(daemon.Dir() + "zoTolvex.log.old");
    EXPECT_EQ(0u, old.find(earlier)) << "the old file keeps the earlier run";
    EXPECT_NE(std::string::npos, old.find(kBanner)) << "the first line after opening never rotates";
    EXPECT_EQ(std::string::npos, daemon.Log().find(kBanner));
    EXPECT_EQ("Reading config file /usr/local/marnu/zoTolvex/zoTolvex.xml", daemon.Lines().front());
}

TEST(SystemServiceLife, AnExceptionAtStartUpIsLoggedAndEndsWithStatusOne)
{
    // A port that another socket holds cannot be listened on.
    const int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&endpoint), sizeof endpoint));
    ASSERT_EQ(0, listen(holder, 1));
    socklen_t length = sizeof endpoint;
    getsockname(holder, reinterpret_cast<sockaddr*>(&endpoint), &length);

    rig::Daemon daemon;
    EXPECT_EQ(1, RunToExit(daemon, "<zoTolvex><Options ClientAddress=\"127.0.0.1\" ClientPort=\"" +
                                       std::to_string(ntohs(endpoint.sin_port)) + "\"/></zoTolvex>"));
    EXPECT_EQ("Exception: bind: Address already in use", daemon.Lines().back());
    close(holder);
}
