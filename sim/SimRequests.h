#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/SimState.h"
#include "zoapi/WireReader.h"
#include "zoapi/WireWriter.h"

namespace zonvrsim {

/// What answering one request came to.
struct SimAnswer {
    /// Frames for the asking client, in order: the reply (or the login result) and the events it causes.
    std::vector<std::vector<std::uint8_t>> frames;
    /// Set when the configuration changed, which the other logged-in clients must hear of.
    bool changed = false;
};

// Answers the requests of one client against the server's state, records each call, and sends
// nothing itself: the simulator runs it under its lock and sends the answer afterwards.
class SimRequests {
public:
    /// Answers a request; `loggedIn` is the client's state, which a login changes.
    static SimAnswer Answer(SimState& state, bool& loggedIn, std::uint16_t type, std::uint32_t seq,
                            const std::uint8_t* payload, std::size_t size);

private:
    /// Checks the credentials; the outcome is an event, not a reply.
    static void Login(SimState& state, bool& loggedIn, zoapi::WireReader& in, SimAnswer& answer);
    /// Fills the reply to ListCameras, ListSoftTriggers or ListEventLinks.
    static void List(const SimState& state, std::uint16_t type, zoapi::WireWriter& reply);
    /// Creates a soft trigger, acknowledged with event 39 after the reply.
    static void CreateSoftTrigger(SimState& state, zoapi::WireReader& in, zoapi::WireWriter& reply, SimAnswer& answer);
    /// Answers with one event link.
    static void GetEventLink(SimState& state, zoapi::WireReader& in, zoapi::WireWriter& reply);
    /// Stores an event link as sent.
    static void UpdateEventLink(SimState& state, zoapi::WireReader& in, zoapi::WireWriter& reply, SimAnswer& answer);
    /// Answers with a camera's association, if it has one.
    static void GetAssociation(SimState& state, zoapi::WireReader& in, zoapi::WireWriter& reply);
    /// Replaces a camera's association with the one sent.
    static void UpdateAssociation(SimState& state, zoapi::WireReader& in, zoapi::WireWriter& reply, SimAnswer& answer);
};

}  // namespace zonvrsim
