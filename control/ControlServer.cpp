#include "control/ControlServer.h"

#include <cerrno>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include "camera/TrackCamera.h"
#include "control/ControlSession.h"

namespace
{

/// True for an accept that failed because the process or the system is out of descriptors or
/// memory. Compared by number, not with portable error conditions: those call into the error
/// category, which a sanitizer build checks with a pipe that a process out of descriptors
/// cannot open.
bool OutOfResources(const boost::system::error_code& error)
{
    if (error.category() != boost::asio::error::get_system_category())
        return false;
    switch (error.value())
    {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return true;
    default:
        return false;
    }
}

} // namespace

ControlServer::ControlServer(boost::asio::io_service& ioService, const std::string& address, uint32_t port,
                             CameraMap& cameras, UserMap& users)
    : ioService(ioService), acceptor(ioService), cameras(cameras), users(users), acceptTimer(ioService)
{
    const boost::asio::ip::tcp::endpoint endpoint = ListenEndpoint(address, port);
    acceptor.open(endpoint.protocol());
    // A restart must bind while connections of the previous run linger in TIME_WAIT.
    acceptor.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(128);
    StartAccept();
}

boost::asio::ip::tcp::endpoint ControlServer::ListenEndpoint(const std::string& address, uint32_t port)
{
    // Numeric only: the listener must never depend on a name service at start-up.
    return boost::asio::ip::tcp::endpoint(boost::asio::ip::address::from_string(address),
                                          static_cast<uint16_t>(port));
}

ControlServer::~ControlServer()
{
    ioService.stop();
    std::lock_guard<std::recursive_mutex> guard(lock);
    Sessions.Clear();
    boost::system::error_code ignored;
    acceptor.close(ignored);
    acceptTimer.cancel();
}

void ControlServer::AttachCamera(TrackCamera& camera)
{
    // Every operator frame looks its camera up by number: an index instead of a walk over all
    // cameras. Start-up attaches them in Address order, so the first of two that share a number
    // keeps it, as the walk would find it.
    if (camera.pelcoNumber < camerasByPelco.size() && camerasByPelco[camera.pelcoNumber] == nullptr)
        camerasByPelco[camera.pelcoNumber] = &camera;
    camera.notifyControl = [this](const std::string& address, uint16_t holder) { NotifyControl(address, holder); };
    camera.clearControl = [this](const std::string& address) { ClearControl(address); };
}

void ControlServer::StartAccept()
{
    acceptingSession = std::make_shared<ControlSession>(ioService, *this);
    // Only the destructor closes the listener, so an aborted accept may find the server gone:
    // it is turned away here, before anything of the server is touched.
    acceptor.async_accept(acceptingSession->Socket(), [this](const boost::system::error_code& error) {
        if (error != boost::asio::error::operation_aborted)
            HandleAccept(error);
    });
}

void ControlServer::HandleAccept(const boost::system::error_code& error)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (!error)
    {
        // A client that is gone before it could be started is dropped like a failed accept.
        if (acceptingSession->Start() != 0)
            Sessions.Add(acceptingSession);
    }
    // Linux reserves the new descriptor before it looks at the backlog, so while the process is
    // out of descriptors every accept fails at once, waiting client or not: accepting again at
    // once would spin the event loop and slow every session's traffic. Any other failure belongs
    // to the one connection, and the next accept follows at once.
    if (OutOfResources(error))
    {
        StartAcceptPause();
        return;
    }
    StartAccept();
}

void ControlServer::StartAcceptPause()
{
    acceptTimer.expires_after(acceptPause);
    // As for the accept: a cancelled wait may find the server gone.
    acceptTimer.async_wait([this](const boost::system::error_code& error) {
        if (error != boost::asio::error::operation_aborted)
            HandleAcceptPause(error);
    });
}

void ControlServer::HandleAcceptPause(const boost::system::error_code&)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    StartAccept();
}

void ControlServer::SendCamera(const std::string& address, uint32_t, bool flag)
{
    // The hand-over writes to a session, and a write may end the session and close its socket:
    // that belongs on the event loop, which owns every socket, never on a recording-server thread.
    boost::asio::post(ioService, [this, address, flag] { HandleSendCamera(address, flag); });
}

void ControlServer::HandleSendCamera(const std::string& address, bool flag)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (ChoosingSession == 0 || cameras.find(address) == cameras.end())
        return;

    // A choosing session that has ended keeps the choice pending until a Pelco command of
    // another session or a CANCEL with its number takes it away.
    const std::shared_ptr<ControlSession> session = Sessions.Find(ChoosingSession);
    if (!session)
        return;
    GiveCamera(*session, address, flag);
    ChoosingSession = 0;
}

void ControlServer::GiveCamera(ControlSession& session, const std::string& address, bool flag)
{
    const TrackCamera& camera = *cameras.at(address);
    std::string message = flag ? "1" : "0";
    message += "CAMERA\t" + address + "\t" + std::to_string(camera.pelcoNumber);
    if (!camera.nvrCameraName.empty())
        message += "\t" + camera.nvrCameraName;
    session.Send(message);
    session.SelectedCamera = address;
    Sessions.UpdateViewer(session);
}

void ControlServer::NotifyControl(const std::string& address, uint16_t holder)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    // The holder may have gone while its command was being written: the hold stands, and the
    // others are told with an empty name, as for a holder that never logged in. It is looked up
    // before anyone is told, since telling the holder may end its session.
    const SessionRegistry::Viewers* viewers = Sessions.ViewersOf(address);
    const std::shared_ptr<ControlSession> holderSession = Sessions.Find(holder, viewers);
    // Each text is made once and shared by its recipients; the one for the others only when
    // there is one, since the holder alone is the usual case.
    static const auto youHaveControl = std::make_shared<const std::string>("#0000F0 You have control");
    std::shared_ptr<const std::string> others;
    SessionRegistry::ForEachViewer(viewers, [&](uint16_t number, ControlSession& session) {
        if (number == holder)
        {
            session.Send(youHaveControl);
            return;
        }
        if (!others)
            others = std::make_shared<const std::string>(
                "#F00000 " + (holderSession ? holderSession->UserName : std::string()) + " has control");
        session.Send(others);
    });
}

void ControlServer::ClearControl(const std::string& address)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    static const auto lapsed = std::make_shared<const std::string>("#0000F0 ");
    SessionRegistry::ForEachViewer(Sessions.ViewersOf(address),
                                   [](uint16_t, ControlSession& session) { session.Send(lapsed); });
}

void ControlServer::SendCommand(const std::string& address, uint16_t session, int32_t priority,
                                const uint8_t* bytes, std::size_t length)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    const auto entry = cameras.find(address);
    if (entry != cameras.end())
        SendCommand(*entry->second, session, priority, bytes, length);
}

void ControlServer::SendCommand(TrackCamera& camera, uint16_t session, int32_t priority, const uint8_t* bytes,
                                std::size_t length)
{
    if (camera.holderSession != 0 && camera.holderSession != session && camera.holderPriority >= priority)
        return;
    // The camera records the holder only when the bytes are out, from its write completion,
    // which never runs inside this call.
    camera.Send(session, priority, bytes, length);
}

void ControlServer::SetCameraId(const std::string& address, uint32_t id)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    const auto entry = cameras.find(address);
    if (entry != cameras.end())
        entry->second->nvrCameraId = id;
}

bool ControlServer::CameraIdDiffers(const std::string& address, uint32_t id)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    const auto entry = cameras.find(address);
    return entry != cameras.end() && entry->second->nvrCameraId != id;
}

uint32_t ControlServer::GetCameraId(const std::string& address)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    const auto entry = cameras.find(address);
    return entry == cameras.end() ? 0 : entry->second->nvrCameraId;
}

void ControlServer::SetCameraName(const std::string& address, const std::string& name)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    const auto entry = cameras.find(address);
    if (entry != cameras.end())
        entry->second->nvrCameraName = name;
}

bool ControlServer::CameraNameDiffers(const std::string& address, const std::string& name)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    const auto entry = cameras.find(address);
    return entry != cameras.end() && entry->second->nvrCameraName != name;
}

void ControlServer::SetSoftTriggerId(const std::string& address, uint32_t id)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    const auto entry = cameras.find(address);
    if (entry != cameras.end())
        entry->second->softTriggerId = id;
}

uint32_t ControlServer::GetSoftTriggerId(const std::string& address)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    const auto entry = cameras.find(address);
    return entry == cameras.end() ? 0 : entry->second->softTriggerId;
}

// The user table, the camera addresses and their Pelco numbers never change once loaded, so
// the lookups below need no lock.

bool ControlServer::CheckUser(const std::string& name, const std::string& password) const
{
    const auto entry = users.find(name);
    if (entry == users.end())
        return false;
    return entry->second->Password.empty() || entry->second->Password == password;
}

std::string ControlServer::FindCameraByPelco(uint32_t number) const
{
    const TrackCamera* camera = FindCamera(number);
    return camera != nullptr ? camera->address : std::string();
}

TrackCamera* ControlServer::FindCamera(uint32_t number) const
{
    if (number < camerasByPelco.size() && camerasByPelco[number] != nullptr)
        return camerasByPelco[number];
    // A camera that was never attached is still found, the slow way.
    for (const auto& entry : cameras)
    {
        if (entry.second->pelcoNumber == number)
            return entry.second;
    }
    return nullptr;
}

const User& ControlServer::LookUpUser(const std::string& name) const
{
    return *users.at(name);
}

void ControlServer::Choose(uint16_t session)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (ChoosingSession == 0)
        ChoosingSession = session;
}

void ControlServer::Cancel(uint16_t session)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (ChoosingSession == session)
        ChoosingSession = 0;
}

void ControlServer::TakeChoice(ControlSession& session, const std::string& address)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    // The camera goes to the sender itself, not to whichever session owns its number in the
    // registry: a session whose number a newer one took over must still see the camera it
    // addressed, and its command must go to that camera rather than to the one it looked at.
    ChoosingSession = 0;
    GiveCamera(session, address, true);
}

void ControlServer::RemoveSession(uint16_t number, const ControlSession* session)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    Sessions.Remove(number, session);
}

uint16_t ControlServer::Port() const
{
    return acceptor.local_endpoint().port();
}

std::size_t ControlServer::SessionCount()
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    return Sessions.Size();
}

std::unique_lock<std::recursive_mutex> ControlServer::Lock()
{
    return std::unique_lock<std::recursive_mutex>(lock);
}

std::vector<ControlServer::SessionState> ControlServer::SessionStates()
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    std::vector<SessionState> states;
    Sessions.ForEachSession([&](const ControlSession& session) {
        states.push_back(SessionState{session.Number, session.PeerAddress, session.UserName, session.SelectedCamera,
                                      session.QueuedBytes()});
    });
    return states;
}

std::string ControlServer::UserOf(uint16_t number)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    const std::shared_ptr<ControlSession> session = Sessions.Find(number);
    return session ? session->UserName : std::string();
}
