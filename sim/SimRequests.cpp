#include "sim/SimRequests.h"

#include <string>

#include "nvr/zoapi.h"
#include "zoapi/WireCodec.h"

namespace zonvrsim {

using namespace zoapi;

namespace {

// Copies the values of a listing, in id order, for the codec.
template <typename Map>
std::vector<typename Map::mapped_type> Values(const Map& map)
{
    std::vector<typename Map::mapped_type> values;
    values.reserve(map.size());
    for (const auto& item : map)
        values.push_back(item.second);
    return values;
}

}  // namespace

SimAnswer SimRequests::Answer(SimState& state, bool& loggedIn, std::uint16_t type, std::uint32_t seq,
                              const std::uint8_t* payload, std::size_t size)
{
    SimAnswer answer;
    WireReader in(payload, size);
    WireWriter reply(static_cast<std::uint16_t>(type | kReplyBit), seq);
    if (type == kPing) {
        reply.I32(kOk);
        answer.frames.push_back(reply.Bytes());
        return answer;
    }
    if (type == kLogin) {
        Login(state, loggedIn, in, answer);
        return answer;
    }
    const bool listing = type == kListCameras || type == kListSoftTriggers || type == kListEventLinks;
    if (type == kListCameras)
        state.calls.push_back("ListCameras");
    else if (type == kListSoftTriggers)
        state.calls.push_back("ListSoftTriggers");
    else if (type == kListEventLinks)
        state.calls.push_back("ListEventLinks");
    if (!loggedIn) {
        if (!listing)
            state.calls.push_back("Refused type=" + std::to_string(type) + " (not logged in)");
        reply.I32(kNotLoggedIn);
    } else if (listing) {
        List(state, type, reply);
    } else if (type == kCreateSoftTrigger) {
        CreateSoftTrigger(state, in, reply, answer);
    } else if (type == kGetEventLink) {
        GetEventLink(state, in, reply);
    } else if (type == kUpdateEventLink) {
        UpdateEventLink(state, in, reply, answer);
    } else if (type == kGetAssociation) {
        GetAssociation(state, in, reply);
    } else if (type == kUpdateAssociation) {
        UpdateAssociation(state, in, reply, answer);
    } else {
        state.calls.push_back("Unknown type=" + std::to_string(type));
        reply.I32(kBadRequest);
    }
    // The reply goes before the events the request caused.
    answer.frames.insert(answer.frames.begin(), reply.Bytes());
    return answer;
}

void SimRequests::Login(SimState& state, bool& loggedIn, WireReader& in, SimAnswer& answer)
{
    LoginRecord login;
    bool read = WireCodec::Read(in, login);
    state.calls.push_back("Login user=" + login.user);
    auto found = state.users.find(login.user);
    loggedIn = read && !state.refuseLogins && found != state.users.end() && found->second == login.password;
    int status = loggedIn ? ZOAPI_LOGIN_OK : ZOAPI_LOGIN_REFUSED;
    answer.frames.push_back(WireCodec::EventFrame(ZOAPI_EVENT_LOGIN_RESULT, status));
}

void SimRequests::List(const SimState& state, std::uint16_t type, WireWriter& reply)
{
    reply.I32(kOk);
    if (type == kListCameras) {
        WireCodec::WriteList(reply, Values(state.cameras));
    } else if (type == kListSoftTriggers) {
        WireCodec::WriteList(reply, Values(state.triggers));
    } else {
        std::vector<std::uint32_t> ids;
        for (const auto& l : state.links)
            ids.push_back(l.first);
        WireCodec::WriteList(reply, ids);
    }
}

void SimRequests::CreateSoftTrigger(SimState& state, WireReader& in, WireWriter& reply, SimAnswer& answer)
{
    NewSoftTriggerRecord created;
    bool read = WireCodec::Read(in, created);
    state.calls.push_back("CreateSoftTrigger name=" + created.name + " guid=" + created.guid);
    if (!read) {
        reply.I32(kBadRequest);
        return;
    }
    if (state.refuseTriggerCode != 0) {
        reply.I32(state.refuseTriggerCode);
        return;
    }
    std::uint32_t id = state.PutSoftTrigger(SimSoftTrigger{0, created.name, created.guid});
    reply.I32(kOk);
    reply.U32(id);
    ZOAPI_TRIGGER_CREATED_EVENT data{};
    data.size = sizeof data;
    data.softTriggerId = id;
    data.created = 1;
    answer.frames.push_back(WireCodec::EventFrame(ZOAPI_EVENT_SOFT_TRIGGER_CREATED, 0, &data, sizeof data));
    answer.changed = true;
}

void SimRequests::GetEventLink(SimState& state, WireReader& in, WireWriter& reply)
{
    std::uint32_t id = in.U32();
    state.calls.push_back("GetEventLink id=" + std::to_string(id));
    auto found = state.links.find(id);
    if (!in.Ok() || found == state.links.end()) {
        reply.I32(kNotFound);
        return;
    }
    reply.I32(kOk);
    WireCodec::Write(reply, found->second);
}

void SimRequests::UpdateEventLink(SimState& state, WireReader& in, WireWriter& reply, SimAnswer& answer)
{
    SimEventLink l;
    bool read = WireCodec::Read(in, l);
    state.calls.push_back("UpdateEventLink id=" + std::to_string(l.id) + " triggerInUse=" +
                          std::to_string(l.triggerInUse) + " softTriggerId=" + std::to_string(l.softTriggerId));
    auto found = state.links.find(l.id);
    if (!read) {
        reply.I32(kBadRequest);
    } else if (found == state.links.end()) {
        reply.I32(kNotFound);
    } else {
        // A link taken off its trigger no longer names one, as a real server shows it.
        if (l.triggerInUse == 0)
            l.softTriggerId = 0;
        found->second = l;
        reply.I32(kOk);
        answer.changed = true;
    }
}

void SimRequests::GetAssociation(SimState& state, WireReader& in, WireWriter& reply)
{
    std::uint32_t camera = in.U32();
    state.calls.push_back("GetAssociation camera=" + std::to_string(camera));
    auto found = state.associations.find(camera);
    reply.I32(in.Ok() ? kOk : kBadRequest);
    WireCodec::WriteFound(reply, in.Ok() && found != state.associations.end() ? &found->second : nullptr);
}

void SimRequests::UpdateAssociation(SimState& state, WireReader& in, WireWriter& reply, SimAnswer& answer)
{
    SimAssociation a;
    bool read = WireCodec::Read(in, a);
    std::string listed;
    for (const auto& e : a.entries)
        listed += (listed.empty() ? "" : ",") + std::to_string(e.field[3]);
    state.calls.push_back("UpdateAssociation camera=" + std::to_string(a.cameraId) + " name=" + a.name +
                          " triggers=" + listed);
    if (!read) {
        reply.I32(kBadRequest);
    } else if (state.refuseAssociationCode != 0) {
        reply.I32(state.refuseAssociationCode);
    } else {
        state.associations[a.cameraId] = a;
        reply.I32(kOk);
        answer.changed = true;
    }
}

}  // namespace zonvrsim
