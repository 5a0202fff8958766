// Soak: the real daemon under mixed load for a long time, with its resident memory and open
// descriptors sampled every 10 seconds. 100 operators steer 100 network cameras, each its own,
// a frame every 200 ms; every second a few operators drop their connection (half of them with a
// reset) and come back, one operator asks to CHOOSE and a trigger is fired on a recording server
// (`zonvr-sim ctl fire`; the others' frames usually take the pending choice first, so few fires
// end in a hand-over); now and then a recording server is dropped: its connections closed
// (`ctl drop`, every 45 s) or the process killed and started again (every 120 s). Needs root (the
// daemon runs in a private mount namespace, as in the system tests).
//
//   soak_bench [seconds]          default 600

#include <signal.h>
#include <dirent.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../tests/control/OperatorClient.h"
#include "DaemonRig.h"
#include "ZonvrSimProcess.h"

namespace
{

using Clock = std::chrono::steady_clock;

const int kCameras = 100;
const auto kFrameEvery = std::chrono::milliseconds(200);
const auto kSampleEvery = std::chrono::seconds(10);
const int kDropsPerSecond = 3;

/// Resident memory of pid in KiB; -1 when unknown.
long ResidentKiB(pid_t pid)
{
    const std::string status = rig::ReadFile("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

/// Open descriptors of pid; -1 when unknown.
int Descriptors(pid_t pid)
{
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

std::string CameraAddress(int index)
{
    return "127.0.30." + std::to_string(index + 1);
}

/// The server's listing of all cameras, under ids 1001 and up.
std::string SimState()
{
    std::string state = "user admin secret\n";
    for (int i = 0; i < kCameras; ++i)
        state += "camera " + std::to_string(1001 + i) + " \"Soak " + std::to_string(i + 1) + "\" \"rtsp://" +
                 CameraAddress(i) + "/\"\n";
    return state;
}

std::string Config(uint16_t port, const std::vector<std::unique_ptr<FakeCamera>>& cameras,
                   const ZonvrSimProcess& first, const ZonvrSimProcess& second)
{
    std::string users;
    for (int i = 1; i <= kCameras; ++i)
        users += "<User Name=\"op" + std::to_string(i) + "\" Password=\"\" Priority=\"1\"/>";
    // Each camera belongs to one of the two servers; both list them all.
    std::string halves[2];
    for (int i = 0; i < kCameras; ++i)
        halves[i % 2] += "<Camera Address=\"" + CameraAddress(i) + "\" Port=\"" + std::to_string(cameras[i]->Port()) +
                         "\" PelcoNumber=\"" + std::to_string(i + 1) + "\"/>";
    auto server = [](const ZonvrSimProcess& sim, const std::string& cameraList) {
        return "<NVR Address=\"" + sim.Address() + "\" Port=\"" + std::to_string(sim.Port()) +
               "\" Login=\"admin\" Password=\"secret\">" + cameraList + "</NVR>";
    };
    return "<zoTolvex><Options RetryIntervalSecs=\"2\" ClientPort=\"" + std::to_string(port) +
           "\"/><TolvexControl LockTime=\"1\">" + users + "</TolvexControl>" + server(first, halves[0]) +
           server(second, halves[1]) + "</zoTolvex>";
}

/// One operator: a connection logged in as op<n>, steering camera n.
struct Operator
{
    std::unique_ptr<OperatorClient> client;
    Clock::time_point nextFrame;
    std::string frame;
};

/// Connects and logs in operator index; false when the daemon did not answer as it should.
bool Connect(Operator& op, uint16_t port, int index)
{
    op.client = std::make_unique<OperatorClient>(port);
    const std::string session = "SESSION " + std::to_string(op.client->LocalPort());
    if (!op.client->Connected() || op.client->ReceiveLike(session) != session)
        return false;
    const std::string name = "op" + std::to_string(index + 1);
    op.client->Write("LOGIN " + name + " x");
    return op.client->Receive(2) == "OK";
}

/// What the load did, for each sample line.
struct Counters
{
    /// Bytes the cameras received: seven to a frame.
    std::atomic<long> cameraBytes{0};
    std::atomic<long> reconnects{0};
    std::atomic<long> handOvers{0};
    std::atomic<long> fires{0};
    std::atomic<long> serverDrops{0};
    std::atomic<long> failures{0};
};

/// The recording-server side of the load, on a thread of its own since each `ctl` is a process:
/// a trigger fired every second, a server dropped now and then.
void DriveServers(ZonvrSimProcess& first, ZonvrSimProcess& second, Clock::time_point end, Counters& counters)
{
    std::mt19937 random(7);
    ZonvrSimProcess* sims[] = {&first, &second};
    for (long tick = 1; Clock::now() < end; ++tick)
    {
        std::this_thread::sleep_until(Clock::now() + std::chrono::seconds(1));
        ZonvrSimProcess& sim = *sims[tick % 2];
        const int camera = static_cast<int>(random() % kCameras);
        const uint32_t trigger = sim.TriggerId("TOLVEX_" + std::to_string(1001 + camera));
        if (trigger != 0 && sim.Ctl({"fire", std::to_string(trigger), "1"}))
            ++counters.fires;
        if (tick % 45 == 0)
            counters.serverDrops += first.Ctl({"drop"});
        if (tick % 120 == 60)
            counters.serverDrops += second.Restart();
    }
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
    if (seconds <= 0)
    {
        std::fprintf(stderr, "usage: soak_bench [seconds]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    ZonvrSimProcess first(SimState(), "127.0.0.1");
    ZonvrSimProcess second(SimState(), "127.0.0.2");
    std::vector<std::unique_ptr<FakeCamera>> cameras;
    for (int i = 0; i < kCameras; ++i)
        cameras.push_back(std::make_unique<FakeCamera>(CameraAddress(i)));
    const uint16_t port = rig::FreePort();
    rig::Daemon daemon;
    daemon.WriteConfig(Config(port, cameras, first, second));
    if (!first.Running() || !second.Running() || daemon.Start() != 0 || daemon.Pid() <= 0)
    {
        std::fprintf(stderr, "the simulators or the daemon did not start\n");
        return 1;
    }
    const pid_t pid = daemon.Pid();
    // The listener comes up right after the pid is written.
    rig::WaitUntil([&] { return OperatorClient(port).Connected(); });
    std::printf("daemon pid %d, %d operators on %d cameras, %d s\n", pid, kCameras, kCameras, seconds);

    std::vector<Operator> operators(kCameras);
    for (int i = 0; i < kCameras; ++i)
    {
        operators[i].frame = std::string("\xFF", 1) + char(i + 1) + std::string("\x00\x04\x20\x00", 4) + char(i + 0x25);
        if (!Connect(operators[i], port, i))
            std::fprintf(stderr, "operator %d did not log in\n", i + 1);
        operators[i].nextFrame = Clock::now() + kFrameEvery * i / kCameras;
    }
    for (auto& camera : cameras)
        camera->Accept(std::chrono::seconds(10));

    Counters counters;
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    std::thread servers(DriveServers, std::ref(first), std::ref(second), end, std::ref(counters));
    std::mt19937 random(11);
    auto nextSample = start;
    auto nextSecond = start + std::chrono::seconds(1);
    char chunk[65536];
    std::vector<pollfd> entries;
    while (Clock::now() < end)
    {
        const auto now = Clock::now();
        if (now >= nextSample)
        {
            std::printf("%4lds  rss %6ld KiB  fds %4d  frames %8ld  reconnects %5ld  fired %4ld  handed over %4ld  "
                        "server drops %2ld  failures %ld\n",
                        static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now - start).count()),
                        ResidentKiB(pid), Descriptors(pid), counters.cameraBytes.load() / 7, counters.reconnects.load(),
                        counters.fires.load(), counters.handOvers.load(), counters.serverDrops.load(),
                        counters.failures.load());
            std::fflush(stdout);
            nextSample += kSampleEvery;
        }
        if (now >= nextSecond)
        {
            // A few operators drop and come back; one asks for the next camera chosen on a server.
            for (int d = 0; d < kDropsPerSecond; ++d)
            {
                Operator& op = operators[random() % kCameras];
                if (d % 2 == 0)
                    op.client->Reset();
                op.client.reset();
                const int index = static_cast<int>(&op - operators.data());
                counters.failures += !Connect(op, port, index);
                ++counters.reconnects;
            }
            // CHOOSE goes to an operator halfway between two frames, so that the daemon reads it
            // as a message of its own.
            for (int tries = 0, at = static_cast<int>(random() % kCameras); tries < kCameras; ++tries, at = (at + 1) % kCameras)
            {
                Operator& op = operators[at];
                if (op.nextFrame - now > kFrameEvery / 3 && op.nextFrame - now < kFrameEvery * 2 / 3)
                {
                    op.client->Write("CHOOSE");
                    break;
                }
            }
            nextSecond += std::chrono::seconds(1);
        }
        for (Operator& op : operators)
        {
            if (now >= op.nextFrame)
            {
                send(op.client->Descriptor(), op.frame.data(), op.frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                op.nextFrame += kFrameEvery;
            }
        }
        entries.clear();
        for (const Operator& op : operators)
            entries.push_back({op.client->Descriptor(), POLLIN, 0});
        for (const auto& camera : cameras)
            entries.push_back({camera->Descriptor(), POLLIN, 0});
        if (poll(entries.data(), entries.size(), 5) <= 0)
            continue;
        for (std::size_t e = 0; e < entries.size(); ++e)
        {
            if ((entries[e].revents & POLLIN) == 0)
                continue;
            const ssize_t got = recv(entries[e].fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (got <= 0)
                continue;
            if (e >= operators.size())
                counters.cameraBytes += got;
            else if (std::string(chunk, static_cast<std::size_t>(got)).find("0CAMERA") != std::string::npos)
                ++counters.handOvers;
        }
    }
    servers.join();
    std::printf("end: rss %ld KiB, fds %d, daemon %s\n", ResidentKiB(pid), Descriptors(pid),
                daemon.Running() ? "running" : "gone");
    daemon.Signal(SIGTERM);
    daemon.WaitExit();
    return 0;
}
