// The operator's side of the wire: the session number, LOGIN with its parsing and log lines,
// CHOOSE and CANCEL, routing of Pelco frames by byte 1, and how a session ends.

#include "ControlFixture.h"

using ComponentControlSession = ControlFixture;

namespace
{
const std::string kCamera3 = "1CAMERA\t127.0.0.1\t3";
const std::string kCamera0 = "1CAMERA\t127.0.0.2\t0";
} // namespace

TEST_F(ComponentControlSession, LoginRepliesAndLogLines)
{
    AddUser("alice", "secret", 1);
    AddUser("bob", "pw", 2);
    AddUser("minus", "", -5);
    const std::string longPassword(1024 - 6 - 4 - 1, 'p');
    AddUser("long", longPassword, 9);
    AddCamera("127.0.0.1", 3, 5);
    StartServer();

    auto client = Connect();
    auto viewer = Connect();
    EXPECT_EQ("OK", client->Login("alice", "secret"));
    EXPECT_TRUE(WaitForLine("Login from 127.0.0.1 by user alice with priority 1"));

    // The line end becomes part of the password; the bare keyword has an empty name.
    client->Write("LOGIN alice secret\r\n");
    EXPECT_EQ("FAILURE", client->Receive(7));
    client->Write("LOGIN");
    EXPECT_EQ("FAILURE", client->Receive(7));
    EXPECT_TRUE(WaitForLine("Failed login from 127.0.0.1 by user "));
    EXPECT_EQ(1, CountLines("Failed login from 127.0.0.1 by user alice"));

    // Byte 5 is not looked at; the text ends at the first NUL.
    client->Write(std::string("LOGIN_bob pw\0garbage", 20));
    EXPECT_EQ("OK", client->Receive(2));
    // An empty password accepts anything, even no blank at all; the priority prints unsigned.
    client->Write("LOGIN minus");
    EXPECT_EQ("OK", client->Receive(2));
    EXPECT_TRUE(WaitForLine("Login from 127.0.0.1 by user minus with priority 4294967291"));
    // A full buffer without any NUL still ends at the count of bytes read.
    const std::string full = "LOGIN long " + longPassword;
    ASSERT_EQ(1024u, full.size());
    client->Write(full);
    EXPECT_EQ("OK", client->Receive(2));
    EXPECT_TRUE(WaitForLine("Login from 127.0.0.1 by user long with priority 9"));

    // A refused LOGIN keeps the last accepted user: the viewer is told that name.
    EXPECT_EQ("FAILURE", client->Login("bob", "wrong"));
    viewer->Write("CHOOSE");
    server->SendCamera("127.0.0.1", 0, false);
    EXPECT_EQ("0CAMERA\t127.0.0.1\t3", viewer->ReceiveLike("0CAMERA\t127.0.0.1\t3"));
    server->NotifyControl("127.0.0.1", client->LocalPort());
    EXPECT_EQ("#F00000 long has control", viewer->ReceiveLike("#F00000 long has control"));
}

TEST_F(ComponentControlSession, KeywordsAndFramesGetNoReplyOfTheirOwnAndFramesRouteByByteOne)
{
    AddUnreachableCamera("127.0.0.1", 3);
    AddUnreachableCamera("127.0.0.2", 0);
    StartServer();
    auto client = Connect();

    // CHOOSE and CANCEL (with anything after them) answer nothing: the next bytes are the
    // reply to a later LOGIN.
    client->Write("CHOOSE\r\n");
    client->Write("CANCEL");
    client->Write("CHOOS");
    EXPECT_EQ("FAILURE", client->Login("nobody", ""));

    // "CHOOS" was a frame for camera 'H' (72); byte 1 reads as unsigned.
    client->Write(std::string("\xFF\xC8\x01\x02", 4));
    EXPECT_EQ("FAILURE", client->Login("nobody", ""));
    EXPECT_EQ(1, CountLines("Unknown Pelco camera ID 72"));
    EXPECT_EQ(1, CountLines("Unknown Pelco camera ID 200"));

    // A one-byte message is camera 0; the camera message comes once per change of camera.
    client->Write("\xFF");
    EXPECT_EQ(kCamera0, client->ReceiveLike(kCamera0));
    client->Write("\xFF");
    client->Write(std::string("\xFF\x03", 2));
    EXPECT_EQ(kCamera3, client->ReceiveLike(kCamera3));
    client->Write(std::string("\xFF\x03", 2));
    EXPECT_EQ("FAILURE", client->Login("nobody", ""));
}

TEST_F(ComponentControlSession, SessionsEndSilentlyOnCloseAndLogWhenTheirWritesFail)
{
    AddCamera("127.0.0.1", 3, 5);
    StartServer();

    // A closed connection leaves no line.
    auto closing = Connect();
    closing->Close();
    EXPECT_TRUE(WaitFor([&] { return server->SessionCount() == 0; }));

    // The connection breaks while the reply to LOGIN is on its way: "Lost session".
    auto lost = Connect();
    lost->afterWrite = nullptr; // the loop is held on purpose
    auto release = HoldLoop();
    lost->Write("LOGIN x y");
    lost->Reset();
    release->set_value();
    EXPECT_TRUE(WaitForLine("Lost session with TolvexControl user  at 127.0.0.1"));
    EXPECT_TRUE(WaitFor([&] { return server->SessionCount() == 0; }));

    // The connection breaks while a message is on its way: "Error sending data", and the
    // session still ends through its read.
    auto broken = Connect();
    broken->afterWrite = nullptr;
    release = HoldLoop();
    broken->Write(std::string("\xFF\x03", 2));
    broken->Reset();
    release->set_value();
    EXPECT_TRUE(WaitFor([&] {
        for (const auto& line : LogLines())
        {
            if (line.rfind("Error sending data to client at 127.0.0.1: ", 0) == 0)
                return true;
        }
        return false;
    }));
    EXPECT_TRUE(WaitFor([&] { return server->SessionCount() == 0; }));
    EXPECT_EQ(1, CountLines("Lost session with TolvexControl user  at 127.0.0.1"));

    // The server goes on.
    auto next = Connect();
    EXPECT_EQ("FAILURE", next->Login("nobody", ""));
}

TEST_F(ComponentControlSession, AClientThatStopsReadingIsDroppedWhileOthersCarryOn)
{
    AddUser("alice", "", 1);
    AddCamera("127.0.0.1", 3, 5);
    StartServer();

    auto sleeper = Connect("127.0.0.1", 0, 4096);
    auto reader = Connect();
    EXPECT_EQ("OK", reader->Login("alice", ""));
    for (auto* client : {sleeper.get(), reader.get()})
    {
        client->Write("CHOOSE");
        server->SendCamera("127.0.0.1", 0, false);
        EXPECT_EQ("0CAMERA\t127.0.0.1\t3", client->ReceiveLike("0CAMERA\t127.0.0.1\t3"));
    }

    // The lapse message goes to both; the reader takes its copy each time, the sleeper never.
    const std::string dropped = "Dropping session with TolvexControl user  at 127.0.0.1: client is not reading";
    int rounds = 0;
    while (CountLines(dropped) == 0 && rounds < 2000000)
    {
        server->ClearControl("127.0.0.1");
        ASSERT_EQ("#0000F0 ", reader->Receive(8)) << "after " << rounds << " messages";
        ++rounds;
    }
    EXPECT_EQ(1, CountLines(dropped));
    EXPECT_GT(rounds, static_cast<int>(ControlSession::kMaxQueuedBytes / 8)) << "dropped before the bound";
    EXPECT_TRUE(sleeper->WaitClosed(std::chrono::milliseconds(20000)));
    EXPECT_EQ(1u, server->SessionCount());

    server->ClearControl("127.0.0.1");
    EXPECT_EQ("#0000F0 ", reader->Receive(8));
    reader->Write("CHOOSE");
    server->SendCamera("127.0.0.1", 0, false);
    EXPECT_EQ("0CAMERA\t127.0.0.1\t3", reader->ReceiveLike("0CAMERA\t127.0.0.1\t3"));
}

TEST_F(ComponentControlSession, ClientsVanishingWithWritesPendingLeaveNothingDangling)
{
    AddCamera("127.0.0.1", 3, 5);
    StartServer();
    for (int round = 0; round < 5; ++round)
    {
        std::vector<std::unique_ptr<OperatorClient>> clients;
        for (int i = 0; i < 20; ++i)
        {
            clients.push_back(Connect("127.0.0.1", 0, 2048));
            clients.back()->Write(std::string("\xFF\x03", 2));
            ASSERT_EQ(kCamera3, clients.back()->ReceiveLike(kCamera3));
        }
        // Fill their queues, then let them go, some with a reset, while the queues drain.
        for (int burst = 0; burst < 2000; ++burst)
            server->NotifyControl("127.0.0.1", 1);
        for (std::size_t i = 0; i < clients.size(); ++i)
        {
            if (i % 2)
                clients[i]->Reset();
            else
                clients[i]->Close();
            server->NotifyControl("127.0.0.1", 1);
        }
        EXPECT_TRUE(WaitFor([&] { return server->SessionCount() == 0; }));
    }
    auto survivor = Connect();
    survivor->Write(std::string("\xFF\x03", 2));
    EXPECT_EQ(kCamera3, survivor->ReceiveLike(kCamera3));
}
