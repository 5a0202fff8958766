#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zonvrsim {

/// A camera of the simulated server.
struct SimCamera {
    /// Server camera id.
    std::uint32_t id = 0;
    /// Camera name.
    std::string name;
    /// Device address, e.g. "rtsp://127.0.0.5:554/stream"; empty for an analog camera.
    std::string address;
};

/// A soft trigger of the simulated server.
struct SimSoftTrigger {
    /// Trigger id.
    std::uint32_t id = 0;
    /// Trigger name.
    std::string name;
    /// Trigger GUID.
    std::string guid;
};

/// One entry of an association, the eight 32-bit fields as the client sent them.
struct SimAssociationEntry {
    /// Fields at offsets 0, 4, ... 28: size, position, -, soft-trigger id, -, -, -, -.
    std::uint32_t field[8] = {32, 1, 8, 0, 0, 0, 0, 2};
};

/// A camera's association, every field of the client's record that is not a pointer.
struct SimAssociation {
    /// Association name.
    std::string name;
    /// Camera the association belongs to.
    std::uint32_t cameraId = 0;
    /// Field at offset 16.
    std::uint32_t reserved16 = 4;
    /// Field at offset 20.
    std::uint16_t reserved20 = 50;
    /// Field at offset 22.
    std::uint16_t reserved22 = 0;
    /// Colour at offset 24.
    std::uint32_t colour = 0x808080;
    /// Field at offset 28.
    std::uint32_t reserved28 = 0;
    /// Update flag at offset 32.
    std::uint32_t update = 1;
    /// Font name.
    std::string fontName = "Arial";
    /// Field at offset 40.
    std::uint32_t reserved40 = 0;
    /// Field at offset 44.
    std::uint32_t reserved44 = 8;
    /// Colour at offset 48.
    std::uint32_t highlightColour = 0xFFFF00;
    /// Field at offset 52.
    std::uint32_t reserved52 = 70;
    /// Field at offset 56.
    std::uint32_t reserved56 = 90;
    /// Field at offset 60.
    std::uint32_t reserved60 = 90;
    /// Listed triggers, in list order.
    std::vector<SimAssociationEntry> entries;
};

/// An event link of the simulated server.
struct SimEventLink {
    /// Link id.
    std::uint32_t id = 0;
    /// Kind of event that fires the link.
    std::uint32_t sourceType = 1;
    /// Id of the thing that fires it.
    std::uint32_t sourceId = 0;
    /// Flags.
    std::uint32_t flags = 0;
    /// Non-zero while the link drives its trigger.
    std::uint32_t triggerInUse = 1;
    /// Trigger the link drives, 0 once taken off.
    std::uint32_t softTriggerId = 0;
    /// Link name.
    std::string name;
};

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
    /// Adds or replaces an association with default fields that lists the given triggers.
    void PutAssociation(std::uint32_t cameraId, const std::string& name, const std::vector<std::uint32_t>& triggers);
    /// Adds or replaces an event link.
    void PutEventLink(const SimEventLink& link);
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
