#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <boost/asio/io_service.hpp>

namespace tinyxml2 { class XMLElement; }

/// One pan-tilt-zoom track camera from a <Camera> element: how it is reached, its Pelco number,
/// and who holds control of it.
class TrackCamera
{
public:
    /// Reads the element, chooses the transport and starts it. Throws std::out_of_range
    /// ("invalid character_size value") only for a serial camera whose DataBits is not 5 to 8.
    TrackCamera(boost::asio::io_service& ioService, const tinyxml2::XMLElement* element, int32_t retrySecs,
                int32_t lockSecs);
    TrackCamera(const TrackCamera&) = delete;
    TrackCamera& operator=(const TrackCamera&) = delete;
    ~TrackCamera();

    /// Relays one operator command block unchanged to the camera on behalf of session with
    /// priority; the hold is recorded when the write completes.
    void Send(uint16_t session, int32_t priority, const uint8_t* bytes, std::size_t length);

    /// The Address attribute; key in CameraMap, empty for a skipped camera.
    std::string address;
    /// The Port attribute: TCP port text or serial device path.
    std::string port = "1000";
    /// The recording server's name for this camera; guarded by the control server's lock.
    std::string nvrCameraName;
    /// The camera's Pelco address, carried in byte 1 of operator frames.
    uint32_t pelcoNumber = 1;
    /// The recording server's id for this camera, 0 while unmatched; guarded by the control server's lock.
    uint32_t nvrCameraId = 0;
    /// The soft trigger the server link found for this camera; guarded by the control server's lock.
    uint32_t softTriggerId = 0;
    /// Session that holds control; 0 = nobody.
    uint16_t holderSession = 0;
    /// Priority of the holding session; -1 = nobody.
    int32_t holderPriority = -1;

    /// Called after every written block with (address, holderSession); installed by the control server.
    std::function<void(const std::string&, uint16_t)> notifyControl;
    /// Called when the lock time has run out, with the address; installed by the control server.
    std::function<void(const std::string&)> clearControl;
};
