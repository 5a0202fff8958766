#pragma once

// A running daemon with operators and track cameras, for the system tests of operator control:
// the test is the TolvexControl clients and the network cameras the daemon dials.

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "../control/OperatorClient.h"
#include "DaemonRig.h"

/// What the holder of a camera is told after each of its written frames.
inline const std::string kYouHaveControl = "#0000F0 You have control";
/// What every viewer of a camera is told when its lock time runs out.
inline const std::string kLapsed = "#0000F0 ";

/// A running daemon with a control port, users and cameras.
struct ControlDaemon
{
    /// Writes the configuration and starts the daemon; port receives the control port.
    explicit ControlDaemon(const std::string& users, const std::string& cameras, int lockTime = 1,
                           const std::string& clientAddress = "127.0.0.1")
        : port(rig::FreePort())
    {
        daemon.WriteConfig("<zoTolvex><Options RetryIntervalSecs=\"1\" ClientAddress=\"" + clientAddress +
                           "\" ClientPort=\"" + std::to_string(port) + "\"/><TolvexControl LockTime=\"" +
                           std::to_string(lockTime) + "\">" + users + "</TolvexControl><NVR Address=\"127.0.0.1\" Port=\"" +
                           std::to_string(rig::FreePort()) + "\" Login=\"a\" Password=\"b\">" + cameras +
                           "</NVR></zoTolvex>");
        started = daemon.Start() == 0 && daemon.Pid() > 0;
    }

    /// Connects a client and checks its "SESSION" message.
    std::unique_ptr<OperatorClient> Connect(const std::string& localAddress = "127.0.0.1", uint16_t localPort = 0,
                                            int receiveBuffer = 0)
    {
        std::unique_ptr<OperatorClient> client;
        // The listener may still be coming up right after start.
        rig::WaitUntil([&] {
            client = std::make_unique<OperatorClient>(port, localAddress, localPort, receiveBuffer);
            return client->Connected();
        });
        const std::string expected = "SESSION " + std::to_string(client->LocalPort());
        EXPECT_EQ(expected, client->ReceiveLike(expected));
        return client;
    }

    /// The daemon; its configuration is written and it is started by the constructor.
    rig::Daemon daemon;
    /// The operators' port.
    uint16_t port;
    /// True when the daemon started and wrote its pid.
    bool started = false;
};

/// A <User> element.
inline std::string User(const std::string& name, const std::string& password, int priority)
{
    return "<User Name=\"" + name + "\" Password=\"" + password + "\" Priority=\"" + std::to_string(priority) + "\"/>";
}

/// A Pelco frame for camera number whose last byte tells the senders apart.
inline std::string Frame(uint8_t number, char tag)
{
    return std::string("\xFF", 1) + static_cast<char>(number) + std::string("\x00\x04\x00\x00", 4) + tag;
}
