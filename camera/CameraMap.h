#pragma once

#include <map>
#include <string>

class TrackCamera;

/// The track cameras by their Address text, filled once by the configuration loader and never
/// changed afterwards; byte-wise key order. The cameras live until the process ends.
using CameraMap = std::map<std::string, TrackCamera*>;
