#include "zoapi/CallerRecords.h"

#include <algorithm>
#include <cstring>

namespace zoapi {

namespace {

// The caller's association and the wire record name their integer fields alike, so this one
// list serves both directions.
template <typename From, typename To>
void CopyAssociationNumbers(const From& from, To& to)
{
    to.cameraId = from.cameraId;
    to.reserved16 = from.reserved16;
    to.reserved20 = from.reserved20;
    to.reserved22 = from.reserved22;
    to.colour = from.colour;
    to.reserved28 = from.reserved28;
    to.update = from.update;
    to.reserved40 = from.reserved40;
    to.reserved44 = from.reserved44;
    to.highlightColour = from.highlightColour;
    to.reserved52 = from.reserved52;
    to.reserved56 = from.reserved56;
    to.reserved60 = from.reserved60;
}

// The same for the event link's travelling integers.
template <typename From, typename To>
void CopyLinkNumbers(const From& from, To& to)
{
    to.id = from.id;
    to.sourceType = from.sourceType;
    to.sourceId = from.sourceId;
    to.flags = from.flags;
    to.triggerInUse = from.triggerInUse;
    to.softTriggerId = from.softTriggerId;
}

// An entry is eight u32 in record order both in the caller's array and on the wire.
static_assert(sizeof(AssociationEntry::field) == sizeof(ZOAPI_ASSOCIATION_ENTRY), "entries are 32 bytes on both sides");

}  // namespace

AssociationRecord CallerRecords::FromCaller(const ZOAPI_ASSOCIATION& a)
{
    AssociationRecord record;
    record.name = BoundedText(a.name);
    record.fontName = BoundedText(a.fontName);
    CopyAssociationNumbers(a, record);
    record.entries.resize(a.entries ? a.entryCount : 0);
    for (std::size_t i = 0; i < record.entries.size(); ++i)
        std::memcpy(record.entries[i].field, &a.entries[i], sizeof record.entries[i].field);
    return record;
}

void CallerRecords::ToCaller(const AssociationRecord& from, ZOAPI_ASSOCIATION& a)
{
    if (a.name)
        CopyText(from.name, a.name, ZOAPI_TEXT_SIZE);
    a.nameLength = static_cast<std::uint32_t>(std::min<std::size_t>(from.name.size(), ZOAPI_TEXT_SIZE - 1) + 1);
    CopyAssociationNumbers(from, a);
    if (a.fontName)
        CopyText(from.fontName, a.fontName, ZOAPI_TEXT_SIZE);
    std::uint32_t count = static_cast<std::uint32_t>(from.entries.size());
    if (!a.entries || a.entryCount == 0) {
        a.entryCount = count;
        return;
    }
    a.entryCount = std::min(count, a.entryCount);
    for (std::uint32_t i = 0; i < a.entryCount; ++i) {
        std::memcpy(&a.entries[i], from.entries[i].field, sizeof a.entries[i]);
        // The size is the caller's record size, whatever the server stored.
        a.entries[i].size = sizeof(ZOAPI_ASSOCIATION_ENTRY);
    }
}

void CallerRecords::NoAssociation(ZOAPI_ASSOCIATION& a)
{
    a.nameLength = 0;
    a.entryCount = 0;
    if (a.name)
        a.name[0] = '\0';
}

EventLinkRecord CallerRecords::FromCaller(const ZOAPI_EVENT_LINK& link)
{
    EventLinkRecord record;
    CopyLinkNumbers(link, record);
    record.name.assign(link.name, strnlen(link.name, sizeof link.name));
    return record;
}

void CallerRecords::ToCaller(const EventLinkRecord& from, ZOAPI_EVENT_LINK& link)
{
    std::uint32_t keepSize = link.size;
    std::memset(&link, 0, sizeof link);
    link.size = keepSize;
    CopyLinkNumbers(from, link);
    CopyText(from.name, link.name, sizeof link.name);
}

int CallerRecords::CopyText(const std::string& text, char* buffer, int size)
{
    if (!buffer || size <= 0)
        return -1;
    std::size_t room = static_cast<std::size_t>(std::min(size, ZOAPI_TEXT_SIZE)) - 1;
    std::size_t n = std::min(room, text.size());
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return 0;
}

std::string CallerRecords::BoundedText(const char* text)
{
    if (!text)
        return std::string();
    const void* end = std::memchr(text, '\0', ZOAPI_TEXT_SIZE);
    std::size_t n = end ? static_cast<std::size_t>(static_cast<const char*>(end) - text) : ZOAPI_TEXT_SIZE - 1;
    return std::string(text, n);
}

}  // namespace zoapi
