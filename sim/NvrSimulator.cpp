#include "sim/NvrSimulator.h"

#include "nvr/zoapi.h"
#include "sim/SimClientConnection.h"
#include "sim/SimControlConnection.h"
#include "sim/SimWords.h"
#include "zoapi/WireProtocol.h"
#include "zoapi/WireReader.h"
#include "zoapi/WireWriter.h"

namespace zonvrsim {

namespace {

std::vector<std::uint8_t> EventFrame(int type, int status, const void* data, std::size_t size)
{
    zoapi::WireWriter frame(zoapi::kEvent, 0);
    frame.I32(type);
    frame.I32(status);
    frame.U16(static_cast<std::uint16_t>(size));
    frame.Raw(data, size);
    return frame.Bytes();
}

void WriteAssociation(zoapi::WireWriter& out, const SimAssociation& a)
{
    out.Str(a.name);
    out.U32(a.cameraId);
    out.U32(a.reserved16);
    out.U16(a.reserved20);
    out.U16(a.reserved22);
    out.U32(a.colour);
    out.U32(a.reserved28);
    out.U32(a.update);
    out.Str(a.fontName);
    out.U32(a.reserved40);
    out.U32(a.reserved44);
    out.U32(a.highlightColour);
    out.U32(a.reserved52);
    out.U32(a.reserved56);
    out.U32(a.reserved60);
    out.U32(static_cast<std::uint32_t>(a.entries.size()));
    for (const auto& e : a.entries)
        for (std::uint32_t f : e.field)
            out.U32(f);
}

bool ReadAssociation(zoapi::WireReader& in, SimAssociation& a)
{
    a.name = in.Str();
    a.cameraId = in.U32();
    a.reserved16 = in.U32();
    a.reserved20 = in.U16();
    a.reserved22 = in.U16();
    a.colour = in.U32();
    a.reserved28 = in.U32();
    a.update = in.U32();
    a.fontName = in.Str();
    a.reserved40 = in.U32();
    a.reserved44 = in.U32();
    a.highlightColour = in.U32();
    a.reserved52 = in.U32();
    a.reserved56 = in.U32();
    a.reserved60 = in.U32();
    std::uint32_t count = in.U32();
    if (!in.Ok() || count > zoapi::kMaxAssociationEntries || count > in.Left() / 32)
        return false;
    a.entries.resize(count);
    for (auto& e : a.entries)
        for (std::uint32_t& f : e.field)
            f = in.U32();
    return in.Ok();
}

}  // namespace

NvrSimulator::NvrSimulator() : acceptor(io), controlAcceptor(io) {}

NvrSimulator::~NvrSimulator()
{
    Stop();
}

bool NvrSimulator::LoadState(const std::string& path, std::string& error)
{
    std::lock_guard<std::mutex> lock(mutex);
    return state.LoadFile(path, error);
}

void NvrSimulator::Start(const std::string& address, unsigned short clientPort, unsigned short ctlPort)
{
    using boost::asio::ip::tcp;
    auto ip = boost::asio::ip::make_address(address);
    tcp::endpoint endpoint(ip, clientPort);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen();
    tcp::endpoint controlEndpoint(ip, ctlPort);
    controlAcceptor.open(controlEndpoint.protocol());
    controlAcceptor.set_option(tcp::acceptor::reuse_address(true));
    controlAcceptor.bind(controlEndpoint);
    controlAcceptor.listen();
    port = acceptor.local_endpoint().port();
    controlPort = controlAcceptor.local_endpoint().port();
    StartAccept();
    StartControlAccept();
    running = true;
    thread = std::thread([this] { io.run(); });
}

void NvrSimulator::Stop()
{
    if (!running.exchange(false))
        return;
    io.post([this] {
        boost::system::error_code ignored;
        acceptor.close(ignored);
        controlAcceptor.close(ignored);
        auto all = clients;
        for (const auto& c : all)
            c->Stop();
        io.stop();
    });
    thread.join();
    clients.clear();
    clientCount = 0;
}

unsigned short NvrSimulator::Port() const
{
    return port;
}

unsigned short NvrSimulator::ControlPort() const
{
    return controlPort;
}

void NvrSimulator::StartAccept()
{
    auto client = std::make_shared<SimClientConnection>(io, *this);
    acceptor.async_accept(client->Socket(),
                          [this, client](const boost::system::error_code& error) { HandleAccept(error, client); });
}

void NvrSimulator::HandleAccept(const boost::system::error_code& error, std::shared_ptr<SimClientConnection> client)
{
    if (error == boost::asio::error::operation_aborted || !acceptor.is_open())
        return;
    if (!error) {
        clients.insert(client);
        clientCount = clients.size();
        client->Start();
    }
    StartAccept();
}

void NvrSimulator::StartControlAccept()
{
    auto control = std::make_shared<SimControlConnection>(io, *this);
    controlAcceptor.async_accept(control->Socket(), [this, control](const boost::system::error_code& error) {
        HandleControlAccept(error, control);
    });
}

void NvrSimulator::HandleControlAccept(const boost::system::error_code& error,
                                       std::shared_ptr<SimControlConnection> control)
{
    if (error == boost::asio::error::operation_aborted || !controlAcceptor.is_open())
        return;
    if (!error)
        control->Start();
    StartControlAccept();
}

void NvrSimulator::Forget(const std::shared_ptr<SimClientConnection>& client)
{
    clients.erase(client);
    clientCount = clients.size();
}

bool NvrSimulator::Hanging() const
{
    return hanging;
}

int NvrSimulator::AckDelay() const
{
    return ackDelay;
}

void NvrSimulator::Broadcast(std::vector<std::uint8_t> frame, SimClientConnection* except, bool loggedInOnly)
{
    io.post([this, frame = std::move(frame), except, loggedInOnly] {
        // A client that cannot take more is dropped inside Send, so walk a copy.
        auto all = clients;
        for (const auto& c : all)
            if (c.get() != except && (!loggedInOnly || c->LoggedIn()))
                c->Send(frame);
    });
}

void NvrSimulator::ReportChange(SimClientConnection* except)
{
    Broadcast(EventFrame(ZOAPI_EVENT_CONFIG_CHANGED, 0, nullptr, 0), except, true);
}

void NvrSimulator::HandleRequest(SimClientConnection& client, std::uint16_t type, std::uint32_t seq,
                                 const std::uint8_t* payload, std::size_t size)
{
    using namespace zoapi;
    if (type == kPing) {
        WireWriter pong(type | kReplyBit, seq);
        pong.I32(kOk);
        client.SendReply(pong.Bytes());
        return;
    }
    WireReader in(payload, size);
    WireWriter reply(static_cast<std::uint16_t>(type | kReplyBit), seq);
    std::vector<std::vector<std::uint8_t>> after;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (type == kLogin) {
            std::string user = in.Str();
            std::string password = in.Str();
            state.calls.push_back("Login user=" + user);
            auto found = state.users.find(user);
            bool ok = in.Ok() && !state.refuseLogins && found != state.users.end() && found->second == password;
            client.SetLoggedIn(ok);
            // The outcome of a login is an event, not a reply.
            client.SendReply(EventFrame(ZOAPI_EVENT_LOGIN_RESULT, ok ? ZOAPI_LOGIN_OK : ZOAPI_LOGIN_REFUSED, nullptr, 0));
            return;
        }
        switch (type) {
        case kListCameras:
            state.calls.push_back("ListCameras");
            break;
        case kListSoftTriggers:
            state.calls.push_back("ListSoftTriggers");
            break;
        case kListEventLinks:
            state.calls.push_back("ListEventLinks");
            break;
        default:
            break;
        }
        if (!client.LoggedIn()) {
            if (type != kListCameras && type != kListSoftTriggers && type != kListEventLinks)
                state.calls.push_back("Refused type=" + std::to_string(type) + " (not logged in)");
            reply.I32(kNotLoggedIn);
        } else if (type == kListCameras) {
            reply.I32(kOk);
            reply.U32(static_cast<std::uint32_t>(state.cameras.size()));
            for (const auto& c : state.cameras) {
                reply.U32(c.first);
                reply.Str(c.second.name);
                reply.Str(c.second.address);
            }
        } else if (type == kListSoftTriggers) {
            reply.I32(kOk);
            reply.U32(static_cast<std::uint32_t>(state.triggers.size()));
            for (const auto& t : state.triggers) {
                reply.U32(t.first);
                reply.Str(t.second.name);
                reply.Str(t.second.guid);
            }
        } else if (type == kListEventLinks) {
            reply.I32(kOk);
            reply.U32(static_cast<std::uint32_t>(state.links.size()));
            for (const auto& l : state.links)
                reply.U32(l.first);
        } else if (type == kCreateSoftTrigger) {
            std::string name = in.Str();
            std::string guid = in.Str();
            state.calls.push_back("CreateSoftTrigger name=" + name + " guid=" + guid);
            if (!in.Ok()) {
                reply.I32(kBadRequest);
            } else if (state.refuseTriggerCode != 0) {
                reply.I32(state.refuseTriggerCode);
            } else {
                std::uint32_t id = state.PutSoftTrigger(SimSoftTrigger{0, name, guid});
                reply.I32(kOk);
                reply.U32(id);
                ZOAPI_TRIGGER_CREATED_EVENT data{};
                data.size = sizeof data;
                data.softTriggerId = id;
                data.created = 1;
                after.push_back(EventFrame(ZOAPI_EVENT_SOFT_TRIGGER_CREATED, 0, &data, sizeof data));
                changed = true;
            }
        } else if (type == kGetEventLink) {
            std::uint32_t id = in.U32();
            state.calls.push_back("GetEventLink id=" + std::to_string(id));
            auto found = state.links.find(id);
            if (!in.Ok() || found == state.links.end()) {
                reply.I32(kNotFound);
            } else {
                const SimEventLink& l = found->second;
                reply.I32(kOk);
                reply.U32(l.id);
                reply.U32(l.sourceType);
                reply.U32(l.sourceId);
                reply.U32(l.flags);
                reply.U32(l.triggerInUse);
                reply.U32(l.softTriggerId);
                reply.Str(l.name);
            }
        } else if (type == kUpdateEventLink) {
            SimEventLink l;
            l.id = in.U32();
            l.sourceType = in.U32();
            l.sourceId = in.U32();
            l.flags = in.U32();
            l.triggerInUse = in.U32();
            l.softTriggerId = in.U32();
            l.name = in.Str();
            state.calls.push_back("UpdateEventLink id=" + std::to_string(l.id) + " triggerInUse=" +
                                  std::to_string(l.triggerInUse) + " softTriggerId=" + std::to_string(l.softTriggerId));
            auto found = state.links.find(l.id);
            if (!in.Ok()) {
                reply.I32(kBadRequest);
            } else if (found == state.links.end()) {
                reply.I32(kNotFound);
            } else {
                // A link taken off its trigger no longer names one, as a real server shows it.
                if (l.triggerInUse == 0)
                    l.softTriggerId = 0;
                found->second = l;
                reply.I32(kOk);
                changed = true;
            }
        } else if (type == kGetAssociation) {
            std::uint32_t camera = in.U32();
            state.calls.push_back("GetAssociation camera=" + std::to_string(camera));
            auto found = state.associations.find(camera);
            reply.I32(in.Ok() ? kOk : kBadRequest);
            reply.U8(in.Ok() && found != state.associations.end());
            if (in.Ok() && found != state.associations.end())
                WriteAssociation(reply, found->second);
        } else if (type == kUpdateAssociation) {
            SimAssociation a;
            bool ok = ReadAssociation(in, a);
            std::string listed;
            for (const auto& e : a.entries)
                listed += (listed.empty() ? "" : ",") + std::to_string(e.field[3]);
            state.calls.push_back("UpdateAssociation camera=" + std::to_string(a.cameraId) + " name=" + a.name +
                                  " triggers=" + listed);
            if (!ok) {
                reply.I32(kBadRequest);
            } else if (state.refuseAssociationCode != 0) {
                reply.I32(state.refuseAssociationCode);
            } else {
                state.associations[a.cameraId] = a;
                reply.I32(kOk);
                changed = true;
            }
        } else {
            state.calls.push_back("Unknown type=" + std::to_string(type));
            reply.I32(kBadRequest);
        }
    }
    client.SendReply(reply.Bytes());
    for (auto& frame : after)
        client.SendReply(std::move(frame));
    // The client that made the change learns it from the reply; everyone else from event 3.
    if (changed)
        ReportChange(&client);
}

void NvrSimulator::AddUser(const std::string& name, const std::string& password)
{
    std::lock_guard<std::mutex> lock(mutex);
    state.users[name] = password;
}

void NvrSimulator::PutCamera(const SimCamera& camera)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        state.PutCamera(camera);
    }
    ReportChange(nullptr);
}

bool NvrSimulator::RenameCamera(std::uint32_t id, const std::string& name)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = state.cameras.find(id);
        if (found == state.cameras.end())
            return false;
        found->second.name = name;
    }
    ReportChange(nullptr);
    return true;
}

bool NvrSimulator::RemoveCamera(std::uint32_t id)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (state.cameras.erase(id) == 0)
            return false;
    }
    ReportChange(nullptr);
    return true;
}

std::uint32_t NvrSimulator::AddSoftTrigger(const SimSoftTrigger& trigger)
{
    std::uint32_t id;
    {
        std::lock_guard<std::mutex> lock(mutex);
        id = state.PutSoftTrigger(trigger);
    }
    ReportChange(nullptr);
    return id;
}

void NvrSimulator::SetAssociation(std::uint32_t cameraId, const std::string& name,
                                  const std::vector<std::uint32_t>& triggers)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        state.PutAssociation(cameraId, name, triggers);
    }
    ReportChange(nullptr);
}

void NvrSimulator::AddEventLink(std::uint32_t id, std::uint32_t triggerId, const std::string& name)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        SimEventLink link;
        link.id = id;
        link.softTriggerId = triggerId;
        link.triggerInUse = triggerId != 0;
        link.name = name;
        state.PutEventLink(link);
    }
    ReportChange(nullptr);
}

bool NvrSimulator::FireSoftTrigger(std::uint32_t triggerId, int status)
{
    ZOAPI_TRIGGER_EVENT data{};
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (state.triggers.count(triggerId) == 0)
            return false;
        data.size = sizeof data;
        data.cameraId = state.CameraOfTrigger(triggerId);
        data.softTriggerId = triggerId;
    }
    Broadcast(EventFrame(ZOAPI_EVENT_SOFT_TRIGGER_CHANGED, status, &data, sizeof data), nullptr, true);
    return true;
}

void NvrSimulator::DropClients()
{
    io.post([this] {
        auto all = clients;
        for (const auto& c : all)
            c->Stop();
    });
}

void NvrSimulator::SetHang(bool hang)
{
    hanging = hang;
    if (!hang)
        io.post([this] {
            auto all = clients;
            for (const auto& c : all)
                c->ResumeWrites();
        });
}

void NvrSimulator::SetRefuseLogins(bool refuse)
{
    std::lock_guard<std::mutex> lock(mutex);
    state.refuseLogins = refuse;
}

void NvrSimulator::SetRefuseTriggerCreation(int code)
{
    std::lock_guard<std::mutex> lock(mutex);
    state.refuseTriggerCode = code;
}

void NvrSimulator::SetRefuseAssociationUpdate(int code)
{
    std::lock_guard<std::mutex> lock(mutex);
    state.refuseAssociationCode = code;
}

void NvrSimulator::SetAckDelay(int milliseconds)
{
    ackDelay = milliseconds < 0 ? 0 : milliseconds;
}

std::vector<std::string> NvrSimulator::Calls() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return state.calls;
}

void NvrSimulator::ClearCalls()
{
    std::lock_guard<std::mutex> lock(mutex);
    state.calls.clear();
}

std::size_t NvrSimulator::ClientCount() const
{
    return clientCount;
}

SimState NvrSimulator::Snapshot() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return state;
}

std::string NvrSimulator::Execute(const std::string& line)
{
    std::vector<std::string> words;
    std::vector<std::string> lines;
    std::string error;
    bool ok = SimWords::Split(line, words, error) && Command(words, lines, error);
    std::string answer;
    for (const auto& l : lines)
        answer += l + "\n";
    return answer + (ok ? "OK\n" : "ERR " + error + "\n");
}

bool NvrSimulator::Command(const std::vector<std::string>& w, std::vector<std::string>& lines, std::string& error)
{
    auto is = [&w](std::size_t n, const char* first, const char* second = nullptr) {
        return w.size() >= n && w[0] == first && (!second || (w.size() > 1 && w[1] == second));
    };
    unsigned id = 0;
    unsigned other = 0;
    int number = 0;
    if (w.empty()) {
        error = "empty command";
        return false;
    }
    if (w[0] == "list") {
        if (w.size() != 2) {
            error = "usage: list cameras|triggers|associations|links|users|clients";
            return false;
        }
        if (w[1] == "clients") {
            lines.push_back("clients " + std::to_string(ClientCount()));
            return true;
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (!state.List(w[1], lines)) {
            error = "unknown list '" + w[1] + "'";
            return false;
        }
        return true;
    }
    if ((w.size() == 4 || w.size() == 5) && is(4, "camera", "add") && SimWords::ToU32(w[2], id) && id != 0) {
        PutCamera(SimCamera{id, w[3], w.size() == 5 ? w[4] : std::string()});
        return true;
    }
    if (w.size() == 4 && is(4, "camera", "rename") && SimWords::ToU32(w[2], id)) {
        if (RenameCamera(id, w[3]))
            return true;
        error = "no camera " + w[2];
        return false;
    }
    if (w.size() == 3 && is(3, "camera", "remove") && SimWords::ToU32(w[2], id)) {
        if (RemoveCamera(id))
            return true;
        error = "no camera " + w[2];
        return false;
    }
    if (w.size() == 5 && is(5, "trigger", "add") && SimWords::ToU32(w[2], id)) {
        lines.push_back("trigger " + std::to_string(AddSoftTrigger(SimSoftTrigger{id, w[3], w[4]})));
        return true;
    }
    if (w.size() == 3 && w[0] == "fire" && SimWords::ToU32(w[1], id) && SimWords::ToI32(w[2], number)) {
        if (FireSoftTrigger(id, number))
            return true;
        error = "no trigger " + w[1];
        return false;
    }
    if (w.size() >= 4 && is(4, "association", "set") && SimWords::ToU32(w[2], id)) {
        std::vector<std::uint32_t> listed;
        for (std::size_t i = 4; i < w.size(); ++i) {
            if (!SimWords::ToU32(w[i], other)) {
                error = "bad trigger id '" + w[i] + "'";
                return false;
            }
            listed.push_back(other);
        }
        SetAssociation(id, w[3], listed);
        return true;
    }
    if ((w.size() == 4 || w.size() == 5) && is(4, "link", "add") && SimWords::ToU32(w[2], id) && id != 0 &&
        SimWords::ToU32(w[3], other)) {
        AddEventLink(id, other, w.size() == 5 ? w[4] : std::string());
        return true;
    }
    if (w.size() == 4 && is(4, "user", "add")) {
        AddUser(w[2], w[3]);
        return true;
    }
    if (w.size() == 1 && w[0] == "drop") {
        DropClients();
        return true;
    }
    if (w.size() == 2 && w[0] == "hang" && (w[1] == "on" || w[1] == "off")) {
        SetHang(w[1] == "on");
        return true;
    }
    if (w.size() == 3 && is(3, "refuse", "login") && (w[2] == "on" || w[2] == "off")) {
        SetRefuseLogins(w[2] == "on");
        return true;
    }
    if (w.size() == 3 && is(3, "refuse", "trigger") && SimWords::ToI32(w[2], number)) {
        SetRefuseTriggerCreation(number);
        return true;
    }
    if (w.size() == 3 && is(3, "refuse", "association") && SimWords::ToI32(w[2], number)) {
        SetRefuseAssociationUpdate(number);
        return true;
    }
    if (w.size() == 2 && w[0] == "delay" && SimWords::ToI32(w[1], number) && number >= 0) {
        SetAckDelay(number);
        return true;
    }
    if (w.size() == 1 && w[0] == "calls") {
        lines = Calls();
        return true;
    }
    if (w.size() == 2 && w[0] == "calls" && w[1] == "clear") {
        ClearCalls();
        return true;
    }
    error = "unknown command (see docs/zonvr-sim.md)";
    return false;
}

}  // namespace zonvrsim
