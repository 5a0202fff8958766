// Operator control through the real daemon: the latency of one operator frame to a fake camera
// beside socat relaying the same traffic, the relay rate with 100 operators on 100 cameras,
// and the daemon's resident memory with many idle sessions. Needs root (the daemon runs in a
// private mount namespace, as in the system tests) and socat.
//
//   control_relay_bench [frames] [sessions]

#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../tests/control/OperatorClient.h"
#include "DaemonRig.h"

namespace
{

using Clock = std::chrono::steady_clock;

const std::string kYouHaveControl = "#0000F0 You have control";

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
    return "<zoTolvex><Options ClientPort=\"" + std::to_string(controlPort) +
           "\"/><TolvexControl LockTime=\"5\"><User Name=\"op\" Password=\"\" Priority=\"1\"/></TolvexControl>"
           "<NVR Address=\"127.0.0.1\" Port=\"" + std::to_string(rig::FreePort()) +
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

/// 100 operators, each steering its own camera: a frame, then its control message, then the
/// next frame. Returns relayed frames per second over seconds.
double RelayRate(uint16_t port, std::vector<std::unique_ptr<FakeCamera>>& cameras, double seconds)
{
    const int count = static_cast<int>(cameras.size());
    std::vector<std::unique_ptr<OperatorClient>> clients;
    const int poller = epoll_create1(0);
    for (int i = 0; i < count; ++i)
    {
        clients.push_back(std::make_unique<OperatorClient>(port));
        OperatorClient& client = *clients.back();
        client.Receive(("SESSION " + std::to_string(client.LocalPort())).size());
        // Priority 1 outranks the anonymous latency client that may still hold camera 1.
        client.Login("op", "");
        client.Write(Frame(static_cast<uint8_t>(i + 1)));
        const std::string camera = "1CAMERA\t127.0.20." + std::to_string(i + 1) + "\t" + std::to_string(i + 1);
        if (client.Receive(camera.size() + kYouHaveControl.size()) != camera + kYouHaveControl)
            std::fprintf(stderr, "operator %d did not get its camera\n", i);
        cameras[i]->Receive(7);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(poller, EPOLL_CTL_ADD, client.Descriptor(), &event);
        event.data.u32 = static_cast<uint32_t>(count + i);
        epoll_ctl(poller, EPOLL_CTL_ADD, cameras[i]->Descriptor(), &event);
    }

    // Each operator keeps one frame in flight; the next goes when its control message is in.
    std::vector<std::size_t> pending(count, 0);
    long relayed = 0;
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
            if (index >= count)
            {
                if (read(cameras[index - count]->Descriptor(), chunk, sizeof chunk) <= 0)
                    epoll_ctl(poller, EPOLL_CTL_DEL, cameras[index - count]->Descriptor(), nullptr);
                continue;
            }
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
            }
        }
    }
    close(poller);
    return relayed / std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    const int frames = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int sessions = argc > 2 ? std::atoi(argv[2]) : 10000;
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, static_cast<rlim_t>(2 * sessions + 1024));
    setrlimit(RLIMIT_NOFILE, &files);

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

    const double rate = RelayRate(port, cameras, 5.0);

    // Idle sessions: each connects, takes its session number and stays.
    std::vector<std::unique_ptr<OperatorClient>> idle;
    for (int i = 0; i < sessions; ++i)
    {
        idle.push_back(std::make_unique<OperatorClient>(port, "127.0." + std::to_string(30 + i / 250) + "." +
                                                                  std::to_string(1 + i % 250)));
        idle.back()->Receive(("SESSION " + std::to_string(idle.back()->LocalPort())).size());
    }
    const long sessionsKiB = ResidentKiB(daemon.Pid());

    std::printf("frames per latency run        %d\n", frames);
    std::printf("zoTolvex latency median / p99 %.1f / %.1f us\n", daemonLatency.median, daemonLatency.p99);
    std::printf("socat latency median / p99    %.1f / %.1f us\n", socatLatency.median, socatLatency.p99);
    std::printf("median ratio zoTolvex/socat   %.2f\n", daemonLatency.median / socatLatency.median);
    std::printf("100 operators on 100 cameras  %.0f frames/s\n", rate);
    std::printf("resident, 100 cameras         %ld KiB\n", idleKiB);
    std::printf("resident, %d idle sessions %ld KiB\n", sessions, sessionsKiB);
    return 0;
}
