#include "CameraTestBed.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <boost/filesystem.hpp>

#include "base/LogStream.h"

CameraTestBed::CameraTestBed()
{
    char pattern[] = "/tmp/camera_test.XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir = std::string(made) + "/";
    gLog.Reopen(dir);
}

CameraTestBed::~CameraTestBed()
{
    cameras.clear();
    // Completions of the destroyed cameras run here and must find nothing to touch.
    ioService.restart();
    ioService.poll();
    boost::system::error_code ignored;
    boost::filesystem::remove_all(dir, ignored);
}

TrackCamera& CameraTestBed::MakeCamera(const std::string& element, int32_t retrySecs, int32_t lockSecs)
{
    tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
    if (document.Parse(element.c_str()) != tinyxml2::XML_SUCCESS)
        throw std::runtime_error("bad element text: " + element);
    cameras.emplace_back(new TrackCamera(ioService, document.RootElement(), retrySecs, lockSecs));
    TrackCamera& camera = *cameras.back();
    camera.notifyControl = [this](const std::string& address, uint16_t session) {
        notifications.emplace_back(address, session);
    };
    camera.clearControl = [this](const std::string& address) { clears.push_back(address); };
    return camera;
}

bool CameraTestBed::RunUntil(const std::function<bool()>& condition, Timeout timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (ioService.stopped())
            ioService.restart();
        ioService.run_one_for(std::chrono::milliseconds(20));
    }
    return true;
}

void CameraTestBed::Poll()
{
    if (ioService.stopped())
        ioService.restart();
    ioService.poll();
}

std::vector<std::string> CameraTestBed::LogLines() const
{
    std::ifstream file(dir + "zoTolvex.log");
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(file, line))
    {
        const std::size_t end = line.find("] ");
        lines.push_back(end == std::string::npos ? line : line.substr(end + 2));
    }
    return lines;
}

int CameraTestBed::CountLines(const std::string& prefix) const
{
    int count = 0;
    for (const std::string& line : LogLines())
        if (line.compare(0, prefix.size(), prefix) == 0)
            ++count;
    return count;
}
