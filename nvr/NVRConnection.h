#pragma once

#include <cstdint>
#include <string>

#include "camera/CameraMap.h"

namespace tinyxml2 { class XMLElement; }

/// The service's link to one recording server (NVR), built from an <NVR> element.
class NVRConnection
{
public:
    /// An unconfigured connection to 127.0.0.1:22609 that retries every retryIntervalSecs.
    NVRConnection(uint32_t retryIntervalSecs, CameraMap& cameras);
    NVRConnection(const NVRConnection&) = delete;
    NVRConnection& operator=(const NVRConnection&) = delete;

    /// Reads the <NVR> element's Address, Port, Login and Password. Returns true when the entry
    /// yields a usable connection; otherwise logs why and returns false (the loader then skips
    /// the element's cameras). A missing element gives false without a message.
    bool ReadConfig(const tinyxml2::XMLElement* element);

    /// Server address handed to the client library and named in every log line.
    std::string address = "127.0.0.1";
    /// Server port; the client library receives its low 16 bits.
    uint32_t port = 22609;
    /// User name for the server log-in.
    std::string login;
    /// Password for the server log-in; may be empty.
    std::string password;
    /// Pause between failed connection attempts, in seconds.
    uint32_t retryIntervalSecs;
    /// The track cameras, shared with the control server.
    CameraMap& cameras;
};
