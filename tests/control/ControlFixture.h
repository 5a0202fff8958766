#pragma once

#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "OperatorClient.h"
#include "base/LogStream.h"
#include "base/User.h"
#include "camera/CameraMap.h"
#include "camera/TrackCamera.h"
#include "control/ControlServer.h"
#include "control/ControlSession.h"

/// A control server on a private event loop, run on a thread of its own, with users and
/// network track cameras that talk to fake cameras on loopback. The log goes to a private
/// directory.
class ControlFixture : public ::testing::Test
{
protected:
    ControlFixture()
    {
        char pattern[] = "/tmp/zocontrol-test-XXXXXX";
        logDir = std::string(::mkdtemp(pattern)) + "/";
        gLog.Reopen(logDir);
    }

    ~ControlFixture() override
    {
        StopLoop();
        server.reset();
        cameraMap.clear();
        cameraObjects.clear();
        gLog.Reopen("/tmp/");
        std::string command = "rm -rf " + logDir;
        if (std::system(command.c_str()) != 0)
            ADD_FAILURE() << "could not remove " << logDir;
    }

    /// Adds an operator account.
    void AddUser(const std::string& name, const std::string& password, int32_t priority)
    {
        userObjects.push_back(std::make_unique<User>(User{name, password, priority}));
        userMap.emplace(name, userObjects.back().get());
    }

    /// Adds a network camera at address (127.0.0.x) with a fake camera listening there.
    FakeCamera& AddCamera(const std::string& address, uint32_t pelcoNumber, int32_t lockSecs)
    {
        fakes.push_back(std::make_unique<FakeCamera>(address));
        AddCameraAt(address, fakes.back()->Port(), pelcoNumber, lockSecs);
        return *fakes.back();
    }

    /// Adds a network camera at address where nothing listens, so that commands for it are
    /// dropped by the camera and never produce a hold or a control message.
    void AddUnreachableCamera(const std::string& address, uint32_t pelcoNumber)
    {
        uint16_t closedPort = 0;
        {
            FakeCamera probe(address);
            closedPort = probe.Port();
        }
        AddCameraAt(address, closedPort, pelcoNumber, 5);
    }

    /// Builds a track camera from a <Camera> element for address:port.
    void AddCameraAt(const std::string& address, uint16_t port, uint32_t pelcoNumber, int32_t lockSecs)
    {
        tinyxml2::XMLDocument document;
        tinyxml2::XMLElement* element = document.NewElement("Camera");
        element->SetAttribute("Address", address.c_str());
        element->SetAttribute("Port", std::to_string(port).c_str());
        element->SetAttribute("PelcoNumber", std::to_string(pelcoNumber).c_str());
        document.InsertEndChild(element);
        cameraObjects.push_back(std::make_unique<TrackCamera>(ioService, element, 1, lockSecs));
        cameraMap.emplace(address, cameraObjects.back().get());
    }

    /// Creates the server on a free loopback port, attaches the cameras and runs the loop.
    void StartServer()
    {
        server = std::make_unique<ControlServer>(ioService, "127.0.0.1", 0, cameraMap, userMap);
        for (auto& camera : cameraObjects)
            server->AttachCamera(*camera);
        loop = std::thread([this] { ioService.run(); });
    }

    /// Waits until every fake camera has been connected by its track camera, and lets the
    /// event loop take in the connect completions.
    void ConnectCameras()
    {
        for (auto& fake : fakes)
            ASSERT_TRUE(fake->Accept()) << "the track camera never connected";
        Settle();
    }

    /// Lets the event loop take in what the kernel already holds for it (loopback delivers within
    /// the sending call): every completion ready now runs before the third turn returns.
    void Settle()
    {
        for (int turn = 0; turn < 3; ++turn)
            OnLoop([] {});
    }

    /// Runs work on the event loop and waits for it.
    template <typename Work>
    void OnLoop(Work work)
    {
        std::promise<void> done;
        ioService.post([&] {
            work();
            done.set_value();
        });
        done.get_future().wait();
    }

    /// Keeps the event loop busy until the returned promise is set, so that the kernel gathers
    /// several events (data, then a reset) before the loop looks at any of them.
    std::shared_ptr<std::promise<void>> HoldLoop()
    {
        auto release = std::make_shared<std::promise<void>>();
        std::shared_future<void> released = release->get_future().share();
        std::promise<void> holding;
        std::future<void> started = holding.get_future();
        ioService.post([released, &holding] {
            holding.set_value();
            released.wait();
        });
        started.wait();
        return release;
    }

    /// Stops the event loop and waits for its thread.
    void StopLoop()
    {
        ioService.stop();
        if (loop.joinable())
            loop.join();
    }

    /// The server's port.
    uint16_t Port() const { return server->Port(); }

    /// The texts of the log lines, without the time prefix.
    std::vector<std::string> LogLines() const
    {
        std::ifstream file(logDir + "zoTolvex.log");
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);)
        {
            const auto end = line.find(" ] ");
            lines.push_back(end == std::string::npos ? line : line.substr(end + 3));
        }
        return lines;
    }

    /// Number of log lines equal to text.
    int CountLines(const std::string& text) const
    {
        int count = 0;
        for (const auto& line : LogLines())
            count += line == text;
        return count;
    }

    /// Waits until a log line equal to text exists.
    bool WaitForLine(const std::string& text, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const
    {
        return WaitFor([&] { return CountLines(text) > 0; }, timeout);
    }

    /// Polls condition until it holds or the timeout passes.
    template <typename Condition>
    static bool WaitFor(Condition condition, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!condition())
        {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    /// Connects a client and takes its "SESSION" message; each of its messages is read by the
    /// server before the next one is sent.
    std::unique_ptr<OperatorClient> Connect(const std::string& localAddress = "127.0.0.1", uint16_t localPort = 0,
                                            int receiveBuffer = 0)
    {
        auto client = std::make_unique<OperatorClient>(Port(), localAddress, localPort, receiveBuffer);
        EXPECT_TRUE(client->Connected());
        client->afterWrite = [this] { Settle(); };
        const std::string expected = "SESSION " + std::to_string(client->LocalPort());
        EXPECT_EQ(expected, client->ReceiveLike(expected));
        return client;
    }

    /// Private log directory, with a trailing slash.
    std::string logDir;
    /// The event loop; destroyed last.
    boost::asio::io_service ioService;
    /// Owns the accounts in userMap.
    std::vector<std::unique_ptr<User>> userObjects;
    /// The accounts the server checks.
    UserMap userMap;
    /// The listeners the track cameras connect to.
    std::vector<std::unique_ptr<FakeCamera>> fakes;
    /// Owns the cameras in cameraMap.
    std::vector<std::unique_ptr<TrackCamera>> cameraObjects;
    /// The cameras the server steers.
    CameraMap cameraMap;
    /// The server under test.
    std::unique_ptr<ControlServer> server;
    /// Runs the event loop.
    std::thread loop;
};
