#include "FuzzInput.h"

#include <algorithm>

FuzzInput::FuzzInput(const uint8_t* data, std::size_t size) : data(data), size(size)
{
}

bool FuzzInput::Empty() const
{
    return offset >= size;
}

uint8_t FuzzInput::TakeByte()
{
    return Empty() ? 0 : data[offset++];
}

uint16_t FuzzInput::TakeU16()
{
    const uint16_t low = TakeByte();
    return static_cast<uint16_t>(low | TakeByte() << 8);
}

std::string FuzzInput::TakeBytes(std::size_t count)
{
    count = std::min(count, size - offset);
    std::string bytes(reinterpret_cast<const char*>(data) + offset, count);
    offset += count;
    return bytes;
}

std::string FuzzInput::TakeLine()
{
    const uint8_t* first = data + offset;
    const uint8_t* last = data + size;
    const uint8_t* end = std::find(first, last, '\n');
    std::string line(reinterpret_cast<const char*>(first), static_cast<std::size_t>(end - first));
    offset = static_cast<std::size_t>(end - data) + (end != last ? 1 : 0);
    return line;
}
