#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "base/User.h"
#include "camera/CameraMap.h"
#include "nvr/NvrMap.h"

/// Address on which the control server listens; "127.0.0.1" unless the configuration says otherwise.
extern std::string ClientAddress;
/// Port on which the control server listens; 55272 unless the configuration says otherwise.
extern uint32_t ClientPort;

/// Reads directory + "zoTolvex.xml" once: the options, the operator accounts, one NVRConnection
/// per usable <NVR> and one TrackCamera per <Camera> of such an <NVR>, with the check that no
/// two cameras share a PelcoNumber. Fills the three registries and ClientAddress/ClientPort.
/// Returns 0 when the configuration may be used, -1 on a configuration error, having logged
/// every reason. A camera's construction may throw (an impossible serial character size).
int LoadConfig(boost::asio::io_service& ioService, NvrMap& nvrs, CameraMap& cameras, UserMap& users,
               const std::string& directory);

/// Path of the configuration file in directory (which ends with a slash).
std::string ConfigPath(const std::string& directory);

/// What a load for the configuration checker reports besides the registries.
struct ConfigCheckLoad
{
    /// True once the file was parsed and held a <zoTolvex> element.
    bool documentRead = false;
    /// RetryIntervalSecs as the load took it.
    int32_t retryIntervalSecs = 0;
    /// Connections whose address an earlier <NVR> had, kept here where the daemon drops them;
    /// the caller owns them.
    std::vector<NVRConnection*> repeatedServers;
    /// Cameras whose Address an earlier camera had, kept here where the daemon drops them; the
    /// caller owns them.
    std::vector<TrackCamera*> repeatedCameras;
};

/// The configuration checker's load of the file at path: LoadConfig's work, messages and
/// result, but every camera is built with TrackCamera::Startup::Predict, so nothing resolves,
/// connects or opens a device, and nothing is started. Throws where LoadConfig would.
int LoadConfigForCheck(boost::asio::io_service& ioService, NvrMap& nvrs, CameraMap& cameras, UserMap& users,
                       const std::string& path, ConfigCheckLoad& check);

/// Deletes everything a LoadConfigForCheck built, the repeated servers and cameras included, and
/// empties the registries. Cameras go first, since a connection only refers to them.
void FreeCheckLoad(NvrMap& nvrs, CameraMap& cameras, UserMap& users, ConfigCheckLoad& check);
