// An operator steers a track camera while its recording server is killed, replaced by a server
// that sends garbage frames, started again and frozen: the link recovers each time, and no frame
// waits for the link's thread.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "NvrSite.h"
#include "ZonvrSimProcess.h"

namespace
{

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

std::string Le32(uint32_t value)
{
    return {char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
}

/// One frame of the library's protocol: length, type, flags 0, sequence, payload.
std::string Frame(uint16_t type, const std::string& payload, const std::string& sequence = Le32(0))
{
    return Le32(8 + payload.size()) + std::string{char(type), char(type >> 8), 0, 0} + sequence + payload;
}

/// An event frame whose data-size field says size while data carries the bytes actually sent.
std::string Event(int32_t type, int32_t status, uint16_t size, const std::string& data = "")
{
    return Frame(0x0100, Le32(type) + Le32(status) + std::string{char(size), char(size >> 8)} + data);
}

/// What a broken server sends, and whether it first lets the daemon log in (so the garbage comes
/// in answer to the first request of a provisioning pass instead of right after the greeting).
struct Garbage
{
    const char* what;
    std::string bytes;
    bool afterLogin;
};

const std::vector<Garbage> kGarbage = {
    {"a length below 8", Le32(4) + Le32(0), false},
    {"a length above 16 MiB", Le32(0x01000001) + std::string(8, '\0'), false},
    {"event data above 256 bytes", Event(3, 0, 300, std::string(300, 'x')), true},
    {"a trigger event shorter than its record", Event(10, 1, 4, Le32(16)), true},
    {"text that is no frame", "GET / HTTP/1.0\r\n\r\n", false},
};

/// A recording server played by the test on one address and port: it greets every connection,
/// then sends the next entry of kGarbage, and keeps the connection until the daemon gives it up.
class GarbageServer
{
public:
    GarbageServer(const std::string& address, uint16_t port)
    {
        listener = ListenOn(address, port, 4);
        listening = listener >= 0;
        worker = std::thread([this] { Run(); });
    }
    ~GarbageServer()
    {
        stopping = true;
        worker.join();
        ::close(listener);
    }

    /// True when it listens on the port.
    bool Listening() const { return listening; }
    /// Connections the daemon has given up, each after its garbage.
    int Served() const { return served; }

private:
    void Run()
    {
        for (int next = 0; !stopping;)
        {
            pollfd entry{listener, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0)
                continue;
            const int connection = ::accept(listener, nullptr, nullptr);
            if (connection < 0)
                continue;
            if (Serve(connection, kGarbage[next % kGarbage.size()]))
                ++served, ++next;
            ::close(connection);
        }
    }

    /// Greets, sends the garbage, and waits for the daemon to close; false when it never did.
    bool Serve(int connection, const Garbage& garbage)
    {
        Send(connection, Event(1, 0, 0));
        if (garbage.afterLogin)
        {
            // The first request is the camera listing of the discovery, then the login; the
            // garbage answers the first request after the login has been accepted.
            bool loggedIn = false;
            for (std::string request; !loggedIn && ReadFrame(connection, request);)
            {
                loggedIn = request[4] == 0x02 && request[5] == 0x00;
                // Anything else before the login is the listing: an empty one, for its sequence.
                Send(connection, loggedIn ? Event(71, 0, 0) : Frame(0x8003, Le32(0) + Le32(0), request.substr(8, 4)));
            }
            std::string request;
            if (!loggedIn || !ReadFrame(connection, request))
                return false;
        }
        Send(connection, garbage.bytes);
        for (std::string request; ReadFrame(connection, request);)
        {
        }
        return peerClosed;
    }

    static void Send(int connection, const std::string& bytes)
    {
        ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }

    /// Reads one request frame (at least its 12-byte header) into frame; false at the end of
    /// the stream (peerClosed) or after a quiet 10 s.
    bool ReadFrame(int connection, std::string& frame)
    {
        frame.clear();
        peerClosed = false;
        return Fill(connection, frame, 4) &&
               Fill(connection, frame, 4 + (uint8_t(frame[0]) | uint8_t(frame[1]) << 8 | uint8_t(frame[2]) << 16)) &&
               frame.size() >= 12;
    }

    bool Fill(int connection, std::string& bytes, std::size_t count)
    {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (bytes.size() < count && !stopping && Clock::now() < deadline)
        {
            pollfd entry{connection, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0)
                continue;
            char chunk[4096];
            const ssize_t got = ::recv(connection, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
            if (got <= 0)
            {
                peerClosed = true;
                return false;
            }
            bytes.append(chunk, static_cast<std::size_t>(got));
        }
        return bytes.size() == count;
    }

    /// The listening socket on the server's address and port.
    int listener = -1;
    /// Whether bind and listen succeeded.
    bool listening = false;
    /// Set by the destructor; every wait of the worker ends soon after.
    std::atomic<bool> stopping{false};
    /// Connections given up by the daemon after their garbage.
    std::atomic<int> served{0};
    /// True when the last read ended because the daemon closed its end.
    bool peerClosed = false;
    /// Accepts and serves one connection at a time.
    std::thread worker;
};

/// An operator steering one camera, frame after frame, timing each from its write to its
/// arrival at the camera.
class Steering
{
public:
    Steering(OperatorClient& client, FakeCamera& camera) : client(client), camera(camera) {}

    /// Steers until done holds (asked every 100 ms) or limit passes, and returns the slowest
    /// frame; a frame that never arrives counts as the whole limit. done is asked between
    /// frames, so the time it takes never counts.
    Clock::duration SlowestUntil(const std::function<bool()>& done, Clock::duration limit)
    {
        const auto end = Clock::now() + limit;
        Clock::duration slowest{};
        auto nextCheck = Clock::now();
        for (int i = 0; Clock::now() < end; ++i)
        {
            if (Clock::now() >= nextCheck)
            {
                if (done())
                    return slowest;
                nextCheck = Clock::now() + Millis(100);
            }
            // Pan right at a speed that changes with every frame, so that each frame is its own.
            const char speed = char(1 + i % 63);
            const std::string sent = std::string("\xFF\x01\x00\x02", 4) + speed + std::string("\x00", 1) + char(3 + speed);
            const auto start = Clock::now();
            client.Write(sent);
            if (camera.Receive(sent.size(), Millis(3000)) != sent)
                return limit;
            slowest = std::max(slowest, Clock::now() - start);
            // The control messages that every frame brings back are not the story here.
            client.Receive(1 << 20, Millis(0));
            std::this_thread::sleep_for(Millis(5));
        }
        done();
        return limit;
    }

    /// Steers for a fixed time.
    Clock::duration SlowestFor(Clock::duration window)
    {
        const auto end = Clock::now() + window;
        return SlowestUntil([&] { return Clock::now() >= end; }, window + std::chrono::seconds(1));
    }

private:
    /// The operator, logged in.
    OperatorClient& client;
    /// The camera the frames are for, Pelco number 1.
    FakeCamera& camera;
};

long Ms(Clock::duration duration)
{
    return static_cast<long>(std::chrono::duration_cast<Millis>(duration).count());
}

} // namespace

TEST(SystemNvrFaults, SteeringIsNeverDelayedWhileTheServerIsKilledSendsGarbageRestartsOrFreezes)
{
    ZonvrSimProcess sim("user admin secret\ncamera 17 \"Lobby\" \"rtsp://127.0.0.5:554/stream\"\n");
    ASSERT_TRUE(sim.Running());
    FakeCamera camera("127.0.0.5");
    NvrSite site(NvrSite::Server(sim, NvrSite::NetworkCamera("127.0.0.5", 1, camera.Port())));
    ASSERT_TRUE(Provisioned(site, sim));
    rig::Daemon& daemon = site.daemon;
    auto alice = site.Operator("alice");
    ASSERT_TRUE(camera.Accept());
    Steering steering(*alice, camera);

    // The bound is relative to the slowest frame on a healthy link, ten times over; the floor
    // keeps scheduler noise on a busy machine from failing it. A frame that waited for the link's
    // thread would wait at least one library wait (1 s of ZOAPI_Select, or the 60 s silence
    // limit), so a bound under a second still tells a stall from noise.
    const Clock::duration baseline = steering.SlowestFor(std::chrono::seconds(1));
    const Clock::duration bound = std::max<Clock::duration>(10 * baseline, Millis(200));
    ASSERT_LT(bound, std::chrono::seconds(1)) << "healthy frames took up to " << Ms(baseline) << " ms";
    const std::string login = NvrSite::LoginSucceeded(sim.Address());
    const std::string retry = NvrSite::WillRetry(sim.Address());

    // Killed: the failed attempts are logged once and retried every second.
    sim.Kill();
    EXPECT_LT(steering.SlowestUntil([&] { return daemon.CountLines(retry) == 1; }, std::chrono::seconds(10)), bound);
    EXPECT_LT(steering.SlowestFor(std::chrono::seconds(2)), bound);
    EXPECT_EQ(1, daemon.CountLines(retry));

    // A server on the same port that breaks the framing, each attempt in another way; the ones
    // that let the daemon log in show it dropping a session in the middle of a pass.
    {
        GarbageServer garbage(sim.Address(), sim.Port());
        ASSERT_TRUE(garbage.Listening());
        const int wanted = static_cast<int>(kGarbage.size());
        EXPECT_LT(steering.SlowestUntil([&] { return garbage.Served() >= wanted; }, std::chrono::seconds(30)), bound);
        EXPECT_LE(wanted, garbage.Served()) << daemon.Log();
    }
    EXPECT_TRUE(daemon.Running());
    const int loginsBefore = daemon.CountLines(login);

    // Started again: a new login and a whole provisioning pass on the fresh server.
    ASSERT_TRUE(sim.Restart());
    EXPECT_LT(steering.SlowestUntil([&] { return sim.CountCalls("ListEventLinks") > 0; }, std::chrono::seconds(15)),
              bound);
    EXPECT_EQ(loginsBefore + 1, daemon.CountLines(login)) << daemon.Log();
    EXPECT_EQ(1, sim.CountCalls("CreateSoftTrigger name=Tolvex Control guid=TOLVEX_17"));

    // Frozen for a few seconds, past the library's first ping: the session survives and the
    // next change on the thawed server is provisioned on it.
    sim.Freeze(true);
    EXPECT_LT(steering.SlowestFor(std::chrono::seconds(6)), bound);
    sim.Freeze(false);
    EXPECT_TRUE(sim.RunPass());
    EXPECT_EQ(loginsBefore + 1, daemon.CountLines(login));

    // The recovered link hands the camera over again.
    ASSERT_TRUE(site.Choose(*alice));
    ASSERT_TRUE(sim.Ctl({"fire", std::to_string(sim.TriggerId("TOLVEX_17")), "1"}));
    EXPECT_TRUE(alice->SkipPast("0CAMERA\t127.0.0.5\t1\tLobby"));
    EXPECT_TRUE(daemon.Running());
}
