#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "zoapi/WireRecords.h"

namespace zoapi {

// The lists last loaded from the server (cameras, soft triggers, event links) and the lookups the
// library answers from them. Each list is replaced only by a reply that reads cleanly as a whole;
// any other reply leaves it empty.
class ZoapiDirectory {
public:
    /// Replaces the cameras with a ListCameras reply payload (empty: the call failed); their count.
    unsigned TakeCameras(const std::vector<std::uint8_t>& reply);
    /// Replaces the soft triggers with a ListSoftTriggers reply payload; their count.
    unsigned TakeSoftTriggers(const std::vector<std::uint8_t>& reply);
    /// Replaces the event-link ids with a ListEventLinks reply payload; their count.
    unsigned TakeEventLinks(const std::vector<std::uint8_t>& reply);

    /// Camera id at an index of the last list, 0 when out of range.
    unsigned CameraId(unsigned index) const;
    /// Trigger id at an index of the last list, 0 when out of range.
    unsigned SoftTriggerId(unsigned index) const;
    /// Link id at an index of the last list, 0 when out of range.
    unsigned EventLinkId(unsigned index) const;
    /// The camera with this id in the last list, or null.
    const CameraRecord* FindCamera(std::uint32_t id) const;
    /// The soft trigger with this id in the last list, or null.
    const SoftTriggerRecord* FindSoftTrigger(std::uint32_t id) const;

private:
    /// Cameras as last listed.
    std::vector<CameraRecord> cameras;
    /// Camera id to index in `cameras`.
    std::unordered_map<std::uint32_t, std::size_t> cameraIndex;
    /// Soft triggers as last listed.
    std::vector<SoftTriggerRecord> triggers;
    /// Trigger id to index in `triggers`.
    std::unordered_map<std::uint32_t, std::size_t> triggerIndex;
    /// Event-link ids as last listed.
    std::vector<std::uint32_t> links;
};

}  // namespace zoapi
