// How long the daemon's recording-server link takes to provision a server with many cameras:
// an in-process simulator holds the IP cameras and a user; the track cameras come from the
// daemon's own configuration loader; a control server runs on its own event loop and an
// NVRConnection is started on it as main starts it. Each run uses a fresh simulator, so every
// camera needs a soft trigger and an association, and ends with a second pass over the
// provisioned server after it reports a change. The figures come from the simulator's record
// of calls, polled every millisecond until the log-in and every 5 ms after it: each poll copies
// the whole record under the simulator's lock, and polling faster takes a visible share of the
// two cores from the threads under measure.
//
//   provision_bench [cameras=1000] [runs=5]

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/thread/thread.hpp>

#include "base/LogStream.h"
#include "base/User.h"
#include "camera/CameraMap.h"
#include "camera/TrackCamera.h"
#include "control/ControlServer.h"
#include "nvr/NVRConnection.h"
#include "nvr/NvrMap.h"
#include "service/LoadConfig.h"
#include "sim/NvrSimulator.h"

namespace
{

using Clock = std::chrono::steady_clock;

/// Milliseconds from one instant to another.
double Milliseconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

/// The loopback address of camera number index (0-based): 127.0.10.1 onwards.
std::string CameraAddress(int index)
{
    return "127.0." + std::to_string(10 + index / 250) + "." + std::to_string(1 + index % 250);
}

/// Calls of the simulator's record counted by their first word ("UpdateAssociation", ...).
std::map<std::string, int> CountCalls(const std::vector<std::string>& calls)
{
    std::map<std::string, int> counts;
    for (const std::string& call : calls)
        ++counts[call.substr(0, call.find(' '))];
    return counts;
}

/// Calls of the record that start with word.
int Count(const std::vector<std::string>& calls, const std::string& word)
{
    int count = 0;
    for (const std::string& call : calls)
        count += call.compare(0, word.size(), word) == 0;
    return count;
}

/// Polls the simulator's record of calls until done(calls) holds or 30 s pass; after each look
/// seen(calls, now) tells how many milliseconds to sleep before the next. False on the time limit.
template <typename Seen, typename Done>
bool PollCalls(zonvrsim::NvrSimulator& sim, Seen seen, Done done, std::vector<std::string>& calls)
{
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    for (;;)
    {
        calls = sim.Calls();
        const auto now = Clock::now();
        const int sleepMs = seen(calls, now);
        if (done(calls))
            return true;
        if (now > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
    }
}

/// Prints the calls of one pass per camera, largest first.
void PrintPerCamera(const char* what, const std::map<std::string, int>& counts, int cameras)
{
    std::vector<std::pair<int, std::string>> sorted;
    int total = 0;
    for (const auto& entry : counts)
    {
        if (entry.second == 0)
            continue;
        sorted.emplace_back(entry.second, entry.first);
        total += entry.second;
    }
    std::sort(sorted.rbegin(), sorted.rend());
    std::printf("  %s: %d calls, %.2f per camera:", what, total, double(total) / cameras);
    for (const auto& entry : sorted)
        std::printf(" %s %d", entry.second.c_str(), entry.first);
    std::printf("\n");
}

/// One camera's association on the server lists exactly its own trigger "TOLVEX_<id>", and the
/// control server knows that trigger for the camera.
bool Provisioned(const zonvrsim::SimState& state, ControlServer& server, int cameras)
{
    if (static_cast<int>(state.associations.size()) != cameras || static_cast<int>(state.triggers.size()) != cameras)
        return false;
    for (int index = 0; index < cameras; ++index)
    {
        const uint32_t id = static_cast<uint32_t>(index + 1);
        const auto association = state.associations.find(id);
        if (association == state.associations.end() || association->second.entries.size() != 1)
            return false;
        const uint32_t trigger = association->second.entries[0].field[3];
        const auto found = state.triggers.find(trigger);
        if (found == state.triggers.end() || found->second.guid != "TOLVEX_" + std::to_string(id) ||
            server.GetSoftTriggerId(CameraAddress(index)) != trigger)
            return false;
    }
    return true;
}

/// The figures of one run, in milliseconds, and the calls of its two passes by kind.
struct RunResult
{
    double toLogin = 0;         ///< Start to the simulator's Login call.
    double idleAfterLogin = 0;  ///< Login call to the first call of the pass.
    double loginToLast = 0;     ///< Login call to the last association written.
    double passEnd = 0;         ///< Login call to the event-link listing that ends the pass.
    double idleAfterChange = 0; ///< A reported change to the first call of the next pass.
    double repass = 0;          ///< A reported change to the end of the next pass.
    std::map<std::string, int> firstCalls;
    std::map<std::string, int> repassCalls;
};

/// One run against a fresh simulator; false when the pass does not complete.
bool RunOnce(int cameras, CameraMap& cameraMap, ControlServer& server, uint32_t retrySecs, RunResult& result)
{
    zonvrsim::NvrSimulator sim;
    sim.AddUser("tolvex", "secret");
    for (int index = 0; index < cameras; ++index)
        sim.PutCamera(zonvrsim::SimCamera{static_cast<uint32_t>(index + 1), "Camera " + std::to_string(index + 1),
                                          "rtsp://" + CameraAddress(index) + ":554/stream"});
    sim.Start();

    // What an earlier run left in the track cameras: each run starts from a daemon that has
    // never seen a server.
    for (const auto& entry : cameraMap)
    {
        server.SetCameraId(entry.first, 0);
        server.SetCameraName(entry.first, "");
        server.SetSoftTriggerId(entry.first, 0);
    }

    NVRConnection connection(retrySecs, cameraMap);
    connection.port = sim.Port();
    connection.login = "tolvex";
    connection.password = "secret";
    connection.controlServer = &server;

    // The instants at which the poll first saw the Login call and the first call after it (the
    // pass begins with the camera listing).
    Clock::time_point login, passBegins;
    const auto watch = [&](const std::vector<std::string>& calls, Clock::time_point now) {
        std::size_t at = 0;
        while (at < calls.size() && calls[at].compare(0, 6, "Login ") != 0)
            ++at;
        if (at < calls.size() && login == Clock::time_point())
            login = now;
        if (at + 1 < calls.size() && passBegins == Clock::time_point())
            passBegins = now;
        return login == Clock::time_point() ? 1 : 5;
    };
    const int writes = 2 * cameras;
    std::vector<std::string> calls;

    const auto start = Clock::now();
    boost::thread* thread = connection.Start();
    bool complete = PollCalls(
        sim, watch, [&](const std::vector<std::string>& seen) { return Count(seen, "UpdateAssociation") >= writes; },
        calls);
    const auto lastWrite = Clock::now();
    complete = complete && PollCalls(
                               sim, watch,
                               [](const std::vector<std::string>& seen) { return Count(seen, "ListEventLinks") > 0; },
                               calls);
    const auto passEnd = Clock::now();
    result.firstCalls = CountCalls(calls);
    complete = complete && Provisioned(sim.Snapshot(), server, cameras);
    result.toLogin = Milliseconds(start, login);
    result.idleAfterLogin = Milliseconds(login, passBegins);
    result.loginToLast = Milliseconds(login, lastWrite);
    result.passEnd = Milliseconds(login, passEnd);

    // A change on the server: the next pass finds everything in place and writes nothing.
    if (complete)
    {
        sim.ClearCalls();
        const auto changed = Clock::now();
        Clock::time_point repassBegins;
        sim.RenameCamera(1, "Camera 1 renamed");
        complete = PollCalls(
            sim,
            [&](const std::vector<std::string>& seen, Clock::time_point now) {
                if (!seen.empty() && repassBegins == Clock::time_point())
                    repassBegins = now;
                return 5;
            },
            [](const std::vector<std::string>& seen) { return Count(seen, "ListEventLinks") > 0; }, calls);
        result.repass = Milliseconds(changed, Clock::now());
        result.idleAfterChange = Milliseconds(changed, repassBegins);
        result.repassCalls = CountCalls(calls);
        complete = complete && !server.CameraNameDiffers(CameraAddress(0), "Camera 1 renamed") &&
                   result.repassCalls["UpdateAssociation"] == 0 && result.repassCalls["CreateSoftTrigger"] == 0;
    }

    connection.Stop();
    thread->join();
    delete thread;
    sim.Stop();
    return complete;
}

} // namespace

int main(int argc, char** argv)
{
    const int cameras = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    if (cameras < 1 || cameras > 250 * 200 || runs < 1)
    {
        std::fprintf(stderr, "usage: provision_bench [cameras=1000] [runs=5]\n");
        return 2;
    }

    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, static_cast<rlim_t>(2 * cameras + 256));
    setrlimit(RLIMIT_NOFILE, &files);

    char pattern[] = "/tmp/zotolvex-provision-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
    {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = std::string(pattern) + "/";
    gLog.Reopen(dir);

    // The cameras dial port 1 of their loopback address, where nothing listens: they only need
    // to exist. The long retry interval keeps them from redialling during the runs.
    const uint32_t retrySecs = 3600;
    std::string config = "<zoTolvex><Options RetryIntervalSecs=\"" + std::to_string(retrySecs) +
                         "\" ClientAddress=\"127.0.0.1\" ClientPort=\"1\"/><TolvexControl/>"
                         "<NVR Address=\"127.0.0.1\" Port=\"22609\" Login=\"tolvex\" Password=\"secret\">";
    for (int index = 0; index < cameras; ++index)
        config += "<Camera Address=\"" + CameraAddress(index) + "\" Port=\"1\" PelcoNumber=\"" +
                  std::to_string(index + 1) + "\"/>";
    config += "</NVR></zoTolvex>";
    std::ofstream(dir + "zoTolvex.xml") << config;

    boost::asio::io_service ioService;
    NvrMap nvrs;
    CameraMap cameraMap;
    UserMap users;
    if (LoadConfig(ioService, nvrs, cameraMap, users, dir) != 0 || static_cast<int>(cameraMap.size()) != cameras)
    {
        std::fprintf(stderr, "the configuration did not load; see %szoTolvex.log\n", dir.c_str());
        return 1;
    }
    ControlServer server(ioService, "127.0.0.1", 0, cameraMap, users);
    for (auto& entry : cameraMap)
        server.AttachCamera(*entry.second);
    std::thread loop([&] { ioService.run(); });
    // Let the cameras' first connection attempts fail before the link starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::vector<RunResult> results;
    bool allComplete = true;
    for (int run = 0; run < runs && allComplete; ++run)
    {
        RunResult result;
        allComplete = RunOnce(cameras, cameraMap, server, retrySecs, result);
        results.push_back(result);
        std::printf("run %d: Start to Login %.1f ms; Login to last association %.1f ms (first call of the pass "
                    "%.1f ms after Login, pass ends %.1f ms after Login); re-pass after a change %.1f ms (first "
                    "call after %.1f ms)%s\n",
                    run + 1, result.toLogin, result.loginToLast, result.idleAfterLogin, result.passEnd, result.repass,
                    result.idleAfterChange, allComplete ? "" : " INCOMPLETE");
    }
    if (allComplete)
    {
        std::vector<double> pass, fromStart, repass;
        for (const RunResult& result : results)
        {
            pass.push_back(result.loginToLast);
            fromStart.push_back(result.toLogin + result.loginToLast);
            repass.push_back(result.repass);
        }
        std::sort(pass.begin(), pass.end());
        std::sort(fromStart.begin(), fromStart.end());
        std::sort(repass.begin(), repass.end());
        std::printf("%d cameras, %d runs: Login to last association median %.1f ms, worst %.1f ms "
                    "(from Start: median %.1f ms, worst %.1f ms); re-pass median %.1f ms, worst %.1f ms\n",
                    cameras, runs, pass[pass.size() / 2], pass.back(), fromStart[fromStart.size() / 2],
                    fromStart.back(), repass[repass.size() / 2], repass.back());
        PrintPerCamera("first pass", results.back().firstCalls, cameras);
        PrintPerCamera("re-pass", results.back().repassCalls, cameras);
    }

    ioService.stop();
    loop.join();
    for (auto& entry : nvrs)
        delete entry.second;
    // The cameras' sockets belong to the stopped loop: end here rather than destroy them.
    std::fflush(stdout);
    const std::string remove = "rm -rf '" + dir + "'";
    if (std::system(remove.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    std::_Exit(allComplete ? 0 : 1);
}
