#include <string>
#include <vector>

#include "CameraTestBed.h"
#include "FakeCamera.h"

using ComponentTrackCameraNetwork = CameraTestBed;

namespace
{

std::string CameraElement(uint16_t port)
{
    return "<Camera Address='127.0.0.1' Port='" + std::to_string(port) + "'/>";
}

std::string RefusedLine(uint16_t port)
{
    return "*** Connection error for track camera at 127.0.0.1 on port " + std::to_string(port) +
        ": Connection refused";
}

} // namespace

TEST_F(ComponentTrackCameraNetwork, BytesReachTheCameraUnchanged)
{
    FakeCamera fake(ioService);
    TrackCamera& camera = MakeCamera(CameraElement(fake.Port()));

    // Before the first resolution there is no socket: the block is lost without a word.
    const uint8_t early[] = {0xFF, 0x01, 0x00, 0x04, 0x3F, 0x00, 0x44};
    camera.Send(3, 1, early, sizeof early);

    ASSERT_TRUE(RunUntil([&] { return fake.Connections() == 1; }));
    std::vector<uint8_t> expected;
    const uint8_t frames[] = {0xFF, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0xFF, 0x01, 0x00, 0x08, 0x00, 0xFF, 0x08};
    camera.Send(3, 1, frames, sizeof frames);
    expected.insert(expected.end(), frames, frames + sizeof frames);
    std::vector<uint8_t> big(1024);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7);
    camera.Send(4, 2, big.data(), big.size());
    expected.insert(expected.end(), big.begin(), big.end());
    // The caller reuses its buffer as soon as Send returns.
    big.assign(big.size(), 0xEE);

    ASSERT_TRUE(RunUntil([&] { return fake.Received(0).size() >= expected.size(); }));
    EXPECT_EQ(fake.Received(0), expected);
    EXPECT_EQ(fake.Connections(), 1u);
    const std::vector<std::string> wantedLog = {"Connecting to track camera at 127.0.0.1:" + std::to_string(fake.Port())};
    EXPECT_EQ(LogLines(), wantedLog);
}

TEST_F(ComponentTrackCameraNetwork, EachOutageIsLoggedOnceAndEndsInAReconnection)
{
    // An hour's retry wait: every reconnection below comes from a failed write.
    const uint16_t port = FakeCamera::FreePort();
    TrackCamera& camera = MakeCamera(CameraElement(port), 3600);
    ASSERT_TRUE(RunUntil([&] { return HasLine(RefusedLine(port)); }));

    // A block written to the unconnected socket fails quietly (the outage is already in the log)
    // and reconnects at once; the connect ends the pending retry wait.
    FakeCamera fake(ioService, port);
    const uint8_t lost[] = {0xFF, 0x01, 0x00, 0x02, 0x10, 0x00, 0x13};
    camera.Send(8, 1, lost, sizeof lost);
    ASSERT_TRUE(RunUntil([&] { return fake.Connections() == 1 && HasLine("Camera connection retry timer aborted"); }));
    EXPECT_EQ(CountLines("Error sending command to "), 0);

    const uint8_t first[] = {0xFF, 0x01, 0x00, 0x04, 0x20, 0x00, 0x25};
    camera.Send(8, 1, first, sizeof first);
    ASSERT_TRUE(RunUntil([&] { return fake.Received(0).size() == sizeof first; }));
    EXPECT_EQ(fake.Received(0), std::vector<uint8_t>(first, first + sizeof first));

    // Two resets, each after a fresh connection: each is logged once and reconnects.
    for (std::size_t outage = 1; outage <= 2; ++outage)
    {
        fake.ResetAll();
        ASSERT_TRUE(RunUntil([&] {
            camera.Send(8, 1, first, sizeof first);
            return CountLines("Error sending command to 127.0.0.1: ") == static_cast<int>(outage);
        })) << "outage " << outage;
        ASSERT_TRUE(RunUntil([&] { return fake.Connections() == outage + 1; })) << "outage " << outage;
        EXPECT_EQ(CountLines("Error sending command to 127.0.0.1: "), static_cast<int>(outage));
    }
    EXPECT_EQ(CountLines("Camera connection retry timer aborted"), 1);
    EXPECT_EQ(CountLines("*** Connection error for track camera at "), 1);
    EXPECT_EQ(camera.holderSession, 8);
}

TEST_F(ComponentTrackCameraNetwork, DestroyedWithWorkPendingTouchesNothing)
{
    auto fake = std::make_unique<FakeCamera>(ioService);
    TrackCamera& connected = MakeCamera(CameraElement(fake->Port()));
    ASSERT_TRUE(RunUntil([&] { return fake->Connections() == 1; }));
    fake->SetReading(false);
    std::vector<uint8_t> block(1024, 0x5A);
    for (int i = 0; i < 5000; ++i)
    {
        connected.Send(1, 1, block.data(), block.size());
        Poll();
    }
    MakeCamera(CameraElement(FakeCamera::FreePort()), 0);
    MakeCamera("<Camera Address='" + std::string(4096, 'b') + "'/>", 0);
    Poll();

    // Writes, connects, resolutions and timers are all pending while the cameras go.
    cameras.clear();
    fake.reset();
    ioService.restart();
    ioService.run();
    EXPECT_FALSE(notifications.empty());
}
