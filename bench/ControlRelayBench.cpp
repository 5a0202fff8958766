// Operator control through the real daemon: the latency of one operator frame to a fake camera
// beside socat relaying the same traffic; the relay rate with 100 operators on 100 cameras, with
// a growing number of idle sessions connected beside them, each run right after the same load
// through a plain epoll relay (bench/EpollRelay.h, in a process of its own); and the daemon's
// resident memory with the idle sessions. Needs root (the daemon runs in a private mount
// namespace, as in the system tests) and socat.
//
//   control_relay_bench [frames] [idle sessions, ascending, comma-separated] [seconds per rate]
//
// Defaults: 100000 frames, idle sessions 0,2000,10000, 5 seconds.

#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../tests/control/OperatorClient.h"
#include "DaemonRig.h"
#include "EpollRelay.h"

namespace
{

using Clock = std::chrono::steady_clock;

const std::string kYouHaveControl = "#0000F0 You have control";
/// Operators op1 to op<kUsers> have priorities 1 to kUsers, so each rate run outranks the last
/// run's holders, whose lock has not run out yet.
const int kUsers = 16;

/// CPU time (user and system) that pid has used so far, in seconds; 0 when unknown.
double CpuSeconds(pid_t pid)
{
    const std::string stat = rig::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    // Fields 14 and 15 (utime, stime) follow the command name in parentheses.
    std::stringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string skipped;
    for (int field = 3; field < 14; ++field)
        fields >> skipped;
    double user = 0;
    double system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

/// Resident memory of pid in KiB, from /proc; -1 when unknown.
long ResidentKiB(pid_t pid)
{
    const std::string status = rig::ReadFile("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

std::string Frame(uint8_t number)
{
    return std::string("\xFF", 1) + static_cast<char>(number) + std::string("\x00\x04\x20\x00\x25", 5);
}

/// A configuration with one camera per entry of ports (on 127.0.20.n) and LockTime 5.
std::string Config(uint16_t controlPort, const std::vector<uint16_t>& cameraPorts)
{
    std::string cameras;
    for (std::size_t i = 0; i < cameraPorts.size(); ++i)
        cameras += "<Camera Address=\"127.0.20." + std::to_string(i + 1) + "\" Port=\"" +
                   std::to_string(cameraPorts[i]) + "\" PelcoNumber=\"" + std::to_string(i + 1) + "\"/>";
    std::string users;
    for (int i = 1; i <= kUsers; ++i)
        users += "<User Name=\"op" + std::to_string(i) + "\" Password=\"\" Priority=\"" + std::to_string(i) + "\"/>";
    return "<zoTolvex><Options ClientPort=\"" + std::to_string(controlPort) + "\"/><TolvexControl LockTime=\"5\">" +
           users + "</TolvexControl><NVR Address=\"127.0.0.1\" Port=\"" + std::to_string(rig::FreePort()) +
           "\" Login=\"a\" Password=\"b\">" + cameras + "</NVR></zoTolvex>";
}

struct Latency
{
    double median;
    double p99;
};

/// Sends frames one at a time from client and times each one's arrival at camera, in µs.
/// The daemon's control messages to the client are drained now and then.
Latency Measure(OperatorClient& client, FakeCamera& camera, int frames, uint8_t number)
{
    std::vector<double> samples;
    samples.reserve(frames);
    const std::string frame = Frame(number);
    for (int i = 0; i < frames; ++i)
    {
        const auto sent = Clock::now();
        client.Write(frame);
        if (camera.Receive(frame.size()).size() != frame.size())
        {
            std::fprintf(stderr, "frame %d never arrived\n", i);
            break;
        }
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
        if (i % 32 == 0)
            client.Receive(1 << 20, std::chrono::milliseconds(0));
    }
    std::sort(samples.begin(), samples.end());
    if (samples.empty())
        return {0, 0};
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

/// Brings operator index of a rate run to the point where its frame has gone out and its
/// "You have control" has come back; false when the relay answered otherwise.
using Setup = std::function<bool(OperatorClient& client, int index)>;

/// One timed run through a relay.
struct Rate
{
    /// Relayed frames per second.
    double frames;
    /// Relayed frames.
    long relayed;
    /// CPU time the relay process used per relayed frame, in µs.
    double relayMicros;
    /// Share of one core that the benchmark's own client used.
    double clientLoad;
};

/// 100 operators, each steering its own camera through the relay process relay: a frame, then
/// its control message, then the next frame, over seconds.
Rate RelayRate(pid_t relay, uint16_t port, std::vector<std::unique_ptr<FakeCamera>>& cameras, double seconds,
               const Setup& setup)
{
    const int count = static_cast<int>(cameras.size());
    std::vector<std::unique_ptr<OperatorClient>> clients;
    const int poller = epoll_create1(0);
    for (int i = 0; i < count; ++i)
    {
        clients.push_back(std::make_unique<OperatorClient>(port));
        if (!setup(*clients.back(), i))
            std::fprintf(stderr, "operator %d did not get its camera\n", i);
        cameras[i]->Receive(7);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(poller, EPOLL_CTL_ADD, clients.back()->Descriptor(), &event);
    }

    // Each operator keeps one frame in flight; the next goes when its control message is in.
    std::vector<std::size_t> pending(count, 0);
    long relayed = 0;
    const double relayStart = CpuSeconds(relay);
    const double clientStart = CpuSeconds(getpid());
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    for (int i = 0; i < count; ++i)
        clients[i]->Write(Frame(static_cast<uint8_t>(i + 1)));
    epoll_event events[256];
    char chunk[65536];
    while (Clock::now() < end)
    {
        const int ready = epoll_wait(poller, events, 256, 100);
        for (int e = 0; e < ready; ++e)
        {
            const int index = static_cast<int>(events[e].data.u32);
            const ssize_t got = read(clients[index]->Descriptor(), chunk, sizeof chunk);
            if (got <= 0)
            {
                epoll_ctl(poller, EPOLL_CTL_DEL, clients[index]->Descriptor(), nullptr);
                continue;
            }
            pending[index] += static_cast<std::size_t>(got);
            while (pending[index] >= kYouHaveControl.size())
            {
                pending[index] -= kYouHaveControl.size();
                ++relayed;
                clients[index]->Write(Frame(static_cast<uint8_t>(index + 1)));
                // The cameras' bytes are taken now and then rather than one read per frame, so that
                // the client's own work limits the fastest relay as little as it can.
                if (relayed % 4096 == 0)
                {
                    for (auto& camera : cameras)
                        recv(camera->Descriptor(), chunk, sizeof chunk, MSG_DONTWAIT);
                }
            }
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double relayCpu = CpuSeconds(relay) - relayStart;
    const double clientCpu = CpuSeconds(getpid()) - clientStart;
    // Whatever is still on its way belongs to this run: the next run starts from quiet sockets.
    for (int i = 0; i < count; ++i)
        cameras[i]->Receive(1 << 20, std::chrono::milliseconds(20));
    close(poller);
    return {relayed / elapsed, relayed, relayed > 0 ? relayCpu * 1e6 / relayed : 0, clientCpu / elapsed};
}

/// The idle-session counts of the command line, ascending.
std::vector<int> IdleCounts(const char* text)
{
    std::vector<int> counts;
    std::stringstream list(text);
    for (std::string item; std::getline(list, item, ',');)
        counts.push_back(std::atoi(item.c_str()));
    std::sort(counts.begin(), counts.end());
    return counts;
}

/// One loopback address per 250 idle sessions, from 127.0.30.1 on.
std::string IdleAddress(int index)
{
    return "127.0." + std::to_string(30 + index / 250) + "." + std::to_string(1 + index % 250);
}

} // namespace

int main(int argc, char** argv)
{
    const int frames = argc > 1 ? std::atoi(argv[1]) : 100000;
    const std::vector<int> idleCounts = IdleCounts(argc > 2 ? argv[2] : "0,2000,10000");
    const double seconds = argc > 3 ? std::atof(argv[3]) : 5.0;
    const int sessions = idleCounts.empty() ? 0 : idleCounts.back();
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, static_cast<rlim_t>(2 * sessions + 1024));
    setrlimit(RLIMIT_NOFILE, &files);

    // The epoll relay first, in a process of its own with cameras of its own on 127.0.21.n, so
    // that it takes no descriptor of the daemon's run.
    std::vector<std::unique_ptr<FakeCamera>> floorCameras;
    std::vector<std::pair<std::string, uint16_t>> floorEndpoints;
    for (int i = 0; i < 100; ++i)
    {
        floorCameras.push_back(std::make_unique<FakeCamera>("127.0.21." + std::to_string(i + 1)));
        floorEndpoints.emplace_back("127.0.21." + std::to_string(i + 1), floorCameras.back()->Port());
    }
    const uint16_t floorPort = rig::FreePort();
    const pid_t floor = fork();
    if (floor == 0)
    {
        EpollRelay relay;
        if (!relay.Open(floorPort, floorEndpoints))
            _exit(1);
        relay.Run();
        _exit(0);
    }
    for (auto& camera : floorCameras)
        camera->Accept();

    std::vector<std::unique_ptr<FakeCamera>> cameras;
    std::vector<uint16_t> cameraPorts;
    for (int i = 0; i < 100; ++i)
    {
        cameras.push_back(std::make_unique<FakeCamera>("127.0.20." + std::to_string(i + 1)));
        cameraPorts.push_back(cameras.back()->Port());
    }
    const uint16_t port = rig::FreePort();
    rig::Daemon daemon;
    daemon.WriteConfig(Config(port, cameraPorts));
    if (daemon.Start() != 0 || daemon.Pid() <= 0)
    {
        std::fprintf(stderr, "the daemon did not start\n");
        return 1;
    }
    std::printf("daemon pid %d, epoll relay pid %d\n", daemon.Pid(), floor);
    std::fflush(stdout);
    for (auto& camera : cameras)
        camera->Accept();
    const long idleKiB = ResidentKiB(daemon.Pid());

    // Latency through the daemon, then through socat to a camera of its own, same traffic.
    Latency daemonLatency{};
    {
        OperatorClient client(port);
        client.Receive(("SESSION " + std::to_string(client.LocalPort())).size());
        daemonLatency = Measure(client, *cameras[0], frames, 1);
    }
    FakeCamera socatCamera("127.0.0.1");
    const uint16_t socatPort = rig::FreePort();
    const pid_t socat = fork();
    if (socat == 0)
    {
        const std::string listen = "TCP-LISTEN:" + std::to_string(socatPort) + ",bind=127.0.0.1,reuseaddr,fork";
        const std::string target = "TCP:127.0.0.1:" + std::to_string(socatCamera.Port());
        execlp("socat", "socat", listen.c_str(), target.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    Latency socatLatency{};
    {
        std::unique_ptr<OperatorClient> client;
        rig::WaitUntil([&] {
            client = std::make_unique<OperatorClient>(socatPort);
            return client->Connected();
        });
        socatLatency = Measure(*client, socatCamera, frames, 1);
    }
    kill(socat, SIGTERM);
    waitpid(socat, nullptr, 0);

    std::printf("frames per latency run          %d\n", frames);
    std::printf("zoTolvex latency median / p99   %.1f / %.1f us\n", daemonLatency.median, daemonLatency.p99);
    std::printf("socat latency median / p99      %.1f / %.1f us\n", socatLatency.median, socatLatency.p99);
    std::printf("median ratio zoTolvex/socat     %.2f\n", daemonLatency.median / socatLatency.median);
    std::printf("resident, 100 cameras           %ld KiB\n", idleKiB);
    std::fflush(stdout);

    const Setup floorSetup = [](OperatorClient& client, int index) {
        client.Write(Frame(static_cast<uint8_t>(index + 1)));
        return client.ReceiveLike(kYouHaveControl) == kYouHaveControl;
    };
    int run = 0;
    const Setup daemonSetup = [&run](OperatorClient& client, int index) {
        client.Receive(("SESSION " + std::to_string(client.LocalPort())).size());
        client.Login("op" + std::to_string(run), "");
        client.Write(Frame(static_cast<uint8_t>(index + 1)));
        const std::string camera =
            "1CAMERA\t127.0.20." + std::to_string(index + 1) + "\t" + std::to_string(index + 1) + kYouHaveControl;
        return client.ReceiveLike(camera) == camera;
    };

    // Idle sessions: each connects, takes its session number and stays; operators connect after
    // them, so none of them shares an operator's number and takes its registry entry.
    std::vector<std::unique_ptr<OperatorClient>> idle;
    for (const int count : idleCounts)
    {
        while (static_cast<int>(idle.size()) < count)
        {
            idle.push_back(std::make_unique<OperatorClient>(port, IdleAddress(static_cast<int>(idle.size()))));
            idle.back()->Receive(("SESSION " + std::to_string(idle.back()->LocalPort())).size());
        }
        ++run;
        if (run > kUsers)
            break;
        const Rate floorRate = RelayRate(floor, floorPort, floorCameras, seconds, floorSetup);
        const Rate rate = RelayRate(daemon.Pid(), port, cameras, seconds, daemonSetup);
        std::printf("%6d idle: epoll relay %6.0f frames/s %5.1f us/frame, zoTolvex %6.0f frames/s %5.1f us/frame, "
                    "ratio %.2f (client load %.2f / %.2f, %ld frames)\n",
                    count, floorRate.frames, floorRate.relayMicros, rate.frames, rate.relayMicros,
                    rate.frames / floorRate.frames, floorRate.clientLoad, rate.clientLoad, rate.relayed);
        std::fflush(stdout);
    }
    std::printf("resident, %d idle sessions   %ld KiB\n", sessions, ResidentKiB(daemon.Pid()));
    kill(floor, SIGTERM);
    waitpid(floor, nullptr, 0);
    // An orderly end, so that a daemon run under a profiler writes its figures.
    daemon.Signal(SIGTERM);
    daemon.WaitExit(rig::Timeout(60000));
    return 0;
}
