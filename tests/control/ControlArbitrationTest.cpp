// Who steers which camera: the control rule by priority and hold, the lock time, the messages
// every viewer gets, and the pending camera choice of CHOOSE and CANCEL.

#include "ControlFixture.h"

using ComponentControlArbitration = ControlFixture;

namespace
{
const std::string kCamera3 = "1CAMERA\t127.0.0.1\t3";
const std::string kYouHaveControl = "#0000F0 You have control";
const std::string kLapsed = "#0000F0 ";

/// A Pelco frame for camera 3 whose last byte tells the senders apart.
std::string Frame(char tag)
{
    return std::string("\xFF\x03\x00\x04\x00\x00", 6) + tag;
}
} // namespace

TEST_F(ComponentControlArbitration, HigherPriorityTakesOverEqualWaitsForTheLockAndViewersAreTold)
{
    AddUser("alice", "a", 1);
    AddUser("bob", "b", 1);
    AddUser("carol", "c", 2);
    FakeCamera& camera = AddCamera("127.0.0.1", 3, 1);
    StartServer();
    ASSERT_NO_FATAL_FAILURE(ConnectCameras());
    auto alice = Connect();
    auto bob = Connect();
    auto carol = Connect();
    ASSERT_EQ("OK", alice->Login("alice", "a"));
    ASSERT_EQ("OK", bob->Login("bob", "b"));
    ASSERT_EQ("OK", carol->Login("carol", "c"));

    // A free camera takes the command; two frames in one read go out together, unchanged.
    const std::string both = Frame('a') + std::string("\xFF\x03\x00\x00\x00\x00\x03", 7);
    alice->Write(both);
    EXPECT_EQ(kCamera3, alice->ReceiveLike(kCamera3));
    EXPECT_EQ(kYouHaveControl, alice->ReceiveLike(kYouHaveControl));
    EXPECT_EQ(both, camera.Receive(both.size()));

    // Equal priority is refused, yet bob now looks at the camera.
    bob->Write(Frame('b'));
    EXPECT_EQ(kCamera3, bob->ReceiveLike(kCamera3));
    alice->Write(Frame('a'));
    EXPECT_EQ(Frame('a'), camera.Receive(7)) << "bob's frame reached the camera";
    EXPECT_EQ(kYouHaveControl, alice->ReceiveLike(kYouHaveControl));
    EXPECT_EQ("#F00000 alice has control", bob->ReceiveLike("#F00000 alice has control"));

    // Higher priority takes over at once, during alice's lock; alice is refused from then on.
    carol->Write(Frame('c'));
    EXPECT_EQ(kCamera3, carol->ReceiveLike(kCamera3));
    EXPECT_EQ(kYouHaveControl, carol->ReceiveLike(kYouHaveControl));
    EXPECT_EQ(Frame('c'), camera.Receive(7));
    EXPECT_EQ("#F00000 carol has control", alice->ReceiveLike("#F00000 carol has control"));
    EXPECT_EQ("#F00000 carol has control", bob->ReceiveLike("#F00000 carol has control"));
    alice->Write(Frame('a'));
    EXPECT_EQ("FAILURE", alice->Login("nobody", "")) << "a refused command is answered by nobody";
    carol->Write(Frame('C'));
    EXPECT_EQ(Frame('C'), camera.Receive(7)) << "alice's frame reached the camera";
    EXPECT_EQ(kYouHaveControl, carol->ReceiveLike(kYouHaveControl));
    EXPECT_EQ("#F00000 carol has control", alice->ReceiveLike("#F00000 carol has control"));
    EXPECT_EQ("#F00000 carol has control", bob->ReceiveLike("#F00000 carol has control"));

    // The lock runs out: everyone looking is told, and the camera is free for bob.
    for (auto* client : {alice.get(), bob.get(), carol.get()})
        EXPECT_EQ(kLapsed, client->Receive(8, std::chrono::milliseconds(5000)));
    bob->Write(Frame('b'));
    EXPECT_EQ(Frame('b'), camera.Receive(7));
    EXPECT_EQ(kYouHaveControl, bob->ReceiveLike(kYouHaveControl));
    EXPECT_EQ("#F00000 bob has control", alice->ReceiveLike("#F00000 bob has control"));
    EXPECT_EQ("#F00000 bob has control", carol->ReceiveLike("#F00000 bob has control"));
}

TEST_F(ComponentControlArbitration, AnonymousSessionsSteerAtPriorityZeroAndLockTimeZeroFreesAtOnce)
{
    AddUser("alice", "a", 1);
    FakeCamera& camera = AddCamera("127.0.0.1", 3, 0);
    StartServer();
    ASSERT_NO_FATAL_FAILURE(ConnectCameras());
    auto anonymous = Connect();
    auto alice = Connect();
    ASSERT_EQ("OK", alice->Login("alice", "a"));

    anonymous->Write(Frame('n'));
    EXPECT_EQ(kCamera3, anonymous->ReceiveLike(kCamera3));
    EXPECT_EQ(kYouHaveControl + kLapsed, anonymous->ReceiveLike(kYouHaveControl + kLapsed));
    EXPECT_EQ(Frame('n'), camera.Receive(7));

    alice->Write(Frame('a'));
    EXPECT_EQ(kCamera3 + kYouHaveControl + kLapsed, alice->ReceiveLike(kCamera3 + kYouHaveControl + kLapsed));
    EXPECT_EQ("#F00000 alice has control" + kLapsed, anonymous->ReceiveLike("#F00000 alice has control" + kLapsed));
    anonymous->Write(Frame('n'));
    EXPECT_EQ(kYouHaveControl + kLapsed, anonymous->ReceiveLike(kYouHaveControl + kLapsed));
    // Nobody logged in: an empty name, two blanks in a row.
    EXPECT_EQ("#F00000  has control" + kLapsed, alice->ReceiveLike("#F00000  has control" + kLapsed));
    EXPECT_EQ(Frame('a') + Frame('n'), camera.Receive(14));
}

TEST_F(ComponentControlArbitration, AHolderThatHasGoneIsNamedEmptyAndItsHoldStands)
{
    AddUser("alice", "a", 1);
    AddUser("bob", "b", 1);
    FakeCamera& camera = AddCamera("127.0.0.1", 3, 5);
    StartServer();
    ASSERT_NO_FATAL_FAILURE(ConnectCameras());
    auto alice = Connect();
    auto bob = Connect();
    ASSERT_EQ("OK", alice->Login("alice", "a"));
    ASSERT_EQ("OK", bob->Login("bob", "b"));
    alice->Write(Frame('a'));
    EXPECT_EQ(kCamera3 + kYouHaveControl, alice->ReceiveLike(kCamera3 + kYouHaveControl));
    EXPECT_EQ(Frame('a'), camera.Receive(7));
    const uint16_t holder = alice->LocalPort();
    alice->Close();
    EXPECT_TRUE(WaitFor([&] { return server->SessionCount() == 1; }));

    // bob (equal priority) stays refused while the gone holder's lock runs.
    bob->Write(Frame('b'));
    EXPECT_EQ(kCamera3, bob->ReceiveLike(kCamera3));
    EXPECT_EQ("FAILURE", bob->Login("nobody", ""));
    // A write of the gone holder completing now names nobody.
    server->NotifyControl("127.0.0.1", holder);
    EXPECT_EQ("#F00000  has control", bob->ReceiveLike("#F00000  has control"));
    server->ClearControl("127.0.0.1");
    EXPECT_EQ(kLapsed, bob->Receive(8));
}

TEST_F(ComponentControlArbitration, ChooseAndCancelManageOnePendingChoice)
{
    // Cameras that take no command keep control messages out of this story.
    AddUnreachableCamera("127.0.0.1", 3);
    AddUnreachableCamera("127.0.0.2", 4);
    StartServer();
    auto a = Connect();
    auto b = Connect();
    const std::string chosen = "0CAMERA\t127.0.0.2\t4";

    // Nobody choosing: nothing is sent to anyone.
    server->SendCamera("127.0.0.2", 0, false);

    // The first CHOOSE wins; the second is ignored; one event delivers one camera.
    a->Write("CHOOSE");
    b->Write("CHOOSE");
    server->SendCamera("127.0.0.2", 0, false);
    server->SendCamera("127.0.0.1", 0, false);
    EXPECT_EQ(chosen, a->ReceiveLike(chosen));
    EXPECT_EQ("FAILURE", a->Login("nobody", ""));
    EXPECT_EQ("FAILURE", b->Login("nobody", ""));

    // CANCEL by another session does nothing; by the chooser it withdraws the choice.
    a->Write("CHOOSE");
    b->Write("CANCEL");
    server->SendCamera("127.0.0.2", 0, false);
    EXPECT_EQ(chosen, a->ReceiveLike(chosen));
    a->Write("CHOOSE");
    a->Write("CANCEL");
    server->SendCamera("127.0.0.2", 0, false);
    EXPECT_EQ("FAILURE", a->Login("nobody", ""));

    // A Pelco command for a camera not selected drops another session's pending choice.
    a->Write("CHOOSE");
    b->Write(Frame('b'));
    EXPECT_EQ(kCamera3, b->ReceiveLike(kCamera3));
    server->SendCamera("127.0.0.2", 0, false);
    EXPECT_EQ("FAILURE", a->Login("nobody", ""));
    EXPECT_EQ("FAILURE", b->Login("nobody", ""));

    // A chooser that disconnects keeps the choice pending: CHOOSE is ignored and events
    // deliver nothing until a Pelco command takes the choice over.
    a->Write("CHOOSE");
    a->Close();
    EXPECT_TRUE(WaitFor([&] { return server->SessionCount() == 1; }));
    b->Write("CHOOSE");
    server->SendCamera("127.0.0.2", 0, false);
    EXPECT_EQ("FAILURE", b->Login("nobody", ""));
    b->Write(std::string("\xFF\x04", 2));
    EXPECT_EQ("1CAMERA\t127.0.0.2\t4", b->ReceiveLike("1CAMERA\t127.0.0.2\t4"));
    b->Write("CHOOSE");
    server->SendCamera("127.0.0.1", 0, false);
    EXPECT_EQ("0CAMERA\t127.0.0.1\t3", b->ReceiveLike("0CAMERA\t127.0.0.1\t3"));
}

TEST_F(ComponentControlArbitration, TheLockLapsesLockTimeAfterTheLastWrittenCommand)
{
    FakeCamera& camera = AddCamera("127.0.0.1", 3, 2);
    StartServer();
    ASSERT_NO_FATAL_FAILURE(ConnectCameras());
    auto client = Connect();
    client->Write(Frame('a'));
    EXPECT_EQ(kCamera3 + kYouHaveControl, client->ReceiveLike(kCamera3 + kYouHaveControl));

    // A second command a quarter into the lock moves its end: not at the first command's end,
    // nor a lock time after that, but the lock time after the second one (a second to spare).
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto second = std::chrono::steady_clock::now();
    client->Write(Frame('b'));
    EXPECT_EQ(kYouHaveControl, client->ReceiveLike(kYouHaveControl));
    EXPECT_EQ(Frame('a') + Frame('b'), camera.Receive(14));
    EXPECT_EQ(kLapsed, client->Receive(8, std::chrono::milliseconds(5000)));
    const auto lapsed = std::chrono::steady_clock::now() - second;
    EXPECT_GE(lapsed, std::chrono::seconds(2));
    EXPECT_LT(lapsed, std::chrono::seconds(3));
}
