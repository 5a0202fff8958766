// The server's own duties: where it listens, session numbers and the registry, the user check
// and the camera lookups that the recording-server link relies on.

#include <boost/system/system_error.hpp>

#include "ControlFixture.h"

using ComponentControlServer = ControlFixture;

TEST_F(ComponentControlServer, ListensOnNumericAddressesOnlyAndOnTheLowSixteenBitsOfThePort)
{
    EXPECT_THROW(ControlServer(ioService, "localhost", 0, cameraMap, userMap), boost::system::system_error);
    try
    {
        ControlServer refused(ioService, "127.0.0.1.5", 0, cameraMap, userMap);
        ADD_FAILURE() << "a malformed address was accepted";
    }
    catch (const boost::system::system_error& error)
    {
        EXPECT_STRNE("", error.what());
    }

    // A port above 65535 listens on its low 16 bits; a port that is taken is an error.
    FakeCamera placeholder("127.0.0.1");
    const uint16_t taken = placeholder.Port();
    EXPECT_THROW(ControlServer(ioService, "127.0.0.1", taken, cameraMap, userMap), boost::system::system_error);

    StartServer();
    const uint16_t port = Port();
    StopLoop();
    server.reset();
    ioService.reset();
    server = std::make_unique<ControlServer>(ioService, "127.0.0.1", 65536u + port, cameraMap, userMap);
    EXPECT_EQ(port, server->Port());
    loop = std::thread([this] { ioService.run(); });
    Connect();
}

TEST_F(ComponentControlServer, SessionsAreNumberedBySourcePortAndTheLaterOfTwoOwnsTheNumber)
{
    AddCamera("127.0.0.1", 3, 5);
    StartServer();
    auto first = Connect();
    auto second = Connect();
    EXPECT_NE(first->LocalPort(), second->LocalPort());
    EXPECT_EQ(2u, server->SessionCount());

    // Two clients on two loopback addresses with one source port share a number.
    uint16_t sharedPort = 0;
    {
        FakeCamera portFinder("127.0.0.2");
        sharedPort = portFinder.Port();
    }
    auto earlier = Connect("127.0.0.2", sharedPort);
    auto later = Connect("127.0.0.3", sharedPort);
    ASSERT_EQ(sharedPort, earlier->LocalPort());
    ASSERT_EQ(sharedPort, later->LocalPort());
    EXPECT_EQ(3u, server->SessionCount());

    // When the earlier one ends, the later one keeps the entry and its messages.
    earlier->Close();
    Settle();
    EXPECT_EQ(3u, server->SessionCount());
    later->Write("CHOOSE");
    server->SendCamera("127.0.0.1", 0, false);
    EXPECT_EQ("0CAMERA\t127.0.0.1\t3", later->ReceiveLike("0CAMERA\t127.0.0.1\t3"));

    // The owner of the entry ending removes it; ordinary clients leave theirs without a log line.
    later->Close();
    first->Close();
    EXPECT_TRUE(WaitFor([&] { return server->SessionCount() == 1; }));
    for (const auto& line : LogLines())
        EXPECT_EQ(std::string::npos, line.find("session")) << line;
}

TEST_F(ComponentControlServer, UserCheckAndCameraLookups)
{
    AddUser("alice", "secret", 1);
    AddUser("open", "", -3);
    AddCamera("127.0.0.1", 3, 5);
    AddCamera("127.0.0.2", 0, 5);
    StartServer();

    EXPECT_TRUE(server->CheckUser("alice", "secret"));
    EXPECT_FALSE(server->CheckUser("alice", "secret\n"));
    EXPECT_FALSE(server->CheckUser("alice", "secre"));
    EXPECT_FALSE(server->CheckUser("Alice", "secret"));
    EXPECT_FALSE(server->CheckUser("", ""));
    EXPECT_TRUE(server->CheckUser("open", ""));
    EXPECT_TRUE(server->CheckUser("open", "anything at all"));
    EXPECT_EQ(-3, server->LookUpUser("open").Priority);

    EXPECT_EQ("127.0.0.1", server->FindCameraByPelco(3));
    EXPECT_EQ("127.0.0.2", server->FindCameraByPelco(0));
    EXPECT_EQ("", server->FindCameraByPelco(200));
    // A camera the server was never given is still found by its number.
    AddUnreachableCamera("127.0.0.3", 9);
    EXPECT_EQ("127.0.0.3", server->FindCameraByPelco(9));

    // The recording-server link's operations: unknown addresses change nothing and differ from nothing.
    EXPECT_TRUE(server->CameraIdDiffers("127.0.0.1", 7));
    server->SetCameraId("127.0.0.1", 7);
    EXPECT_FALSE(server->CameraIdDiffers("127.0.0.1", 7));
    EXPECT_EQ(7u, server->GetCameraId("127.0.0.1"));
    EXPECT_EQ(0u, server->GetCameraId("127.0.0.2"));
    server->SetCameraId("10.9.9.9", 8);
    EXPECT_FALSE(server->CameraIdDiffers("10.9.9.9", 8));
    EXPECT_EQ(0u, server->GetCameraId("10.9.9.9"));

    EXPECT_TRUE(server->CameraNameDiffers("127.0.0.2", "Gate"));
    server->SetCameraName("127.0.0.2", "Gate");
    EXPECT_FALSE(server->CameraNameDiffers("127.0.0.2", "Gate"));
    EXPECT_TRUE(server->CameraNameDiffers("127.0.0.2", "gate"));
    EXPECT_FALSE(server->CameraNameDiffers("10.9.9.9", "Gate"));

    server->SetSoftTriggerId("127.0.0.2", 41);
    EXPECT_EQ(41u, server->GetSoftTriggerId("127.0.0.2"));
    EXPECT_EQ(0u, server->GetSoftTriggerId("127.0.0.1"));
    EXPECT_EQ(0u, server->GetSoftTriggerId("10.9.9.9"));

    // The name shows in the camera message from then on.
    auto client = Connect();
    client->Write("CHOOSE");
    server->SendCamera("127.0.0.2", 9, false);
    EXPECT_EQ("0CAMERA\t127.0.0.2\t0\tGate", client->ReceiveLike("0CAMERA\t127.0.0.2\t0\tGate"));
}

TEST_F(ComponentControlServer, ASessionWhoseNumberWasTakenOverStillSteersTheCameraItAddresses)
{
    AddCamera("127.0.0.1", 3, 5);
    FakeCamera& camera = AddCamera("127.0.0.2", 4, 5);
    StartServer();
    ASSERT_NO_FATAL_FAILURE(ConnectCameras());

    uint16_t sharedPort = 0;
    {
        FakeCamera portFinder("127.0.0.2");
        sharedPort = portFinder.Port();
    }
    auto earlier = Connect("127.0.0.2", sharedPort);
    auto later = Connect("127.0.0.3", sharedPort);
    ASSERT_EQ(sharedPort, later->LocalPort());
    later->Write(std::string("\xFF\x03", 2));
    ASSERT_EQ("1CAMERA\t127.0.0.1\t3", later->ReceiveLike("1CAMERA\t127.0.0.1\t3"));
    ASSERT_EQ("#0000F0 You have control", later->ReceiveLike("#0000F0 You have control"));

    // The earlier session is out of the registry, yet its own command still shows it the
    // camera it addressed and reaches that camera; the later session is not told of it.
    const std::string frame("\xFF\x04\x00\x04\x00\x00\x08", 7);
    earlier->Write(frame);
    EXPECT_EQ("1CAMERA\t127.0.0.2\t4", earlier->ReceiveLike("1CAMERA\t127.0.0.2\t4"));
    EXPECT_EQ(frame, camera.Receive(frame.size()));
    EXPECT_EQ("FAILURE", later->Login("nobody", ""));
}
