// zotolvex-checkconfig beside the real daemon: on the same broken files the checker prints the
// lines the daemon logs and ends with the status the daemon ends with, it leaves a serial line
// alone, and it warns about what the daemon takes without a word.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DaemonRig.h"
#include "PseudoTerminal.h"

namespace
{

const std::string kReading = "Reading config file ";
const std::string kDaemonFile = "/usr/local/marnu/zoTolvex/zoTolvex.xml";

struct CheckerRun
{
    int status = -1;
    std::vector<std::string> lines;
};

/// Runs the checker with args (already quoted for the shell); its status and output lines.
CheckerRun RunChecker(const std::string& args)
{
    CheckerRun run;
    FILE* output = popen((std::string(ZOTOLVEX_CHECKCONFIG_BINARY) + " " + args + " 2>&1").c_str(), "r");
    char line[4096];
    while (output != nullptr && fgets(line, sizeof line, output) != nullptr)
        run.lines.emplace_back(line, std::strcspn(line, "\n"));
    const int status = output != nullptr ? pclose(output) : -1;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

/// The daemon's part of the checker's output (up to the blank line before the summary), with the
/// file the checker was given named as the daemon names its own.
std::vector<std::string> DaemonPart(const std::vector<std::string>& lines, const std::string& given)
{
    std::vector<std::string> part(lines.begin(), std::find(lines.begin(), lines.end(), ""));
    std::replace(part.begin(), part.end(), kReading + given, kReading + kDaemonFile);
    return part;
}

void Replace(std::string& text, const std::string& marker, const std::string& value)
{
    for (std::size_t at; (at = text.find(marker)) != std::string::npos;)
        text.replace(at, marker.size(), value);
}

bool Accepts(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &where.sin_addr);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
    close(fd);
    return connected;
}

/// A file with one recording server: options are the <Options> attributes besides ClientPort,
/// users the <User> elements, cameras the server's <Camera> elements, more any elements after it.
std::string Site(const std::string& options, const std::string& users, const std::string& cameras,
                 const std::string& more = "")
{
    return "<zoTolvex><Options ClientPort=\"@PORT@\" " + options + "/><TolvexControl>" + users +
           "</TolvexControl><NVR Address=\"127.0.0.1\" Port=\"@NVRPORT@\" Login=\"a\" Password=\"b\">" + cameras +
           "</NVR>" + more + "</zoTolvex>";
}

} // namespace

TEST(SystemCheckConfig, PrintsTheDaemonsLinesAndEndsWithItsStatus)
{
    struct Case
    {
        const char* story;
        std::string xml;  // empty: no file at all
        int status;
    };
    const Case cases[] = {
        {"cameras share PelcoNumbers", Site("", "", "<Camera Address=\"10.9.0.1\" Port=\"4001\" PelcoNumber=\"2\"/>"
            "<Camera Address=\"10.9.0.2\" PelcoNumber=\"2\"/><Camera Address=\"10.9.0.3\" PelcoNumber=\"2\"/>"
            "<Camera Address=\"10.9.0.1\" PelcoNumber=\"7\"/><Camera PelcoNumber=\"8\"/>"), 255},
        {"no file", "", 255},
        {"malformed XML", "<zoTolvex><TolvexControl></zoTolvex>", 255},
        {"no zoTolvex element", "<zotolvex><TolvexControl/></zotolvex>", 255},
        {"values out of range", "<zoTolvex><Options ClientPort=\"70000\" RetryIntervalSecs=\"-1\"/></zoTolvex>", 255},
        {"DataBits 9 on a missing device",
         Site("", "", "<Camera Address=\"3\" Port=\"/dev/zotolvex-no-tty\" DataBits=\"9\"/>"), 1},
        {"DataBits 9 on a line", Site("", "", "<Camera Address=\"3\" Port=\"@PTY@\" DataBits=\"9\"/>"), 1},
        {"a host name as ClientAddress", Site("ClientAddress=\"controlroom.local\"", "", ""), 1},
        {"bad StopBits, Parity and BaudRate on a line",
         Site("", "", "<Camera Address=\"3\" Port=\"@PTY@\" StopBits=\"3\" Parity=\"mark\" PelcoNumber=\"3\"/>"
            "<Camera Address=\"4\" Port=\"@PTY@\" BaudRate=\"1000\" Parity=\"x\" PelcoNumber=\"4\"/>"
            "<Camera Address=\"5\" Port=\"@PTY@\" BaudRate=\"9600\" StopBits=\"2\" Parity=\"even\" PelcoNumber=\"5\"/>"),
         0},
        {"serial devices that are not there",
         Site("RetryIntervalSecs=\"1\"", "", "<Camera Address=\"6\" Port=\"/dev/zotolvex-no-tty\" PelcoNumber=\"6\"/>"
            "<Camera Address=\"7\" Port=\"/dev/null/ttyS0\" PelcoNumber=\"7\"/>"), 0},
        {"entries the loader skips", "<zoTolvex><Options ClientAddress=\"\" ClientPort=\"@PORT@\"/><TolvexControl>"
            "<User Password=\"x\"/><User Name=\"kim\"/></TolvexControl><NVR Address=\"10.9.0.9\" Port=\"x\" "
            "Password=\"b\"><Camera Address=\"10.9.0.10\"/></NVR><NVR Login=\"a\"/></zoTolvex>", 0},
    };

    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.story);
        PseudoTerminal line;
        rig::Daemon daemon;
        const uint16_t port = rig::FreePort();
        if (!c.xml.empty())
        {
            std::string xml = c.xml;
            Replace(xml, "@PORT@", std::to_string(port));
            Replace(xml, "@NVRPORT@", std::to_string(rig::FreePort()));
            Replace(xml, "@PTY@", line.SlavePath());
            daemon.WriteConfig(xml);
        }
        const std::string file = daemon.Dir() + "zoTolvex.xml";
        const CheckerRun checker = RunChecker("'" + file + "'");

        ASSERT_EQ(0, daemon.Start());
        std::vector<std::string> logged;
        if (c.status == 0)
        {
            // Loading is over once the daemon listens; what follows is its running life: the
            // recording-server link's attempts and the signal's line.
            ASSERT_TRUE(rig::WaitUntil([&] { return Accepts(port); }));
            daemon.Signal(SIGTERM);
            EXPECT_EQ(0, daemon.WaitExit());
            for (const std::string& text : daemon.Lines())
                if (text.rfind("ZOAPI_", 0) != 0 && text != "Terminate signal caught.  Exiting.")
                    logged.push_back(text);
        }
        else
        {
            EXPECT_EQ(c.status, daemon.WaitExit());
            logged = daemon.Lines();
        }

        EXPECT_EQ(c.status, checker.status);
        ASSERT_GE(checker.lines.size(), 2u);
        EXPECT_EQ(kReading + file, checker.lines[1]) << "the checker names the file it was given";
        EXPECT_EQ(logged, DaemonPart(checker.lines, file));
    }
}

TEST(SystemCheckConfig, LeavesASerialLineAsItFoundIt)
{
    PseudoTerminal line;
    // Settings no camera of the file asks for, and the cooked mode that opening as a serial
    // port would turn raw.
    termios before = line.Settings();
    cfsetspeed(&before, B9600);
    before.c_cflag = (before.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB;
    {
        const int slave = open(line.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        ASSERT_EQ(0, tcsetattr(slave, TCSANOW, &before));
        close(slave);
    }
    before = line.Settings();
    ASSERT_NE(0u, before.c_lflag & ICANON);
    const int watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, line.SlavePath().c_str(), IN_OPEN), 0);

    rig::Daemon directory;
    std::string xml = Site("", "<User Name=\"ann\" Password=\"s3cret\" Priority=\"4\"/>",
                           "<Camera Address=\"12\" Port=\"@PTY@\" BaudRate=\"2400\" DataBits=\"8\" StopBits=\"1\" "
                           "Parity=\"N\" PelcoNumber=\"12\"/>");
    Replace(xml, "@PORT@", "55001");
    Replace(xml, "@NVRPORT@", "22001");
    Replace(xml, "@PTY@", line.SlavePath());
    directory.WriteConfig(xml);
    const CheckerRun checker = RunChecker(directory.Dir() + "zoTolvex.xml");

    char events[4096];
    EXPECT_LE(read(watch, events, sizeof events), 0) << "the checker opened the line";
    close(watch);
    const termios after = line.Settings();
    EXPECT_EQ(0, std::memcmp(&before, &after, sizeof before)) << "the line's settings changed";

    EXPECT_EQ(0, checker.status);
    const std::vector<std::string> summary(std::find(checker.lines.begin(), checker.lines.end(), ""),
                                           checker.lines.end());
    const std::vector<std::string> expected = {
        "",
        "Summary:",
        "  operators connect to 127.0.0.1 port 55001",
        "  user 'ann', priority 4",
        "  recording server 127.0.0.1 port 22001, login 'a'",
        "  camera 12, PelcoNumber 12, serial line " + line.SlavePath() + " at 2400 baud, 8 data bits, 1 stop bits, parity N",
    };
    EXPECT_EQ(expected, summary);
}

TEST(SystemCheckConfig, WarnsAboutWhatTheDaemonTakesSilently)
{
    struct Case
    {
        std::string xml;
        std::vector<std::string> warnings;  // how each warning begins, after "Warning: "
    };
    const std::string user = "<User Name=\"ann\" Password=\"x\"/>";
    const Case cases[] = {
        {Site("ClientAddress=\"::1\"", user, "<Camera Address=\"10.1.2.3\" PelcoNumber=\"1\"/>"
            "<Camera Address=\"4294967295\" Port=\"/dev/null\" PelcoNumber=\"2\"/>"), {}},
        {Site("", user, "<Camera Address=\"dome.site\" PelcoNumber=\"1\"/><Camera Address=\"007\" PelcoNumber=\"2\"/>"
            "<Camera Address=\"4294967296\" PelcoNumber=\"3\"/>"),
         {"camera 007 can never match a recording server's camera", "camera 4294967296 can never match",
          "camera dome.site can never match"}},
        {Site("", user, "<Camera Address=\"1\" Port=\"/dev/zotolvex-no-tty\" PelcoNumber=\"1\"/>"
            "<Camera Address=\"2\" Port=\"/etc/passwd\" PelcoNumber=\"2\"/><Camera Address=\"3\" Port=\"/dev\" PelcoNumber=\"3\"/>"),
         {"serial device /dev/zotolvex-no-tty of camera 1 does not exist",
          "serial device /etc/passwd of camera 2 is not a character device",
          "serial device /dev of camera 3 is not a character device"}},
        {Site("", user, "<Camera Address=\"10.1.2.3\" PelcoNumber=\"1\"/><Camera Address=\"10.1.2.3\" PelcoNumber=\"2\"/>",
              "<NVR Address=\"127.0.0.1\" Login=\"c\" Password=\"d\"/>"),
         {"another <NVR> has Address 127.0.0.1", "another camera has Address 10.1.2.3"}},
        {Site("RetryIntervalSecs=\"0\" ClientAddress=\"0.0.0.0\"",
              "<User Name=\"bo smith\" Password=\"x\"/><User Name=\"kim\" Password=\"\"/>", ""),
         {"RetryIntervalSecs is 0", "ClientAddress 0.0.0.0 is not a loopback address",
          "user 'bo smith' has a blank in its Name", "user 'kim' has an empty Password"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.xml);
        rig::Daemon directory;
        directory.WriteConfig(c.xml);
        const CheckerRun checker = RunChecker(directory.Dir() + "zoTolvex.xml");
        EXPECT_EQ(0, checker.status) << "warnings leave the status alone";
        std::vector<std::string> warnings;
        for (const std::string& line : checker.lines)
            if (line.rfind("Warning: ", 0) == 0)
                warnings.push_back(line.substr(9, warnings.size() < c.warnings.size() ? c.warnings[warnings.size()].size() : std::string::npos));
        EXPECT_EQ(c.warnings, warnings);
    }
}

TEST(SystemCheckConfig, CommandLine)
{
    EXPECT_EQ(0, RunChecker("--help").status);
    EXPECT_EQ(2, RunChecker("--verbose").status);
    EXPECT_EQ(2, RunChecker("one.xml two.xml").status);
    // Without a file it reads the daemon's own, wherever it is run from.
    const CheckerRun byDefault = RunChecker("");
    ASSERT_GE(byDefault.lines.size(), 2u);
    EXPECT_EQ(kReading + kDaemonFile, byDefault.lines[1]);
}
