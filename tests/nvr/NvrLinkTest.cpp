// A recording-server connection on its own thread against the in-process simulator, with a real
// control server on its event loop: what one provisioning pass leaves on the server, record by
// record, and trigger hand-overs while operators steer and the server keeps changing.

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "ControlFixture.h"
#include "nvr/NVRConnection.h"
#include "sim/NvrSimulator.h"

namespace
{

class ComponentNvrLink : public ControlFixture
{
protected:
    ~ComponentNvrLink() override
    {
        if (thread)
        {
            link->Stop();
            thread->join();
        }
        sim.Stop();
    }

    /// A camera whose Port names a serial device that does not exist: it never opens anything,
    /// so any Address may be used, an analog camera's id included.
    void AddLineCamera(const std::string& address, uint32_t pelcoNumber)
    {
        tinyxml2::XMLDocument document;
        tinyxml2::XMLElement* element = document.NewElement("Camera");
        element->SetAttribute("Address", address.c_str());
        element->SetAttribute("Port", "/nonexistent/ttyS9");
        element->SetAttribute("PelcoNumber", std::to_string(pelcoNumber).c_str());
        cameraObjects.push_back(std::make_unique<TrackCamera>(ioService, element, 1, 5));
        cameraMap.emplace(address, cameraObjects.back().get());
    }

    /// Starts the simulator and the connection to it; the server must be running.
    void StartLink()
    {
        sim.AddUser("admin", "pw");
        sim.Start();
        link = std::make_unique<NVRConnection>(1, cameraMap);
        link->port = sim.Port();
        link->login = "admin";
        link->password = "pw";
        link->controlServer = server.get();
        thread.reset(link->Start());
    }

    /// Number of calls the simulator received that begin with prefix.
    int CountCalls(const std::string& prefix) const
    {
        const auto calls = sim.Calls();
        return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const std::string& call) {
            return call.compare(0, prefix.size(), prefix) == 0;
        }));
    }

    /// The id of the trigger with this GUID; 0 when there is none.
    uint32_t TriggerWithGuid(const std::string& guid) const
    {
        for (const auto& entry : sim.Snapshot().triggers)
        {
            if (entry.second.guid == guid)
                return entry.first;
        }
        return 0;
    }

    zonvrsim::NvrSimulator sim;
    std::unique_ptr<NVRConnection> link;
    std::unique_ptr<boost::thread> thread;
};

/// The eight fields of an entry the service adds for trigger, at position.
std::vector<uint32_t> OurEntry(uint32_t position, uint32_t trigger)
{
    return {32, position, 8, trigger, 0, 0, 0, 2};
}

std::vector<uint32_t> Fields(const zonvrsim::SimAssociationEntry& entry)
{
    return std::vector<uint32_t>(entry.field, entry.field + 8);
}

} // namespace

TEST_F(ComponentNvrLink, OnePassProvisionsEachMatchedCameraOnceFieldByField)
{
    // 17: no association yet. 8: a user's association listing another trigger. 4294967295
    // (analog): already has its trigger, whose number saturates as the target reads it.
    sim.PutCamera({17, "Lobby", "rtsp://127.0.0.5:554/stream"});
    sim.PutCamera({8, "Gate", "127.0.0.6"});
    sim.PutCamera({4294967295u, "Yard", ""});
    sim.PutCamera({9, "Hall", "rtsp://hall.site/stream"});
    sim.AddSoftTrigger({50, "Tolvex Control", "TOLVEX_4294967313"});
    sim.AddSoftTrigger({60, "Door", "DOOR_1"});
    sim.AddSoftTrigger({61, "Tolvex Control", "TOLVEX_0"});
    sim.AddSoftTrigger({62, "Tolvex Control", "TOLVEXX"});
    sim.SetAssociation(8, "Gate set", {60});
    sim.AddEventLink(70, 50, "Mine");
    sim.AddEventLink(71, 60, "Door alarm");
    AddUnreachableCamera("127.0.0.5", 3);
    AddUnreachableCamera("127.0.0.6", 4);
    AddUnreachableCamera("127.0.0.7", 5);
    AddLineCamera("4294967295", 6);
    StartServer();
    StartLink();

    ASSERT_TRUE(WaitForLine("ZOAPI_Login succeeded on NVR 127.0.0.1 for user 'admin'"));
    ASSERT_TRUE(WaitFor([&] { return CountCalls("GetEventLink ") == 2; }));
    ASSERT_TRUE(WaitFor([&] { return sim.Snapshot().links.at(70).softTriggerId == 0; }));

    const uint32_t t17 = TriggerWithGuid("TOLVEX_17");
    const uint32_t t8 = TriggerWithGuid("TOLVEX_8");
    ASSERT_NE(0u, t17);
    ASSERT_NE(0u, t8);
    EXPECT_EQ(2, CountCalls("CreateSoftTrigger "));
    EXPECT_EQ(0u, TriggerWithGuid("TOLVEX_4294967295"));

    const zonvrsim::SimState state = sim.Snapshot();
    const zonvrsim::SimAssociation& created = state.associations.at(17);
    EXPECT_EQ("TOLVEX_17", created.name);
    EXPECT_EQ("Arial", created.fontName);
    EXPECT_EQ(17u, created.cameraId);
    EXPECT_EQ(std::vector<uint32_t>({4, 50, 0, 0x808080, 0, 1, 0, 8, 0xFFFF00, 70, 90, 90}),
              std::vector<uint32_t>({created.reserved16, created.reserved20, created.reserved22, created.colour,
                                     created.reserved28, created.update, created.reserved40, created.reserved44,
                                     created.highlightColour, created.reserved52, created.reserved56,
                                     created.reserved60}));
    ASSERT_EQ(1u, created.entries.size());
    EXPECT_EQ(OurEntry(1, t17), Fields(created.entries[0]));

    const zonvrsim::SimAssociation& extended = state.associations.at(8);
    EXPECT_EQ("Gate set", extended.name);
    ASSERT_EQ(2u, extended.entries.size());
    EXPECT_EQ(60u, extended.entries[0].field[3]);
    EXPECT_EQ(OurEntry(2, t8), Fields(extended.entries[1]));

    ASSERT_EQ(1u, state.associations.at(4294967295u).entries.size());
    EXPECT_EQ(OurEntry(1, 50), Fields(state.associations.at(4294967295u).entries[0]));
    // Each new entry is written after it is appended and once more at the end of its camera.
    EXPECT_EQ(6, CountCalls("UpdateAssociation "));
    EXPECT_EQ(1, CountCalls("GetAssociation camera=0"));

    EXPECT_EQ(60u, state.links.at(71).softTriggerId);
    EXPECT_EQ(1, CountLines("Removed user-assigned event link trying to use Tolvex soft trigger 50"));
    EXPECT_EQ(1, CountLines("Adding camera name 'Lobby' with address 127.0.0.5"));
    EXPECT_EQ(1, CountLines("Adding camera name 'Gate' with address 127.0.0.6"));
    EXPECT_EQ(1, CountLines("Adding analog camera name 'Yard' with address 4294967295"));
    EXPECT_EQ(t17, server->GetSoftTriggerId("127.0.0.5"));
    EXPECT_EQ(50u, server->GetSoftTriggerId("4294967295"));
    EXPECT_EQ(0u, server->GetCameraId("127.0.0.7"));

    // What the state dump shows of the link, read from here while the link's thread goes on:
    // the three cameras reported with an address or an id, and their three triggers.
    NVRConnection::Snapshot shown{};
    ASSERT_TRUE(WaitFor([&] {
        shown = link->TakeSnapshot();
        return shown.triggersHeld == 3;
    }));
    EXPECT_EQ(NVRConnection::kLoggedIn, shown.state);
    EXPECT_EQ(3u, shown.camerasMatched);
    EXPECT_FALSE(shown.lastLogin.is_not_a_date_time());

    // A change on the server starts another pass, which finds nothing to do.
    sim.PutCamera({99, "Spare", "rtsp://127.0.0.99/"});
    ASSERT_TRUE(WaitFor([&] { return CountCalls("GetEventLink ") == 4; }));
    EXPECT_EQ(2, CountCalls("CreateSoftTrigger "));
    EXPECT_EQ(6, CountCalls("UpdateAssociation "));
    EXPECT_EQ(0, CountCalls("UpdateEventLink id=71"));
    EXPECT_EQ(1, CountLines("Adding camera name 'Lobby' with address 127.0.0.5"));
}

TEST_F(ComponentNvrLink, TriggersHandOverWhileOperatorsSteerAndTheServerRenames)
{
    AddUser("bob", "b", 2);
    // Every name the camera gets has the same length, so each camera message has a known size.
    sim.PutCamera({17, "Lobby -", "rtsp://127.0.0.5:554/stream"});
    AddUnreachableCamera("127.0.0.5", 3);
    FakeCamera& steered = AddCamera("127.0.0.6", 4, 1);
    StartServer();
    ConnectCameras();
    StartLink();
    ASSERT_TRUE(WaitFor([&] { return sim.Snapshot().associations.count(17) == 1; }));
    const uint32_t trigger = TriggerWithGuid("TOLVEX_17");
    ASSERT_NE(0u, trigger);

    auto chooser = Connect();
    auto bob = Connect();
    ASSERT_EQ("OK", bob->Login("bob", "b"));

    // The server renames the camera over and over: every change is a pass on the link's
    // thread that writes the name the event loop reads for each hand-over.
    std::atomic<bool> stop{false};
    std::thread renamer([&] {
        for (int round = 0; !stop; ++round)
        {
            sim.RenameCamera(17, "Lobby " + std::to_string(round % 10));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    const std::string frame = "\xFF\x04\x00\x02\x00\x00\x06";
    const std::string handedOver = "0CAMERA\t127.0.0.5\t3\tLobby ";
    for (int round = 0; round < 30; ++round)
    {
        bob->Write(frame);
        ASSERT_EQ(frame, steered.Receive(frame.size())) << "round " << round;
        chooser->Write("CHOOSE");
        ASSERT_TRUE(sim.FireSoftTrigger(trigger, 1));
        ASSERT_EQ(handedOver, chooser->ReceiveLike(handedOver)) << "round " << round;
        ASSERT_EQ(1u, chooser->Receive(1).size());
    }
    stop = true;
    renamer.join();

    // One hand-over per choice, and nothing else for the chooser.
    EXPECT_EQ("FAILURE", chooser->Login("nobody", ""));
}
