#pragma once

#include <string>

/// The daemon's fixed working directory, home of its configuration, log and lock files. Inline,
/// so that it is initialised before the global log that is built from it.
inline const std::string RunningDir = "/usr/local/marnu/zoTolvex/";
