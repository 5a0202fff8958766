#pragma once

// A running daemon whose <NVR> entries point at simulated recording servers, with two operator
// accounts, alice and bob (priority 1, password = name), for the recording-server system tests.

#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "../control/OperatorClient.h"
#include "DaemonRig.h"
#include "ZonvrSimProcess.h"

class NvrSite
{
public:
    /// Writes the configuration with the given <NVR> elements and starts the daemon, forked or
    /// with process 1 as its parent; prepare, when given, sees the running directory first (a
    /// test that mounts its own disk there).
    explicit NvrSite(const std::string& servers, int retryIntervalSecs = 1, int lockTime = 1, bool underInit = false,
                     const std::function<void(const std::string& dir)>& prepare = {})
        : port(rig::FreePort())
    {
        if (prepare)
            prepare(daemon.Dir());
        daemon.WriteConfig("<zoTolvex><Options RetryIntervalSecs=\"" + std::to_string(retryIntervalSecs) +
                           "\" ClientPort=\"" + std::to_string(port) + "\"/><TolvexControl LockTime=\"" +
                           std::to_string(lockTime) + "\">" + User("alice") + User("bob") + "</TolvexControl>" +
                           servers + "</zoTolvex>");
        if (underInit)
            daemon.StartUnderInit();
        started = (underInit || daemon.Start() == 0) && daemon.Pid() > 0;
    }

    /// An <NVR> element for the server at address:serverPort, logging in as admin, with cameras.
    static std::string Server(const std::string& address, uint16_t serverPort, const std::string& cameras,
                              const std::string& password = "secret")
    {
        return "<NVR Address=\"" + address + "\" Port=\"" + std::to_string(serverPort) +
               "\" Login=\"admin\" Password=\"" + password + "\">" + cameras + "</NVR>";
    }
    /// An <NVR> element for sim.
    static std::string Server(const ZonvrSimProcess& sim, const std::string& cameras,
                              const std::string& password = "secret")
    {
        return Server(sim.Address(), sim.Port(), cameras, password);
    }
    /// A network track camera at address; unless port is given nothing listens on its port.
    static std::string NetworkCamera(const std::string& address, int pelcoNumber, uint16_t cameraPort = 0)
    {
        return "<Camera Address=\"" + address + "\" Port=\"" +
               std::to_string(cameraPort != 0 ? cameraPort : rig::FreePort(address)) + "\" PelcoNumber=\"" +
               std::to_string(pelcoNumber) + "\"/>";
    }
    /// An analog track camera, keyed by the server's camera id; its serial device does not exist.
    static std::string AnalogCamera(const std::string& id, int pelcoNumber)
    {
        return "<Camera Address=\"" + id + "\" Port=\"/usr/local/marnu/zoTolvex/tty-" + id + "\" PelcoNumber=\"" +
               std::to_string(pelcoNumber) + "\"/>";
    }

    /// The log line of a successful login as admin on the server at address.
    static std::string LoginSucceeded(const std::string& address)
    {
        return "ZOAPI_Login succeeded on NVR " + address + " for user 'admin'";
    }
    /// The log line of a run of failed attempts on the server at address.
    static std::string WillRetry(const std::string& address, int retryIntervalSecs = 1)
    {
        return "ZOAPI_Login failure on NVR " + address + ".  Will retry at " + std::to_string(retryIntervalSecs) +
               " second intervals";
    }

    /// Connects an operator, checks its SESSION message and logs in as name.
    std::unique_ptr<OperatorClient> Operator(const std::string& name)
    {
        std::unique_ptr<OperatorClient> client;
        // The listener may still be coming up right after start.
        rig::WaitUntil([&] {
            client = std::make_unique<OperatorClient>(port);
            return client->Connected();
        });
        const std::string session = "SESSION " + std::to_string(client->LocalPort());
        EXPECT_EQ(session, client->ReceiveLike(session));
        EXPECT_EQ("OK", client->Login(name, name));
        return client;
    }

    /// Sends CHOOSE and waits until the daemon has read it, so that a trigger fired next finds
    /// the choice made and a message sent next is not read together with it.
    bool Choose(OperatorClient& client) const
    {
        return client.Write("CHOOSE") && WaitUntilRead(client);
    }

    /// Waits until the daemon's end of client's connection holds no unread bytes, as the kernel's
    /// table of TCP connections shows it.
    bool WaitUntilRead(const OperatorClient& client, rig::Timeout timeout = rig::Timeout(5000)) const
    {
        char local[8];
        char remote[8];
        std::snprintf(local, sizeof local, ":%04X", static_cast<unsigned>(port));
        std::snprintf(remote, sizeof remote, ":%04X", static_cast<unsigned>(client.LocalPort()));
        auto endsWith = [](const std::string& text, const char* tail) {
            const std::string end(tail);
            return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
        };
        return rig::WaitUntil(
            [&] {
                std::istringstream table(rig::ReadFile("/proc/net/tcp"));
                std::string line;
                while (std::getline(table, line))
                {
                    std::istringstream fields(line);
                    std::string slot, localAddress, remoteAddress, state, queues;
                    fields >> slot >> localAddress >> remoteAddress >> state >> queues;
                    if (endsWith(localAddress, local) && endsWith(remoteAddress, remote))
                        return queues.size() > 9 && queues.substr(queues.find(':') + 1) == "00000000";
                }
                return false;
            },
            timeout);
    }

    /// The daemon; its configuration is written and it is started by the constructor.
    rig::Daemon daemon;
    /// The operators' port.
    uint16_t port;
    /// True when the daemon started and wrote its pid.
    bool started = false;

private:
    /// A <User> element with priority 1 whose password is its name.
    static std::string User(const std::string& name)
    {
        return "<User Name=\"" + name + "\" Password=\"" + name + "\" Priority=\"1\"/>";
    }
};

/// Waits until the daemon has logged into sim and finished its first provisioning pass.
inline ::testing::AssertionResult Provisioned(const NvrSite& site, const ZonvrSimProcess& sim)
{
    if (!site.started)
        return ::testing::AssertionFailure() << "the daemon did not start";
    if (!site.daemon.WaitForLine(NvrSite::LoginSucceeded(sim.Address())))
        return ::testing::AssertionFailure() << "no login on " << sim.Address() << "\n" << site.daemon.Log();
    if (!sim.WaitForCalls("ListEventLinks"))
        return ::testing::AssertionFailure() << "the first pass on " << sim.Address() << " did not end";
    return ::testing::AssertionSuccess();
}
