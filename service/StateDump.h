#pragma once

#include <boost/asio/io_service.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/system/error_code.hpp>

#include "camera/CameraMap.h"
#include "control/ControlServer.h"
#include "nvr/NvrMap.h"

class TrackCamera;
class NVRConnection;

/// Writes the service's state to the log on SIGUSR1, for an installer who wants to see what
/// the daemon holds without stopping it: a line with the counts, then one line per track camera,
/// per operator session and per recording server:
///     State dump: 2 cameras, 1 sessions, 1 recording servers
///     State of camera 127.0.0.5: Pelco 1, network 127.0.0.5:4001, connected, holder 51234 (alice), lock 3 s left
///     State of camera 3: Pelco 2, serial /dev/ttyS0, not connected, free
///     State of session 51234: peer 127.0.0.1, user alice, camera 127.0.0.5, 0 bytes queued
///     State of NVR 127.0.0.1:22609: logged in, 2 cameras matched, 2 triggers held, last login 2026-Dec-10 15:44:28
///
/// The signal is caught by the event loop (signal_set), so the lines are composed there, between
/// the cameras' and sessions' own completions: the cameras are read directly, the sessions
/// through the control server's lock, the recording servers through their snapshots.
class StateDump
{
public:
    /// Blocks SIGUSR1 in the calling thread and so in every thread it starts afterwards: until
    /// Listen, a request for a dump waits pending instead of ending the process with the signal's
    /// default action. Called first thing in main, before the fork.
    static void HoldSignal();

    /// Installs the handler for SIGUSR1 on the event loop, so that the signal can never end the
    /// process whichever thread it reaches. Throws boost::system::system_error when it cannot.
    StateDump(boost::asio::io_service& ioService, const CameraMap& cameras, const NvrMap& nvrs);
    StateDump(const StateDump&) = delete;
    StateDump& operator=(const StateDump&) = delete;

    /// Starts waiting for the signal and unblocks it in the calling thread, which must be the
    /// event loop's, after every other thread has started: the event loop's thread is then the
    /// only one that takes the signal, so no call inside the client library is broken by it. A
    /// dump asked for since HoldSignal is written as soon as the event loop runs.
    void Listen(ControlServer& server);

private:
    /// Waits for the next SIGUSR1.
    void StartWait();
    /// Writes the dump, unless the wait was cancelled, and waits for the next signal.
    void HandleSignal(const boost::system::error_code& error, int signalNumber);
    /// Writes the counts line and every camera's, session's and server's line.
    void WriteDump();
    /// Writes the line of one track camera.
    void WriteCamera(const TrackCamera& camera);
    /// Writes the line of one operator session.
    void WriteSession(const ControlServer::SessionState& session);
    /// Writes the line of one recording server.
    void WriteServer(const NVRConnection& connection);

    /// Catches SIGUSR1 for the event loop.
    boost::asio::signal_set signals;
    /// The track cameras; their set never changes.
    const CameraMap& cameras;
    /// The recording-server connections; their set never changes.
    const NvrMap& nvrs;
    /// The sessions and the holders' user names; set by Listen, before any dump.
    ControlServer* server = nullptr;
};
