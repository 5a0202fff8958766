#include "nvr/TriggerProvisioning.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/ConfigValue.h"
#include "base/LogStream.h"
#include "camera/TrackCamera.h"
#include "control/ControlServer.h"
#include "nvr/CameraDirectory.h"

namespace
{

/// One association with the buffers it points at. The text buffers have one zero byte more
/// than the library may fill, so a name that fills its buffer still ends.
struct AssociationRecord
{
    AssociationRecord()
    {
        record.size = sizeof(ZOAPI_ASSOCIATION);
        record.name = name;
        record.fontName = fontName;
    }
    AssociationRecord(const AssociationRecord&) = delete;
    AssociationRecord& operator=(const AssociationRecord&) = delete;

    /// Points the record at the entries, with their count.
    void PointAtEntries()
    {
        record.entries = entries.empty() ? nullptr : entries.data();
        record.entryCount = static_cast<uint32_t>(entries.size());
    }

    ZOAPI_ASSOCIATION record{};
    char name[ZOAPI_TEXT_SIZE + 1] = {};
    char fontName[ZOAPI_TEXT_SIZE + 1] = {};
    std::vector<ZOAPI_ASSOCIATION_ENTRY> entries;
};

/// The values of an association the service creates for a camera that has none.
void FillNewAssociation(AssociationRecord& association, uint32_t cameraId)
{
    const std::string name = TriggerProvisioning::GuidFor(cameraId);
    std::snprintf(association.name, ZOAPI_TEXT_SIZE, "%s", name.c_str());
    std::snprintf(association.fontName, ZOAPI_TEXT_SIZE, "%s", "Arial");
    ZOAPI_ASSOCIATION& record = association.record;
    record.nameLength = static_cast<uint32_t>(std::strlen(association.name) + 1);
    record.cameraId = cameraId;
    record.reserved16 = 4;
    record.reserved20 = 50;
    record.reserved22 = 0;
    record.colour = 0x808080;
    record.reserved28 = 0;
    record.update = 1;
    record.reserved40 = 0;
    record.reserved44 = 8;
    record.highlightColour = 0xFFFF00;
    record.reserved52 = 70;
    record.reserved56 = 90;
    record.reserved60 = 90;
}

/// The entry the service appends for one of its triggers.
ZOAPI_ASSOCIATION_ENTRY NewEntry(uint32_t position, uint32_t triggerId)
{
    ZOAPI_ASSOCIATION_ENTRY entry{};
    entry.size = sizeof(ZOAPI_ASSOCIATION_ENTRY);
    entry.position = position;
    entry.reserved8 = 8;
    entry.softTriggerId = triggerId;
    entry.reserved28 = 2;
    return entry;
}

/// Writes the association back; a refusal is logged with the association's name.
void WriteAssociation(ZOAPI_HANDLE handle, AssociationRecord& association)
{
    association.record.update = 1;
    association.PointAtEntries();
    const int error = ZOAPI_UpdateAssociation(handle, &association.record);
    if (error != 0)
        gLog.BeginLine() << "Error " << error << " while creating or updating association for "
                         << association.name;
}

} // namespace

TriggerProvisioning::TriggerProvisioning(const CameraMap& cameras, const CameraDirectory& directory)
    : cameras(cameras), directory(directory)
{
}

std::string TriggerProvisioning::GuidFor(uint32_t cameraId)
{
    char guid[256] = {};
    std::snprintf(guid, sizeof guid, "%s_%u", "TOLVEX", static_cast<unsigned int>(cameraId));
    return guid;
}

void TriggerProvisioning::RebuildTriggerMap(ZOAPI_HANDLE handle, ControlServer& controlServer)
{
    triggerMap.clear();
    triggersOfCamera.clear();
    // The first track camera, in CameraMap order, that this server knows under each id.
    std::map<uint32_t, CameraMap::const_iterator> cameraOfId;
    for (auto entry = cameras.begin(); entry != cameras.end(); ++entry)
    {
        const uint32_t cameraId = directory.IdOf(entry->first);
        if (cameraId != 0)
            cameraOfId.emplace(cameraId, entry);
    }

    const unsigned int count = ZOAPI_NumSoftTriggers(handle);
    for (unsigned int index = 0; index < count; ++index)
    {
        const uint32_t triggerId = ZOAPI_GetSoftTriggerId(handle, index);
        char guid[ZOAPI_TEXT_SIZE + 1] = {};
        ZOAPI_GetSoftTriggerGuid(handle, triggerId, guid, ZOAPI_TEXT_SIZE);
        // Id 0 is "no trigger" to the library: no event and no link can name it.
        if (triggerId == 0 || std::strncmp(guid, "TOLVEX", 6) != 0)
            continue;
        const char* separator = std::strchr(guid, '_');
        // Read as the target's 32-bit strtoul reads it: a number too large saturates.
        uint32_t cameraId = 0;
        if (separator == nullptr || !ScanUnsigned(separator + 1, cameraId) || cameraId == 0)
            continue;

        const auto camera = cameraOfId.find(cameraId);
        if (camera == cameraOfId.end())
            continue;
        triggerMap[triggerId] = camera->second->second;
        controlServer.SetSoftTriggerId(camera->second->first, triggerId);
    }
    for (const auto& trigger : triggerMap)
        triggersOfCamera[directory.IdOf(trigger.second->address)].push_back(trigger.first);
}

void TriggerProvisioning::CreateMissingTriggers(ZOAPI_HANDLE handle, ControlServer& controlServer)
{
    RebuildTriggerMap(handle, controlServer);
    for (const auto& entry : cameras)
    {
        const uint32_t cameraId = directory.IdOf(entry.first);
        if (cameraId == 0)
            continue;
        if (triggersOfCamera.count(cameraId) != 0)
            continue;

        const std::string guid = GuidFor(cameraId);
        const int error = ZOAPI_CreateSoftTriggerWithGuid(handle, kTriggerName, guid.c_str());
        if (error != 0)
        {
            gLog.BeginLine() << "Error " << error << " in ZOAPI_CreateSoftTriggerWithGuid()";
            continue;
        }

        // The monotonic clock: a step of the wall clock can neither cut this wait short nor stretch it.
        triggerAcknowledged = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kAcknowledgeSecs);
        while (!triggerAcknowledged)
        {
            if (ZOAPI_Select(handle, 1000) < 0 || std::chrono::steady_clock::now() >= deadline)
                break;
        }
    }
}

void TriggerProvisioning::UpdateAssociations(ZOAPI_HANDLE handle, ControlServer& controlServer)
{
    RebuildTriggerMap(handle, controlServer);
    for (const auto& entry : cameras)
        UpdateAssociation(handle, entry.first);
}

void TriggerProvisioning::UpdateAssociation(ZOAPI_HANDLE handle, const std::string& address)
{
    // An unmatched camera is asked for with id 0; no trigger belongs to id 0, so nothing is written.
    const uint32_t cameraId = directory.IdOf(address);
    AssociationRecord association;
    ZOAPI_GetAssociationForCamera(handle, cameraId, &association.record);
    if (association.record.nameLength != 0)
    {
        ZOAPI_ASSOCIATION_ENTRY blank{};
        blank.size = sizeof(ZOAPI_ASSOCIATION_ENTRY);
        association.entries.assign(association.record.entryCount, blank);
        association.PointAtEntries();
        ZOAPI_GetAssociationForCamera(handle, cameraId, &association.record);
        // The library reports how many entries it filled; never trust it beyond the array.
        if (association.record.entryCount < association.entries.size())
            association.entries.resize(association.record.entryCount);
    }
    else
    {
        FillNewAssociation(association, cameraId);
    }

    const auto triggers = triggersOfCamera.find(cameraId);
    if (triggers == triggersOfCamera.end())
        return;
    bool appended = false;
    for (const uint32_t triggerId : triggers->second)
    {
        bool listed = false;
        for (const ZOAPI_ASSOCIATION_ENTRY& listedEntry : association.entries)
            listed = listed || listedEntry.softTriggerId == triggerId;
        if (listed)
            continue;
        association.entries.push_back(NewEntry(static_cast<uint32_t>(association.entries.size() + 1), triggerId));
        WriteAssociation(handle, association);
        appended = true;
    }
    if (appended)
        WriteAssociation(handle, association);
}

void TriggerProvisioning::RemoveForeignEventLinks(ZOAPI_HANDLE handle)
{
    const unsigned int count = ZOAPI_NumEventLinks(handle);
    for (unsigned int index = 0; index < count; ++index)
    {
        ZOAPI_EVENT_LINK link{};
        link.size = sizeof(ZOAPI_EVENT_LINK);
        link.id = ZOAPI_GetEventLinkId(handle, index);
        if (link.id == 0 || ZOAPI_GetEventLinkInfo(handle, &link) < 0)
            continue;
        // Compared with this server's own triggers: another server's trigger ids mean nothing here.
        if (triggerMap.count(link.softTriggerId) == 0)
            continue;
        link.triggerInUse = 0;
        if (ZOAPI_UpdateEventLink(handle, &link) == 0)
            gLog.BeginLine() << "Removed user-assigned event link trying to use Tolvex soft trigger "
                             << link.softTriggerId;
    }
}

TrackCamera* TriggerProvisioning::CameraOfTrigger(uint32_t triggerId) const
{
    const auto entry = triggerMap.find(triggerId);
    return entry == triggerMap.end() ? nullptr : entry->second;
}

void TriggerProvisioning::Acknowledge()
{
    triggerAcknowledged = true;
}

std::size_t TriggerProvisioning::TriggerCount() const
{
    return triggerMap.size();
}
