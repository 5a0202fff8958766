#include "zoapi/WireWriter.h"

#include "zoapi/WireProtocol.h"

namespace zoapi {

WireWriter::WireWriter(std::uint16_t type, std::uint32_t seq)
{
    bytes.reserve(64);
    U32(0);
    U16(type);
    U16(0);
    U32(seq);
}

void WireWriter::U8(std::uint8_t value)
{
    bytes.push_back(value);
}

void WireWriter::U16(std::uint16_t value)
{
    bytes.push_back(static_cast<std::uint8_t>(value));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

void WireWriter::U32(std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

void WireWriter::I32(std::int32_t value)
{
    U32(static_cast<std::uint32_t>(value));
}

void WireWriter::Str(const std::string& text)
{
    std::size_t size = text.size() > 0xFFFF ? 0xFFFF : text.size();
    U16(static_cast<std::uint16_t>(size));
    bytes.insert(bytes.end(), text.begin(), text.begin() + size);
}

void WireWriter::Raw(const void* data, std::size_t size)
{
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + size);
}

const std::vector<std::uint8_t>& WireWriter::Bytes()
{
    std::uint32_t body = static_cast<std::uint32_t>(bytes.size() - kLengthSize);
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<std::uint8_t>(body >> (8 * i));
    return bytes;
}

}  // namespace zoapi
