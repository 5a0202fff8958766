#include "base/ConfigValue.h"

#include <cctype>
#include <limits>

#include <tinyxml2.h>

namespace
{

/// The parts of a number as sscanf sees them: sign and magnitude, the magnitude saturated at a
/// value larger than any 32-bit result so that both conversions can clamp without overflow.
bool ScanMagnitude(const char* text, bool& negative, uint64_t& magnitude)
{
    if (text == nullptr)
        return false;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (std::isspace(*p))
        ++p;
    negative = false;
    if (*p == '+' || *p == '-')
    {
        negative = (*p == '-');
        ++p;
    }
    if (!std::isdigit(*p))
        return false;
    const uint64_t cap = uint64_t(1) << 40;
    magnitude = 0;
    for (; std::isdigit(*p); ++p)
    {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > cap)
            magnitude = cap;
    }
    return true;
}

} // namespace

bool ScanInt(const char* text, int32_t& value)
{
    bool negative;
    uint64_t magnitude;
    if (!ScanMagnitude(text, negative, magnitude))
        return false;
    const int64_t signedValue = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    if (signedValue > std::numeric_limits<int32_t>::max())
        value = std::numeric_limits<int32_t>::max();
    else if (signedValue < std::numeric_limits<int32_t>::min())
        value = std::numeric_limits<int32_t>::min();
    else
        value = static_cast<int32_t>(signedValue);
    return true;
}

bool ScanUnsigned(const char* text, uint32_t& value)
{
    bool negative;
    uint64_t magnitude;
    if (!ScanMagnitude(text, negative, magnitude))
        return false;
    if (magnitude > std::numeric_limits<uint32_t>::max())
        value = std::numeric_limits<uint32_t>::max();
    else
        value = negative ? static_cast<uint32_t>(0u - static_cast<uint32_t>(magnitude))
                         : static_cast<uint32_t>(magnitude);
    return true;
}

bool ReadIntAttribute(const tinyxml2::XMLElement& element, const char* name, int32_t& value)
{
    return ScanInt(element.Attribute(name), value);
}

bool ReadUnsignedAttribute(const tinyxml2::XMLElement& element, const char* name, uint32_t& value)
{
    return ScanUnsigned(element.Attribute(name), value);
}
