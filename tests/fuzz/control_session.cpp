// Fuzz target: the operator session's message handling. A real ControlServer on a private event
// loop, two operators on loopback connections and two network track cameras whose far ends the
// target plays. The input is a list of steps, each opened by one byte h:
//   h & 3 == 0   operator (h >> 7) sends the next n bytes as one message, n = the next byte
//   h & 3 == 1   the same with n = the next two bytes (little-endian) modulo 2049, so that a
//                message can fill the session's 1024-byte read and spill into the next one
//   h & 3 == 2   operator (h >> 7) drops its connection with a reset and connects again
//   h & 3 == 3   the recording server hands camera ((h >> 2) & 1) to the choosing session
// After every step the loop runs until nothing is left to do, so each message is one read of the
// session and has been carried out before the next one is sent. Camera 1 (127.0.0.1) has lock
// time 0, so control lapses after every command; camera 2 (127.0.0.2) keeps it for an hour.
// Everything is built and freed for each input, and no name is ever looked up.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <boost/asio/io_service.hpp>
#include <tinyxml2.h>

#include "FuzzInput.h"
#include "LoopbackCamera.h"
#include "LoopbackOperator.h"
#include "base/LogStream.h"
#include "base/User.h"
#include "camera/CameraMap.h"
#include "camera/TrackCamera.h"
#include "control/ControlServer.h"

namespace {

/// The private directory the log goes to, with a trailing slash.
std::string logDir;

/// Operator accounts: the same for every input, never changed by the server.
User operatorUser{"op", "op", 1};
User supervisorUser{"sup", "sup", 2};
User openUser{"any", "", 0};
User negativeUser{"neg", "neg", -5};
UserMap users{{"any", &openUser}, {"neg", &negativeUser}, {"op", &operatorUser}, {"sup", &supervisorUser}};

/// A harness fault, not a finding of the target: says what went wrong and stops the run.
[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "control_session: %s\n", what.c_str());
    std::abort();
}

/// Runs every completion that is ready, and those they make ready, until none is left.
void Settle(boost::asio::io_service& ioService)
{
    while (ioService.poll() > 0)
    {
    }
}

/// Runs the loop until condition holds, or fails with what after 10 s. For what another thread
/// or the kernel delivers: the camera's connect goes through the resolver's thread, and loopback
/// bytes and resets may reach a socket after the call that sent them has returned.
template <typename Condition>
void RunUntil(boost::asio::io_service& ioService, Condition condition, const std::string& what)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > deadline)
            Fail(what);
        ioService.run_one_for(std::chrono::milliseconds(100));
    }
    Settle(ioService);
}

/// A network track camera at address:port with Pelco number and lock time, as the loader builds it.
std::unique_ptr<TrackCamera> MakeCamera(boost::asio::io_service& ioService, const std::string& address,
                                        uint16_t port, uint32_t pelcoNumber, int32_t lockSecs)
{
    tinyxml2::XMLDocument document;
    tinyxml2::XMLElement* element = document.NewElement("Camera");
    element->SetAttribute("Address", address.c_str());
    element->SetAttribute("Port", std::to_string(port).c_str());
    element->SetAttribute("PelcoNumber", std::to_string(pelcoNumber).c_str());
    return std::make_unique<TrackCamera>(ioService, element, 1, lockSecs);
}

/// Connects an operator and checks its greeting: "SESSION " and its own source port, nothing else.
void Connect(boost::asio::io_service& ioService, LoopbackOperator& client, uint16_t port)
{
    client.Connect(port);
    const std::string expected = "SESSION " + std::to_string(client.LocalPort());
    std::string greeting;
    RunUntil(ioService, [&] {
        greeting += client.TakeReceived();
        return greeting.size() >= expected.size();
    }, "a new session was not greeted within 10 s");
    greeting += client.TakeReceived();
    if (greeting != expected)
        Fail("a new session was greeted with '" + greeting + "' instead of '" + expected + "'");
}

/// Run at exit: the private log directory goes with the process.
void RemoveLogDir()
{
    ::unlink((logDir + "zoTolvex.log").c_str());
    ::unlink((logDir + "zoTolvex.log.old").c_str());
    ::rmdir(logDir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char pattern[] = "/tmp/zotolvex-fuzz-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        Fail("cannot create the log directory");
    logDir = std::string(pattern) + "/";
    gLog.Reopen(logDir);
    std::atexit(RemoveLogDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    // Declared so that they go in reverse: the clients, the server, the cameras, their far ends,
    // and the loop last, which drops the completions still pending without running them.
    boost::asio::io_service ioService;
    LoopbackCamera farEnds[2] = {{ioService, "127.0.0.1"}, {ioService, "127.0.0.2"}};
    std::unique_ptr<TrackCamera> cameras[2] = {MakeCamera(ioService, "127.0.0.1", farEnds[0].Port(), 1, 0),
                                               MakeCamera(ioService, "127.0.0.2", farEnds[1].Port(), 2, 3600)};
    CameraMap cameraMap{{"127.0.0.1", cameras[0].get()}, {"127.0.0.2", cameras[1].get()}};
    ControlServer server(ioService, "127.0.0.1", 0, cameraMap, users);
    for (auto& camera : cameras)
        server.AttachCamera(*camera);
    LoopbackOperator clients[2] = {LoopbackOperator(ioService), LoopbackOperator(ioService)};

    RunUntil(ioService, [&] { return farEnds[0].Connected() && farEnds[1].Connected(); },
             "the track cameras did not connect to their far ends");

    std::size_t sent = 0;
    while (!input.Empty())
    {
        const uint8_t step = input.TakeByte();
        LoopbackOperator& client = clients[step >> 7];
        switch (step & 3)
        {
        case 0:
        case 1:
        {
            const std::size_t length = (step & 3) == 0 ? input.TakeByte() : input.TakeU16() % 2049;
            const std::string message = input.TakeBytes(length);
            if (message.empty())
                break;
            if (!client.Connected())
                Connect(ioService, client, server.Port());
            client.Write(message);
            sent += message.size();
            break;
        }
        case 2:
            if (client.Connected())
            {
                client.Reset();
                Settle(ioService);
            }
            Connect(ioService, client, server.Port());
            break;
        default:
            server.SendCamera((step >> 2) & 1 ? "127.0.0.2" : "127.0.0.1", 0, false);
            break;
        }
        Settle(ioService);
        // What the server said is not checked beyond the greeting; a camera message or a control
        // notice may go to either operator.
        for (auto& each : clients)
            each.TakeReceived();
    }

    // The relay passes operators' bytes on unchanged and never makes any of its own.
    if (farEnds[0].Received() + farEnds[1].Received() > sent)
        Fail("the cameras received more bytes than the operators sent");

    // Once both operators are gone, no session may stay registered.
    for (auto& client : clients)
        client.Reset();
    RunUntil(ioService, [&] { return server.SessionCount() == 0; }, "a session outlived its connection");
    for (auto& farEnd : farEnds)
        farEnd.Close();
    return 0;
}
