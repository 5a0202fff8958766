#pragma once

#include <cstdint>
#include <vector>

#include "zoapi/WireProtocol.h"
#include "zoapi/WireReader.h"
#include "zoapi/WireRecords.h"
#include "zoapi/WireWriter.h"

namespace zoapi {

// Reads and writes the records of the protocol. Each record's fields are listed once, in wire
// order, and that one list drives both directions, so the library and the simulator cannot come
// to disagree about a record. Reading trusts nothing: every field is checked against the bytes
// left, every count against what those bytes could hold, and every bound of the protocol.
class WireCodec {
public:
    /// Appends a camera.
    static void Write(WireWriter& out, const CameraRecord& record);
    /// Appends a soft trigger.
    static void Write(WireWriter& out, const SoftTriggerRecord& record);
    /// Appends a login request's fields.
    static void Write(WireWriter& out, const LoginRecord& record);
    /// Appends a trigger creation's fields.
    static void Write(WireWriter& out, const NewSoftTriggerRecord& record);
    /// Appends an association entry.
    static void Write(WireWriter& out, const AssociationEntry& record);
    /// Appends an association with its entries.
    static void Write(WireWriter& out, const AssociationRecord& record);
    /// Appends an event link.
    static void Write(WireWriter& out, const EventLinkRecord& record);
    /// Appends an event.
    static void Write(WireWriter& out, const EventRecord& record);
    /// Appends an id of a listing.
    static void Write(WireWriter& out, std::uint32_t id);

    /// Takes a camera; false when it runs past the bytes.
    static bool Read(WireReader& in, CameraRecord& record);
    /// Takes a soft trigger; false when it runs past the bytes.
    static bool Read(WireReader& in, SoftTriggerRecord& record);
    /// Takes a login request's fields; false when they run past the bytes.
    static bool Read(WireReader& in, LoginRecord& record);
    /// Takes a trigger creation's fields; false when they run past the bytes.
    static bool Read(WireReader& in, NewSoftTriggerRecord& record);
    /// Takes an association entry; false when it runs past the bytes.
    static bool Read(WireReader& in, AssociationEntry& record);
    /// Takes an association; false when it runs past the bytes or lists more than
    /// kMaxAssociationEntries entries.
    static bool Read(WireReader& in, AssociationRecord& record);
    /// Takes an event link; false when it runs past the bytes.
    static bool Read(WireReader& in, EventLinkRecord& record);
    /// Takes an event; false when its data runs past the bytes, exceeds kMaxEventData, or is
    /// shorter than the record its type promises (the daemon reads those at fixed offsets).
    static bool Read(WireReader& in, EventRecord& record);
    /// Takes an id of a listing; false when it runs past the bytes.
    static bool Read(WireReader& in, std::uint32_t& id);

    /// Appends a count and the records.
    template <typename Record>
    static void WriteList(WireWriter& out, const std::vector<Record>& records);
    /// Takes a count and that many records. False when the count is above `most`, or larger than
    /// the bytes left could hold even with every record empty, or a record breaks; `records` is
    /// then not to be used.
    template <typename Record>
    static bool ReadList(WireReader& in, std::vector<Record>& records, std::uint32_t most = 0xFFFFFFFFu);

    /// Appends an association query's answer: a found flag, and the association when there is one.
    static void WriteFound(WireWriter& out, const AssociationRecord* association);
    /// Takes an association query's answer; false when it does not read cleanly.
    static bool ReadFound(WireReader& in, bool& found, AssociationRecord& association);

    /// A whole event frame, as the server sends it, with `size` data bytes at `data`.
    static std::vector<std::uint8_t> EventFrame(std::int32_t type, std::int32_t status, const void* data = nullptr,
                                                std::size_t size = 0);

private:
    /// Bytes of a record with every text and list empty: the least each listed record takes.
    template <typename Record>
    static std::size_t Smallest();
};

template <typename Record>
void WireCodec::WriteList(WireWriter& out, const std::vector<Record>& records)
{
    out.U32(static_cast<std::uint32_t>(records.size()));
    for (const Record& record : records)
        Write(out, record);
}

template <typename Record>
bool WireCodec::ReadList(WireReader& in, std::vector<Record>& records, std::uint32_t most)
{
    records.clear();
    std::uint32_t count = in.U32();
    // A count the bytes cannot hold is a lie; nothing is set aside for it.
    if (!in.Ok() || count > most || count > in.Left() / Smallest<Record>())
        return false;
    records.resize(count);
    for (Record& record : records)
        if (!Read(in, record))
            return false;
    return true;
}

template <typename Record>
std::size_t WireCodec::Smallest()
{
    // Measured from the one field list, so it cannot drift from it.
    static const std::size_t smallest = [] {
        WireWriter empty(0, 0);
        Write(empty, Record{});
        return empty.Bytes().size() - kLengthSize - kHeaderRest;
    }();
    return smallest;
}

}  // namespace zoapi
