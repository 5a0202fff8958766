// The library against the simulator running in this process.
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "TestClient.h"
#include "nvr/zoapi.h"
#include "sim/NvrSimulator.h"

using zonvrsim::NvrSimulator;
using zonvrsim::SimCamera;
using zonvrsim::SimSoftTrigger;

namespace {

// A simulator with one user, an IP camera, an analog camera and a trigger on the IP camera.
std::unique_ptr<NvrSimulator> StartSimulator()
{
    auto sim = std::make_unique<NvrSimulator>();
    sim->AddUser("admin", "secret");
    sim->PutCamera(SimCamera{17, "Lobby", "rtsp://127.0.0.5:554/stream"});
    sim->PutCamera(SimCamera{7, "Yard", ""});
    sim->AddSoftTrigger(SimSoftTrigger{5, "Tolvex Control", "TOLVEX_17"});
    sim->SetAssociation(17, "TOLVEX_17", {5});
    sim->Start();
    return sim;
}

bool HasCall(const NvrSimulator& sim, const std::string& call)
{
    for (const auto& c : sim.Calls())
        if (c == call)
            return true;
    return false;
}

}  // namespace

TEST(ComponentZoapiLogin, GreetingThenAcceptedOrRefusedLogin)
{
    auto sim = StartSimulator();

    TestClient good;
    ASSERT_EQ(ZOAPI_Open(good.handle, "127.0.0.1", sim->Port()), 0);
    EXPECT_GE(ZOAPI_GetSocket(good.handle), 0);
    ASSERT_EQ(good.WaitForEvent(ZOAPI_EVENT_CONNECTED), 0) << "the greeting is the first event";
    ASSERT_EQ(ZOAPI_Login(good.handle, "admin", "secret"), 0);
    int result = good.WaitForEvent(ZOAPI_EVENT_LOGIN_RESULT);
    ASSERT_GE(result, 0);
    EXPECT_EQ(good.events[result].status, ZOAPI_LOGIN_OK);
    EXPECT_TRUE(good.events[result].data.empty());
    EXPECT_TRUE(HasCall(*sim, "Login user=admin"));

    TestClient wrongPassword;
    EXPECT_FALSE(wrongPassword.Connect(sim->Port(), "admin", "guess"));
    ASSERT_FALSE(wrongPassword.events.empty());
    EXPECT_EQ(wrongPassword.events.back().type, ZOAPI_EVENT_LOGIN_RESULT);
    EXPECT_EQ(wrongPassword.events.back().status, ZOAPI_LOGIN_REFUSED);
    // A refused session learns nothing about the server.
    EXPECT_EQ(ZOAPI_NumCameras(wrongPassword.handle), 0u);

    sim->SetRefuseLogins(true);
    TestClient refused;
    EXPECT_FALSE(refused.Connect(sim->Port(), "admin", "secret"));
    EXPECT_EQ(refused.events.back().status, ZOAPI_LOGIN_REFUSED);
    sim->SetRefuseLogins(false);
    TestClient again;
    EXPECT_TRUE(again.Connect(sim->Port(), "admin", "secret"));
}

TEST(ComponentZoapiEvents, DeliveredOnlyInsideSelectInOrderAndNeverDropped)
{
    auto sim = StartSimulator();
    TestClient client;
    ASSERT_TRUE(client.Connect(sim->Port(), "admin", "secret"));
    std::size_t before = client.events.size();

    // Events that reach the socket while a request waits for its reply are held for Select.
    const int kFired = 2000;
    for (int i = 0; i < kFired; ++i)
        ASSERT_TRUE(sim->FireSoftTrigger(5, i % 2 ? 0 : 1));
    EXPECT_EQ(ZOAPI_NumCameras(client.handle), 2u);
    char name[ZOAPI_TEXT_SIZE] = {};
    EXPECT_EQ(ZOAPI_GetCameraName(client.handle, 17, name, sizeof name), 0);
    EXPECT_EQ(client.events.size(), before);

    ASSERT_TRUE(WaitUntil([&] {
        client.Select(0);
        return client.events.size() >= before + kFired;
    })) << client.events.size() - before << " of " << kFired;
    EXPECT_EQ(client.eventsOutsideSelect, 0);
    for (int i = 0; i < kFired; ++i) {
        const ReceivedEvent& e = client.events[before + i];
        ASSERT_EQ(e.type, ZOAPI_EVENT_SOFT_TRIGGER_CHANGED);
        EXPECT_EQ(e.status, i % 2 ? 0 : 1) << i;
        EXPECT_EQ(TestClient::TriggerOf(e), 5u);
        ZOAPI_TRIGGER_EVENT data;
        std::memcpy(&data, e.data.data(), sizeof data);
        EXPECT_EQ(data.cameraId, 17u);
    }
}

TEST(ComponentZoapiDirectory, CamerasTriggersAndTextsWithinTheCallersBounds)
{
    auto sim = StartSimulator();
    std::string longName(300, 'n');
    sim->PutCamera(SimCamera{20, longName, "rtsp://127.0.0.9/" + std::string(400, 'p')});
    TestClient client;
    ASSERT_TRUE(client.Connect(sim->Port(), "admin", "secret"));

    ASSERT_EQ(ZOAPI_NumCameras(client.handle), 3u);
    EXPECT_EQ(ZOAPI_GetCameraId(client.handle, 0), 7u);
    EXPECT_EQ(ZOAPI_GetCameraId(client.handle, 1), 17u);
    EXPECT_EQ(ZOAPI_GetCameraId(client.handle, 2), 20u);
    EXPECT_EQ(ZOAPI_GetCameraId(client.handle, 3), 0u);

    char text[ZOAPI_TEXT_SIZE + 16];
    std::memset(text, 'x', sizeof text);
    ASSERT_EQ(ZOAPI_GetDeviceIP(client.handle, 17, text, ZOAPI_TEXT_SIZE), 0);
    EXPECT_STREQ(text, "rtsp://127.0.0.5:554/stream");
    ASSERT_EQ(ZOAPI_GetDeviceIP(client.handle, 7, text, ZOAPI_TEXT_SIZE), 0);
    EXPECT_STREQ(text, "") << "an analog camera has no device address";
    ASSERT_EQ(ZOAPI_GetCameraName(client.handle, 7, text, ZOAPI_TEXT_SIZE), 0);
    EXPECT_STREQ(text, "Yard");

    // Long texts are cut to the buffer, never past ZOAPI_TEXT_SIZE, and always terminated.
    std::memset(text, 'x', sizeof text);
    ASSERT_EQ(ZOAPI_GetCameraName(client.handle, 20, text, sizeof text), 0);
    EXPECT_EQ(std::strlen(text), ZOAPI_TEXT_SIZE - 1u);
    EXPECT_EQ(text[ZOAPI_TEXT_SIZE], 'x');
    std::memset(text, 'x', sizeof text);
    ASSERT_EQ(ZOAPI_GetDeviceIP(client.handle, 17, text, 5), 0);
    EXPECT_STREQ(text, "rtsp");
    EXPECT_EQ(text[5], 'x');
    EXPECT_NE(ZOAPI_GetCameraName(client.handle, 17, text, 0), 0);
    EXPECT_NE(ZOAPI_GetCameraName(client.handle, 17, nullptr, 256), 0);
    std::memset(text, 'x', sizeof text);
    EXPECT_NE(ZOAPI_GetCameraName(client.handle, 99, text, ZOAPI_TEXT_SIZE), 0);
    EXPECT_STREQ(text, "");

    ASSERT_EQ(ZOAPI_NumSoftTriggers(client.handle), 1u);
    EXPECT_EQ(ZOAPI_GetSoftTriggerId(client.handle, 0), 5u);
    ASSERT_EQ(ZOAPI_GetSoftTriggerGuid(client.handle, 5, text, ZOAPI_TEXT_SIZE), 0);
    EXPECT_STREQ(text, "TOLVEX_17");

    // A change on the server is announced; the next listing shows it.
    sim->RenameCamera(17, "Lobby East");
    ASSERT_GE(client.WaitForEvent(ZOAPI_EVENT_CONFIG_CHANGED), 0);
    ASSERT_EQ(ZOAPI_NumCameras(client.handle), 3u);
    ASSERT_EQ(ZOAPI_GetCameraName(client.handle, 17, text, ZOAPI_TEXT_SIZE), 0);
    EXPECT_STREQ(text, "Lobby East");
    sim->RemoveCamera(20);
    ASSERT_GE(client.WaitForEvent(ZOAPI_EVENT_CONFIG_CHANGED), 0);
    EXPECT_EQ(ZOAPI_NumCameras(client.handle), 2u);
    // A camera the last listing did not have is looked up on the server once.
    sim->PutCamera(SimCamera{30, "Gate", "10.1.2.3"});
    ASSERT_EQ(ZOAPI_GetCameraName(client.handle, 30, text, ZOAPI_TEXT_SIZE), 0);
    EXPECT_STREQ(text, "Gate");
}

TEST(ComponentZoapiRecords, AssociationRoundTripsFieldByField)
{
    auto sim = StartSimulator();
    TestClient client;
    ASSERT_TRUE(client.Connect(sim->Port(), "admin", "secret"));

    char name[ZOAPI_TEXT_SIZE] = "Gate association";
    char font[ZOAPI_TEXT_SIZE] = "Courier";
    ZOAPI_ASSOCIATION_ENTRY written[3];
    for (std::uint32_t i = 0; i < 3; ++i) {
        std::uint32_t* f = &written[i].size;
        for (std::uint32_t k = 0; k < 8; ++k)
            f[k] = 1000 * (i + 1) + k;
        written[i].size = sizeof(ZOAPI_ASSOCIATION_ENTRY);
    }
    ZOAPI_ASSOCIATION a{};
    a.size = sizeof a;
    a.name = name;
    a.nameLength = static_cast<std::uint32_t>(std::strlen(name) + 1);
    a.cameraId = 7;
    a.reserved16 = 16;
    a.reserved20 = 20;
    a.reserved22 = 22;
    a.colour = 0x123456;
    a.reserved28 = 28;
    a.update = 1;
    a.fontName = font;
    a.reserved40 = 40;
    a.reserved44 = 44;
    a.highlightColour = 0xABCDEF;
    a.reserved52 = 52;
    a.reserved56 = 56;
    a.reserved60 = 60;
    a.entries = written;
    a.entryCount = 3;
    ASSERT_EQ(ZOAPI_UpdateAssociation(client.handle, &a), 0);
    EXPECT_TRUE(HasCall(*sim, "UpdateAssociation camera=7 name=Gate association triggers=1003,2003,3003"));

    // First query as the daemon makes it: no entry array, to learn the name and the count.
    char gotName[ZOAPI_TEXT_SIZE];
    char gotFont[ZOAPI_TEXT_SIZE];
    ZOAPI_ASSOCIATION got{};
    got.size = sizeof got;
    got.name = gotName;
    got.fontName = gotFont;
    ASSERT_EQ(ZOAPI_GetAssociationForCamera(client.handle, 7, &got), 0);
    EXPECT_EQ(got.nameLength, std::strlen(name) + 1);
    EXPECT_STREQ(gotName, name);
    EXPECT_STREQ(gotFont, font);
    EXPECT_EQ(got.entryCount, 3u);
    EXPECT_EQ(got.cameraId, 7u);
    EXPECT_EQ(got.reserved16, 16u);
    EXPECT_EQ(got.reserved20, 20u);
    EXPECT_EQ(got.reserved22, 22u);
    EXPECT_EQ(got.colour, 0x123456u);
    EXPECT_EQ(got.reserved28, 28u);
    EXPECT_EQ(got.update, 1u);
    EXPECT_EQ(got.reserved40, 40u);
    EXPECT_EQ(got.reserved44, 44u);
    EXPECT_EQ(got.highlightColour, 0xABCDEFu);
    EXPECT_EQ(got.reserved52, 52u);
    EXPECT_EQ(got.reserved56, 56u);
    EXPECT_EQ(got.reserved60, 60u);

    // Second query fills the entries, and never more than the caller's count.
    ZOAPI_ASSOCIATION_ENTRY entries[4];
    std::memset(entries, 0xEE, sizeof entries);
    got.entries = entries;
    got.entryCount = 3;
    ASSERT_EQ(ZOAPI_GetAssociationForCamera(client.handle, 7, &got), 0);
    EXPECT_EQ(got.entryCount, 3u);
    EXPECT_EQ(std::memcmp(entries, written, sizeof written), 0);
    EXPECT_EQ(entries[3].size, 0xEEEEEEEEu);
    std::memset(entries, 0xEE, sizeof entries);
    got.entryCount = 1;
    ASSERT_EQ(ZOAPI_GetAssociationForCamera(client.handle, 7, &got), 0);
    EXPECT_EQ(got.entryCount, 1u);
    EXPECT_EQ(std::memcmp(&entries[0], &written[0], sizeof written[0]), 0);
    EXPECT_EQ(entries[1].size, 0xEEEEEEEEu);

    // A camera without an association answers with name length 0.
    ZOAPI_ASSOCIATION none{};
    none.size = sizeof none;
    none.name = gotName;
    ASSERT_EQ(ZOAPI_GetAssociationForCamera(client.handle, 99, &none), 0);
    EXPECT_EQ(none.nameLength, 0u);
    EXPECT_EQ(none.entryCount, 0u);

    // Records the library cannot trust are refused before anything is sent.
    sim->ClearCalls();
    ZOAPI_ASSOCIATION wrongSize = got;
    wrongSize.size = 72 + 1;
    EXPECT_LT(ZOAPI_GetAssociationForCamera(client.handle, 7, &wrongSize), 0);
    EXPECT_NE(ZOAPI_UpdateAssociation(client.handle, &wrongSize), 0);
    ZOAPI_ASSOCIATION noArray = a;
    noArray.entries = nullptr;
    EXPECT_NE(ZOAPI_UpdateAssociation(client.handle, &noArray), 0);
    EXPECT_TRUE(sim->Calls().empty());

    sim->SetRefuseAssociationUpdate(42);
    EXPECT_EQ(ZOAPI_UpdateAssociation(client.handle, &a), 42);
}

TEST(ComponentZoapiRecords, EventLinksAndTriggerCreation)
{
    auto sim = StartSimulator();
    sim->AddSoftTrigger(SimSoftTrigger{6, "Door", "DOOR_1"});
    sim->AddEventLink(3, 5, "Door alarm");
    sim->AddEventLink(4, 6, "Other");
    TestClient client;
    TestClient watcher;
    ASSERT_TRUE(client.Connect(sim->Port(), "admin", "secret"));
    ASSERT_TRUE(watcher.Connect(sim->Port(), "admin", "secret"));

    ASSERT_EQ(ZOAPI_NumEventLinks(client.handle), 2u);
    EXPECT_EQ(ZOAPI_GetEventLinkId(client.handle, 0), 3u);
    EXPECT_EQ(ZOAPI_GetEventLinkId(client.handle, 2), 0u);
    ZOAPI_EVENT_LINK link{};
    link.size = sizeof link;
    link.id = 3;
    ASSERT_EQ(ZOAPI_GetEventLinkInfo(client.handle, &link), 0);
    EXPECT_EQ(link.softTriggerId, 5u);
    EXPECT_NE(link.triggerInUse, 0u);
    EXPECT_STREQ(link.name, "Door alarm");

    // Writing 0 at offset 28 takes the link off its trigger; other links stay as they are.
    link.triggerInUse = 0;
    ASSERT_EQ(ZOAPI_UpdateEventLink(client.handle, &link), 0);
    ZOAPI_EVENT_LINK again{};
    again.size = sizeof again;
    again.id = 3;
    ASSERT_EQ(ZOAPI_GetEventLinkInfo(client.handle, &again), 0);
    EXPECT_EQ(again.softTriggerId, 0u);
    EXPECT_EQ(again.triggerInUse, 0u);
    EXPECT_EQ(sim->Snapshot().links.at(4).softTriggerId, 6u);
    EXPECT_TRUE(HasCall(*sim, "UpdateEventLink id=3 triggerInUse=0 softTriggerId=5"));

    ZOAPI_EVENT_LINK unknown{};
    unknown.size = sizeof unknown;
    unknown.id = 77;
    EXPECT_LT(ZOAPI_GetEventLinkInfo(client.handle, &unknown), 0);
    ZOAPI_EVENT_LINK wrongSize = again;
    wrongSize.size = 200;
    EXPECT_LT(ZOAPI_GetEventLinkInfo(client.handle, &wrongSize), 0);
    EXPECT_NE(ZOAPI_UpdateEventLink(client.handle, &wrongSize), 0);

    // A created trigger is acknowledged with event 39, byte 9 set, and shows up in the list.
    ASSERT_EQ(ZOAPI_CreateSoftTriggerWithGuid(client.handle, "Tolvex Control", "TOLVEX_7"), 0);
    int created = client.WaitForEvent(ZOAPI_EVENT_SOFT_TRIGGER_CREATED);
    ASSERT_GE(created, 0);
    ASSERT_GE(client.events[created].data.size(), 10u);
    EXPECT_EQ(client.events[created].data[9], 1);
    ZOAPI_TRIGGER_CREATED_EVENT data;
    std::memcpy(&data, client.events[created].data.data(), sizeof data);
    char guid[ZOAPI_TEXT_SIZE];
    ASSERT_EQ(ZOAPI_NumSoftTriggers(client.handle), 3u);
    ASSERT_EQ(ZOAPI_GetSoftTriggerGuid(client.handle, data.softTriggerId, guid, sizeof guid), 0);
    EXPECT_STREQ(guid, "TOLVEX_7");
    EXPECT_TRUE(HasCall(*sim, "CreateSoftTrigger name=Tolvex Control guid=TOLVEX_7"));
    // Other clients hear of the change.
    EXPECT_GE(watcher.WaitForEvent(ZOAPI_EVENT_CONFIG_CHANGED), 0);

    // A refused creation returns the server's error number and is not acknowledged: the marker
    // trigger event fired after it is the next thing the client receives.
    sim->SetRefuseTriggerCreation(17);
    EXPECT_EQ(ZOAPI_CreateSoftTriggerWithGuid(client.handle, "Tolvex Control", "TOLVEX_8"), 17);
    std::size_t mark = client.events.size();
    ASSERT_TRUE(sim->FireSoftTrigger(6, 1));
    int marker = client.WaitForEvent(ZOAPI_EVENT_SOFT_TRIGGER_CHANGED);
    ASSERT_GE(marker, 0);
    for (std::size_t i = mark; i < static_cast<std::size_t>(marker); ++i)
        EXPECT_NE(client.events[i].type, ZOAPI_EVENT_SOFT_TRIGGER_CREATED);
    EXPECT_EQ(ZOAPI_NumSoftTriggers(client.handle), 3u);
}

TEST(ComponentZoapiLoss, DroppedConnectionSeenBySocketSelectAndEveryCall)
{
    auto sim = StartSimulator();
    TestClient client;
    ASSERT_TRUE(client.Connect(sim->Port(), "admin", "secret"));
    ASSERT_TRUE(WaitUntil([&] { return sim->ClientCount() == 1; }));
    sim->DropClients();
    ASSERT_TRUE(client.WaitForSelectFailure());
    EXPECT_EQ(ZOAPI_GetSocket(client.handle), -1);

    // Every call fails at once and leaves the caller's buffers terminated.
    char text[ZOAPI_TEXT_SIZE];
    std::memset(text, 'x', sizeof text);
    EXPECT_LT(ZOAPI_Select(client.handle, 100), 0);
    EXPECT_EQ(ZOAPI_NumCameras(client.handle), 0u);
    EXPECT_EQ(ZOAPI_GetCameraId(client.handle, 0), 0u);
    EXPECT_NE(ZOAPI_GetCameraName(client.handle, 17, text, sizeof text), 0);
    EXPECT_STREQ(text, "");
    EXPECT_NE(ZOAPI_Login(client.handle, "admin", "secret"), 0);
    EXPECT_NE(ZOAPI_CreateSoftTriggerWithGuid(client.handle, "Tolvex Control", "TOLVEX_7"), 0);
    ZOAPI_ASSOCIATION a{};
    a.size = sizeof a;
    EXPECT_LT(ZOAPI_GetAssociationForCamera(client.handle, 17, &a), 0);
    EXPECT_NE(ZOAPI_UpdateAssociation(client.handle, &a), 0);
    EXPECT_NE(ZOAPI_Discover(client.handle), 0);

    // The same handle connects again, as the daemon's reconnect loop does.
    EXPECT_TRUE(client.Connect(sim->Port(), "admin", "secret"));
    EXPECT_EQ(ZOAPI_NumCameras(client.handle), 2u);
}

TEST(ComponentZoapiLoss, HungServerFailsSelectAndRequestsAfterTheSilenceLimit)
{
    auto sim = StartSimulator();
    TestClient waiting;
    TestClient asking;
    ASSERT_TRUE(waiting.Connect(sim->Port(), "admin", "secret"));
    ASSERT_TRUE(asking.Connect(sim->Port(), "admin", "secret"));
    ASSERT_EQ(ZOAPI_SetTimeout(waiting.handle, 1), 0);
    ASSERT_EQ(ZOAPI_SetTimeout(asking.handle, 1), 0);
    EXPECT_NE(ZOAPI_SetTimeout(asking.handle, 0), 0);
    sim->SetHang(true);

    EXPECT_TRUE(waiting.WaitForSelectFailure());
    EXPECT_EQ(ZOAPI_GetSocket(waiting.handle), -1);
    EXPECT_EQ(ZOAPI_NumCameras(asking.handle), 0u);
    EXPECT_EQ(ZOAPI_GetSocket(asking.handle), -1);

    // A connection opened while the server hangs never gets its greeting and fails the same way.
    TestClient late;
    ASSERT_EQ(ZOAPI_SetTimeout(late.handle, 1), 0);
    ASSERT_EQ(ZOAPI_Open(late.handle, "127.0.0.1", sim->Port()), 0);
    EXPECT_TRUE(late.WaitForSelectFailure());
    EXPECT_TRUE(late.events.empty());

    sim->SetHang(false);
    TestClient after;
    EXPECT_TRUE(after.Connect(sim->Port(), "admin", "secret"));
}

TEST(ComponentZoapiLoss, DelayedAcknowledgementsWithinTheLimitStillArrive)
{
    auto sim = StartSimulator();
    TestClient client;
    ASSERT_TRUE(client.Connect(sim->Port(), "admin", "secret"));
    ASSERT_EQ(ZOAPI_SetTimeout(client.handle, 5), 0);
    sim->SetAckDelay(300);
    EXPECT_EQ(ZOAPI_NumCameras(client.handle), 2u);
    ASSERT_EQ(ZOAPI_CreateSoftTriggerWithGuid(client.handle, "Tolvex Control", "TOLVEX_7"), 0);
    EXPECT_GE(client.WaitForEvent(ZOAPI_EVENT_SOFT_TRIGGER_CREATED), 0);
    EXPECT_GE(ZOAPI_GetSocket(client.handle), 0);
}

TEST(UnitZoapiHandle, UnopenedAndFailedHandlesFailCleanly)
{
    EXPECT_LT(ZOAPI_Select(nullptr, 20), 0);
    EXPECT_EQ(ZOAPI_GetSocket(nullptr), -1);
    EXPECT_EQ(ZOAPI_NumCameras(nullptr), 0u);

    TestClient never;
    EXPECT_EQ(ZOAPI_GetSocket(never.handle), -1);
    EXPECT_LT(ZOAPI_Select(never.handle, 20), 0);
    EXPECT_EQ(ZOAPI_NumSoftTriggers(never.handle), 0u);
    EXPECT_NE(ZOAPI_Login(never.handle, "admin", "secret"), 0);
    char text[ZOAPI_TEXT_SIZE] = "stale";
    EXPECT_NE(ZOAPI_GetSoftTriggerGuid(never.handle, 5, text, sizeof text), 0);
    EXPECT_STREQ(text, "");

    // A port nobody listens on: bind one, learn its number, and close it again.
    unsigned short closedPort;
    {
        NvrSimulator probe;
        probe.Start();
        closedPort = probe.Port();
    }
    TestClient failed;
    EXPECT_NE(ZOAPI_Open(failed.handle, "127.0.0.1", closedPort), 0);
    EXPECT_EQ(ZOAPI_GetSocket(failed.handle), -1);
    EXPECT_LT(ZOAPI_Select(failed.handle, 20), 0);
    EXPECT_NE(ZOAPI_Open(failed.handle, nullptr, 1), 0);
    EXPECT_EQ(ZOAPI_GetSocket(failed.handle), -1);
}

TEST(ComponentZoapiThreads, HandlesOnSeveralThreadsAtOnce)
{
    auto sim = StartSimulator();
    for (std::uint32_t id = 100; id < 600; ++id)
        sim->PutCamera(SimCamera{id, "Camera " + std::to_string(id), "10.0.0." + std::to_string(id % 250)});
    const int kThreads = 8;
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            TestClient client;
            int& failed = failures[t];
            if (!client.Connect(sim->Port(), "admin", "secret")) {
                failed = 1000;
                return;
            }
            for (int round = 0; round < 5; ++round) {
                if (ZOAPI_NumCameras(client.handle) != 502u)
                    ++failed;
                char name[ZOAPI_TEXT_SIZE];
                if (ZOAPI_GetCameraName(client.handle, 100 + t, name, sizeof name) != 0 ||
                    std::string(name) != "Camera " + std::to_string(100 + t))
                    ++failed;
            }
            std::string guid = "TOLVEX_" + std::to_string(100 + t);
            if (ZOAPI_CreateSoftTriggerWithGuid(client.handle, "Tolvex Control", guid.c_str()) != 0 ||
                client.WaitForEvent(ZOAPI_EVENT_SOFT_TRIGGER_CREATED) < 0)
                ++failed;
            // Trigger 5 is fired by the main thread until every client has seen it.
            if (client.WaitForEvent(ZOAPI_EVENT_SOFT_TRIGGER_CHANGED) < 0)
                ++failed;
            if (client.eventsOutsideSelect != 0)
                ++failed;
        });
    }
    ASSERT_TRUE(WaitUntil([&] {
        sim->FireSoftTrigger(5, 1);
        return sim->Snapshot().triggers.size() == 1u + kThreads;
    }));
    for (int i = 0; i < 20; ++i)
        sim->FireSoftTrigger(5, 1);
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(failures[t], 0) << "thread " << t;
}
