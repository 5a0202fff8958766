#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>

#include "sim/SimState.h"

namespace zonvrsim {

class SimClientConnection;
class SimControlConnection;

// A recording server for the client library to talk to: it accepts clients on one port and
// control connections on another, runs both on a thread of its own, and can be driven either
// through the control line protocol (Execute) or directly through the calls below, which are
// safe from any thread.
class NvrSimulator {
public:
    /// Port the standalone simulator listens on when none is given.
    static constexpr unsigned short kDefaultPort = 22609;
    /// Control port of the standalone simulator when none is given.
    static constexpr unsigned short kDefaultControlPort = 22610;

    NvrSimulator();
    ~NvrSimulator();
    NvrSimulator(const NvrSimulator&) = delete;
    NvrSimulator& operator=(const NvrSimulator&) = delete;

    /// Reads state lines from a file into the configuration; false with `error` on a bad line.
    bool LoadState(const std::string& path, std::string& error);
    /// Binds both ports (0 = any free port) on `address` and starts serving; throws
    /// boost::system::system_error when a port cannot be bound.
    void Start(const std::string& address = "127.0.0.1", unsigned short port = 0, unsigned short controlPort = 0);
    /// Stops serving and closes every connection; safe to call twice.
    void Stop();
    /// Client port actually bound.
    unsigned short Port() const;
    /// Control port actually bound.
    unsigned short ControlPort() const;

    /// Runs one control line; the answer's lines end with "OK" or "ERR <reason>".
    std::string Execute(const std::string& line);
    /// The items of one kind ("cameras", ..., "clients") as state lines; false for an unknown kind.
    bool List(const std::string& kind, std::vector<std::string>& lines) const;

    /// Adds or replaces a user.
    void AddUser(const std::string& name, const std::string& password);
    /// Adds or replaces a camera and reports the change.
    void PutCamera(const SimCamera& camera);
    /// Renames a camera and reports the change; false for an unknown camera.
    bool RenameCamera(std::uint32_t id, const std::string& name);
    /// Removes a camera and reports the change; false for an unknown camera.
    bool RemoveCamera(std::uint32_t id);
    /// Adds a soft trigger (id 0: the next free one) and reports the change; returns its id.
    std::uint32_t AddSoftTrigger(const SimSoftTrigger& trigger);
    /// Gives a camera an association listing the triggers, and reports the change.
    void SetAssociation(std::uint32_t cameraId, const std::string& name, const std::vector<std::uint32_t>& triggers);
    /// Adds an event link driving a trigger, and reports the change.
    void AddEventLink(std::uint32_t id, std::uint32_t triggerId, const std::string& name);
    /// Sends the trigger event with this status to every logged-in client; false for an unknown trigger.
    bool FireSoftTrigger(std::uint32_t triggerId, int status);
    /// Closes every client connection.
    void DropClients();
    /// While set, nothing is sent to clients (requests are still taken in); clearing sends what waited.
    void SetHang(bool hang);
    /// While set, every login is refused.
    void SetRefuseLogins(bool refuse);
    /// Non-zero: trigger creations are refused with this error number.
    void SetRefuseTriggerCreation(int code);
    /// Non-zero: association updates are refused with this error number.
    void SetRefuseAssociationUpdate(int code);
    /// Delays every answer to a request (replies and the events they cause) by this many ms.
    void SetAckDelay(int milliseconds);
    /// Every call received, one line each, oldest first.
    std::vector<std::string> Calls() const;
    /// Forgets the calls received so far.
    void ClearCalls();
    /// Clients connected now.
    std::size_t ClientCount() const;
    /// A copy of the whole configuration, for inspection.
    SimState Snapshot() const;

    /// Answers one request of a client; called on the simulator's thread.
    void HandleRequest(SimClientConnection& client, std::uint16_t type, std::uint32_t seq,
                       const std::uint8_t* payload, std::size_t size);
    /// Forgets a client whose connection has ended; called on the simulator's thread.
    void Forget(const std::shared_ptr<SimClientConnection>& client);
    /// True while the simulator is told to stop answering.
    bool Hanging() const;
    /// Current acknowledgement delay in milliseconds.
    int AckDelay() const;

private:
    /// Accepts the next client.
    void StartAccept();
    /// Starts the accepted client and accepts the next one.
    void HandleAccept(const boost::system::error_code& error, std::shared_ptr<SimClientConnection> client);
    /// Accepts the next control connection.
    void StartControlAccept();
    /// Starts the accepted control connection and accepts the next one.
    void HandleControlAccept(const boost::system::error_code& error, std::shared_ptr<SimControlConnection> control);
    /// Sends a frame to every client (only logged-in ones if `loggedInOnly`) except `except`.
    void Broadcast(std::vector<std::uint8_t> frame, SimClientConnection* except, bool loggedInOnly);
    /// Tells logged-in clients (but `except`) that the configuration changed.
    void ReportChange(SimClientConnection* except);

    /// Event loop of the simulator's thread.
    boost::asio::io_service io;
    /// Accepts clients.
    boost::asio::ip::tcp::acceptor acceptor;
    /// Accepts control connections.
    boost::asio::ip::tcp::acceptor controlAcceptor;
    /// Runs `io`.
    std::thread thread;
    /// Guards `state`.
    mutable std::mutex mutex;
    /// The server's configuration, switches and call record.
    SimState state;
    /// Live client connections; used only on the simulator's thread.
    std::set<std::shared_ptr<SimClientConnection>> clients;
    /// Size of `clients`, readable from any thread.
    std::atomic<std::size_t> clientCount{0};
    /// Set while nothing is to be sent to clients.
    std::atomic<bool> hanging{false};
    /// Acknowledgement delay in milliseconds.
    std::atomic<int> ackDelay{0};
    /// Set once Start has bound the ports.
    std::atomic<bool> running{false};
    /// Client port bound.
    unsigned short port = 0;
    /// Control port bound.
    unsigned short controlPort = 0;
};

}  // namespace zonvrsim
