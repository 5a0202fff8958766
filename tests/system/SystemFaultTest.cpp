// Faults on the steering path, injected around the real daemon: a camera that stops reading, a
// camera link reset in the middle of a write, a serial line that hangs up and comes back, a crowd
// of operators coming and going, and a daemon whose descriptors are all in use.

#include <dirent.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ControlDaemon.h"
#include "PseudoTerminal.h"

namespace
{

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

/// A network camera element.
std::string CameraAt(const std::string& address, uint16_t port, int pelcoNumber)
{
    return "<Camera Address=\"" + address + "\" Port=\"" + std::to_string(port) + "\" PelcoNumber=\"" +
           std::to_string(pelcoNumber) + "\"/>";
}

/// Open descriptors of process pid.
int OpenDescriptors(pid_t pid)
{
    int count = 0;
    if (DIR* table = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str()))
    {
        while (const dirent* entry = readdir(table))
            count += entry->d_name[0] != '.';
        closedir(table);
    }
    return count;
}

/// Processor time that process pid has used, user and system, in clock ticks.
long CpuTicks(pid_t pid)
{
    const std::string stat = rig::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string state;
    std::vector<long> values(12);
    fields >> state;
    for (long& value : values)
        fields >> value;
    return values[10] + values[11]; // fields 14 and 15 of the line: utime and stime
}

/// ":XXXX", a port as /proc/net/tcp writes it.
std::string PortText(uint16_t port)
{
    char text[8];
    std::snprintf(text, sizeof text, ":%04X", static_cast<unsigned>(port));
    return text;
}

/// The send and receive queues, in bytes, of the established TCP connection whose local and
/// remote endpoints end with the given texts in table, the text of /proc/net/tcp ("0200007F:1F90");
/// false if there is none.
bool Queues(const std::string& table, const std::string& local, const std::string& remote, long& sending,
            long& unread)
{
    auto endsWith = [](const std::string& text, const std::string& tail) {
        return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    };
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line))
    {
        std::istringstream fields(line);
        std::string slot, localAddress, remoteAddress, state, queues;
        fields >> slot >> localAddress >> remoteAddress >> state >> queues;
        if (state == "01" && endsWith(localAddress, local) && endsWith(remoteAddress, remote))
        {
            sending = std::stol(queues.substr(0, 8), nullptr, 16);
            unread = std::stol(queues.substr(9), nullptr, 16);
            return true;
        }
    }
    return false;
}

/// Waits until everything client has written sits in the daemon, not in a socket buffer.
bool AllRead(uint16_t controlPort, const OperatorClient& client)
{
    return rig::WaitUntil([&] {
        // The table is long on a busy host and slow to read: once per look.
        const std::string table = rig::ReadFile("/proc/net/tcp");
        long clientSending = 1, daemonUnread = 1, ignored = 0;
        return Queues(table, PortText(client.LocalPort()), PortText(controlPort), clientSending, ignored) &&
               Queues(table, PortText(controlPort), PortText(client.LocalPort()), ignored, daemonUnread) &&
               clientSending == 0 && daemonUnread == 0;
    });
}

/// Steers count frames, each gap after the last one's notice: milliseconds from each write to
/// its arrival at the camera and the holder's notice.
std::vector<double> SteerTimes(OperatorClient& holder, FakeCamera& camera, uint8_t number, int count,
                               milliseconds gap = milliseconds(0))
{
    std::vector<double> times;
    for (int i = 0; i < count; ++i)
    {
        std::this_thread::sleep_for(gap);
        const std::string frame = Frame(number, static_cast<char>('a' + i % 26));
        const auto start = Clock::now();
        holder.Write(frame);
        const bool relayed = camera.Receive(frame.size()) == frame;
        const bool told = holder.ReceiveLike(kYouHaveControl) == kYouHaveControl;
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        EXPECT_TRUE(relayed && told) << "frame " << i;
    }
    return times;
}

/// The sample below which the given fraction of samples lie.
double Percentile(std::vector<double> samples, double fraction)
{
    std::sort(samples.begin(), samples.end());
    return samples.empty() ? 0 : samples[static_cast<std::size_t>(fraction * (samples.size() - 1))];
}

/// True when process pid, left alone for a second, uses at most a twentieth of a core. An idle
/// daemon uses next to nothing; one spinning on a failing operation takes a whole core, or its
/// fair share of a busy machine, far above that.
bool StaysQuiet(pid_t pid)
{
    const long ticks = CpuTicks(pid);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long used = CpuTicks(pid) - ticks;
    EXPECT_LE(used, sysconf(_SC_CLK_TCK) / 20) << "processor ticks in a quiet second";
    return used <= sysconf(_SC_CLK_TCK) / 20;
}

/// True once the line has received what it received before plus bytes.
bool LineGets(PseudoTerminal& line, const std::string& bytes)
{
    const std::size_t before = line.Received().size();
    return rig::WaitUntil([&] {
        line.Drain();
        return line.Received().size() >= before + bytes.size();
    }) && std::string(line.Received().begin() + before, line.Received().end()) == bytes;
}

/// Points link at target, replacing whatever link was.
void PointLink(const std::string& link, const std::string& target)
{
    const std::string temporary = link + ".new";
    unlink(temporary.c_str());
    ASSERT_EQ(0, symlink(target.c_str(), temporary.c_str()));
    ASSERT_EQ(0, std::rename(temporary.c_str(), link.c_str()));
}

/// Two operators, a (priority 1) and s (priority 2), and the cameras given, with a lock time
/// longer than any story so that no lapse notice comes between the ones counted.
struct FaultSite : ControlDaemon
{
    explicit FaultSite(const std::string& cameras) : ControlDaemon(User("a", "a", 1) + User("s", "s", 2), cameras, 60)
    {
    }
    /// Connects and logs in as name, whose password is its name.
    std::unique_ptr<OperatorClient> Operator(const std::string& name)
    {
        auto client = Connect();
        EXPECT_EQ("OK", client->Login(name, name));
        return client;
    }
    /// Sends the first frame for camera number and checks that it selects and takes the camera.
    void Take(OperatorClient& client, const std::string& address, uint8_t number)
    {
        client.Write(Frame(number, '0'));
        const std::string expected = "1CAMERA\t" + address + "\t" + std::to_string(number) + kYouHaveControl;
        EXPECT_EQ(expected, client.ReceiveLike(expected));
    }
};

/// Loopback keeps about 4 MiB in the buffers of a connection whose reader has stopped; this
/// much more than fills them. Blocks of 1 KiB whose every byte is the camera's number still
/// address that camera however the daemon's reads split them.
constexpr int kFloodBlocks = 6000;
/// An operator who keeps steering sends frames with pauses between them (the operator tool at
/// least 50 ms apart; shorter here to keep the stories short). In the pauses the event loop is
/// idle, or spinning if it is faulty, and a spinning one answers the next frame late.
constexpr milliseconds kOperatorPace(20);
/// The most a camera's write queue holds: 64 blocks of at most 1 KiB.
constexpr long kQueueBound = 64 * 1024;

} // namespace

TEST(SystemFaults, AStalledCameraDelaysNoOtherCameraAndItsQueueStaysBounded)
{
    FakeCamera healthy("127.0.0.1");
    FakeCamera stalled("127.0.0.2");
    FaultSite site(CameraAt("127.0.0.1", healthy.Port(), 1) + CameraAt("127.0.0.2", stalled.Port(), 2));
    // A second daemon with no stalled camera, steered in turn with the first: the bursts of a
    // busy machine weigh alike on both, so its frames are the normal to compare with.
    FakeCamera other("127.0.0.1");
    FaultSite calm(CameraAt("127.0.0.1", other.Port(), 1));
    ASSERT_TRUE(site.started && calm.started);
    ASSERT_TRUE(healthy.Accept() && other.Accept());
    ASSERT_TRUE(stalled.Accept()); // and not read from until the end
    auto steerer = site.Operator("s");
    auto flooder = site.Operator("a");
    auto usual = calm.Operator("s");
    site.Take(*steerer, "127.0.0.1", 1);
    calm.Take(*usual, "127.0.0.1", 1);
    ASSERT_EQ(Frame(1, '0'), healthy.Receive(7));
    ASSERT_EQ(Frame(1, '0'), other.Receive(7));

    const std::string block(1024, '\x02');
    for (int i = 0; i < kFloodBlocks; ++i)
    {
        ASSERT_TRUE(flooder->Write(block));
        if (i % 256 == 0)
            flooder->Receive(1 << 20, milliseconds(0));
    }
    ASSERT_TRUE(AllRead(site.port, *flooder));
    // A daemon whose camera does not read must not spin on its writes.
    EXPECT_TRUE(StaysQuiet(site.daemon.Pid()));
    // The stalled camera keeps being steered beside the other one. A few times the normal median
    // takes in the extra block read per frame; a loop that blocks on the stalled camera exceeds it.
    std::vector<double> beside, normal;
    for (int i = 0; i < 20; ++i)
    {
        flooder->Write(block);
        beside.push_back(SteerTimes(*steerer, healthy, 1, 1, kOperatorPace).at(0));
        normal.push_back(SteerTimes(*usual, other, 1, 1, kOperatorPace).at(0));
    }
    EXPECT_LE(Percentile(beside, 0.5), 4 * Percentile(normal, 0.5)) << "normal median " << Percentile(normal, 0.5);

    // Whatever the camera reads from now on is what the kernel holds plus what the daemon queued.
    ASSERT_TRUE(AllRead(site.port, *flooder));
    long inKernel = 0, ignored = 0;
    ASSERT_TRUE(Queues(rig::ReadFile("/proc/net/tcp"), "", "0200007F" + PortText(stalled.Port()), inKernel, ignored));
    int unread = 0;
    ASSERT_EQ(0, ioctl(stalled.Descriptor(), FIONREAD, &unread));
    inKernel += unread;
    ASSERT_EQ(static_cast<std::size_t>(inKernel), stalled.Receive(inKernel, milliseconds(10000)).size());
    const std::size_t queued = stalled.Receive(kQueueBound + 1, milliseconds(1000)).size();
    EXPECT_GT(queued, 0u) << "the camera never stalled";
    EXPECT_LE(queued, static_cast<std::size_t>(kQueueBound)) << "of " << kFloodBlocks << " KiB sent";
    // Reading again, the camera takes frames as before.
    flooder->Write(Frame(2, 'z'));
    EXPECT_EQ(Frame(2, 'z'), stalled.Receive(7));
}

TEST(SystemFaults, ACameraResetInTheMiddleOfAWriteAndASerialLineThatHangsUpComeBack)
{
    FakeCamera network("127.0.0.1");
    const std::string line = "/usr/local/marnu/zoTolvex/ttyCamera";
    FaultSite site(CameraAt("127.0.0.1", network.Port(), 1) +
                   "<Camera Address=\"analog-2\" Port=\"" + line + "\" PelcoNumber=\"2\"/>");
    ASSERT_TRUE(site.started);
    rig::Daemon& daemon = site.daemon;
    PseudoTerminal first;
    PointLink(daemon.Dir() + "ttyCamera", first.SlavePath());
    ASSERT_TRUE(network.Accept());
    ASSERT_TRUE(daemon.WaitForLine("Connecting to analog track camera on serial port " + line));
    auto steerer = site.Operator("a");
    site.Take(*steerer, "127.0.0.1", 1);
    ASSERT_EQ(Frame(1, '0'), network.Receive(7));
    const int descriptors = OpenDescriptors(daemon.Pid());

    // Frames flow; the camera stops reading, lets some pile up and resets the connection. The
    // frames written in the meantime are lost; the daemon dials again and later ones arrive.
    for (int sent = 0; sent < 150; ++sent)
    {
        if (sent == 100)
            network.Reset();
        steerer->Write(Frame(1, static_cast<char>(sent)));
        if (sent < 50)
        {
            ASSERT_EQ(Frame(1, static_cast<char>(sent)), network.Receive(7));
        }
    }
    ASSERT_TRUE(rig::WaitUntil([&] {
        steerer->Write(Frame(1, 'r'));
        return network.Accept(milliseconds(10));
    })) << daemon.Log();
    steerer->Write(Frame(1, 'Z'));
    EXPECT_TRUE(rig::WaitUntil([&] { return network.Receive(7) == Frame(1, 'Z'); }, milliseconds(5000)));
    EXPECT_EQ(1, daemon.CountLog("Error sending command to 127.0.0.1: "));
    EXPECT_TRUE(rig::WaitUntil([&] { return OpenDescriptors(daemon.Pid()) == descriptors; }))
        << "the reset connection's socket was not closed";

    // The serial line hangs up while frames flow, its device goes away, and a new one appears
    // under the same name: the daemon opens it within its retry interval.
    steerer->Write(Frame(2, 's'));
    ASSERT_TRUE(LineGets(first, Frame(2, 's')));
    first.Close();
    // The hang-up reaches the daemon's write before the device node is gone, so its first reopen
    // may still find the dying line; frames keep coming until an open fails for want of it.
    ASSERT_TRUE(rig::WaitUntil([&] {
        steerer->Write(Frame(2, 'x'));
        return daemon.CountLog("Error opening serial port " + line + ": ") == 1;
    }));
    EXPECT_LE(1, daemon.CountLog("Error sending command to serial port " + line + ": "));
    const std::string connecting = "Connecting to analog track camera on serial port " + line;
    const int opened = daemon.CountLines(connecting);
    PseudoTerminal second;
    PointLink(daemon.Dir() + "ttyCamera", second.SlavePath());
    ASSERT_TRUE(rig::WaitUntil([&] { return daemon.CountLines(connecting) == opened + 1; }));
    steerer->Write(Frame(2, 'Z'));
    EXPECT_TRUE(LineGets(second, Frame(2, 'Z')));
    EXPECT_EQ(1, daemon.CountLog("Error opening serial port " + line + ": "));
    EXPECT_TRUE(daemon.Running());
}

TEST(SystemFaults, AThousandOperatorsComeAndGoWhileFramesFlowAndNoNoticeOrDescriptorIsLost)
{
    FakeCamera camera("127.0.0.1");
    FaultSite site(CameraAt("127.0.0.1", camera.Port(), 1));
    ASSERT_TRUE(site.started);
    ASSERT_TRUE(camera.Accept());
    auto steerer = site.Operator("s");
    site.Take(*steerer, "127.0.0.1", 1);
    ASSERT_EQ(Frame(1, '0'), camera.Receive(7));
    std::vector<std::unique_ptr<OperatorClient>> viewers;
    for (int i = 0; i < 2; ++i)
    {
        // A refused frame makes an operator look at the camera.
        viewers.push_back(site.Operator("a"));
        viewers.back()->Write(Frame(1, 'v'));
        EXPECT_EQ("1CAMERA\t127.0.0.1\t1", viewers.back()->ReceiveLike("1CAMERA\t127.0.0.1\t1"));
    }
    const pid_t pid = site.daemon.Pid();
    const int descriptors = OpenDescriptors(pid);

    // Every tenth passer-by the steerer sends a frame and waits for its notice, so that no two of
    // its frames share a read; passers-by log in, look at the camera (and are told who holds it),
    // or do nothing, and leave with a close or a reset.
    std::mt19937 random(1000);
    int frames = 0;
    for (int i = 0; i < 1000; ++i)
    {
        OperatorClient passer(site.port);
        const unsigned kind = random() % 3;
        if (kind == 1)
            passer.Write("LOGIN a a");
        else if (kind == 2)
            passer.Write(Frame(1, 'p'));
        if (random() % 2)
            passer.Reset();
        if (i % 10 != 9)
            continue;
        const std::string frame = Frame(1, static_cast<char>(++frames));
        steerer->Write(frame);
        ASSERT_EQ(kYouHaveControl, steerer->ReceiveLike(kYouHaveControl)) << "frame " << frames;
        ASSERT_EQ(frame, camera.Receive(frame.size())) << "frame " << frames;
    }
    std::string told;
    for (int i = 0; i < frames; ++i)
        told += "#F00000 s has control";
    for (auto& viewer : viewers)
        EXPECT_EQ(told, viewer->ReceiveLike(told));
    EXPECT_TRUE(rig::WaitUntil([&] { return OpenDescriptors(pid) == descriptors; }))
        << OpenDescriptors(pid) << " descriptors open, " << descriptors << " before";
}

TEST(SystemFaults, OutOfDescriptorsTheConnectedKeepSteeringAndTheNextClientIsServedOnceOneFrees)
{
    FakeCamera camera("127.0.0.1");
    FaultSite site(CameraAt("127.0.0.1", camera.Port(), 1));
    ASSERT_TRUE(site.started);
    ASSERT_TRUE(camera.Accept());
    const pid_t pid = site.daemon.Pid();
    // A sanitizer build checks each polymorphic call the first time it sees it with a pipe, which
    // it cannot open while the daemon is out of descriptors: a session that ends now lets it see
    // the end of a session while it still can.
    site.Connect()->Close();
    auto steerer = site.Operator("a");
    site.Take(*steerer, "127.0.0.1", 1);
    ASSERT_EQ(Frame(1, '0'), camera.Receive(7));
    rlimit normalLimit{};
    ASSERT_EQ(0, prlimit(pid, RLIMIT_NOFILE, nullptr, &normalLimit));

    // Rounds of normal steering and steering out of descriptors alternate, so that the machine's
    // load weighs alike on both. Each time a limit a little above what the daemon holds is used
    // up by idle sessions; the next client waits in the listen backlog until one of them leaves.
    std::vector<std::unique_ptr<OperatorClient>> idle;
    std::vector<double> normal, exhausted;
    for (int round = 0; round < 4; ++round)
    {
        const std::vector<double> times = SteerTimes(*steerer, camera, 1, 10, kOperatorPace);
        normal.insert(normal.end(), times.begin(), times.end());
        rlimit limit = normalLimit;
        limit.rlim_cur = OpenDescriptors(pid) + 2;
        ASSERT_EQ(0, prlimit(pid, RLIMIT_NOFILE, &limit, nullptr));
        for (int i = 0; i < 2; ++i)
            idle.push_back(site.Connect());
        OperatorClient waiting(site.port);
        const std::string session = "SESSION " + std::to_string(waiting.LocalPort());
        ASSERT_TRUE(waiting.Connected());
        ASSERT_EQ("", waiting.Receive(session.size(), milliseconds(300))) << "descriptors left";

        // A daemon that cannot accept must not spin on its accept.
        if (round == 0)
        {
            EXPECT_TRUE(StaysQuiet(pid));
        }
        const std::vector<double> starved = SteerTimes(*steerer, camera, 1, 10, kOperatorPace);
        exhausted.insert(exhausted.end(), starved.begin(), starved.end());

        idle.back()->Close();
        const auto freed = Clock::now();
        EXPECT_EQ(session, waiting.Receive(session.size(), milliseconds(5000)));
        EXPECT_LT(Clock::now() - freed, std::chrono::seconds(1)) << "round " << round;
        ASSERT_EQ(0, prlimit(pid, RLIMIT_NOFILE, &normalLimit, nullptr));
    }
    EXPECT_LE(Percentile(exhausted, 0.5), 2 * Percentile(normal, 0.5)) << "normal median " << Percentile(normal, 0.5);
    EXPECT_TRUE(site.daemon.Running());
}
