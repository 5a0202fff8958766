#pragma once

#include <map>
#include <string>

class NVRConnection;

/// The recording-server connections by server address, filled once by the configuration loader;
/// byte-wise key order. The connections live until the process ends.
using NvrMap = std::map<std::string, NVRConnection*>;
