#include <arpa/inet.h>
#include <netdb.h>
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "CameraTestBed.h"
#include "FakeCamera.h"

// Completions that arrive after the work they belong to was superseded: a write left on a socket
// the camera has moved away from, and a retry wait that ran out just as the camera connected.
using ComponentTrackCameraSuperseded = CameraTestBed;

namespace
{

/// Gives this thread, and the threads it starts from now on, a host table with one extra name
/// for two loopback addresses; the old view comes back on destruction.
class TwoAddressName
{
public:
    /// Binds a copy of /etc/hosts with name added over it; false in ok when that is not allowed.
    TwoAddressName(const std::string& directory, const std::string& name)
    {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return;
        std::ifstream original("/etc/hosts");
        const std::string hosts((std::istreambuf_iterator<char>(original)), std::istreambuf_iterator<char>());
        const std::string path = directory + "hosts";
        std::ofstream(path) << hosts << "\n127.0.0.91 " << name << "\n127.0.0.92 " << name << "\n";
        ok = mount(path.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
    }
    ~TwoAddressName()
    {
        if (ok)
            umount("/etc/hosts");
    }

    /// True when the name resolves here.
    bool ok = false;
};

/// The IPv4 addresses name resolves to, in the resolver's order.
std::vector<std::string> AddressesOf(const std::string& name)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    std::vector<std::string> addresses;
    if (getaddrinfo(name.c_str(), "1", &hints, &found) != 0)
        return addresses;
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next)
    {
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr, text, sizeof text);
        addresses.push_back(text);
    }
    freeaddrinfo(found);
    return addresses;
}

} // namespace

TEST_F(ComponentTrackCameraSuperseded, WriteLeftOnARefusingAddressIsForgotten)
{
    const std::string name = "stalewrite.test";
    TwoAddressName hosts(dir, name);
    if (!hosts.ok)
        GTEST_SKIP() << "no private host table (needs CAP_SYS_ADMIN): " << std::strerror(errno);
    const std::vector<std::string> order = AddressesOf(name);
    ASSERT_EQ(order.size(), 2u);
    // The first address refuses, the second is the camera.
    FakeCamera fake(ioService, 0, order[1]);
    const std::string port = std::to_string(fake.Port());
    TrackCamera& camera = MakeCamera("<Camera Address='" + name + "' Port='" + port + "'/>", 3600);

    // A block every turn of the event loop, so that one waits behind the connect to the refusing
    // address. That connect fails, the socket moves on to the second address, and the waiting
    // write ends in failure for a socket that is no longer the camera's: it must neither be
    // reported nor start a reconnection that would tear down the good connection.
    const uint8_t frame[] = {0xFF, 0x01, 0x00, 0x04, 0x3F, 0x00, 0x44};
    ASSERT_TRUE(RunUntil([&] {
        camera.Send(2, 1, frame, sizeof frame);
        return notifications.size() >= 3 || HasLine("Error sending command to ");
    }));
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Connecting to track camera at " + name + ":" + port});
    EXPECT_EQ(fake.Connections(), 1u);
    EXPECT_EQ(camera.holderSession, 2);
}

TEST_F(ComponentTrackCameraSuperseded, RetryExpiryQueuedBehindTheConnectStartsNothing)
{
    const uint16_t port = FakeCamera::FreePort();
    const int32_t retrySecs = 1;
    TrackCamera& camera = MakeCamera("<Camera Address='127.0.0.1' Port='" + std::to_string(port) + "'/>", retrySecs);
    const std::string refused =
        "*** Connection error for track camera at 127.0.0.1 on port " + std::to_string(port) + ": Connection refused";
    ASSERT_TRUE(RunUntil([&] { return HasLine(refused); }));
    // The retry wait ends no later than this.
    const auto retryDue = std::chrono::steady_clock::now() + std::chrono::seconds(retrySecs);

    // The camera starts listening, and a block to the dead socket fails and resolves again at
    // once, while the retry wait still runs. Hand-driven: the failed write, then the resolution,
    // which starts the connect.
    FakeCamera fake(ioService, port);
    const uint8_t frame[] = {0xFF, 0x01, 0x00, 0x08, 0x00, 0x20, 0x29};
    camera.Send(1, 1, frame, sizeof frame);
    ioService.restart();
    ASSERT_EQ(ioService.run_one(), 1u);
    ASSERT_EQ(ioService.run_one(), 1u);
    ASSERT_LT(std::chrono::steady_clock::now(), retryDue) << "too slow to set the race up";

    // Keep the event loop still until the wait has run out as well: the connect and the expiry
    // reach the loop in the same turn, the connect first. The connect ends the outage, so the
    // expiry behind it is out of date and must not reconnect the camera.
    std::this_thread::sleep_until(retryDue + std::chrono::milliseconds(300));
    Poll();
    // The expiry was already out of the timer when the connect cancelled it: no abort line.
    EXPECT_EQ(CountLines("Camera connection retry timer aborted"), 0);
    EXPECT_EQ(CountLines("*** Reconnecting to camera at "), 0);

    ASSERT_TRUE(RunUntil([&] {
        camera.Send(1, 1, frame, sizeof frame);
        return !notifications.empty();
    }));
    ASSERT_TRUE(RunUntil([&] { return fake.Connections() >= 1 && !fake.Received(fake.Connections() - 1).empty(); }));
    EXPECT_EQ(fake.Connections(), 1u);
    EXPECT_EQ(CountLines(refused), 1);
}

TEST_F(ComponentTrackCameraSuperseded, ResolutionThatReplacesAConnectingSocketCancelsItQuietly)
{
    const uint16_t port = FakeCamera::FreePort();
    TrackCamera& camera = MakeCamera("<Camera Address='127.0.0.1' Port='" + std::to_string(port) + "'/>", 1);
    const std::string refused =
        "*** Connection error for track camera at 127.0.0.1 on port " + std::to_string(port) + ": Connection refused";
    ASSERT_TRUE(RunUntil([&] { return HasLine(refused); }));
    const auto retryDue = std::chrono::steady_clock::now() + std::chrono::seconds(1);

    // A block to the dead socket resolves again while the retry wait runs; the loop stays still
    // until the wait has run out too, so that the resolution's connect and the expiry's second
    // resolution both start before the connect is seen to finish.
    FakeCamera fake(ioService, port);
    const uint8_t lost[] = {0xFF, 0x01, 0x00, 0x02, 0x20, 0x00, 0x23};
    camera.Send(1, 1, lost, sizeof lost);
    ioService.restart();
    ASSERT_EQ(ioService.run_one(), 1u);
    std::this_thread::sleep_until(retryDue + std::chrono::milliseconds(300));
    ASSERT_EQ(ioService.run_one(), 1u);
    // The connect is under way; this block waits behind it.
    camera.Send(1, 1, lost, sizeof lost);
    ASSERT_EQ(ioService.run_one(), 1u);
    // The second resolution arrives ahead of the connect and replaces the socket: its connect and
    // the waiting write end as cancelled and must not log, arm the retry wait or resolve again.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Poll();

    // A resolution of its own, answered after any the camera started before it.
    boost::asio::ip::tcp::resolver resolver(ioService);
    bool resolved = false;
    resolver.async_resolve("127.0.0.1", "1", [&](const boost::system::error_code&,
                                                 const boost::asio::ip::tcp::resolver::results_type&) {
        resolved = true;
    });
    ASSERT_TRUE(RunUntil([&] { return resolved; }));

    const uint8_t frame[] = {0xFF, 0x01, 0x00, 0x08, 0x00, 0x20, 0x29};
    ASSERT_TRUE(RunUntil([&] {
        camera.Send(2, 1, frame, sizeof frame);
        return !notifications.empty();
    }));
    ASSERT_TRUE(RunUntil([&] { return fake.Connections() >= 2 && !fake.Received(fake.Connections() - 1).empty(); }));
    // The replaced socket reached the camera but never carried the block that waited on it.
    EXPECT_TRUE(fake.Received(0).empty()) << "the connect finished before the socket was replaced";
    EXPECT_EQ(fake.Connections(), 2u);
    EXPECT_EQ(CountLines("Camera connection retry timer aborted"), 0);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Connecting to track camera at 127.0.0.1:" + std::to_string(port),
                                                    refused}));
    EXPECT_EQ(camera.holderSession, 2);
}
