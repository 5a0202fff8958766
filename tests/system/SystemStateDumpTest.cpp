// The state dump seen from outside: SIGUSR1 to the real daemon, forked or with process 1 as its
// parent, while the test plays the recording server, a network camera and two operators.

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NvrSite.h"
#include "ZonvrSimProcess.h"

namespace
{

/// The last dump in the daemon's log: its counts line and the lines after it that belong to it.
std::vector<std::string> LastDump(const rig::Daemon& daemon)
{
    std::vector<std::string> dump;
    for (const std::string& line : daemon.Lines())
    {
        if (line.rfind("State dump: ", 0) == 0)
            dump.assign(1, line);
        else if (!dump.empty() && line.rfind("State of ", 0) == 0)
            dump.push_back(line);
    }
    return dump;
}

} // namespace

TEST(SystemStateDump, Sigusr1LogsEveryCameraSessionAndServerAndTheDaemonServesOn)
{
    const std::string frame("\xFF\x01\x00\x10\x20\x00\x31", 7);
    for (const bool underInit : {false, true})
    {
        SCOPED_TRACE(underInit ? "parent is process 1" : "forked");
        ZonvrSimProcess sim("user admin secret\ncamera 17 \"Lobby\" \"rtsp://127.0.0.5/\"\ncamera 7 \"Yard\"\n");
        ASSERT_TRUE(sim.Running());
        FakeCamera camera("127.0.0.5");
        const std::string cameras =
            NvrSite::NetworkCamera("127.0.0.5", 1, camera.Port()) + NvrSite::AnalogCamera("7", 2);
        NvrSite site(NvrSite::Server(sim, cameras), 1, 600, underInit);
        ASSERT_TRUE(site.started);
        rig::Daemon& daemon = site.daemon;

        // Asked for while the daemon is still starting, the dump waits for it instead of ending it.
        ASSERT_TRUE(daemon.WaitForLog("------ Starting zoTolvex version "));
        daemon.Signal(SIGUSR1);
        EXPECT_TRUE(daemon.WaitForLine("State dump: 2 cameras, 0 sessions, 1 recording servers")) << daemon.Log();
        ASSERT_TRUE(Provisioned(site, sim));
        ASSERT_TRUE(camera.Accept());

        // Alice steers the network camera and holds it; another operator never logs in.
        auto alice = site.Operator("alice");
        OperatorClient idle(site.port);
        const std::string idleSession = "SESSION " + std::to_string(idle.LocalPort());
        ASSERT_EQ(idleSession, idle.ReceiveLike(idleSession));
        alice->Write(frame);
        ASSERT_EQ(frame, camera.Receive(frame.size()));
        const std::string view = "1CAMERA\t127.0.0.5\t1\tLobby#0000F0 You have control";
        ASSERT_EQ(view, alice->ReceiveLike(view));

        daemon.Signal(SIGUSR1);
        std::vector<std::string> dump;
        ASSERT_TRUE(rig::WaitUntil([&] {
            dump = LastDump(daemon);
            return dump.size() == 6 && dump[0] == "State dump: 2 cameras, 2 sessions, 1 recording servers";
        })) << daemon.Log();

        // Most of the 600 s lock time is left: the hold began with the frame just written.
        const std::string held = "State of camera 127.0.0.5: Pelco 1, network 127.0.0.5:" + std::to_string(camera.Port()) +
                                 ", connected, holder " + std::to_string(alice->LocalPort()) + " (alice), lock ";
        const int left = std::atoi(dump[1].c_str() + std::min(held.size(), dump[1].size()));
        EXPECT_EQ(held + std::to_string(left) + " s left", dump[1]);
        EXPECT_TRUE(left > 500 && left <= 600) << dump[1];
        EXPECT_EQ("State of camera 7: Pelco 2, serial /usr/local/marnu/zoTolvex/tty-7, not connected, free", dump[2]);
        // Sessions come in ascending number.
        std::map<uint16_t, std::string> sessions = {
            {alice->LocalPort(), "peer 127.0.0.1, user alice, camera 127.0.0.5, 0 bytes queued"},
            {idle.LocalPort(), "peer 127.0.0.1, no user, no camera, 0 bytes queued"}};
        std::vector<std::string> expected;
        for (const auto& session : sessions)
            expected.push_back("State of session " + std::to_string(session.first) + ": " + session.second);
        EXPECT_EQ(expected, std::vector<std::string>(dump.begin() + 3, dump.begin() + 5));
        const std::regex server("State of NVR 127\\.0\\.0\\.1:" + std::to_string(sim.Port()) +
                                ": logged in, 2 cameras matched, 2 triggers held, last login "
                                "[0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}");
        EXPECT_TRUE(std::regex_match(dump[5], server)) << dump[5];

        // The daemon serves on: the holder's next frame reaches the camera and is acknowledged.
        alice->Write(frame);
        EXPECT_EQ(frame, camera.Receive(frame.size()));
        EXPECT_EQ("#0000F0 You have control", alice->ReceiveLike("#0000F0 You have control"));
        EXPECT_TRUE(daemon.Running());
    }
}
