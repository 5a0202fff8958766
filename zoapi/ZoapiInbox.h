#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "zoapi/WireRecords.h"

namespace zoapi {

class WireFrame;

// What the server sent, taken apart: bytes are split into frames, events are queued for Select,
// the reply a call waits for is kept for it, and everything else (keep-alive answers, late
// replies, message types of a newer server) is passed over. No I/O: it is handed bytes, so any
// bytes at all can be fed to it.
class ZoapiInbox {
public:
    /// Takes in received bytes and every frame they complete. False once they break the protocol
    /// (framing, an event that does not read cleanly, the event queue full): the connection must
    /// then be given up; events before the break stay queued.
    bool Take(const std::uint8_t* data, std::size_t size);
    /// Starts waiting for the reply with this sequence number, forgetting any earlier one.
    void Await(std::uint32_t seq);
    /// True once the awaited reply has arrived.
    bool ReplyArrived() const;
    /// True while the awaited reply is coming in: its header is here, the rest not yet.
    bool ReplyArriving() const;
    /// Hands over the arrived reply's payload (after the header) and stops waiting.
    std::vector<std::uint8_t> TakeReply();
    /// Forgets a partly received frame and the awaited reply; queued events stay for Select.
    void Drop();
    /// Forgets everything, queued events included.
    void Clear();
    /// Number of events waiting for Select.
    std::size_t EventCount() const;
    /// Takes the oldest waiting event; there must be one.
    EventRecord PopEvent();

private:
    /// Handles one whole frame; false when it breaks the protocol.
    bool TakeFrame(const WireFrame& frame);

    /// Received bytes not yet split into frames.
    std::vector<std::uint8_t> received;
    /// Events waiting for Select, oldest first.
    std::deque<EventRecord> events;
    /// Sequence number of the awaited reply, 0 when none.
    std::uint32_t awaitedSeq = 0;
    /// Set when the awaited reply has arrived.
    bool replyArrived = false;
    /// Payload of the arrived reply.
    std::vector<std::uint8_t> reply;
};

}  // namespace zoapi
