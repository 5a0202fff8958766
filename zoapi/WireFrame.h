#pragma once

#include <cstddef>
#include <cstdint>

namespace zoapi {

// The frame at the start of a run of received bytes: its length field checked against the
// limits, its header and payload read without ever looking past the bytes at hand. Every reader
// of frames, the library's and the simulator's, goes through Read.
class WireFrame {
public:
    /// What the bytes at hand hold.
    enum Status {
        kWhole,   ///< the whole frame is there
        kPart,    ///< more bytes are needed
        kBroken,  ///< the length field breaks the framing; nothing after it can be trusted
    };

    /// Reads the frame at the start of the `size` bytes at `data`. With kPart, Size() is known
    /// once the length field is in, and Type() and Seq() once the header is in.
    Status Read(const std::uint8_t* data, std::size_t size);

    /// Bytes of the whole frame, length field included; 0 until the length field is in.
    std::size_t Size() const;
    /// True once the type and sequence number have been read.
    bool HasHeader() const;
    /// Message type; 0 without a header.
    std::uint16_t Type() const;
    /// Sequence number; 0 without a header.
    std::uint32_t Seq() const;
    /// First payload byte, inside the bytes given to Read; null unless the frame is whole.
    const std::uint8_t* Payload() const;
    /// Payload bytes; 0 unless the frame is whole.
    std::size_t PayloadSize() const;

private:
    /// Whole frame size, 0 while unknown.
    std::size_t size = 0;
    /// Set once the header was read.
    bool hasHeader = false;
    /// Message type.
    std::uint16_t type = 0;
    /// Sequence number.
    std::uint32_t seq = 0;
    /// Payload of a whole frame.
    const std::uint8_t* payload = nullptr;
    /// Payload size of a whole frame.
    std::size_t payloadSize = 0;
};

}  // namespace zoapi
