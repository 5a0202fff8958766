#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zoapi {

// Reads the fields of one frame body without ever stepping past its end: a read beyond the end
// yields zero or an empty text and clears Ok(), so a short or lying frame is caught once, after
// all fields were taken.
class WireReader {
public:
    /// Reads `size` bytes at `data`.
    WireReader(const std::uint8_t* data, std::size_t size);

    /// Takes one byte.
    std::uint8_t U8();
    /// Takes a little-endian 16-bit value.
    std::uint16_t U16();
    /// Takes a little-endian 32-bit value.
    std::uint32_t U32();
    /// Takes a signed 32-bit value.
    std::int32_t I32();
    /// Takes a text (u16 length plus bytes).
    std::string Str();
    /// Takes `size` raw bytes; null when they are not all there.
    const std::uint8_t* Raw(std::size_t size);
    /// Bytes not yet taken.
    std::size_t Left() const;
    /// False once any read went past the end.
    bool Ok() const;

private:
    /// Next unread byte.
    const std::uint8_t* next;
    /// Bytes left after `next`.
    std::size_t left;
    /// Cleared by the first read past the end.
    bool ok = true;
};

}  // namespace zoapi
