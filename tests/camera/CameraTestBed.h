#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "camera/TrackCamera.h"

/// Base of the camera component tests: a private event loop, a private log directory, cameras
/// built from <Camera> element text, and a record of the control hooks' calls.
class CameraTestBed : public ::testing::Test
{
protected:
    using Timeout = std::chrono::milliseconds;

    /// Points the log at a fresh directory.
    CameraTestBed();
    /// Destroys the cameras before the event loop, then removes the directory.
    ~CameraTestBed() override;

    /// Builds a camera from the text of one <Camera> element, with the hooks recording into
    /// notifications and clears.
    TrackCamera& MakeCamera(const std::string& element, int32_t retrySecs = 1, int32_t lockSecs = 5);

    /// Runs the event loop until condition holds or timeout passes; returns the condition's last value.
    bool RunUntil(const std::function<bool()>& condition, Timeout timeout = Timeout(10000));
    /// Runs every handler that is ready now, without waiting.
    void Poll();

    /// The texts of the log lines, without their time prefixes.
    std::vector<std::string> LogLines() const;
    /// Number of log lines that start with prefix.
    int CountLines(const std::string& prefix) const;
    /// True when a log line starts with prefix.
    bool HasLine(const std::string& prefix) const { return CountLines(prefix) > 0; }

    /// Private directory of this test, with a trailing slash.
    std::string dir;
    /// The event loop the cameras run on.
    boost::asio::io_service ioService;
    /// Each call of a camera's notifyControl: (address, holderSession).
    std::vector<std::pair<std::string, uint16_t>> notifications;
    /// Each call of a camera's clearControl: the address.
    std::vector<std::string> clears;
    /// The cameras built by MakeCamera, destroyed before the event loop.
    std::vector<std::unique_ptr<TrackCamera>> cameras;
};
