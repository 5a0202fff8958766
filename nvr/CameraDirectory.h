#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "camera/CameraMap.h"
#include "nvr/zoapi.h"

class ControlServer;

/// One recording server's cameras as its connection sees them: which track camera each server
/// camera matches, and under which id this server knows it. Used only on the connection's
/// thread; the track cameras' shared fields are reached through the control server.
///
/// Ids are numbered by each server, so every connection keeps the ids its own server reported
/// here, while the camera's shared id and name (what operators see) go to whichever server
/// reported last.
class CameraDirectory
{
public:
    /// An empty directory over the track cameras.
    explicit CameraDirectory(const CameraMap& cameras);
    CameraDirectory(const CameraDirectory&) = delete;
    CameraDirectory& operator=(const CameraDirectory&) = delete;

    /// The key under which a track camera would be filed for a server camera: the first dotted
    /// IPv4 address in its device address, or, for an analog camera (empty device address), the
    /// id in decimal. Empty when the device address holds no IPv4 address.
    static std::string KeyOf(const std::string& deviceAddress, uint32_t id);

    /// Whether a track camera with this Address can ever match a server camera: only when the
    /// Address is a key KeyOf gives, a whole dotted IPv4 address or an analog camera id written
    /// in decimal as KeyOf writes it. A host name never matches.
    static bool CanMatch(const std::string& address);

    /// Lists the server's cameras and records, for every one that matches a track camera, the
    /// server's id here and the id and name in the track camera. Logs a name that changed.
    /// Clears nothing: a camera the server stops listing keeps what it had.
    void RefreshCameraDirectory(ZOAPI_HANDLE handle, ControlServer& controlServer);

    /// The id this server reported for the track camera at address; 0 while it has none.
    uint32_t IdOf(const std::string& address) const;
    /// Number of track cameras this server has reported.
    std::size_t MatchedCount() const;

private:
    /// The track cameras; their set never changes.
    const CameraMap& cameras;
    /// Track camera Address to the id this server reported for it.
    std::map<std::string, uint32_t> serverIds;
};
