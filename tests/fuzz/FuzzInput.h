#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

/// Reads a fuzz input front to back as the steps a target takes: single bytes that choose what
/// happens next and runs of bytes that are sent or parsed. Past the end every read yields zeros
/// or nothing, so a target never has to check lengths before it reads.
class FuzzInput
{
public:
    /// Reads data[0, size); the bytes must outlive the reader.
    FuzzInput(const uint8_t* data, std::size_t size);

    /// True once every byte has been taken.
    bool Empty() const;
    /// The next byte; 0 past the end.
    uint8_t TakeByte();
    /// The next two bytes, little-endian; the missing ones count as 0.
    uint16_t TakeU16();
    /// The next count bytes, or as many as are left.
    std::string TakeBytes(std::size_t count);
    /// Everything up to the next line feed (which is taken but not returned), or to the end.
    std::string TakeLine();

private:
    /// The input.
    const uint8_t* data;
    /// Its length.
    std::size_t size;
    /// Bytes taken so far.
    std::size_t offset = 0;
};
