#include "nvr/CameraDirectory.h"

#include <boost/regex.hpp>

#include "base/LogStream.h"
#include "control/ControlServer.h"

namespace
{

/// Texts the library fills are ZOAPI_TEXT_SIZE bytes; one more zero byte keeps a library that
/// fills the whole buffer from running past its end.
struct TextBuffer
{
    char text[ZOAPI_TEXT_SIZE + 1] = {};
};

} // namespace

CameraDirectory::CameraDirectory(const CameraMap& cameras) : cameras(cameras)
{
}

std::string CameraDirectory::KeyOf(const std::string& deviceAddress, uint32_t id)
{
    if (deviceAddress.empty())
        return std::to_string(id);
    static const boost::regex ipv4("(\\d+\\.\\d+\\.\\d+\\.\\d+)", boost::regex::perl);
    boost::smatch match;
    if (!boost::regex_search(deviceAddress, match, ipv4))
        return std::string();
    return match[1];
}

bool CameraDirectory::CanMatch(const std::string& address)
{
    if (address.empty())
        return false;
    if (KeyOf(address, 0) == address)
        return true;
    // An analog camera's key is its id as KeyOf spells it: "007" or a number past 32 bits is never one.
    if (address.size() > 10 || address.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long id = std::stoull(address);
    return id <= UINT32_MAX && KeyOf(std::string(), static_cast<uint32_t>(id)) == address;
}

void CameraDirectory::RefreshCameraDirectory(ZOAPI_HANDLE handle, ControlServer& controlServer)
{
    const unsigned int count = ZOAPI_NumCameras(handle);
    for (unsigned int index = 0; index < count; ++index)
    {
        const uint32_t id = ZOAPI_GetCameraId(handle, index);
        TextBuffer device;
        ZOAPI_GetDeviceIP(handle, id, device.text, ZOAPI_TEXT_SIZE);
        const bool analog = device.text[0] == '\0';
        const std::string key = KeyOf(device.text, id);
        if (key.empty())
            continue;

        if (cameras.count(key) != 0)
            serverIds[key] = id;
        if (controlServer.CameraIdDiffers(key, id))
            controlServer.SetCameraId(key, id);

        TextBuffer name;
        ZOAPI_GetCameraName(handle, id, name.text, ZOAPI_TEXT_SIZE);
        if (controlServer.CameraNameDiffers(key, name.text))
        {
            controlServer.SetCameraName(key, name.text);
            if (analog)
                gLog.BeginLine() << "Adding analog camera name '" << name.text << "' with address " << key;
            else
                gLog.BeginLine() << "Adding camera name '" << name.text << "' with address " << key;
        }
    }
}

uint32_t CameraDirectory::IdOf(const std::string& address) const
{
    const auto entry = serverIds.find(address);
    return entry == serverIds.end() ? 0 : entry->second;
}

std::size_t CameraDirectory::MatchedCount() const
{
    return serverIds.size();
}
