#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "CameraTestBed.h"
#include "PseudoTerminal.h"

using ComponentTrackCameraSerial = CameraTestBed;

namespace
{

std::string SerialElement(const std::string& port, const std::string& settings = "")
{
    return "<Camera Address='cam7' Port='" + port + "' " + settings + "/>";
}

/// Points link at target, replacing whatever link was.
void PointLink(const std::string& link, const std::string& target)
{
    const std::string temporary = link + ".new";
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0 || std::rename(temporary.c_str(), link.c_str()) != 0)
        throw std::runtime_error("cannot point " + link + " at " + target);
}

/// The parity a line checks: 'N', 'O' or 'E'. Read from the input check and the odd flag, since
/// some pseudo-terminals keep those but drop the parity-enable flag.
char ParityOf(const termios& settings)
{
    if ((settings.c_iflag & INPCK) == 0)
        return 'N';
    return (settings.c_cflag & PARODD) != 0 ? 'O' : 'E';
}

} // namespace

TEST_F(ComponentTrackCameraSerial, DefaultLineCarriesBytesUnchanged)
{
    PseudoTerminal line;
    TrackCamera& camera = MakeCamera(SerialElement(line.SlavePath()));
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Connecting to analog track camera on serial port " + line.SlavePath()});

    const termios settings = line.Settings();
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B2400));
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(ParityOf(settings), 'N');

    // Line ends, NUL and 0xFF pass untranslated: the line is raw.
    std::vector<uint8_t> expected = {0xFF, 0x01, 0x00, 0x0A, 0x0D, 0x00, 0x7F, 0x11, 0x13, 0x03};
    camera.Send(2, 1, expected.data(), expected.size());
    std::vector<uint8_t> big(1024);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(255 - i);
    camera.Send(2, 1, big.data(), big.size());
    expected.insert(expected.end(), big.begin(), big.end());

    ASSERT_TRUE(RunUntil([&] {
        line.Drain();
        return line.Received().size() >= expected.size() && notifications.size() == 2;
    }));
    EXPECT_EQ(line.Received(), expected);
    EXPECT_EQ(notifications.back(), std::make_pair(std::string("cam7"), uint16_t(2)));
}

TEST_F(ComponentTrackCameraSerial, RefusedSpeedLeavesTheLineInUse)
{
    PseudoTerminal line;
    TrackCamera& camera = MakeCamera(SerialElement(line.SlavePath(), "BaudRate='1000' StopBits='3' Parity='M'"));
    // The failed speed stops the settings there: no stop-bit or parity line follows.
    EXPECT_EQ(LogLines(),
              std::vector<std::string>{"Error connecting to track camera on serial port " + line.SlavePath() +
                                       ":Invalid argument"});

    const uint8_t frame[] = {0xFF, 0x01, 0x00, 0x04, 0x3F, 0x00, 0x44};
    camera.Send(1, 1, frame, sizeof frame);
    ASSERT_TRUE(RunUntil([&] {
        line.Drain();
        return line.Received().size() == sizeof frame;
    }));
    EXPECT_EQ(line.Received(), std::vector<uint8_t>(frame, frame + sizeof frame));
}

TEST_F(ComponentTrackCameraSerial, CharacterSizeOutOfRangeStopsConstruction)
{
    PseudoTerminal line;
    for (const char* bits : {"9", "4", "-1"})
    {
        try
        {
            MakeCamera(SerialElement(line.SlavePath(), std::string("DataBits='") + bits + "'"));
            ADD_FAILURE() << "DataBits " << bits << " accepted";
        }
        catch (const std::out_of_range& exception)
        {
            EXPECT_STREQ(exception.what(), "invalid character_size value");
        }
    }
    // Also when the device is not there yet: the fault is in the configuration.
    EXPECT_THROW(MakeCamera(SerialElement(dir + "absent", "DataBits='9'")), std::out_of_range);
}

TEST_F(ComponentTrackCameraSerial, MissingDeviceComesAliveWhenItAppears)
{
    const std::string path = dir + "ttyCamera";
    TrackCamera& camera = MakeCamera(SerialElement(path, "Parity='E'"), 0);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Error connecting to track camera on serial port " + path +
                                                   ":No such file or directory"});
    const uint8_t frame[] = {0xFF, 0x01, 0x00, 0x02, 0x20, 0x00, 0x23};
    camera.Send(1, 1, frame, sizeof frame);
    for (int turn = 0; turn < 50; ++turn)
        ioService.run_one_for(std::chrono::milliseconds(20));

    PseudoTerminal line;
    PointLink(path, line.SlavePath());
    ASSERT_TRUE(RunUntil([&] { return HasLine("Connecting to analog track camera on serial port " + path); }));
    EXPECT_EQ(CountLines("Error "), 1);
    EXPECT_EQ(ParityOf(line.Settings()), 'E');

    camera.Send(1, 1, frame, sizeof frame);
    ASSERT_TRUE(RunUntil([&] {
        line.Drain();
        return line.Received().size() >= sizeof frame;
    }));
    // The block sent while the device was missing was dropped, not kept.
    EXPECT_EQ(line.Received(), std::vector<uint8_t>(frame, frame + sizeof frame));
}

TEST_F(ComponentTrackCameraSerial, FailedWriteReopensTheLine)
{
    const std::string path = dir + "ttyCamera";
    auto first = std::make_unique<PseudoTerminal>();
    PointLink(path, first->SlavePath());
    TrackCamera& camera = MakeCamera(SerialElement(path, "BaudRate='4800'"), 1);
    const uint8_t frame[] = {0xFF, 0x01, 0x00, 0x08, 0x00, 0x20, 0x29};

    // Each outage: one send error, one open error, and the line back at its configured speed.
    for (int outage = 1; outage <= 2; ++outage)
    {
        camera.Send(1, 1, frame, sizeof frame);
        ASSERT_TRUE(RunUntil([&] {
            first->Drain();
            return first->Received().size() == sizeof frame;
        }));
        first->Close();
        ASSERT_TRUE(RunUntil([&] {
            camera.Send(1, 1, frame, sizeof frame);
            return CountLines("Error opening serial port " + path + ": ") == outage;
        }));
        EXPECT_EQ(CountLines("Error sending command to serial port " + path + ": "), outage);

        first = std::make_unique<PseudoTerminal>();
        PointLink(path, first->SlavePath());
        ASSERT_TRUE(RunUntil([&] {
            return CountLines("Connecting to analog track camera on serial port " + path) == outage + 1;
        }));
        EXPECT_EQ(CountLines("Error opening serial port "), outage);
        const termios settings = first->Settings();
        EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B4800));
    }
}
