#include "sim/NvrSimulator.h"

#include "nvr/zoapi.h"
#include "sim/SimClientConnection.h"
#include "sim/SimCommands.h"
#include "sim/SimControlConnection.h"
#include "sim/SimRequests.h"
#include "sim/SimWords.h"
#include "zoapi/WireCodec.h"

namespace zonvrsim {

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
    Broadcast(zoapi::WireCodec::EventFrame(ZOAPI_EVENT_CONFIG_CHANGED, 0), except, true);
}

void NvrSimulator::HandleRequest(SimClientConnection& client, std::uint16_t type, std::uint32_t seq,
                                 const std::uint8_t* payload, std::size_t size)
{
    bool loggedIn = client.LoggedIn();
    SimAnswer answer;
    {
        std::lock_guard<std::mutex> lock(mutex);
        answer = SimRequests::Answer(state, loggedIn, type, seq, payload, size);
    }
    client.SetLoggedIn(loggedIn);
    for (auto& frame : answer.frames)
        client.SendReply(std::move(frame));
    // The client that made the change learns it from the reply; everyone else from event 3.
    if (answer.changed)
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
        state.PutEventLink(id, triggerId, name);
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
    Broadcast(zoapi::WireCodec::EventFrame(ZOAPI_EVENT_SOFT_TRIGGER_CHANGED, status, &data, sizeof data), nullptr,
              true);
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
    bool ok = SimWords::Split(line, words, error) && SimCommands::Run(*this, words, lines, error);
    std::string answer;
    for (const auto& l : lines)
        answer += l + "\n";
    return answer + (ok ? "OK\n" : "ERR " + error + "\n");
}

bool NvrSimulator::List(const std::string& kind, std::vector<std::string>& lines) const
{
    if (kind == "clients") {
        lines.assign(1, "clients " + std::to_string(ClientCount()));
        return true;
    }
    std::lock_guard<std::mutex> lock(mutex);
    return state.List(kind, lines);
}

}  // namespace zonvrsim
