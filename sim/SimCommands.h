#pragma once

#include <string>
#include <vector>

namespace zonvrsim {

class NvrSimulator;

// The control commands (docs/zonvr-sim.md): the words of one control line, run against the
// simulator's public calls. Whatever the words, a command is either carried out or refused.
class SimCommands {
public:
    /// Runs one command; appends answer lines; false with `error` when refused.
    static bool Run(NvrSimulator& simulator, const std::vector<std::string>& words, std::vector<std::string>& lines,
                    std::string& error);
};

}  // namespace zonvrsim
