#pragma once

#include <string>
#include <vector>

namespace zonvrsim {

// Splits one line of the state file or of the control protocol into words: blanks separate,
// "..." groups (with \" and \\ inside), so names with blanks survive the round trip through Quote.
class SimWords {
public:
    /// Splits `line`; false (with `error` set) on an unterminated quote.
    static bool Split(const std::string& line, std::vector<std::string>& words, std::string& error);
    /// Writes `text` as one quoted word that Split reads back unchanged.
    static std::string Quote(const std::string& text);
    /// Reads a whole decimal unsigned 32-bit number; false for anything else.
    static bool ToU32(const std::string& word, unsigned& value);
    /// Reads a whole decimal signed 32-bit number; false for anything else.
    static bool ToI32(const std::string& word, int& value);
};

}  // namespace zonvrsim
