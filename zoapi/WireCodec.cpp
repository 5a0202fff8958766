#include "zoapi/WireCodec.h"

#include <string>

#include "nvr/zoapi.h"

namespace zoapi {

namespace {

// Shown a record's fields in wire order, appends each.
class FieldWriter {
public:
    explicit FieldWriter(WireWriter& frame) : out(frame) {}

    void U16(std::uint16_t value) { out.U16(value); }
    void U32(std::uint32_t value) { out.U32(value); }
    void I32(std::int32_t value) { out.I32(value); }
    void Text(const std::string& text) { out.Str(text); }
    void Data(const std::vector<std::uint8_t>& data)
    {
        std::size_t size = data.size() > 0xFFFF ? 0xFFFF : data.size();
        out.U16(static_cast<std::uint16_t>(size));
        out.Raw(data.data(), size);
    }
    template <typename Record>
    void List(const std::vector<Record>& records, std::uint32_t)
    {
        WireCodec::WriteList(out, records);
    }

private:
    WireWriter& out;
};

// Shown a record's fields in wire order, takes each; a field that runs past the bytes or breaks
// a bound clears Ok(), and whatever was read after that is not to be used.
class FieldReader {
public:
    explicit FieldReader(WireReader& payload) : in(payload) {}

    void U16(std::uint16_t& value) { value = in.U16(); }
    void U32(std::uint32_t& value) { value = in.U32(); }
    void I32(std::int32_t& value) { value = in.I32(); }
    void Text(std::string& text) { text = in.Str(); }
    void Data(std::vector<std::uint8_t>& data)
    {
        std::uint16_t size = in.U16();
        if (size > kMaxEventData) {
            ok = false;
            return;
        }
        // A read past the end clears the reader's own flag; no data at all is no failure.
        const std::uint8_t* bytes = in.Raw(size);
        data.clear();
        if (bytes && size > 0)
            data.assign(bytes, bytes + size);
    }
    template <typename Record>
    void List(std::vector<Record>& records, std::uint32_t most)
    {
        if (!WireCodec::ReadList(in, records, most))
            ok = false;
    }
    bool Ok() const { return ok && in.Ok(); }

private:
    WireReader& in;
    bool ok = true;
};

// The field lists. Each takes the record const when writing and mutable when reading.

template <typename Io, typename Camera>
void CameraFields(Io& io, Camera& c)
{
    io.U32(c.id);
    io.Text(c.name);
    io.Text(c.address);
}

template <typename Io, typename Trigger>
void SoftTriggerFields(Io& io, Trigger& t)
{
    io.U32(t.id);
    io.Text(t.name);
    io.Text(t.guid);
}

template <typename Io, typename Login>
void LoginFields(Io& io, Login& l)
{
    io.Text(l.user);
    io.Text(l.password);
}

template <typename Io, typename Trigger>
void NewSoftTriggerFields(Io& io, Trigger& t)
{
    io.Text(t.name);
    io.Text(t.guid);
}

template <typename Io, typename Entry>
void EntryFields(Io& io, Entry& e)
{
    for (auto& field : e.field)
        io.U32(field);
}

template <typename Io, typename Association>
void AssociationFields(Io& io, Association& a)
{
    io.Text(a.name);
    io.U32(a.cameraId);
    io.U32(a.reserved16);
    io.U16(a.reserved20);
    io.U16(a.reserved22);
    io.U32(a.colour);
    io.U32(a.reserved28);
    io.U32(a.update);
    io.Text(a.fontName);
    io.U32(a.reserved40);
    io.U32(a.reserved44);
    io.U32(a.highlightColour);
    io.U32(a.reserved52);
    io.U32(a.reserved56);
    io.U32(a.reserved60);
    io.List(a.entries, kMaxAssociationEntries);
}

template <typename Io, typename Link>
void EventLinkFields(Io& io, Link& l)
{
    io.U32(l.id);
    io.U32(l.sourceType);
    io.U32(l.sourceId);
    io.U32(l.flags);
    io.U32(l.triggerInUse);
    io.U32(l.softTriggerId);
    io.Text(l.name);
}

template <typename Io, typename Event>
void EventFields(Io& io, Event& e)
{
    io.I32(e.type);
    io.I32(e.status);
    io.Data(e.data);
}

// Data bytes the event function may read for an event type; shorter data would send it past the end.
std::size_t DataRecordSize(std::int32_t type)
{
    if (type == ZOAPI_EVENT_SOFT_TRIGGER_CHANGED)
        return sizeof(ZOAPI_TRIGGER_EVENT);
    if (type == ZOAPI_EVENT_SOFT_TRIGGER_CREATED)
        return sizeof(ZOAPI_TRIGGER_CREATED_EVENT);
    return 0;
}

template <typename Record>
void Put(WireWriter& out, const Record& record, void (*fields)(FieldWriter&, const Record&))
{
    FieldWriter io(out);
    fields(io, record);
}

template <typename Record>
bool Take(WireReader& in, Record& record, void (*fields)(FieldReader&, Record&))
{
    FieldReader io(in);
    fields(io, record);
    return io.Ok();
}

}  // namespace

void WireCodec::Write(WireWriter& out, const CameraRecord& record)
{
    Put(out, record, CameraFields<FieldWriter, const CameraRecord>);
}

bool WireCodec::Read(WireReader& in, CameraRecord& record)
{
    return Take(in, record, CameraFields<FieldReader, CameraRecord>);
}

void WireCodec::Write(WireWriter& out, const SoftTriggerRecord& record)
{
    Put(out, record, SoftTriggerFields<FieldWriter, const SoftTriggerRecord>);
}

bool WireCodec::Read(WireReader& in, SoftTriggerRecord& record)
{
    return Take(in, record, SoftTriggerFields<FieldReader, SoftTriggerRecord>);
}

void WireCodec::Write(WireWriter& out, const LoginRecord& record)
{
    Put(out, record, LoginFields<FieldWriter, const LoginRecord>);
}

bool WireCodec::Read(WireReader& in, LoginRecord& record)
{
    return Take(in, record, LoginFields<FieldReader, LoginRecord>);
}

void WireCodec::Write(WireWriter& out, const NewSoftTriggerRecord& record)
{
    Put(out, record, NewSoftTriggerFields<FieldWriter, const NewSoftTriggerRecord>);
}

bool WireCodec::Read(WireReader& in, NewSoftTriggerRecord& record)
{
    return Take(in, record, NewSoftTriggerFields<FieldReader, NewSoftTriggerRecord>);
}

void WireCodec::Write(WireWriter& out, const AssociationEntry& record)
{
    Put(out, record, EntryFields<FieldWriter, const AssociationEntry>);
}

bool WireCodec::Read(WireReader& in, AssociationEntry& record)
{
    return Take(in, record, EntryFields<FieldReader, AssociationEntry>);
}

void WireCodec::Write(WireWriter& out, const AssociationRecord& record)
{
    Put(out, record, AssociationFields<FieldWriter, const AssociationRecord>);
}

bool WireCodec::Read(WireReader& in, AssociationRecord& record)
{
    return Take(in, record, AssociationFields<FieldReader, AssociationRecord>);
}

void WireCodec::Write(WireWriter& out, const EventLinkRecord& record)
{
    Put(out, record, EventLinkFields<FieldWriter, const EventLinkRecord>);
}

bool WireCodec::Read(WireReader& in, EventLinkRecord& record)
{
    return Take(in, record, EventLinkFields<FieldReader, EventLinkRecord>);
}

void WireCodec::Write(WireWriter& out, const EventRecord& record)
{
    Put(out, record, EventFields<FieldWriter, const EventRecord>);
}

bool WireCodec::Read(WireReader& in, EventRecord& record)
{
    if (!Take(in, record, EventFields<FieldReader, EventRecord>))
        return false;
    return record.data.empty() || record.data.size() >= DataRecordSize(record.type);
}

void WireCodec::Write(WireWriter& out, std::uint32_t id)
{
    out.U32(id);
}

bool WireCodec::Read(WireReader& in, std::uint32_t& id)
{
    id = in.U32();
    return in.Ok();
}

void WireCodec::WriteFound(WireWriter& out, const AssociationRecord* association)
{
    out.U8(association != nullptr);
    if (association)
        Write(out, *association);
}

bool WireCodec::ReadFound(WireReader& in, bool& found, AssociationRecord& association)
{
    found = in.U8() != 0;
    if (!in.Ok())
        return false;
    return !found || Read(in, association);
}

std::vector<std::uint8_t> WireCodec::EventFrame(std::int32_t type, std::int32_t status, const void* data,
                                                std::size_t size)
{
    EventRecord event{type, status, {}};
    if (data)
        event.data.assign(static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + size);
    WireWriter frame(kEvent, 0);
    Write(frame, event);
    return frame.Bytes();
}

}  // namespace zoapi
