// Track cameras seen from the cameras' side: the test listens where the daemon dials, hands it
// pseudo-terminals as serial lines, and reads the log, all through the real binary.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DaemonRig.h"

namespace
{

const char* kRunningDir = "/usr/local/marnu/zoTolvex/";

/// A listening TCP socket on address:port (0 picks one); the port chosen goes to port.
int Listen(const std::string& address, uint16_t& port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || listen(fd, 16) != 0)
    {
        close(fd);
        return -1;
    }
    socklen_t length = sizeof where;
    getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length);
    port = ntohs(where.sin_port);
    return fd;
}

/// True when a connection arrives on listener within timeout; the connection is closed again.
bool Accepts(int listener, int timeoutMs = 10000)
{
    pollfd waiting{listener, POLLIN, 0};
    if (poll(&waiting, 1, timeoutMs) != 1)
        return false;
    const int connection = accept(listener, nullptr, nullptr);
    if (connection < 0)
        return false;
    close(connection);
    return true;
}

/// The configuration with the given options and <Camera> elements under one recording server.
std::string Config(const std::string& options, const std::string& cameras)
{
    return "<zoTolvex><Options ClientPort=\"" + std::to_string(rig::FreePort()) + "\" " + options +
           "/><TolvexControl/><NVR Address=\"127.0.0.1\" Port=\"" + std::to_string(rig::FreePort()) +
           "\" Login=\"a\" Password=\"b\">" + cameras + "</NVR></zoTolvex>";
}

std::string Camera(const std::string& attributes)
{
    return "<Camera " + attributes + "/>";
}

/// The master side of a pseudo-terminal, kept open for the test's life; its slave is the line.
struct Line
{
    Line()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
            path = ptsname(master);
    }
    ~Line()
    {
        if (master >= 0)
            close(master);
    }
    /// The slave's line settings, read on the test's side.
    termios Settings() const
    {
        termios settings{};
        const int slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        tcgetattr(slave, &settings);
        close(slave);
        return settings;
    }
    int master = -1;
    std::string path;
};

/// The parity a line checks, from its input check and odd flags (some pseudo-terminals drop
/// the parity-enable flag but keep these).
char ParityOf(const termios& settings)
{
    if ((settings.c_iflag & INPCK) == 0)
        return 'N';
    return (settings.c_cflag & PARODD) != 0 ? 'O' : 'E';
}

} // namespace

TEST(SystemCameraNetwork, ConnectsOnItsPortOrThePortDefaultAndRetriesARefusal)
{
    uint16_t givenPort = 0;
    const int given = Listen("127.0.0.1", givenPort);
    uint16_t defaultPort = 1000;
    const int byDefault = Listen("127.0.0.61", defaultPort);
    ASSERT_GE(given, 0);
    ASSERT_GE(byDefault, 0) << "port 1000 on 127.0.0.61 is taken";
    const uint16_t refusedPort = rig::FreePort("127.0.0.62");

    rig::Daemon daemon;
    daemon.WriteConfig(Config("RetryIntervalSecs=\"1\"",
                              Camera("Address=\"127.0.0.1\" Port=\"" + std::to_string(givenPort) + "\" PelcoNumber=\"1\"") +
                                  Camera("Address=\"127.0.0.61\" PelcoNumber=\"2\"") +
                                  Camera("Address=\"127.0.0.62\" Port=\"" + std::to_string(refusedPort) +
                                         "\" PelcoNumber=\"3\"")));
    ASSERT_EQ(0, daemon.Start());
    ASSERT_GT(daemon.Pid(), 0);
    EXPECT_TRUE(Accepts(given));
    EXPECT_TRUE(Accepts(byDefault));
    EXPECT_TRUE(daemon.WaitForLine("Connecting to track camera at 127.0.0.61:1000"));

    const std::string refusedLine = "*** Connection error for track camera at 127.0.0.62 on port " +
                                    std::to_string(refusedPort) + ": Connection refused";
    ASSERT_TRUE(daemon.WaitForLine(refusedLine));
    uint16_t latePort = refusedPort;
    const int late = Listen("127.0.0.62", latePort);
    ASSERT_GE(late, 0);
    EXPECT_TRUE(Accepts(late)) << "the refused camera was not tried again";
    EXPECT_EQ(1, daemon.CountLog("*** Connection error for track camera at "));
    EXPECT_EQ(0, daemon.CountLog("*** Reconnecting to camera at "));
    EXPECT_EQ(0, daemon.CountLog("*** Unable to resolve"));
    EXPECT_TRUE(daemon.Running());
    close(given);
    close(byDefault);
    close(late);
}

TEST(SystemCameraNetwork, ZeroRetryIntervalAndANameWithTwoAddresses)
{
    // The name twocams.test resolves to two loopback addresses in this test's own view of the
    // host table, which the daemon inherits.
    ASSERT_EQ(0, unshare(CLONE_NEWNS));
    ASSERT_EQ(0, mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr));
    char hostsPath[] = "/tmp/camera_hosts.XXXXXX";
    const int hostsFd = mkstemp(hostsPath);
    ASSERT_GE(hostsFd, 0);
    const std::string hosts = rig::ReadFile("/etc/hosts") + "\n127.0.0.71 twocams.test\n127.0.0.72 twocams.test\n";
    ASSERT_EQ(static_cast<ssize_t>(hosts.size()), write(hostsFd, hosts.data(), hosts.size()));
    close(hostsFd);
    ASSERT_EQ(0, mount(hostsPath, "/etc/hosts", nullptr, MS_BIND, nullptr));

    // Whichever address the resolver puts first refuses; the second listens.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    ASSERT_EQ(0, getaddrinfo("twocams.test", "1", &hints, &found));
    std::vector<std::string> order;
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next)
    {
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr, text, sizeof text);
        order.push_back(text);
    }
    freeaddrinfo(found);
    ASSERT_EQ(2u, order.size());
    uint16_t twoPort = rig::FreePort(order[1]);
    const int second = Listen(order[1], twoPort);
    ASSERT_GE(second, 0);

    const uint16_t refusedPort = rig::FreePort("127.0.0.63");
    rig::Daemon daemon;
    daemon.WriteConfig(Config("RetryIntervalSecs=\"0\"",
                              Camera("Address=\"twocams.test\" Port=\"" + std::to_string(twoPort) + "\" PelcoNumber=\"1\"") +
                                  Camera("Address=\"127.0.0.63\" Port=\"" + std::to_string(refusedPort) +
                                         "\" PelcoNumber=\"2\"")));
    ASSERT_EQ(0, daemon.Start());
    ASSERT_GT(daemon.Pid(), 0);
    EXPECT_TRUE(Accepts(second));
    ASSERT_TRUE(daemon.WaitForLog("*** Connection error for track camera at 127.0.0.63 on port "));
    uint16_t latePort = refusedPort;
    const int late = Listen("127.0.0.63", latePort);
    ASSERT_GE(late, 0);
    EXPECT_TRUE(Accepts(late, 5000)) << "no immediate retry";

    EXPECT_EQ(1, daemon.CountLog("twocams.test")) << daemon.Log();
    EXPECT_EQ(1, daemon.CountLines("Connecting to track camera at twocams.test:" + std::to_string(twoPort)));
    EXPECT_EQ(1, daemon.CountLog("*** Connection error for track camera at "));
    close(second);
    close(late);
    umount(hostsPath);
    umount("/etc/hosts");
    unlink(hostsPath);
}

TEST(SystemCameraSerial, LineSettingsMessagesAndALateDevice)
{
    Line plain;
    Line odd;
    Line even;
    Line invalid;
    Line slow;
    Line lateLine;
    ASSERT_FALSE(lateLine.path.empty());
    const std::string latePort = std::string(kRunningDir) + "ttyLate";

    rig::Daemon daemon;
    daemon.WriteConfig(Config("RetryIntervalSecs=\"1\"",
                              Camera("Address=\"cam-plain\" Port=\"" + plain.path + "\" PelcoNumber=\"1\"") +
                                  Camera("Address=\"cam-odd\" Port=\"" + odd.path + "\" Parity=\"o\" PelcoNumber=\"2\"") +
                                  Camera("Address=\"cam-even\" Port=\"" + even.path +
                                         "\" BaudRate=\"9600\" StopBits=\"2\" Parity=\"even\" PelcoNumber=\"6\"") +
                                  Camera("Address=\"cam-invalid\" Port=\"" + invalid.path +
                                         "\" StopBits=\"3\" Parity=\"M\" PelcoNumber=\"3\"") +
                                  Camera("Address=\"cam-slow\" Port=\"" + slow.path +
                                         "\" BaudRate=\"1000\" PelcoNumber=\"4\"") +
                                  Camera("Address=\"cam-late\" Port=\"" + latePort + "\" PelcoNumber=\"5\"")));
    ASSERT_EQ(0, daemon.Start());
    ASSERT_GT(daemon.Pid(), 0);

    ASSERT_TRUE(daemon.WaitForLine("Connecting to analog track camera on serial port " + plain.path));
    termios settings = plain.Settings();
    EXPECT_EQ(static_cast<speed_t>(B2400), cfgetospeed(&settings));
    EXPECT_EQ(static_cast<tcflag_t>(CS8), settings.c_cflag & CSIZE);
    EXPECT_EQ(0u, settings.c_cflag & CSTOPB);
    EXPECT_EQ('N', ParityOf(settings));

    ASSERT_TRUE(daemon.WaitForLine("Connecting to analog track camera on serial port " + odd.path));
    EXPECT_EQ('O', ParityOf(odd.Settings()));

    ASSERT_TRUE(daemon.WaitForLine("Connecting to analog track camera on serial port " + even.path));
    settings = even.Settings();
    EXPECT_EQ(static_cast<speed_t>(B9600), cfgetospeed(&settings));
    EXPECT_NE(0u, settings.c_cflag & CSTOPB);
    EXPECT_EQ('E', ParityOf(settings));

    ASSERT_TRUE(daemon.WaitForLine("Connecting to analog track camera on serial port " + invalid.path));
    EXPECT_EQ(1, daemon.CountLines("Invalid StopBits value for camera at cam-invalid:" + invalid.path +
                                   ". Defaulting to 1"));
    EXPECT_EQ(1, daemon.CountLines("Invalid Parity value for camera at cam-invalid:" + invalid.path +
                                   ". Defaulting to N"));
    settings = invalid.Settings();
    EXPECT_EQ(0u, settings.c_cflag & CSTOPB);
    EXPECT_EQ('N', ParityOf(settings));

    EXPECT_TRUE(daemon.WaitForLine("Error connecting to track camera on serial port " + slow.path + ":Invalid argument"));
    EXPECT_EQ(0, daemon.CountLines("Connecting to analog track camera on serial port " + slow.path));

    ASSERT_TRUE(daemon.WaitForLine("Error connecting to track camera on serial port " + latePort +
                                   ":No such file or directory"));
    ASSERT_EQ(0, symlink(lateLine.path.c_str(), (daemon.Dir() + "ttyLate").c_str()));
    ASSERT_TRUE(daemon.WaitForLine("Connecting to analog track camera on serial port " + latePort));
    EXPECT_EQ(static_cast<speed_t>(B2400), [&] {
        const termios late = lateLine.Settings();
        return cfgetospeed(&late);
    }());
    EXPECT_EQ(1, daemon.CountLog("Error connecting to track camera on serial port " + latePort));
    EXPECT_TRUE(daemon.Running());
}

TEST(SystemCameraSerial, CharacterSizeOutOfRangeStopsStartUp)
{
    Line line;
    ASSERT_FALSE(line.path.empty());
    rig::Daemon daemon;
    daemon.WriteConfig(Config("", Camera("Address=\"cam9\" Port=\"" + line.path + "\" DataBits=\"9\"")));
    ASSERT_EQ(0, daemon.Start());
    ASSERT_GT(daemon.Pid(), 0);
    EXPECT_EQ(1, daemon.WaitExit()) << "an exception at start-up ends the service with status 1";
    EXPECT_EQ(1, daemon.CountLines("Exception: invalid character_size value"));
}

TEST(SystemCameraConfig, BadAttributeValuesHaveADefinedOutcome)
{
    {
        // -1 wraps and 99999999999 saturates to the same number, so the two cameras clash.
        rig::Daemon daemon;
        daemon.WriteConfig(Config("", Camera("Address=\"127.0.0.64\" PelcoNumber=\"-1\"") +
                                          Camera("Address=\"127.0.0.65\" PelcoNumber=\"99999999999\"")));
        ASSERT_EQ(0, daemon.Start());
    ASSERT_GT(daemon.Pid(), 0);
        EXPECT_EQ(255, daemon.WaitExit());
        EXPECT_EQ(1, daemon.CountLines("*** Error: Configuration has multiple entries with PelcoNumber=4294967295"));
    }
    {
        const std::string longName(4096, 'n');
        rig::Daemon daemon;
        daemon.WriteConfig(Config("RetryIntervalSecs=\"0\"",
                                  Camera("Address=\"127.0.0.66\" Port=\"12 34\" PelcoNumber=\"1\"") +
                                      Camera("Address=\"" + longName + "\" PelcoNumber=\"2\"")));
        ASSERT_EQ(0, daemon.Start());
    ASSERT_GT(daemon.Pid(), 0);
        ASSERT_TRUE(daemon.WaitForLog("*** Unable to resolve path to camera at 127.0.0.66:12 34: "));
        ASSERT_TRUE(daemon.WaitForLog("*** Unable to resolve path to camera at " + longName + ":1000: "));
        ASSERT_TRUE(daemon.WaitForLine("*** Reconnecting to camera at 127.0.0.66:12 34"));
        EXPECT_EQ(1, daemon.CountLog("*** Unable to resolve path to camera at 127.0.0.66:12 34: "));
        EXPECT_TRUE(daemon.Running());
        daemon.Signal(SIGTERM);
        EXPECT_EQ(0, daemon.WaitExit());
    }
}
