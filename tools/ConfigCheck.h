#pragma once

#include <string>

#include <boost/asio/io_service.hpp>

#include "base/User.h"
#include "camera/CameraMap.h"
#include "nvr/NvrMap.h"
#include "service/LoadConfig.h"

/// The daemon's start-up as far as its configuration decides it, without its effects: the
/// banner, the daemon's own loader on one file with every camera built by prediction, and the
/// numeric reading of the listening address. It never listens, looks a name up, connects or
/// opens a serial device, and starts no recording-server connection; the event loop never runs.
class ConfigCheck
{
public:
    ConfigCheck() = default;
    ConfigCheck(const ConfigCheck&) = delete;
    ConfigCheck& operator=(const ConfigCheck&) = delete;
    /// Deletes everything the load built, kept or repeated.
    ~ConfigCheck();

    /// Writes through the log what the daemon would write from its banner to the end of its
    /// start-up on the file at path, and returns the exit status it would end with: 0 when it
    /// would run, 255 for a configuration error, 1 for an exception. Run once.
    int Run(const std::string& path);

    /// The event loop the cameras are built on; it never runs.
    boost::asio::io_service ioService;
    /// The recording-server connections, as the daemon would file them; none is started.
    NvrMap nvrs;
    /// The track cameras, as the daemon would file them.
    CameraMap cameras;
    /// The operator accounts.
    UserMap users;
    /// What the load saw besides the registries, and what the daemon would drop.
    ConfigCheckLoad load;
    /// True when the loader went through the whole document.
    bool loaded = false;
};
