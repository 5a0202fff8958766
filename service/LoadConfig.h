#pragma once

#include <cstdint>
#include <string>

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
