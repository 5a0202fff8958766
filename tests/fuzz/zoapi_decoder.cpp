// Fuzz target: what a hostile or broken recording server can send the client library. The input
// is read twice:
//   - as a run of steps, each a control byte (high bit: await the reply with sequence number
//     1-4 from its low bits), a 16-bit length and that many bytes, handed to the library's inbox
//     as one read; after each step the events are drained and an arrived reply goes through the
//     directory's listing readers and the association and event-link reply readers;
//   - as one record body, decoded directly as every record type and every list.
// Checked for every input:
//   - no event handed out carries more than the protocol's event data;
//   - a listing that the directory took answers for its first camera and trigger;
//   - a reply copied into the caller's records stays inside the buffers the caller gave;
//   - whatever decodes cleanly, written again and decoded again, gives the same bytes, and its
//     own bytes decode to the end and no further.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "nvr/zoapi.h"
#include "zoapi/CallerRecords.h"
#include "zoapi/WireCodec.h"
#include "zoapi/WireFrame.h"
#include "zoapi/ZoapiDirectory.h"
#include "zoapi/ZoapiInbox.h"

namespace {

using namespace zoapi;

/// A finding: says which property broke and stops the run, so libFuzzer keeps the input.
[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "zoapi_decoder: %s\n", what.c_str());
    std::abort();
}

/// The payload of a frame that write filled, after the header.
template <typename Write>
std::vector<std::uint8_t> Encode(Write write)
{
    WireWriter out(0, 0);
    write(out);
    const std::vector<std::uint8_t>& frame = out.Bytes();
    return std::vector<std::uint8_t>(frame.begin() + kLengthSize + kHeaderRest, frame.end());
}

/// A value that read took cleanly must come back from its own bytes, taking all of them, and
/// give the same bytes again.
template <typename Value, typename Write, typename Read>
void CheckRoundTrip(const char* what, const Value& value, Write write, Read read)
{
    const std::vector<std::uint8_t> bytes = Encode([&](WireWriter& out) { write(out, value); });
    WireReader in(bytes.data(), bytes.size());
    Value again{};
    if (!read(in, again) || !in.Ok() || in.Left() != 0)
        Fail(std::string(what) + " does not read back from its own bytes");
    if (Encode([&](WireWriter& out) { write(out, again); }) != bytes)
        Fail(std::string(what) + " reads back as something else");
}

/// Decodes the bytes as one Record and as a list of them; checks what decodes.
template <typename Record>
void DecodeAs(const char* what, const std::uint8_t* data, std::size_t size)
{
    auto writeOne = [](WireWriter& out, const Record& record) { WireCodec::Write(out, record); };
    auto readOne = [](WireReader& in, Record& record) { return WireCodec::Read(in, record); };
    WireReader one(data, size);
    Record record{};
    if (readOne(one, record))
        CheckRoundTrip(what, record, writeOne, readOne);

    auto writeList = [](WireWriter& out, const std::vector<Record>& list) { WireCodec::WriteList(out, list); };
    auto readList = [](WireReader& in, std::vector<Record>& list) { return WireCodec::ReadList(in, list); };
    WireReader many(data, size);
    std::vector<Record> list;
    if (readList(many, list))
        CheckRoundTrip(what, list, writeList, readList);
}

/// The raw bytes as each record body the protocol has, and as a frame.
void DecodeRecords(const std::uint8_t* data, std::size_t size)
{
    DecodeAs<CameraRecord>("a camera", data, size);
    DecodeAs<SoftTriggerRecord>("a soft trigger", data, size);
    DecodeAs<LoginRecord>("a login", data, size);
    DecodeAs<NewSoftTriggerRecord>("a trigger creation", data, size);
    DecodeAs<AssociationEntry>("an association entry", data, size);
    DecodeAs<AssociationRecord>("an association", data, size);
    DecodeAs<EventLinkRecord>("an event link", data, size);
    DecodeAs<EventRecord>("an event", data, size);
    DecodeAs<std::uint32_t>("an id", data, size);

    WireReader in(data, size);
    bool found = false;
    AssociationRecord association;
    if (WireCodec::ReadFound(in, found, association))
        CheckRoundTrip(
            "an association answer", association,
            [found](WireWriter& out, const AssociationRecord& value) { WireCodec::WriteFound(out, found ? &value : nullptr); },
            [found](WireReader& again, AssociationRecord& value) {
                bool foundAgain = false;
                return WireCodec::ReadFound(again, foundAgain, value) && foundAgain == found;
            });

    WireFrame frame;
    if (frame.Read(data, size) == WireFrame::kWhole &&
        (frame.Size() > size || frame.PayloadSize() + kLengthSize + kHeaderRest != frame.Size()))
        Fail("a whole frame does not fit the bytes it was read from");
}

/// A reply as each call that waits for one reads it.
void ReadReply(const std::vector<std::uint8_t>& reply)
{
    ZoapiDirectory directory;
    if (directory.TakeCameras(reply) != 0 && directory.FindCamera(directory.CameraId(0)) == nullptr)
        Fail("a listed camera cannot be found by its id");
    if (directory.TakeSoftTriggers(reply) != 0 && directory.FindSoftTrigger(directory.SoftTriggerId(0)) == nullptr)
        Fail("a listed trigger cannot be found by its id");
    directory.TakeEventLinks(reply);

    WireReader link(reply.data(), reply.size());
    link.I32();
    EventLinkRecord got;
    if (WireCodec::Read(link, got)) {
        // On the heap at its exact size, so that a copy past the caller's record is caught.
        std::unique_ptr<ZOAPI_EVENT_LINK> caller(new ZOAPI_EVENT_LINK());
        caller->size = sizeof(ZOAPI_EVENT_LINK);
        CallerRecords::ToCaller(got, *caller);
    }

    WireReader association(reply.data(), reply.size());
    association.I32();
    bool found = false;
    AssociationRecord record;
    if (WireCodec::ReadFound(association, found, record) && found) {
        // The caller's buffers as the daemon gives them, each at its exact size; the entry array
        // is shorter than some associations, which must then be cut, not overrun.
        std::vector<char> name(ZOAPI_TEXT_SIZE);
        std::vector<char> fontName(ZOAPI_TEXT_SIZE);
        std::vector<ZOAPI_ASSOCIATION_ENTRY> entries(2);
        ZOAPI_ASSOCIATION caller{};
        caller.size = sizeof caller;
        caller.name = name.data();
        caller.fontName = fontName.data();
        caller.entries = entries.data();
        caller.entryCount = static_cast<std::uint32_t>(entries.size());
        CallerRecords::ToCaller(record, caller);
        if (caller.entryCount > entries.size())
            Fail("an association claims more entries than the caller's array holds");
    }
}

/// The input as reads from a server, through the inbox as the session uses it.
void Receive(FuzzInput& input)
{
    ZoapiInbox inbox;
    while (!input.Empty()) {
        const std::uint8_t control = input.TakeByte();
        if (control & 0x80)
            inbox.Await(1u + (control & 3u));
        const std::string bytes = input.TakeBytes(input.TakeU16());
        // A broken stream ends the connection; the session forgets the partial frame and the
        // awaited reply and keeps the events for Select.
        if (!inbox.Take(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))
            inbox.Drop();
        inbox.ReplyArriving();
        while (inbox.EventCount() != 0)
            if (inbox.PopEvent().data.size() > kMaxEventData)
                Fail("an event carries more data than the protocol allows");
        if (inbox.ReplyArrived())
            ReadReply(inbox.TakeReply());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    Receive(input);
    DecodeRecords(data, size);
    return 0;
}
