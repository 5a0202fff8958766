#include "zoapi/WireReader.h"

namespace zoapi {

WireReader::WireReader(const std::uint8_t* data, std::size_t size) : next(data), left(size) {}

const std::uint8_t* WireReader::Raw(std::size_t size)
{
    if (!ok || size > left) {
        ok = false;
        return nullptr;
    }
    const std::uint8_t* start = next;
    next += size;
    left -= size;
    return start;
}

std::uint8_t WireReader::U8()
{
    const std::uint8_t* p = Raw(1);
    return p ? p[0] : 0;
}

std::uint16_t WireReader::U16()
{
    const std::uint8_t* p = Raw(2);
    return p ? static_cast<std::uint16_t>(p[0] | (p[1] << 8)) : 0;
}

std::uint32_t WireReader::U32()
{
    const std::uint8_t* p = Raw(4);
    if (!p)
        return 0;
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::int32_t WireReader::I32()
{
    return static_cast<std::int32_t>(U32());
}

std::string WireReader::Str()
{
    std::uint16_t size = U16();
    const std::uint8_t* p = Raw(size);
    return p ? std::string(reinterpret_cast<const char*>(p), size) : std::string();
}

std::size_t WireReader::Left() const
{
    return left;
}

bool WireReader::Ok() const
{
    return ok;
}

}  // namespace zoapi
