#include "zoapi/ZoapiDirectory.h"

#include "zoapi/WireCodec.h"

namespace zoapi {

namespace {

// Reads a listing reply (result code, count, items) into `items`; on anything but a clean read
// of an accepted reply the list is left empty. Returns the item count.
template <typename Item>
unsigned ReadListing(const std::vector<std::uint8_t>& reply, std::vector<Item>& items)
{
    WireReader in(reply.data(), reply.size());
    if (in.I32() != kOk || !in.Ok() || !WireCodec::ReadList(in, items))
        items.clear();
    return static_cast<unsigned>(items.size());
}

// Indexes records by id; an id listed twice answers with its first record.
template <typename Record>
void Index(const std::vector<Record>& records, std::unordered_map<std::uint32_t, std::size_t>& index)
{
    index.clear();
    for (std::size_t i = 0; i < records.size(); ++i)
        index.emplace(records[i].id, i);
}

template <typename Record>
const Record* Find(const std::vector<Record>& records, const std::unordered_map<std::uint32_t, std::size_t>& index,
                   std::uint32_t id)
{
    auto found = index.find(id);
    return found == index.end() ? nullptr : &records[found->second];
}

}  // namespace

unsigned ZoapiDirectory::TakeCameras(const std::vector<std::uint8_t>& reply)
{
    ReadListing(reply, cameras);
    Index(cameras, cameraIndex);
    return static_cast<unsigned>(cameras.size());
}

unsigned ZoapiDirectory::TakeSoftTriggers(const std::vector<std::uint8_t>& reply)
{
    ReadListing(reply, triggers);
    Index(triggers, triggerIndex);
    return static_cast<unsigned>(triggers.size());
}

unsigned ZoapiDirectory::TakeEventLinks(const std::vector<std::uint8_t>& reply)
{
    return ReadListing(reply, links);
}

unsigned ZoapiDirectory::CameraId(unsigned index) const
{
    return index < cameras.size() ? cameras[index].id : 0;
}

unsigned ZoapiDirectory::SoftTriggerId(unsigned index) const
{
    return index < triggers.size() ? triggers[index].id : 0;
}

unsigned ZoapiDirectory::EventLinkId(unsigned index) const
{
    return index < links.size() ? links[index] : 0;
}

const CameraRecord* ZoapiDirectory::FindCamera(std::uint32_t id) const
{
    return Find(cameras, cameraIndex, id);
}

const SoftTriggerRecord* ZoapiDirectory::FindSoftTrigger(std::uint32_t id) const
{
    return Find(triggers, triggerIndex, id);
}

}  // namespace zoapi
