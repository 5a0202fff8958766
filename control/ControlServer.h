#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "base/User.h"
#include "camera/CameraMap.h"
#include "control/SessionRegistry.h"

class ControlSession;
class TrackCamera;

/// The TCP server for TolvexControl operator clients: accepts their connections for the life of
/// the process, keeps the registry of live sessions, checks log-ins, decides which session may
/// steer which camera and tells every session looking at a camera who holds control of it.
///
/// Everything shared between the event loop and the recording-server threads (the registry, the
/// pending choice, the sessions' selected cameras and writes, the cameras' recording-server
/// fields) is guarded by one lock. Every public operation takes it; the sessions' completions
/// take it too, and call back into the server while holding it, hence a recursive lock. Sockets
/// belong to the event loop alone: a camera handed over from a recording-server thread is posted
/// there, and the camera-id, camera-name and trigger operations hold the lock only to read or
/// write those fields.
class ControlServer
{
public:
    /// Listens on the numeric address (IPv4 or IPv6, no name lookup) and the low 16 bits of port,
    /// with address reuse and a backlog of 128, and starts the first accept. Throws
    /// boost::system::system_error carrying the system's text when the address is not numeric or
    /// the socket cannot be opened, bound or set listening.
    ControlServer(boost::asio::io_service& ioService, const std::string& address, uint32_t port,
                  CameraMap& cameras, UserMap& users);
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;
    /// Stops the event loop, forgets the sessions without touching them and closes the listener.
    ~ControlServer();

    /// The endpoint the server listens on: address read as a numeric IP address (IPv4 or IPv6,
    /// no name lookup) and the low 16 bits of port. Throws boost::system::system_error when the
    /// address is not numeric; binds nothing, so the configuration checker runs it too.
    static boost::asio::ip::tcp::endpoint ListenEndpoint(const std::string& address, uint32_t port);

    /// Lets camera report written commands and lapsed locks to this server, and indexes it by its
    /// Pelco number. The camera must outlive the server.
    void AttachCamera(TrackCamera& camera);

    /// Gives the camera at address to the session that asked for the next choice: it gets the
    /// camera message with flag "1" (operator) or "0" (recording server) and looks at that camera
    /// from then on. Nothing happens while nobody is choosing; a choosing session that has ended
    /// gets nothing and the choice stays pending. The id is not used. Any thread: the hand-over
    /// itself runs on the event loop, after whatever is queued there already.
    void SendCamera(const std::string& address, uint32_t id, bool flag);
    /// Tells every session looking at the camera at address who holds control of it: the holder
    /// "You have control", everyone else the holder's user name (empty when the holder has gone).
    void NotifyControl(const std::string& address, uint16_t holder);
    /// Tells every session looking at the camera at address that nobody holds control any more.
    void ClearControl(const std::string& address);
    /// The control rule: passes the bytes to the camera at address unless another session of
    /// equal or higher priority holds it; a refused command is dropped without a word.
    void SendCommand(const std::string& address, uint16_t session, int32_t priority, const uint8_t* bytes,
                     std::size_t length);
    /// SendCommand for a camera already found; for callers that hold Lock().
    void SendCommand(TrackCamera& camera, uint16_t session, int32_t priority, const uint8_t* bytes,
                     std::size_t length);

    /// Stores the recording server's id of the camera at address; nothing for an unknown address.
    void SetCameraId(const std::string& address, uint32_t id);
    /// True when the camera at address exists and has another id; false for an unknown address.
    bool CameraIdDiffers(const std::string& address, uint32_t id);
    /// The recording server's id of the camera at address; 0 for an unknown address.
    uint32_t GetCameraId(const std::string& address);
    /// Stores the recording server's name of the camera at address; nothing for an unknown address.
    void SetCameraName(const std::string& address, const std::string& name);
    /// True when the camera at address exists and has another name; false for an unknown address.
    bool CameraNameDiffers(const std::string& address, const std::string& name);
    /// Stores the soft trigger found for the camera at address; nothing for an unknown address.
    void SetSoftTriggerId(const std::string& address, uint32_t id);
    /// The soft trigger of the camera at address; 0 for an unknown address.
    uint32_t GetSoftTriggerId(const std::string& address);

    /// True when name is a user whose password is empty or equals password byte for byte.
    bool CheckUser(const std::string& name, const std::string& password) const;
    /// Address of the camera with that Pelco number; empty when no camera has it.
    std::string FindCameraByPelco(uint32_t number) const;
    /// The camera with that Pelco number; null when no camera has it.
    TrackCamera* FindCamera(uint32_t number) const;
    /// The account of a user that CheckUser has just accepted.
    const User& LookUpUser(const std::string& name) const;

    /// CHOOSE: session asks for the next camera chosen on the recording-server side, unless
    /// another choice is pending already.
    void Choose(uint16_t session);
    /// CANCEL: withdraws the pending choice if it is session's.
    void Cancel(uint16_t session);
    /// A Pelco command for a camera the session has not selected: drops any pending choice and
    /// gives session the camera at address with flag "1", registered or not.
    void TakeChoice(ControlSession& session, const std::string& address);
    /// Erases the registry entry for number, but only while it still refers to session: a newer
    /// session with the same number keeps its entry when the older one ends.
    void RemoveSession(uint16_t number, const ControlSession* session);

    /// The port the server listens on (useful when it was given port 0).
    uint16_t Port() const;
    /// Number of registered sessions.
    std::size_t SessionCount();
    /// The one lock described above; the sessions' completions hold it while they run.
    std::unique_lock<std::recursive_mutex> Lock();

    /// One registered session as the state dump shows it.
    struct SessionState
    {
        /// The session number.
        uint16_t number;
        /// The client's IP address.
        std::string peer;
        /// The logged-in user; empty before any LOGIN.
        std::string user;
        /// Address of the camera the session looks at; empty for none.
        std::string camera;
        /// Bytes waiting to be written to the client.
        std::size_t queuedBytes;
    };
    /// The registered sessions in ascending number, copied under the lock. Any thread.
    std::vector<SessionState> SessionStates();
    /// The user logged in on the registered session number; empty when it has not logged in or
    /// is no longer registered. Any thread.
    std::string UserOf(uint16_t number);

private:
    /// Creates the next session and starts one accept into its socket.
    void StartAccept();
    /// Starts and registers the accepted session, or discards it; then accepts the next one, at
    /// once or, when the process is out of descriptors or memory, after a pause.
    void HandleAccept(const boost::system::error_code& error);
    /// Waits acceptPause before the next accept; clients meanwhile wait in the listen backlog.
    void StartAcceptPause();
    /// Pause over: accepts again.
    void HandleAcceptPause(const boost::system::error_code& error);
    /// SendCamera on the event loop: hands the camera at address to the choosing session.
    void HandleSendCamera(const std::string& address, bool flag);
    /// Sends session the camera message for the camera at address, with flag "1" (operator) or
    /// "0" (recording server), and makes it the camera the session looks at.
    void GiveCamera(ControlSession& session, const std::string& address, bool flag);

    /// The shared event loop; every socket operation of the server and its sessions runs on it.
    boost::asio::io_service& ioService;
    /// The listening socket.
    boost::asio::ip::tcp::acceptor acceptor;
    /// The track cameras by Address; their set never changes, some of their fields do.
    CameraMap& cameras;
    /// The operator accounts; read only.
    UserMap& users;
    /// The attached cameras by Pelco number, for the numbers a frame's byte 1 can carry; null
    /// where no attached camera has it.
    std::array<TrackCamera*, 256> camerasByPelco{};
    /// The session waiting for the current accept; not started yet.
    std::shared_ptr<ControlSession> acceptingSession;
    /// Short enough that a client in the backlog is served well within a second of a descriptor
    /// coming free, long enough that the failing accepts cost next to nothing.
    static constexpr std::chrono::milliseconds acceptPause{100};
    /// Spaces out the accepts while they fail for want of descriptors or memory.
    boost::asio::steady_timer acceptTimer;
    /// The live sessions by number, and the viewers of each camera; does not keep them alive.
    SessionRegistry Sessions;
    /// The session that waits for the next camera chosen on the recording-server side; 0 = none.
    uint16_t ChoosingSession = 0;
    /// Serialises the recording-server threads with the event loop (see the class comment).
    std::recursive_mutex lock;
};
