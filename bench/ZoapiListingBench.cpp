// How long a listing of 10,000 cameras takes to reach the client library on loopback, for one
// client alone and for 64 clients listing at once. Prints one line per figure.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "nvr/zoapi.h"
#include "sim/NvrSimulator.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kCameras = 10000;
constexpr int kClients = 64;

int OnEvent(int type, int status, void*, int, void* context)
{
    auto* state = static_cast<std::atomic<int>*>(context);
    if (type == ZOAPI_EVENT_CONNECTED)
        *state = 1;
    if (type == ZOAPI_EVENT_LOGIN_RESULT)
        *state = status == ZOAPI_LOGIN_OK ? 2 : -1;
    return 0;
}

ZOAPI_HANDLE Connect(unsigned short port, std::atomic<int>& state)
{
    ZOAPI_HANDLE h = ZOAPI_Init();
    ZOAPI_SetCallbackEx(h, OnEvent, &state);
    if (ZOAPI_Open(h, "127.0.0.1", port) != 0)
        return h;
    while (state == 0 && ZOAPI_Select(h, 1000) >= 0) {
    }
    ZOAPI_Login(h, "bench", "bench");
    while (state == 1 && ZOAPI_Select(h, 1000) >= 0) {
    }
    return h;
}

// The camera-directory walk the daemon makes: count, then id, device address and name of each.
double Listing(ZOAPI_HANDLE h, bool& complete)
{
    auto start = Clock::now();
    unsigned n = ZOAPI_NumCameras(h);
    char text[ZOAPI_TEXT_SIZE];
    unsigned named = 0;
    for (unsigned i = 0; i < n; ++i) {
        unsigned id = ZOAPI_GetCameraId(h, i);
        ZOAPI_GetDeviceIP(h, id, text, sizeof text);
        if (ZOAPI_GetCameraName(h, id, text, sizeof text) == 0 && text[0])
            ++named;
    }
    complete = n == kCameras && named == kCameras;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main()
{
    zonvrsim::NvrSimulator sim;
    sim.AddUser("bench", "bench");
    for (unsigned id = 1; id <= kCameras; ++id)
        sim.PutCamera(zonvrsim::SimCamera{id, "Camera " + std::to_string(id),
                                          "rtsp://127.0." + std::to_string(id / 250) + "." + std::to_string(id % 250) +
                                              ":554/stream"});
    sim.Start();

    std::atomic<int> state{0};
    ZOAPI_HANDLE one = Connect(sim.Port(), state);
    bool complete = false;
    std::vector<double> alone;
    for (int i = 0; i < 10; ++i)
        alone.push_back(Listing(one, complete));
    std::sort(alone.begin(), alone.end());
    std::printf("one client: %u cameras listed in %.1f ms (median of 10, best %.1f ms)%s\n", kCameras, alone[5],
                alone[0], complete ? "" : " INCOMPLETE");
    ZOAPI_Close(one);
    ZOAPI_Cleanup(one);

    std::vector<double> times(kClients, 0);
    std::vector<int> ok(kClients, 0);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            std::atomic<int> s{0};
            ZOAPI_HANDLE h = Connect(sim.Port(), s);
            ++ready;
            while (ready < kClients)
                std::this_thread::yield();
            bool done = false;
            times[c] = Listing(h, done);
            ok[c] = done && s == 2;
            ZOAPI_Close(h);
            ZOAPI_Cleanup(h);
        });
    }
    auto start = Clock::now();
    for (auto& t : threads)
        t.join();
    double wall = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::sort(times.begin(), times.end());
    int complete64 = 0;
    for (int v : ok)
        complete64 += v;
    std::printf("%d clients at once: listing took %.1f ms median, %.1f ms slowest; %.1f ms wall; %d of %d complete\n",
                kClients, times[kClients / 2], times.back(), wall, complete64, kClients);
    sim.Stop();
    return complete && complete64 == kClients ? 0 : 1;
}
