#pragma once

#include <cstddef>
#include <cstdint>

// Frame layout and message numbers shared by the client library and the recording-server
// simulator. Every frame: u32 length of what follows, u16 type, u16 flags (0, ignored), u32
// sequence number, payload; integers little-endian, texts as u16 length plus bytes.
namespace zoapi {

/// Bytes of the length field.
constexpr std::size_t kLengthSize = 4;
/// Bytes after the length field that every frame carries: type, flags, sequence number.
constexpr std::size_t kHeaderRest = 8;
/// Largest frame body accepted; a directory of 10,000 cameras with long names fits many times.
constexpr std::uint32_t kMaxFrameBody = 16u * 1024u * 1024u;
/// Largest event data a frame may carry.
constexpr std::uint16_t kMaxEventData = 256;
/// Largest number of entries an association may carry on the wire.
constexpr std::uint32_t kMaxAssociationEntries = 4096;
/// A reply carries the request's type with this bit set and the request's sequence number.
constexpr std::uint16_t kReplyBit = 0x8000;

/// Message types.
enum MessageType : std::uint16_t {
    kPing = 0x0001,
    kLogin = 0x0002,
    kListCameras = 0x0003,
    kListSoftTriggers = 0x0004,
    kListEventLinks = 0x0005,
    kCreateSoftTrigger = 0x0006,
    kGetEventLink = 0x0007,
    kUpdateEventLink = 0x0008,
    kGetAssociation = 0x0009,
    kUpdateAssociation = 0x000A,
    kEvent = 0x0100,
};

/// Result codes the server puts first in every reply (other positive values are its refusals).
enum ResultCode : std::int32_t {
    kOk = 0,
    kNotFound = 2,
    kBadRequest = 4,
    kNotLoggedIn = 5,
};

}  // namespace zoapi
