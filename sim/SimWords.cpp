#include "sim/SimWords.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace zonvrsim {

bool SimWords::Split(const std::string& line, std::vector<std::string>& words, std::string& error)
{
    words.clear();
    std::size_t i = 0;
    const std::size_t n = line.size();
    while (i < n) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
            continue;
        }
        std::string word;
        if (c == '"') {
            ++i;
            bool closed = false;
            while (i < n) {
                char d = line[i++];
                if (d == '"') {
                    closed = true;
                    break;
                }
                if (d == '\\' && i < n)
                    d = line[i++];
                word += d;
            }
            if (!closed) {
                error = "unterminated quote";
                return false;
            }
        } else {
            while (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '\n')
                word += line[i++];
        }
        words.push_back(word);
    }
    return true;
}

std::string SimWords::Quote(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

bool SimWords::ToU32(const std::string& word, unsigned& value)
{
    if (word.empty() || word.size() > 10)
        return false;
    unsigned long long v = 0;
    for (char c : word) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > 0xFFFFFFFFull)
        return false;
    value = static_cast<unsigned>(v);
    return true;
}

bool SimWords::ToI32(const std::string& word, int& value)
{
    bool negative = !word.empty() && word[0] == '-';
    unsigned magnitude = 0;
    if (!ToU32(negative ? word.substr(1) : word, magnitude))
        return false;
    if (negative ? magnitude > 2147483648u : magnitude > 2147483647u)
        return false;
    value = negative ? static_cast<int>(-static_cast<long long>(magnitude)) : static_cast<int>(magnitude);
    return true;
}

bool SimWords::ToTriggerIds(const std::vector<std::string>& words, std::size_t from, std::vector<std::uint32_t>& ids,
                            std::string& error)
{
    ids.clear();
    for (std::size_t i = from; i < words.size(); ++i) {
        unsigned value = 0;
        if (!ToU32(words[i], value)) {
            error = "bad trigger id '" + words[i] + "'";
            return false;
        }
        ids.push_back(value);
    }
    return true;
}

}  // namespace zonvrsim
