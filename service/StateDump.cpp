#include "service/StateDump.h"

#include <csignal>
#include <pthread.h>

#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "base/LogStream.h"
#include "camera/TrackCamera.h"
#include "control/ControlServer.h"
#include "nvr/NVRConnection.h"

namespace
{

/// The one signal that asks for a dump.
sigset_t DumpSignal()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGUSR1);
    return signals;
}

/// How a connection state reads in the dump.
const char* StateText(int state)
{
    switch (state)
    {
    case NVRConnection::kRejected:
        return "login refused";
    case NVRConnection::kConnected:
        return "connected";
    case NVRConnection::kLoggedIn:
        return "logged in";
    default:
        return "not connected";
    }
}

} // namespace

void StateDump::HoldSignal()
{
    const sigset_t dumpSignal = DumpSignal();
    pthread_sigmask(SIG_BLOCK, &dumpSignal, nullptr);
}

StateDump::StateDump(boost::asio::io_service& ioService, const CameraMap& cameras, const NvrMap& nvrs)
    : signals(ioService, SIGUSR1), cameras(cameras), nvrs(nvrs)
{
}

void StateDump::Listen(ControlServer& controlServer)
{
    server = &controlServer;
    StartWait();
    const sigset_t dumpSignal = DumpSignal();
    pthread_sigmask(SIG_UNBLOCK, &dumpSignal, nullptr);
}

void StateDump::StartWait()
{
    signals.async_wait(
        [this](const boost::system::error_code& error, int signalNumber) { HandleSignal(error, signalNumber); });
}

void StateDump::HandleSignal(const boost::system::error_code& error, int)
{
    if (error == boost::asio::error::operation_aborted)
        return;
    if (!error)
        WriteDump();
    StartWait();
}

void StateDump::WriteDump()
{
    // Copied before the first line is begun: a log line holds the log's lock, and the server's
    // lock is never to be taken under it.
    const std::vector<ControlServer::SessionState> sessions = server->SessionStates();
    gLog.BeginLine() << "State dump: " << cameras.size() << " cameras, " << sessions.size() << " sessions, "
                     << nvrs.size() << " recording servers";
    for (const auto& entry : cameras)
        WriteCamera(*entry.second);
    for (const ControlServer::SessionState& session : sessions)
        WriteSession(session);
    for (const auto& entry : nvrs)
        WriteServer(*entry.second);
}

void StateDump::WriteCamera(const TrackCamera& camera)
{
    std::string hold = "free";
    if (camera.holderSession != 0)
    {
        // The holder may have left, or never logged in: the hold stands all the same.
        const std::string user = server->UserOf(camera.holderSession);
        hold = "holder " + std::to_string(camera.holderSession) + " (" + (user.empty() ? "no user" : user) +
               "), lock " + std::to_string(camera.LockSecondsLeft()) + " s left";
    }
    const std::string transport =
        camera.OnSerialLine() ? "serial " + camera.port : "network " + camera.address + ":" + camera.port;
    gLog.BeginLine() << "State of camera " << camera.address << ": Pelco " << camera.pelcoNumber << ", " << transport
                     << ", " << (camera.IsConnected() ? "connected" : "not connected") << ", " << hold;
}

void StateDump::WriteSession(const ControlServer::SessionState& session)
{
    const std::string user = session.user.empty() ? "no user" : "user " + session.user;
    const std::string camera = session.camera.empty() ? "no camera" : "camera " + session.camera;
    gLog.BeginLine() << "State of session " << session.number << ": peer " << session.peer << ", " << user << ", "
                     << camera << ", " << session.queuedBytes << " bytes queued";
}

void StateDump::WriteServer(const NVRConnection& connection)
{
    const NVRConnection::Snapshot snapshot = connection.TakeSnapshot();
    const std::string login = snapshot.lastLogin.is_not_a_date_time()
                                  ? "never logged in"
                                  : "last login " + boost::posix_time::to_simple_string(snapshot.lastLogin);
    gLog.BeginLine() << "State of NVR " << connection.address << ":" << connection.port << ": "
                     << StateText(snapshot.state) << ", " << snapshot.camerasMatched << " cameras matched, "
                     << snapshot.triggersHeld << " triggers held, " << login;
}
