#include "KeyDecoder.h"

namespace
{

constexpr char kEscape = '\x1b';
/// Longer than any key's sequence: what runs on past this is line noise, not a key.
constexpr std::size_t kLongestSequence = 16;

} // namespace

std::vector<KeyEvent> KeyDecoder::Feed(const char* bytes, std::size_t count)
{
    std::vector<KeyEvent> keys;
    for (std::size_t i = 0; i < count; ++i)
        Step(bytes[i], keys);
    return keys;
}

bool KeyDecoder::Pending() const
{
    return !sequence.empty();
}

std::vector<KeyEvent> KeyDecoder::Flush()
{
    std::vector<KeyEvent> keys;
    if (sequence.size() == 1)
        keys.push_back({KeyEvent::Escape, 0});
    sequence.clear();
    return keys;
}

void KeyDecoder::Step(char byte, std::vector<KeyEvent>& keys)
{
    if (sequence.empty())
    {
        if (byte == kEscape)
            sequence.push_back(byte);
        else if (byte == '\r' || byte == '\n')
            keys.push_back({KeyEvent::Enter, 0});
        else if (byte == '\x7f' || byte == '\b')
            keys.push_back({KeyEvent::Backspace, 0});
        else
            keys.push_back({KeyEvent::Character, byte});
        return;
    }

    if (sequence.size() == 1)
    {
        // ESC [ starts a control sequence, ESC O a single-shift one; ESC and anything else was the
        // Escape key followed by a key of its own.
        if (byte == '[' || byte == 'O')
        {
            sequence.push_back(byte);
            return;
        }
        sequence.clear();
        keys.push_back({KeyEvent::Escape, 0});
        Step(byte, keys);
        return;
    }

    // Parameter and intermediate bytes (0x20 to 0x3F) continue a control sequence; a byte from
    // 0x40 to 0x7E ends it. ESC O takes exactly one final byte.
    const unsigned char value = static_cast<unsigned char>(byte);
    if (sequence[1] == '[' && value >= 0x20 && value <= 0x3F)
    {
        sequence.push_back(byte);
        if (sequence.size() > kLongestSequence)
            sequence.clear();
        return;
    }
    sequence.clear();
    switch (byte)
    {
    case 'A': keys.push_back({KeyEvent::Up, 0}); break;
    case 'B': keys.push_back({KeyEvent::Down, 0}); break;
    case 'C': keys.push_back({KeyEvent::Right, 0}); break;
    case 'D': keys.push_back({KeyEvent::Left, 0}); break;
    default:
        // Not a final byte at all: the sequence was cut short, so the byte is a key of its own.
        if (value < 0x40 || value > 0x7E)
            Step(byte, keys);
        break;
    }
}
