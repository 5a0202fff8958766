#include <string>

#include <boost/asio/error.hpp>

#include "CameraTestBed.h"

using ComponentTrackCameraConfig = CameraTestBed;

TEST_F(ComponentTrackCameraConfig, CameraWithoutAddressIsSkippedAndInert)
{
    TrackCamera& missing = MakeCamera("<Camera Port='4001' PelcoNumber='3'/>");
    TrackCamera& empty = MakeCamera("<Camera Address='' Port='/dev/null'/>");
    const uint8_t frame[] = {0xFF, 0x01, 0x00, 0x02, 0x20, 0x00, 0x23};
    missing.Send(5, 1, frame, sizeof frame);
    empty.Send(5, 1, frame, sizeof frame);
    Poll();

    EXPECT_EQ(missing.address, "");
    EXPECT_EQ(empty.address, "");
    EXPECT_EQ(CountLines("Missing or empty 'Address' attribute for <Camera> entry in zoTolvex.xml file. Skipping."), 2);
    EXPECT_EQ(LogLines().size(), 2u);
    EXPECT_TRUE(notifications.empty());
    EXPECT_EQ(missing.holderSession, 0);
    EXPECT_EQ(missing.holderPriority, -1);
}

TEST_F(ComponentTrackCameraConfig, AttributesDefaultsAndNumberReading)
{
    TrackCamera& plain = MakeCamera("<Camera Address='127.0.0.1'/>", 3600);
    EXPECT_EQ(plain.port, "1000");
    EXPECT_EQ(plain.pelcoNumber, 1u);
    EXPECT_EQ(plain.softTriggerId, 0u);
    EXPECT_EQ(plain.nvrCameraId, 0u);
    EXPECT_EQ(plain.nvrCameraName, "");

    TrackCamera& emptyPort = MakeCamera("<Camera Address='127.0.0.2' Port='' PelcoNumber='12abc'/>", 3600);
    EXPECT_EQ(emptyPort.port, "1000");
    EXPECT_EQ(emptyPort.pelcoNumber, 12u);

    TrackCamera& wrapped = MakeCamera("<Camera Address='127.0.0.3' Port='4001' PelcoNumber='-1'/>", 3600);
    EXPECT_EQ(wrapped.port, "4001");
    EXPECT_EQ(wrapped.pelcoNumber, 4294967295u);

    TrackCamera& saturated = MakeCamera("<Camera Address='127.0.0.4' PelcoNumber='99999999999'/>", 3600);
    EXPECT_EQ(saturated.pelcoNumber, 4294967295u);

    TrackCamera& unreadable = MakeCamera("<Camera Address='127.0.0.5' PelcoNumber='x7'/>", 3600);
    EXPECT_EQ(unreadable.pelcoNumber, 1u);

    EXPECT_EQ(CountLines("Connecting to track camera at 127.0.0.1:1000"), 1);
    EXPECT_EQ(CountLines("Connecting to track camera at 127.0.0.2:1000"), 1);
    EXPECT_EQ(CountLines("Connecting to track camera at 127.0.0.3:4001"), 1);
}

TEST_F(ComponentTrackCameraConfig, UnresolvablePortAndHugeAddressAreRetriedAndLoggedOnce)
{
    TrackCamera& spaced = MakeCamera("<Camera Address='127.0.0.1' Port='12 34'/>", 0);
    const std::string longName(4096, 'a');
    TrackCamera& huge = MakeCamera("<Camera Address='" + longName + "'/>", 0);
    const std::string spacedLine = "*** Unable to resolve path to camera at 127.0.0.1:12 34: " +
        boost::asio::error::make_error_code(boost::asio::error::service_not_found).message();

    ASSERT_TRUE(RunUntil([&] {
        return HasLine(spacedLine) && HasLine("*** Unable to resolve path to camera at " + longName + ":1000: ");
    }));
    // The retries go through the retry wait, whose line goes through the once-only log.
    ASSERT_TRUE(RunUntil([&] { return CountLines("*** Reconnecting to camera at 127.0.0.1:12 34") == 1; }));
    for (int turn = 0; turn < 300; ++turn)
        ioService.run_one_for(std::chrono::milliseconds(50));

    const uint8_t frame[] = {0xFF, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01};
    spaced.Send(1, 1, frame, sizeof frame);
    huge.Send(1, 1, frame, sizeof frame);
    Poll();

    EXPECT_EQ(CountLines(spacedLine), 1);
    EXPECT_EQ(CountLines("*** Unable to resolve path to camera at " + longName), 1);
    EXPECT_EQ(CountLines("*** Reconnecting to camera at 127.0.0.1:12 34"), 1);
    EXPECT_EQ(CountLines("*** Reconnecting to camera at " + longName + ":1000"), 1);
    EXPECT_EQ(CountLines("Error sending command to "), 0);
    EXPECT_TRUE(notifications.empty());
}
