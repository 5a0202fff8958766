#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "zoapi/WireRecords.h"

namespace zonvrsim {

// The server keeps its records as they travel, so what a client writes is stored field for field.
/// A camera of the simulated server.
using SimCamera = zoapi::CameraRecord;
/// A soft trigger of the simulated server.
using SimSoftTrigger = zoapi::SoftTriggerRecord;
/// One entry of an association, the eight 32-bit fields as the client sent them.
using SimAssociationEntry = zoapi::AssociationEntry;
/// A camera's association, every field of the client's record that is not a pointer.
using SimAssociation = zoapi::AssociationRecord;
/// An event link of the simulated server.
using SimEventLink = zoapi::EventLinkRecord;

// The configuration of the simulated recording server and what it has been asked: users,
// cameras, soft triggers, associations, event links, the behaviour switches of the control
// interface and the record of calls. Not locked itself; NvrSimulator holds it under its mutex.
class SimState {
public:
    /// Reads state lines from a file; false with `error` ("line N: ...") on the first bad line.
    bool LoadFile(const std::string& path, std::string& error);
    /// Applies one state line ("camera 17 \"Lobby\" rtsp://..."); false with `error` when bad.
    bool ApplyLine(const std::string& line, std::string& error);
    /// The whole configuration as state lines of one kind ("cameras", "triggers", ...), or
    /// false for an unknown kind.
    bool List(const std::string& kind, std::vector<std::string>& lines) const;

    /// Adds or replaces a camera.
    void PutCamera(const SimCamera& camera);
    /// Adds or replaces a soft trigger; id 0 takes the one after the highest (the lowest free one
    /// once 4294967295 is taken), never 0 itself. Returns the id.
    std::uint32_t PutSoftTrigger(SimSoftTrigger trigger);
    /// Adds or replaces an association with the fields the daemon gives a new one, listing the
    /// given triggers.
    void PutAssociation(std::uint32_t cameraId, const std::string& name, const std::vector<std::uint32_t>& triggers);
    /// Adds or replaces an event link as a user sets one up: driving the trigger (none for 0).
    void PutEventLink(std::uint32_t id, std::uint32_t triggerId, const std::string& name);
    /// First camera whose association lists the trigger, 0 if none.
    std::uint32_t CameraOfTrigger(std::uint32_t triggerId) const;

    /// User name to password.
    std::map<std::string, std::string> users;
    /// Cameras by id.
    std::map<std::uint32_t, SimCamera> cameras;
    /// Soft triggers by id.
    std::map<std::uint32_t, SimSoftTrigger> triggers;
    /// Associations by camera id.
    std::map<std::uint32_t, SimAssociation> associations;
    /// Event links by id.
    std::map<std::uint32_t, SimEventLink> links;
    /// Every login is refused while set.
    bool refuseLogins = false;
    /// Non-zero: trigger creation is refused with this error number.
    int refuseTriggerCode = 0;
    /// Non-zero: association updates are refused with this error number.
    int refuseAssociationCode = 0;
    /// Every call received, one line each, oldest first.
    std::vector<std::string> calls;
};

}  // namespace zonvrsim
