#pragma once

#include <cstddef>
#include <cstdint>
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
    /// Reads the trigger ids listed from word `from` on, as ToU32 does; false (with `error`
    /// naming the word) on the first that is no id.
    static bool ToTriggerIds(const std::vector<std::string>& words, std::size_t from, std::vector<std::uint32_t>& ids,
                             std::string& error);
};

}  // namespace zonvrsim
