#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zoapi {

// Builds one frame; the length field is filled in by Bytes().
class WireWriter {
public:
    /// Starts a frame of the given type and sequence number.
    WireWriter(std::uint16_t type, std::uint32_t seq);

    /// Appends one byte.
    void U8(std::uint8_t value);
    /// Appends a little-endian 16-bit value.
    void U16(std::uint16_t value);
    /// Appends a little-endian 32-bit value.
    void U32(std::uint32_t value);
    /// Appends a signed 32-bit value.
    void I32(std::int32_t value);
    /// Appends a text, cut to 65535 bytes.
    void Str(const std::string& text);
    /// Appends raw bytes.
    void Raw(const void* data, std::size_t size);
    /// The finished frame, length field included.
    const std::vector<std::uint8_t>& Bytes();

private:
    /// The frame under construction.
    std::vector<std::uint8_t> bytes;
};

}  // namespace zoapi
