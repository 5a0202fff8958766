#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include <boost/date_time/posix_time/ptime.hpp>
#include <boost/thread/thread.hpp>

#include "camera/CameraMap.h"
#include "nvr/CameraDirectory.h"
#include "nvr/TriggerProvisioning.h"
#include "nvr/zoapi.h"

namespace tinyxml2 { class XMLElement; }
class ControlServer;

/// The service's link to one recording server (NVR), built from an <NVR> element: on a thread
/// of its own it logs in through the client library, keeps the session alive, reconnects after
/// a loss, runs a provisioning pass after every log-in and every change the server reports, and
/// hands a track camera to the choosing operator when its soft trigger fires.
///
/// Threads: the loader's thread configures the connection and main sets controlServer before
/// Start; from then on every field and every library call belongs to the connection's thread,
/// where the library also delivers its events. state is atomic because the waits poll it, and
/// refreshNeeded and provisioning keep their mutexes. Track cameras are reached only through
/// the control server, and never while this thread is inside a library call. What other threads
/// may see of the connection (TakeSnapshot) is copied out by this thread under snapshotMutex.
class NVRConnection
{
public:
    /// State: idle, also after every CloseLibrary.
    static constexpr int kIdle = 0;
    /// State: the server refused the credentials; final.
    static constexpr int kRejected = 1;
    /// State: the server greeted the connection.
    static constexpr int kConnected = 2;
    /// State: logged in.
    static constexpr int kLoggedIn = 3;
    /// Longest wait for the greeting, and then for the log-in result.
    static constexpr std::chrono::seconds kLoginLimit{60};

    /// An unconfigured connection to 127.0.0.1:22609 that retries every retryIntervalSecs.
    NVRConnection(uint32_t retryIntervalSecs, CameraMap& cameras);
    NVRConnection(const NVRConnection&) = delete;
    NVRConnection& operator=(const NVRConnection&) = delete;
    /// Closes the library session; used for connections that were never started.
    ~NVRConnection();

    /// Reads the <NVR> element's Address, Port, Login and Password. Returns true when the entry
    /// yields a usable connection; otherwise logs why and returns false (the loader then skips
    /// the element's cameras). A missing element gives false without a message.
    bool ReadConfig(const tinyxml2::XMLElement* element);

    /// Creates the connection's thread, which runs Run, and returns it for the caller's thread
    /// group (which owns it). Throws the thread library's resource error.
    boost::thread* Start();
    /// Asks the thread to end after its current pass of Run and logs so; does not wait and does
    /// not close the session.
    void Stop();

    /// Server address handed to the client library and named in every log line.
    std::string address = "127.0.0.1";
    /// Server port; the client library receives its low 16 bits.
    uint32_t port = 22609;
    /// User name for the server log-in.
    std::string login;
    /// Password for the server log-in; may be empty.
    std::string password;
    /// Pause between failed connection attempts, in seconds.
    uint32_t retryIntervalSecs;
    /// The track cameras, shared with the control server.
    CameraMap& cameras;
    /// Receives camera ids, names and trigger hand-overs; set before Start.
    ControlServer* controlServer = nullptr;

    /// What the state dump shows of a connection.
    struct Snapshot
    {
        /// kIdle, kRejected, kConnected or kLoggedIn.
        int state;
        /// Track cameras the server reported, as of the last provisioning pass.
        std::size_t camerasMatched;
        /// The server's triggers that belong to track cameras, as of the last provisioning pass.
        std::size_t triggersHeld;
        /// Local time of the last successful log-in; not_a_date_time before the first.
        boost::posix_time::ptime lastLogin;
    };
    /// The connection's state as its thread last published it. Any thread: the lock it takes is
    /// never held across a library call, so a server that hangs does not hold the caller up.
    Snapshot TakeSnapshot() const;

private:
    /// The thread's body: connects, logs in, provisions and pumps events until the credentials
    /// are refused or Stop is called. An exception of one pass is logged and the connection is
    /// retried after the interval.
    void Run();
    /// Steps of one pass of Run: a provisioning pass while the session is up and one is due, or
    /// a connection attempt with its failure line and retry wait.
    void RunPass(bool& failureLogged);
    /// Opens a new library session and logs in. Returns 0 when logged in; otherwise -1, or the
    /// non-zero result of ZOAPI_Login, leaving the session as it is.
    int ConnectAndLogin();
    /// Pumps events until state is target or the credentials were refused; false on a select
    /// failure before that or once limit has passed.
    bool WaitForState(int target, std::chrono::seconds limit);
    /// Closes and frees the library session, if any, and returns to the idle state.
    void CloseLibrary();
    /// One provisioning pass: camera directory, missing triggers, associations, event links.
    void Provision();
    /// Reacts to one library event on the connection's thread.
    void OnEvent(int type, int status, const void* data);
    /// The event function given to the library; context is the connection.
    static int EventFunction(int type, int status, void* data, int unused, void* context);

    /// Session handle from ZOAPI_Init; null while there is none.
    ZOAPI_HANDLE handle = nullptr;
    /// kIdle, kRejected, kConnected or kLoggedIn; written by the events, polled by the waits.
    std::atomic<int> state{kIdle};
    /// The connection's thread, owned by main's thread group; null before Start.
    boost::thread* thread = nullptr;
    /// Guards provisioning; taken after refreshMutex when both are held.
    std::mutex stateMutex;
    /// Guards refreshNeeded.
    std::mutex refreshMutex;
    /// A provisioning pass is due: after every log-in and every change the server reports.
    bool refreshNeeded = true;
    /// A provisioning pass is running.
    bool provisioning = false;
    /// This server's cameras and the ids it gave them.
    CameraDirectory directory;
    /// This server's soft triggers for the track cameras, associations and event links.
    TriggerProvisioning triggers;
    /// Guards published; held only to copy it in or out.
    mutable std::mutex snapshotMutex;
    /// Counts and log-in time for TakeSnapshot (its state is read from state itself).
    Snapshot published{kIdle, 0, 0, boost::posix_time::ptime()};
};
