// Recording servers that refuse, fail, hang or come and go, several servers at once, and the
// daemon's end while its links wait on them; each server is zonvr-sim as a separate process.

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NvrSite.h"
#include "ZonvrSimProcess.h"

namespace
{

using Clock = std::chrono::steady_clock;

const std::string kAdmin = "user admin secret\n";
const std::string kLobby = "camera 17 \"Lobby\" \"rtsp://127.0.0.5:554/stream\"\n";
const std::string kYard = "camera 7 \"Yard\"\n";
const std::string kDock = "camera 40 \"Dock\" \"rtsp://127.0.0.6/\"\n";

std::vector<std::string> Sorted(std::vector<std::string> lines)
{
    std::sort(lines.begin(), lines.end());
    return lines;
}

} // namespace

TEST(SystemNvrFaults, RefusedCredentialsEndTheLinkAndAnOutageIsRetriedUntilTheServerIsBack)
{
    ZonvrSimProcess refusing(kAdmin + kLobby, "127.0.0.1");
    ASSERT_TRUE(refusing.Running());
    const uint16_t downPort = rig::FreePort("127.0.0.2");
    NvrSite site(NvrSite::Server(refusing, NvrSite::NetworkCamera("127.0.0.5", 1), "wrong") +
                 NvrSite::Server("127.0.0.2", downPort, NvrSite::AnalogCamera("7", 2)));
    ASSERT_TRUE(site.started);
    rig::Daemon& daemon = site.daemon;
    const std::string rejected = "ZOAPI_Login failure on NVR 127.0.0.1 for user 'admin': incorrect user/password";
    const std::string downRetry = NvrSite::WillRetry("127.0.0.2");
    ASSERT_TRUE(daemon.WaitForLine(rejected));
    ASSERT_TRUE(daemon.WaitForLine(downRetry));
    // A few retry intervals of the server that is down: one line for the whole run of failures.
    EXPECT_FALSE(rig::WaitUntil([&] { return daemon.CountLines(downRetry) > 1; }, rig::Timeout(3000)));

    // The server comes up on its port: the next attempt logs in and provisions it.
    ZonvrSimProcess back(kAdmin + kYard, "127.0.0.2", downPort);
    ASSERT_TRUE(back.Running());
    ASSERT_TRUE(Provisioned(site, back));
    EXPECT_NE(0u, back.TriggerId("TOLVEX_7"));
    EXPECT_EQ(1, daemon.CountLines(downRetry));

    // Killed and started again on the same port: a new run of failures with its one line, then
    // a second login and a new pass on the fresh server, without a restart of the daemon.
    back.Kill();
    EXPECT_TRUE(rig::WaitUntil([&] { return daemon.CountLines(downRetry) == 2; })) << daemon.Log();
    ASSERT_TRUE(back.Restart());
    EXPECT_TRUE(rig::WaitUntil([&] { return daemon.CountLines(NvrSite::LoginSucceeded("127.0.0.2")) == 2; }));
    ASSERT_TRUE(back.WaitForCalls("ListEventLinks"));
    EXPECT_EQ(1, back.CountCalls("CreateSoftTrigger name=Tolvex Control guid=TOLVEX_7"));
    EXPECT_NE(0u, back.TriggerId("TOLVEX_7"));
    EXPECT_EQ(2, daemon.CountLines(downRetry));

    // All along, the refused link stayed ended: one line, no retry, one login.
    EXPECT_EQ(1, daemon.CountLines(rejected));
    EXPECT_EQ(0, daemon.CountLines(NvrSite::WillRetry("127.0.0.1")));
    EXPECT_EQ(0, daemon.CountLines(NvrSite::LoginSucceeded("127.0.0.1")));
    const std::vector<std::string> calls = refusing.Calls();
    EXPECT_EQ(1, refusing.CountCalls("Login "));
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ("Login user=admin", calls.back()) << "requests after the rejection";
    EXPECT_TRUE(daemon.Running());
}

TEST(SystemNvrFaults, RefusedCreationsAndUpdatesAreLoggedAndThePassGoesOn)
{
    ZonvrSimProcess sim(kAdmin + kLobby + kYard + kDock + "trigger 5 \"Tolvex Control\" \"TOLVEX_40\"\n");
    ASSERT_TRUE(sim.Running());
    ASSERT_TRUE(sim.Ctl({"refuse", "trigger", "5"}));
    NvrSite site(NvrSite::Server(sim, NvrSite::NetworkCamera("127.0.0.5", 1) + NvrSite::AnalogCamera("7", 2) +
                                          NvrSite::NetworkCamera("127.0.0.6", 3)));
    ASSERT_TRUE(Provisioned(site, sim));
    rig::Daemon& daemon = site.daemon;
    const std::string refusedTrigger = "Error 5 in ZOAPI_CreateSoftTriggerWithGuid()";

    // One line for each camera that lacks a trigger; the camera that has one gets its association.
    EXPECT_EQ(2, daemon.CountLines(refusedTrigger)) << daemon.Log();
    EXPECT_EQ(2, sim.CountCalls("CreateSoftTrigger "));
    EXPECT_EQ(std::vector<std::string>{"association 40 \"TOLVEX_40\" 5"}, sim.List("associations"));

    // The next pass creates the triggers; each refused association is logged with its name.
    ASSERT_TRUE(sim.Ctl({"refuse", "trigger", "0"}));
    ASSERT_TRUE(sim.Ctl({"refuse", "association", "7"}));
    ASSERT_TRUE(sim.RunPass());
    const uint32_t lobby = sim.TriggerId("TOLVEX_17");
    const uint32_t yard = sim.TriggerId("TOLVEX_7");
    EXPECT_NE(0u, lobby);
    EXPECT_NE(0u, yard);
    for (const char* name : {"TOLVEX_17", "TOLVEX_7"})
        EXPECT_LE(1, daemon.CountLines(std::string("Error 7 while creating or updating association for ") + name))
            << daemon.Log();
    EXPECT_EQ(std::vector<std::string>{"association 40 \"TOLVEX_40\" 5"}, sim.List("associations"));
    EXPECT_EQ(2, daemon.CountLines(refusedTrigger));

    // Once the server accepts again, the next pass mends what the refusals left undone.
    ASSERT_TRUE(sim.Ctl({"refuse", "association", "0"}));
    ASSERT_TRUE(sim.RunPass());
    const std::vector<std::string> associations = {
        "association 7 \"TOLVEX_7\" " + std::to_string(yard),
        "association 17 \"TOLVEX_17\" " + std::to_string(lobby),
        "association 40 \"TOLVEX_40\" 5",
    };
    EXPECT_EQ(associations, sim.List("associations"));
}

TEST(SystemNvrFaults, AHungServerDelaysNeitherTheOtherServerNorTheOperators)
{
    ZonvrSimProcess hung(kAdmin + kDock, "127.0.0.1");
    ZonvrSimProcess live(kAdmin + kLobby, "127.0.0.2");
    ASSERT_TRUE(hung.Running());
    ASSERT_TRUE(live.Running());
    ASSERT_TRUE(hung.Ctl({"hang", "on"}));
    FakeCamera camera("127.0.0.5");
    NvrSite site(NvrSite::Server(hung, NvrSite::NetworkCamera("127.0.0.6", 2)) +
                 NvrSite::Server(live, NvrSite::NetworkCamera("127.0.0.5", 1, camera.Port())));

    // The link to the hung server waits for its greeting, well inside its 60 s limit, while the
    // other server is logged into and provisioned.
    ASSERT_TRUE(Provisioned(site, live));
    EXPECT_TRUE(hung.WaitForClients(1)) << "the daemon is not connected to the hung server";
    const std::string lobby = std::to_string(live.TriggerId("TOLVEX_17"));
    ASSERT_NE("0", lobby);

    // The other server's trigger reaches the operator, who steers the camera.
    auto alice = site.Operator("alice");
    ASSERT_TRUE(site.Choose(*alice));
    ASSERT_TRUE(live.Ctl({"fire", lobby, "1"}));
    const std::string handOver = "0CAMERA\t127.0.0.5\t1\tLobby";
    EXPECT_EQ(handOver, alice->ReceiveLike(handOver));
    ASSERT_TRUE(camera.Accept());
    const std::string frame("\xFF\x01\x00\x10\x20\x00\x31", 7);
    alice->Write(frame);
    EXPECT_EQ(frame, camera.Receive(frame.size()));
    EXPECT_EQ("#0000F0 You have control", alice->ReceiveLike("#0000F0 You have control"));
    EXPECT_EQ(0, hung.CountCalls("Login ")) << "a login before the server's greeting";

    // When the server answers again, the waiting attempt goes on to log in and provision it.
    ASSERT_TRUE(hung.Ctl({"hang", "off"}));
    ASSERT_TRUE(Provisioned(site, hung));
    EXPECT_NE(0u, hung.TriggerId("TOLVEX_40"));
    EXPECT_EQ(0, site.daemon.CountLog("ZOAPI_Login failure"));
}

TEST(SystemNvrFaults, AServerThatNeverGreetsFailsTheAttemptAfterSixtySecondsAndIsRetried)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "waits out the 60 s limit; the native build runs it";
#endif
    ZonvrSimProcess hung(kAdmin + kLobby);
    ASSERT_TRUE(hung.Running());
    ASSERT_TRUE(hung.Ctl({"hang", "on"}));
    const auto start = Clock::now();
    NvrSite site(NvrSite::Server(hung, NvrSite::NetworkCamera("127.0.0.5", 1)), 5);
    ASSERT_TRUE(site.started);
    ASSERT_TRUE(hung.WaitForClients(1));

    ASSERT_TRUE(site.daemon.WaitForLine(NvrSite::WillRetry("127.0.0.1", 5), rig::Timeout(100000)));
    const auto failedAfter = Clock::now() - start;
    EXPECT_GE(failedAfter, std::chrono::seconds(59));
    EXPECT_LE(failedAfter, std::chrono::seconds(75));
    // The session is closed for the retry wait; then a new attempt connects.
    EXPECT_TRUE(hung.WaitForClients(0, rig::Timeout(4000)));
    EXPECT_TRUE(hung.WaitForClients(1, rig::Timeout(10000)));
    EXPECT_EQ(0, hung.CountCalls("Login "));
    EXPECT_EQ(1, site.daemon.CountLog("ZOAPI_Login failure"));
}

TEST(SystemNvrServers, EachServerKeepsItsOwnCameraIdsTriggersAndHandOvers)
{
    ZonvrSimProcess first(kAdmin + "camera 17 \"Lobby\" \"rtsp://127.0.0.5/\"\n"
                                   "camera 30 \"Thirty A\" \"rtsp://127.0.0.6/\"\n",
                          "127.0.0.1");
    ZonvrSimProcess second(kAdmin + "camera 23 \"Lobby\" \"rtsp://127.0.0.5/\"\n"
                                    "camera 30 \"Thirty B\" \"rtsp://127.0.0.7/\"\n"
                                    "camera 50 \"Only B\" \"rtsp://127.0.0.9/\"\n",
                           "127.0.0.2");
    ASSERT_TRUE(first.Running());
    ASSERT_TRUE(second.Running());
    NvrSite site(NvrSite::Server(first, NvrSite::NetworkCamera("127.0.0.5", 1) + NvrSite::NetworkCamera("127.0.0.6", 2)) +
                 NvrSite::Server(second, NvrSite::NetworkCamera("127.0.0.7", 3) + NvrSite::NetworkCamera("127.0.0.9", 4)));
    ASSERT_TRUE(Provisioned(site, first));
    ASSERT_TRUE(Provisioned(site, second));

    // Each server holds exactly the triggers and associations of the ids it reported itself:
    // camera 127.0.0.5 is 17 on one and 23 on the other, id 30 is a different camera on each,
    // and a camera that only the second server lists gets nothing on the first.
    const struct
    {
        const ZonvrSimProcess& sim;
        std::vector<std::string> ids;
    } servers[] = {{first, {"17", "30"}}, {second, {"23", "30", "50"}}};
    for (const auto& server : servers)
    {
        SCOPED_TRACE(server.sim.Address());
        std::vector<std::string> triggers;
        std::vector<std::string> associations;
        for (const std::string& id : server.ids)
        {
            const std::string trigger = std::to_string(server.sim.TriggerId("TOLVEX_" + id));
            triggers.push_back("trigger " + trigger + " \"Tolvex Control\" \"TOLVEX_" + id + "\"");
            associations.push_back("association " + id + " \"TOLVEX_" + id + "\" " + trigger);
        }
        EXPECT_EQ(Sorted(triggers), Sorted(server.sim.List("triggers")));
        EXPECT_EQ(associations, server.sim.List("associations"));
    }

    // Each server's trigger hands over the camera that server means by its id.
    auto alice = site.Operator("alice");
    const struct
    {
        const ZonvrSimProcess& sim;
        std::string guid;
        std::string message;
    } firings[] = {
        {first, "TOLVEX_30", "0CAMERA\t127.0.0.6\t2\tThirty A"},
        {second, "TOLVEX_30", "0CAMERA\t127.0.0.7\t3\tThirty B"},
        {first, "TOLVEX_17", "0CAMERA\t127.0.0.5\t1\tLobby"},
        {second, "TOLVEX_23", "0CAMERA\t127.0.0.5\t1\tLobby"},
    };
    for (const auto& firing : firings)
    {
        ASSERT_TRUE(site.Choose(*alice));
        ASSERT_TRUE(firing.sim.Ctl({"fire", std::to_string(firing.sim.TriggerId(firing.guid)), "1"}));
        EXPECT_EQ(firing.message, alice->ReceiveLike(firing.message)) << firing.sim.Address() << " " << firing.guid;
    }
    EXPECT_EQ("OK", alice->Login("alice", "alice"));
}

TEST(SystemNvrShutdown, SigtermEndsTheDaemonAtOnceWhileItsLinksWaitInsideTheLibrary)
{
    ZonvrSimProcess silent(kAdmin + kDock, "127.0.0.1");
    ZonvrSimProcess slow(kAdmin + kLobby, "127.0.0.2");
    ASSERT_TRUE(silent.Running());
    ASSERT_TRUE(slow.Running());
    ASSERT_TRUE(silent.Ctl({"hang", "on"}));
    NvrSite site(NvrSite::Server(silent, NvrSite::NetworkCamera("127.0.0.6", 2)) +
                 NvrSite::Server(slow, NvrSite::NetworkCamera("127.0.0.5", 1)));
    ASSERT_TRUE(Provisioned(site, slow));
    // One link waits for a greeting that never comes; the other sends the first request of a
    // new pass and waits for an answer that the server holds back for two minutes.
    ASSERT_TRUE(silent.WaitForClients(1));
    ASSERT_TRUE(slow.Ctl({"delay", "120000"}));
    const int listed = slow.CountCalls("ListCameras");
    ASSERT_TRUE(slow.Ctl({"camera", "add", "999", "Spare", "rtsp://10.255.255.1/"}));
    ASSERT_TRUE(slow.WaitForCalls("ListCameras", listed + 1));

    const auto start = Clock::now();
    site.daemon.Signal(SIGTERM);
    EXPECT_EQ(0, site.daemon.WaitExit(rig::Timeout(5000)));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ("Terminate signal caught.  Exiting.", site.daemon.Lines().back());
}
