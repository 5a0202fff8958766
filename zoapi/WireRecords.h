#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The records that travel between the client library and a recording server, as both ends hold
// them; WireCodec reads and writes them. Field names follow the library's C records, so the
// library and the simulator speak of the same fields by the same names.
namespace zoapi {

/// A server camera as listed.
struct CameraRecord {
    /// Server camera id.
    std::uint32_t id = 0;
    /// Camera name.
    std::string name;
    /// Device address, e.g. "rtsp://127.0.0.5:554/stream"; empty for an analog camera.
    std::string address;
};

/// A soft trigger as listed.
struct SoftTriggerRecord {
    /// Trigger id.
    std::uint32_t id = 0;
    /// Trigger name.
    std::string name;
    /// Trigger GUID.
    std::string guid;
};

/// What a login request carries.
struct LoginRecord {
    /// User name.
    std::string user;
    /// Password.
    std::string password;
};

/// What a request to create a soft trigger carries.
struct NewSoftTriggerRecord {
    /// Trigger name.
    std::string name;
    /// Trigger GUID.
    std::string guid;
};

/// One entry of an association: the eight 32-bit fields of ZOAPI_ASSOCIATION_ENTRY in record order.
struct AssociationEntry {
    /// Fields at offsets 0, 4, ... 28: size, position, -, soft-trigger id, -, -, -, -.
    std::uint32_t field[8] = {};
};

/// A camera's association: every field of ZOAPI_ASSOCIATION that is not a pointer, and what its
/// pointers lead to.
struct AssociationRecord {
    /// Association name.
    std::string name;
    /// Camera the association belongs to.
    std::uint32_t cameraId = 0;
    /// Field at offset 16.
    std::uint32_t reserved16 = 0;
    /// Field at offset 20.
    std::uint16_t reserved20 = 0;
    /// Field at offset 22.
    std::uint16_t reserved22 = 0;
    /// Colour at offset 24.
    std::uint32_t colour = 0;
    /// Field at offset 28.
    std::uint32_t reserved28 = 0;
    /// Update flag at offset 32.
    std::uint32_t update = 0;
    /// Font name.
    std::string fontName;
    /// Field at offset 40.
    std::uint32_t reserved40 = 0;
    /// Field at offset 44.
    std::uint32_t reserved44 = 0;
    /// Colour at offset 48.
    std::uint32_t highlightColour = 0;
    /// Field at offset 52.
    std::uint32_t reserved52 = 0;
    /// Field at offset 56.
    std::uint32_t reserved56 = 0;
    /// Field at offset 60.
    std::uint32_t reserved60 = 0;
    /// Listed triggers, in list order.
    std::vector<AssociationEntry> entries;
};

/// An event link: the fields of ZOAPI_EVENT_LINK that travel.
struct EventLinkRecord {
    /// Link id.
    std::uint32_t id = 0;
    /// Kind of event that fires the link.
    std::uint32_t sourceType = 0;
    /// Id of the thing that fires it.
    std::uint32_t sourceId = 0;
    /// Flags.
    std::uint32_t flags = 0;
    /// Non-zero while the link drives its trigger.
    std::uint32_t triggerInUse = 0;
    /// Trigger the link drives, 0 if none.
    std::uint32_t softTriggerId = 0;
    /// Link name.
    std::string name;
};

/// An event as the server sends it.
struct EventRecord {
    /// Event type.
    std::int32_t type = 0;
    /// Event status.
    std::int32_t status = 0;
    /// Event data; empty means the event function gets NULL.
    std::vector<std::uint8_t> data;
};

}  // namespace zoapi
