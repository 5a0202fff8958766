#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "CameraTestBed.h"
#include "FakeCamera.h"

using ComponentTrackCameraRelay = CameraTestBed;

namespace
{

const std::size_t blockSize = 1024;

std::string CameraElement(uint16_t port)
{
    return "<Camera Address='127.0.0.1' Port='" + std::to_string(port) + "'/>";
}

/// A block whose every byte derives from its number, so that torn or mixed blocks show.
std::vector<uint8_t> NumberedBlock(uint32_t number)
{
    std::vector<uint8_t> block(blockSize);
    std::memcpy(block.data(), &number, sizeof number);
    for (std::size_t i = sizeof number; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(number * 31 + i);
    return block;
}

/// The numbers of the whole blocks in bytes, in order; fails the test on a torn or mixed block.
std::vector<uint32_t> BlockNumbers(const std::vector<uint8_t>& bytes)
{
    EXPECT_EQ(bytes.size() % blockSize, 0u);
    std::vector<uint32_t> numbers;
    for (std::size_t offset = 0; offset + blockSize <= bytes.size(); offset += blockSize)
    {
        uint32_t number;
        std::memcpy(&number, bytes.data() + offset, sizeof number);
        const std::vector<uint8_t> block(bytes.begin() + offset, bytes.begin() + offset + blockSize);
        EXPECT_EQ(block, NumberedBlock(number)) << "block at offset " << offset;
        numbers.push_back(number);
    }
    return numbers;
}

} // namespace

TEST_F(ComponentTrackCameraRelay, WritesQueueInOrderUpToTheBound)
{
    FakeCamera fake(ioService);
    TrackCamera& camera = MakeCamera(CameraElement(fake.Port()));
    ASSERT_TRUE(RunUntil([&] { return fake.Connections() == 1; }));

    // A burst within one turn of the event loop: the bound counts the block being written.
    for (uint32_t number = 0; number < 100; ++number)
        camera.Send(static_cast<uint16_t>(number + 1), 1, NumberedBlock(number).data(), blockSize);
    ASSERT_TRUE(RunUntil([&] { return fake.Received(0).size() >= TrackCamera::maxQueuedBlocks * blockSize; }));
    Poll();
    std::vector<uint32_t> numbers = BlockNumbers(fake.Received(0));
    ASSERT_EQ(numbers.size(), TrackCamera::maxQueuedBlocks);
    for (uint32_t i = 0; i < numbers.size(); ++i)
        EXPECT_EQ(numbers[i], i);
    ASSERT_EQ(notifications.size(), TrackCamera::maxQueuedBlocks);
    EXPECT_EQ(notifications.back(), std::make_pair(std::string("127.0.0.1"), uint16_t(64)));
    EXPECT_EQ(camera.holderSession, 64);

    // A camera that stops reading: the blocks it cannot take are dropped, not stored.
    fake.SetReading(false);
    const std::size_t before = fake.Received(0).size();
    const uint32_t flood = 20000;
    for (uint32_t number = 100; number < 100 + flood; ++number)
    {
        camera.Send(7, 2, NumberedBlock(number).data(), blockSize);
        Poll();
    }
    fake.SetReading(true);
    const uint32_t marker = 1000000;
    ASSERT_TRUE(RunUntil([&] {
        camera.Send(7, 2, NumberedBlock(marker).data(), blockSize);
        const std::vector<uint8_t>& bytes = fake.Received(0);
        return bytes.size() >= blockSize &&
            std::equal(bytes.end() - blockSize, bytes.end(), NumberedBlock(marker).begin());
    }));
    // Markers may have been accepted behind the one that arrived.
    ASSERT_TRUE(RunUntil([&] { return fake.Received(0).size() == notifications.size() * blockSize; }));

    numbers = BlockNumbers(std::vector<uint8_t>(fake.Received(0).begin() + before, fake.Received(0).end()));
    std::vector<uint32_t> floodNumbers;
    for (uint32_t number : numbers)
        if (number != marker)
            floodNumbers.push_back(number);
    ASSERT_FALSE(floodNumbers.empty());
    EXPECT_LT(floodNumbers.size(), flood);
    for (std::size_t i = 1; i < floodNumbers.size(); ++i)
        EXPECT_LT(floodNumbers[i - 1], floodNumbers[i]);
    EXPECT_EQ(numbers.back(), marker);
    EXPECT_EQ(fake.Connections(), 1u);
    EXPECT_EQ(CountLines("Error sending command to "), 0);
}

TEST_F(ComponentTrackCameraRelay, BlocksOfEveryLengthArriveUnchangedWhileTheirStorageIsReused)
{
    FakeCamera fake(ioService);
    TrackCamera& camera = MakeCamera(CameraElement(fake.Port()));
    ASSERT_TRUE(RunUntil([&] { return fake.Connections() == 1; }));

    // Lengths go up and down, so a block takes the storage of a longer or a shorter one, queued
    // behind others in one turn of the event loop or alone.
    const std::size_t lengths[] = {1, 1024, 7, 512, 2, 1023, 64, 3};
    std::vector<uint8_t> expected;
    uint8_t next = 0;
    for (int round = 0; round < 3; ++round)
    {
        for (const std::size_t length : lengths)
        {
            std::vector<uint8_t> block(length);
            for (uint8_t& byte : block)
                byte = next++;
            camera.Send(1, 1, block.data(), length);
            expected.insert(expected.end(), block.begin(), block.end());
            if (round == 1)
                ASSERT_TRUE(RunUntil([&] { return fake.Received(0).size() == expected.size(); }));
        }
    }
    ASSERT_TRUE(RunUntil([&] { return fake.Received(0).size() >= expected.size(); }));
    EXPECT_EQ(expected, fake.Received(0));
}

TEST_F(ComponentTrackCameraRelay, HoldIsRecordedWhenWrittenAndLapsesAfterTheLastCommand)
{
    FakeCamera fake(ioService);
    TrackCamera& camera = MakeCamera(CameraElement(fake.Port()), 1, 1);
    ASSERT_TRUE(RunUntil([&] { return fake.Connections() == 1; }));
    const uint8_t frame[] = {0xFF, 0x01, 0x00, 0x08, 0x00, 0x20, 0x29};

    camera.Send(7, 3, frame, sizeof frame);
    // Nothing is recorded before the bytes are out.
    EXPECT_EQ(camera.holderSession, 0);
    ASSERT_TRUE(RunUntil([&] { return notifications.size() == 1; }));
    EXPECT_EQ(notifications[0], std::make_pair(std::string("127.0.0.1"), uint16_t(7)));
    EXPECT_EQ(camera.holderSession, 7);
    EXPECT_EQ(camera.holderPriority, 3);

    // A holder steering for longer than the lock time keeps the camera: every written command
    // renews the lock.
    const auto steerUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(1800);
    while (std::chrono::steady_clock::now() < steerUntil)
    {
        const std::size_t sent = notifications.size();
        camera.Send(7, 4, frame, sizeof frame);
        ASSERT_TRUE(RunUntil([&] { return notifications.size() == sent + 1; }));
        RunUntil([] { return false; }, Timeout(100));
        ASSERT_TRUE(clears.empty()) << "hold ended while its holder was steering";
    }
    EXPECT_EQ(camera.holderPriority, 4);

    // A session admitted over the holder takes the hold when its command is written.
    camera.Send(9, 5, frame, sizeof frame);
    ASSERT_TRUE(RunUntil([&] { return camera.holderSession == 9; }));
    EXPECT_EQ(notifications.back(), std::make_pair(std::string("127.0.0.1"), uint16_t(9)));
    EXPECT_EQ(camera.holderPriority, 5);

    ASSERT_TRUE(RunUntil([&] { return !clears.empty(); }));
    EXPECT_EQ(clears, std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(camera.holderSession, 0);
    EXPECT_EQ(camera.holderPriority, -1);
}

TEST_F(ComponentTrackCameraRelay, ExpiryQueuedBehindARenewingWriteKeepsTheHold)
{
    FakeCamera fake(ioService);
    TrackCamera& camera = MakeCamera(CameraElement(fake.Port()), 1, 1);
    ASSERT_TRUE(RunUntil([&] { return fake.Connections() == 1; }));
    fake.SetReading(false);

    // Fill the connection until a write has to wait for the camera.
    const std::vector<uint8_t> block(65536, 0x42);
    std::size_t written = 0;
    for (int attempt = 0;; ++attempt)
    {
        ASSERT_LT(attempt, 10000) << "the connection never filled up";
        written = notifications.size();
        camera.Send(1, 1, block.data(), block.size());
        Poll();
        if (notifications.size() == written)
            break;
    }
    // Keep the event loop still past the lock deadline, then let the camera read: the expiry
    // and the waiting write's completion reach the loop in the same turn, the write first.
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    fake.ReadNow(0, 100);

    ASSERT_TRUE(RunUntil([&] { return notifications.size() == written + 1; }));
    Poll();
    // The write renewed the hold; an expiry that was already on its way must not end it.
    EXPECT_EQ(camera.holderSession, 1);
    EXPECT_EQ(camera.holderPriority, 1);
}

TEST_F(ComponentTrackCameraRelay, ZeroLockTimeReleasesOnTheNextTurn)
{
    FakeCamera fake(ioService);
    TrackCamera& camera = MakeCamera(CameraElement(fake.Port()), 1, 0);
    ASSERT_TRUE(RunUntil([&] { return fake.Connections() == 1; }));
    const uint8_t frame[] = {0xFF, 0x01, 0x00, 0x10, 0x00, 0x00, 0x11};

    for (uint16_t session = 1; session <= 3; ++session)
    {
        camera.Send(session, 0, frame, sizeof frame);
        ASSERT_TRUE(RunUntil([&] { return notifications.size() == session; }));
        EXPECT_EQ(clears.size(), session - 1u);
        EXPECT_EQ(camera.holderSession, session);
        ASSERT_TRUE(RunUntil([&] { return clears.size() == session; }));
        EXPECT_EQ(camera.holderSession, 0);
        EXPECT_EQ(camera.holderPriority, -1);
    }

    // Without hooks installed the camera still relays and releases.
    camera.notifyControl = nullptr;
    camera.clearControl = nullptr;
    camera.Send(4, 6, frame, sizeof frame);
    ASSERT_TRUE(RunUntil([&] { return fake.Received(0).size() == 4 * sizeof frame; }));
    ASSERT_TRUE(RunUntil([&] { return camera.holderPriority == -1; }));
}

TEST_F(ComponentTrackCameraRelay, FailedWriteLeavesTheHoldAlone)
{
    FakeCamera fake(ioService);
    TrackCamera& camera = MakeCamera(CameraElement(fake.Port()), 3600, 3600);
    ASSERT_TRUE(RunUntil([&] { return fake.Connections() == 1; }));
    const uint8_t frame[] = {0xFF, 0x01, 0x00, 0x02, 0x20, 0x00, 0x23};
    camera.Send(11, 2, frame, sizeof frame);
    ASSERT_TRUE(RunUntil([&] { return notifications.size() == 1; }));

    fake.ResetAll();
    ASSERT_TRUE(RunUntil([&] {
        camera.Send(12, 9, frame, sizeof frame);
        return HasLine("Error sending command to 127.0.0.1: ");
    }));
    // The hold is that of the last block that went out, whichever it was; the failed ones
    // changed nothing and the lock wait goes on.
    const uint16_t holder = notifications.back().second;
    EXPECT_EQ(camera.holderSession, holder);
    EXPECT_EQ(camera.holderPriority, holder == 11 ? 2 : 9);
    ASSERT_TRUE(RunUntil([&] { return fake.Connections() == 2; }));
    EXPECT_EQ(camera.holderSession, holder);
    EXPECT_TRUE(clears.empty());
}
