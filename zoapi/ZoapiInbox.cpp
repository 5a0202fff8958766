#include "zoapi/ZoapiInbox.h"

#include "zoapi/WireCodec.h"
#include "zoapi/WireFrame.h"

namespace zoapi {

namespace {

// More undelivered events than this means the caller stopped calling ZOAPI_Select; rather than
// drop any, the connection is given up.
constexpr std::size_t kMaxQueuedEvents = 100000;

}  // namespace

bool ZoapiInbox::Take(const std::uint8_t* data, std::size_t size)
{
    received.insert(received.end(), data, data + size);
    std::size_t at = 0;
    bool ok = true;
    WireFrame frame;
    for (;;) {
        WireFrame::Status status = frame.Read(received.data() + at, received.size() - at);
        if (status == WireFrame::kPart)
            break;
        if (status == WireFrame::kBroken || !TakeFrame(frame)) {
            ok = false;
            break;
        }
        at += frame.Size();
    }
    received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(at));
    return ok;
}

bool ZoapiInbox::TakeFrame(const WireFrame& frame)
{
    if (frame.Type() == kEvent) {
        WireReader in(frame.Payload(), frame.PayloadSize());
        EventRecord event;
        if (!WireCodec::Read(in, event) || events.size() >= kMaxQueuedEvents)
            return false;
        events.push_back(std::move(event));
        return true;
    }
    if ((frame.Type() & kReplyBit) && awaitedSeq != 0 && frame.Seq() == awaitedSeq) {
        reply.assign(frame.Payload(), frame.Payload() + frame.PayloadSize());
        replyArrived = true;
        awaitedSeq = 0;
    }
    return true;
}

void ZoapiInbox::Await(std::uint32_t seq)
{
    awaitedSeq = seq;
    replyArrived = false;
    reply.clear();
}

bool ZoapiInbox::ReplyArrived() const
{
    return replyArrived;
}

bool ZoapiInbox::ReplyArriving() const
{
    if (awaitedSeq == 0)
        return false;
    WireFrame frame;
    return frame.Read(received.data(), received.size()) == WireFrame::kPart && frame.HasHeader() &&
           (frame.Type() & kReplyBit) && frame.Seq() == awaitedSeq;
}

std::vector<std::uint8_t> ZoapiInbox::TakeReply()
{
    std::vector<std::uint8_t> out;
    out.swap(reply);
    replyArrived = false;
    awaitedSeq = 0;
    return out;
}

void ZoapiInbox::Drop()
{
    received.clear();
    awaitedSeq = 0;
}

void ZoapiInbox::Clear()
{
    Drop();
    events.clear();
    replyArrived = false;
    reply.clear();
}

std::size_t ZoapiInbox::EventCount() const
{
    return events.size();
}

EventRecord ZoapiInbox::PopEvent()
{
    EventRecord event = std::move(events.front());
    events.pop_front();
    return event;
}

}  // namespace zoapi
