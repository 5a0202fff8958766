// One recording server, played by zonvr-sim as a separate process, seen from both sides: what the
// daemon writes on the server after logging in, and what the operators get from it.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NvrSite.h"
#include "ZonvrSimProcess.h"

namespace
{

const std::string kAdmin = "user admin secret\n";
const std::string kLobby = "camera 17 \"Lobby\" \"rtsp://127.0.0.5:554/stream\"\n";
const std::string kYard = "camera 7 \"Yard\"\n";

/// A Pelco frame for camera number.
std::string Frame(uint8_t number)
{
    return std::string("\xFF", 1) + static_cast<char>(number) + std::string("\x00\x08\x00\x00\x08", 5);
}

} // namespace

TEST(SystemNvrProvisioning, EachMatchedCameraGetsOneTriggerAndAnAssociationListingItOnce)
{
    ZonvrSimProcess sim(kAdmin + kLobby + kYard +
                        "camera 40 \"Dock\" \"rtsp://127.0.0.6/\"\n"
                        "camera 41 \"Pier\" \"127.0.0.7\"\n"
                        "camera 30 \"Gate\" \"rtsp://10.20.30.40/\"\n"
                        "trigger 5 \"Tolvex Control\" \"TOLVEX_40\"\n"
                        "trigger 6 \"Tolvex Control\" \"TOLVEX_41\"\n"
                        "trigger 9 \"Door\" \"DOOR_1\"\n"
                        "association 40 \"Dock view\" 5\n"
                        "association 41 \"Pier view\" 9\n");
    ASSERT_TRUE(sim.Running());
    NvrSite site(NvrSite::Server(sim, NvrSite::NetworkCamera("127.0.0.5", 1) + NvrSite::AnalogCamera("7", 2) +
                                          NvrSite::NetworkCamera("127.0.0.6", 3) +
                                          NvrSite::NetworkCamera("127.0.0.7", 4) +
                                          NvrSite::NetworkCamera("127.0.0.9", 5)));
    ASSERT_TRUE(Provisioned(site, sim));

    // Cameras without a trigger get one; triggers already there are kept; nobody gets two, and
    // neither the server camera without a track camera nor the track camera the server lacks.
    const uint32_t lobby = sim.TriggerId("TOLVEX_17");
    const uint32_t yard = sim.TriggerId("TOLVEX_7");
    ASSERT_NE(0u, lobby) << ::testing::PrintToString(sim.List("triggers"));
    ASSERT_NE(0u, yard) << ::testing::PrintToString(sim.List("triggers"));
    EXPECT_EQ(std::vector<uint32_t>{5}, sim.TriggerIds("TOLVEX_40"));
    EXPECT_EQ(std::vector<uint32_t>{6}, sim.TriggerIds("TOLVEX_41"));
    EXPECT_TRUE(sim.TriggerIds("TOLVEX_30").empty());
    EXPECT_EQ(1, sim.CountCalls("CreateSoftTrigger name=Tolvex Control guid=TOLVEX_17"));
    EXPECT_EQ(1, sim.CountCalls("CreateSoftTrigger name=Tolvex Control guid=TOLVEX_7"));
    EXPECT_EQ(2, sim.CountCalls("CreateSoftTrigger "));

    // A new association is named after the GUID; an existing one gains the entry it lacks and
    // keeps its own; one that lists the trigger already is not written.
    const std::vector<std::string> associations = {
        "association 7 \"TOLVEX_7\" " + std::to_string(yard),
        "association 17 \"TOLVEX_17\" " + std::to_string(lobby),
        "association 40 \"Dock view\" 5",
        "association 41 \"Pier view\" 9 6",
    };
    EXPECT_EQ(associations, sim.List("associations"));
    const int updates = sim.CountCalls("UpdateAssociation ");
    EXPECT_EQ(updates, sim.CountCalls("UpdateAssociation camera=7 ") + sim.CountCalls("UpdateAssociation camera=17 ") +
                           sim.CountCalls("UpdateAssociation camera=41 "))
        << ::testing::PrintToString(sim.Calls());

    // A later pass finds everything in place and writes nothing.
    const std::vector<std::string> triggers = sim.List("triggers");
    ASSERT_TRUE(sim.RunPass());
    EXPECT_EQ(2, sim.CountCalls("CreateSoftTrigger "));
    EXPECT_EQ(updates, sim.CountCalls("UpdateAssociation "));
    EXPECT_EQ(triggers, sim.List("triggers"));
    EXPECT_EQ(associations, sim.List("associations"));
    EXPECT_EQ(1, site.daemon.CountLines(NvrSite::LoginSucceeded("127.0.0.1")));
    EXPECT_EQ(1, sim.CountCalls("Login user=admin"));
}

TEST(SystemNvrDirectory, ServerCamerasMatchByAddressOrIdAndOperatorsSeeTheirNames)
{
    ZonvrSimProcess sim(kAdmin + kLobby + kYard +
                        "camera 8 \"Host\" \"rtsp://localhost:554/live\"\n"
                        "camera 30 \"Gate\" \"10.20.30.40\"\n");
    ASSERT_TRUE(sim.Running());
    NvrSite site(NvrSite::Server(sim, NvrSite::NetworkCamera("127.0.0.5", 1) + NvrSite::AnalogCamera("7", 2) +
                                          NvrSite::NetworkCamera("localhost", 3)));
    ASSERT_TRUE(Provisioned(site, sim));
    rig::Daemon& daemon = site.daemon;

    // The dotted address inside the device address, or the id of an analog camera; a host name
    // never matches, and a server camera without a track camera is passed over in silence.
    std::vector<std::string> names = {"Adding camera name 'Lobby' with address 127.0.0.5",
                                      "Adding analog camera name 'Yard' with address 7"};
    for (const std::string& line : names)
        EXPECT_EQ(1, daemon.CountLines(line)) << daemon.Log();
    EXPECT_EQ(0, daemon.CountLog("'Host'"));
    EXPECT_EQ(0, daemon.CountLog("'Gate'"));
    EXPECT_TRUE(sim.TriggerIds("TOLVEX_8").empty());

    // A rename on the server is a change: the pass it starts logs the new name.
    const struct
    {
        std::string id;
        std::string name;
        std::string line;
    } renames[] = {
        {"17", "Lobby East", "Adding camera name 'Lobby East' with address 127.0.0.5"},
        {"7", "Yard West", "Adding analog camera name 'Yard West' with address 7"},
    };
    for (const auto& rename : renames)
    {
        ASSERT_TRUE(sim.Change({"camera", "rename", rename.id, rename.name}));
        EXPECT_TRUE(daemon.WaitForLine(rename.line));
        names.push_back(rename.line);
    }
    // Unchanged names are not logged again.
    ASSERT_TRUE(sim.RunPass());
    for (const std::string& line : names)
        EXPECT_EQ(1, daemon.CountLines(line)) << line;

    // Operators see the server's name after a tab; a camera the server does not name has none.
    auto alice = site.Operator("alice");
    const struct
    {
        uint8_t pelcoNumber;
        std::string message;
    } views[] = {
        {1, "1CAMERA\t127.0.0.5\t1\tLobby East"},
        {2, "1CAMERA\t7\t2\tYard West"},
        {3, "1CAMERA\tlocalhost\t3"},
    };
    for (const auto& view : views)
    {
        alice->Write(Frame(view.pelcoNumber));
        EXPECT_EQ(view.message, alice->ReceiveLike(view.message));
        EXPECT_EQ("OK", alice->Login("alice", "alice")) << "something followed " << view.message;
    }
}

TEST(SystemNvrHandOver, AFiredTriggerHandsItsCameraToTheChoosingOperatorOnly)
{
    ZonvrSimProcess sim(kAdmin + kLobby + kYard +
                        "trigger 52 \"Door\" \"DOOR_17\"\n"
                        "trigger 53 \"Tolvex Control\" \"TOLVEX_999\"\n");
    ASSERT_TRUE(sim.Running());
    // The third camera is not on the server: its id stays 0, which no trigger may stand for.
    NvrSite site(NvrSite::Server(sim, NvrSite::NetworkCamera("127.0.0.5", 1) + NvrSite::AnalogCamera("7", 2) +
                                          NvrSite::NetworkCamera("127.0.0.9", 3)));
    ASSERT_TRUE(Provisioned(site, sim));
    const std::string lobby = std::to_string(sim.TriggerId("TOLVEX_17"));
    const std::string yard = std::to_string(sim.TriggerId("TOLVEX_7"));
    ASSERT_NE("0", lobby);
    ASSERT_NE("0", yard);

    // Triggers that look like the daemon's but name no camera, added while the link runs.
    std::vector<std::string> lookalikes;
    for (const char* guid : {"TOLVEX_0", "TOLVEXX"})
    {
        std::vector<std::string> printed;
        const int passes = sim.CountCalls("ListEventLinks");
        ASSERT_TRUE(sim.Ctl({"trigger", "add", "0", "Tolvex Control", guid}, &printed));
        ASSERT_EQ(1u, printed.size());
        lookalikes.push_back(printed[0].substr(std::string("trigger ").size()));
        ASSERT_TRUE(sim.WaitForCalls("ListEventLinks", passes + 1));
    }

    auto alice = site.Operator("alice");
    auto bob = site.Operator("bob");
    const std::string lobbyMessage = "0CAMERA\t127.0.0.5\t1\tLobby";
    const std::string yardMessage = "0CAMERA\t7\t2\tYard";

    // The choosing operator gets the camera, and nobody else does.
    ASSERT_TRUE(site.Choose(*alice));
    ASSERT_TRUE(sim.Ctl({"fire", lobby, "1"}));
    EXPECT_EQ(lobbyMessage, alice->ReceiveLike(lobbyMessage));
    EXPECT_EQ("OK", bob->Login("bob", "bob")) << "bob received the camera too";

    // The choice is used up: a second firing delivers nothing.
    ASSERT_TRUE(sim.Ctl({"fire", lobby, "1"}));
    ASSERT_TRUE(sim.RunPass());
    EXPECT_EQ("OK", alice->Login("alice", "alice")) << "a second firing delivered again";
    EXPECT_EQ("OK", bob->Login("bob", "bob"));

    // While alice chooses again, an inactive firing and firings of triggers that are not the
    // daemon's go by; the next active firing of one of its own reaches her, and nothing before it.
    ASSERT_TRUE(site.Choose(*alice));
    std::vector<std::vector<std::string>> ignored = {{"fire", lobby, "0"}, {"fire", "52", "1"}, {"fire", "53", "1"}};
    for (const std::string& id : lookalikes)
        ignored.push_back({"fire", id, "1"});
    for (const auto& firing : ignored)
        ASSERT_TRUE(sim.Ctl(firing));
    ASSERT_TRUE(sim.Ctl({"fire", yard, "1"}));
    EXPECT_EQ(yardMessage, alice->ReceiveLike(yardMessage)) << "an ignored firing reached alice first";
    EXPECT_EQ("OK", alice->Login("alice", "alice"));
    EXPECT_EQ("OK", bob->Login("bob", "bob"));
}

TEST(SystemNvrEventLinks, UserLinksOnTolvexTriggersAreTakenOffAndOthersStay)
{
    ZonvrSimProcess sim(kAdmin + kLobby + kYard +
                        "trigger 5 \"Tolvex Control\" \"TOLVEX_17\"\n"
                        "association 17 \"TOLVEX_17\" 5\n"
                        "trigger 9 \"Door\" \"DOOR_1\"\n"
                        "link 3 5 \"Lobby alarm\"\n"
                        "link 4 9 \"Door alarm\"\n"
                        "link 6 0 \"Idle\"\n");
    ASSERT_TRUE(sim.Running());
    NvrSite site(NvrSite::Server(sim, NvrSite::NetworkCamera("127.0.0.5", 1) + NvrSite::AnalogCamera("7", 2)));
    ASSERT_TRUE(Provisioned(site, sim));
    rig::Daemon& daemon = site.daemon;
    const std::string removed = "Removed user-assigned event link trying to use Tolvex soft trigger ";
    EXPECT_TRUE(daemon.WaitForLine(removed + "5"));

    // A link made later on a trigger that the daemon created goes the same way at the next pass.
    const std::string yard = std::to_string(sim.TriggerId("TOLVEX_7"));
    ASSERT_NE("0", yard);
    ASSERT_TRUE(sim.Change({"link", "add", "8", yard, "Yard alarm"}));
    EXPECT_TRUE(daemon.WaitForLine(removed + yard));

    const std::vector<std::string> links = {
        "link 3 0 \"Lobby alarm\"",
        "link 4 9 \"Door alarm\"",
        "link 6 0 \"Idle\"",
        "link 8 0 \"Yard alarm\"",
    };
    EXPECT_EQ(links, sim.List("links"));
    EXPECT_EQ(1, sim.CountCalls("UpdateEventLink id=3 triggerInUse=0 softTriggerId=5"));
    EXPECT_EQ(0, sim.CountCalls("UpdateEventLink id=4 "));
    EXPECT_EQ(0, sim.CountCalls("UpdateEventLink id=6 "));
    EXPECT_EQ(1, daemon.CountLines(removed + "5")) << "a link already taken off was taken off again";
    EXPECT_EQ(2, daemon.CountLog(removed));
}
