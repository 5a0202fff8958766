// Operators steering track cameras through the real daemon: the test is the TolvexControl
// clients, the network camera the daemon dials and the pseudo-terminal it writes to.

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ControlDaemon.h"

namespace
{

/// The master side of a pseudo-terminal that the daemon uses as a camera's serial line.
class PseudoTerminal
{
public:
    PseudoTerminal()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
            path = ptsname(master);
    }
    ~PseudoTerminal()
    {
        if (master >= 0)
            close(master);
    }
    /// The next count bytes written to the line, fewer on timeout.
    std::string Receive(std::size_t count)
    {
        FillTo(master, received, count, std::chrono::steady_clock::now() + std::chrono::seconds(10));
        const std::string taken = received.substr(0, count);
        received.erase(0, taken.size());
        return taken;
    }
    /// The master descriptor.
    int master = -1;
    /// The slave's path: the camera's Port.
    std::string path;
    /// Bytes read but not yet taken.
    std::string received;
};

} // namespace

TEST(SystemControlSteering, OperatorsSteerANetworkAndASerialCameraAndAreToldWhoHoldsThem)
{
    FakeCamera network("127.0.0.1");
    PseudoTerminal serial;
    ASSERT_FALSE(serial.path.empty());
    ControlDaemon control(User("alice", "a", 1) + User("bob", "b", 1) + User("carol", "c", 2),
                          "<Camera Address=\"127.0.0.1\" Port=\"" + std::to_string(network.Port()) +
                              "\" PelcoNumber=\"1\"/><Camera Address=\"analog-2\" Port=\"" + serial.path +
                              "\" PelcoNumber=\"2\"/>");
    ASSERT_TRUE(control.started);
    ASSERT_TRUE(network.Accept());
    ASSERT_TRUE(control.daemon.WaitForLine("Connecting to analog track camera on serial port " + serial.path));

    auto alice = control.Connect();
    auto bob = control.Connect();
    auto carol = control.Connect();
    ASSERT_EQ("OK", alice->Login("alice", "a"));
    ASSERT_EQ("OK", bob->Login("bob", "b"));
    ASSERT_EQ("OK", carol->Login("carol", "c"));

    struct Target
    {
        uint8_t number;
        std::string message;
        std::function<std::string(std::size_t)> receive;
    };
    const std::vector<Target> targets = {
        {1, "1CAMERA\t127.0.0.1\t1", [&](std::size_t count) { return network.Receive(count); }},
        {2, "1CAMERA\tanalog-2\t2", [&](std::size_t count) { return serial.Receive(count); }},
    };
    for (const Target& target : targets)
    {
        SCOPED_TRACE(target.message);
        // Bytes arrive unchanged, NUL and 0xFF included; the sender sees the camera, then control.
        const std::string both = Frame(target.number, 'a') + std::string("\xFF\x00\xFF", 3);
        alice->Write(both);
        EXPECT_EQ(target.message + kYouHaveControl, alice->ReceiveLike(target.message + kYouHaveControl));
        EXPECT_EQ(both, target.receive(both.size()));

        // Equal priority is refused during the lock but now looks at the camera.
        bob->Write(Frame(target.number, 'b'));
        EXPECT_EQ(target.message, bob->ReceiveLike(target.message));
        alice->Write(Frame(target.number, 'A'));
        EXPECT_EQ(Frame(target.number, 'A'), target.receive(7)) << "bob's frame reached the camera";
        EXPECT_EQ(kYouHaveControl, alice->ReceiveLike(kYouHaveControl));
        EXPECT_EQ("#F00000 alice has control", bob->ReceiveLike("#F00000 alice has control"));

        // Higher priority takes over at once.
        carol->Write(Frame(target.number, 'c'));
        EXPECT_EQ(target.message + kYouHaveControl, carol->ReceiveLike(target.message + kYouHaveControl));
        EXPECT_EQ(Frame(target.number, 'c'), target.receive(7));
        EXPECT_EQ("#F00000 carol has control", alice->ReceiveLike("#F00000 carol has control"));
        EXPECT_EQ("#F00000 carol has control", bob->ReceiveLike("#F00000 carol has control"));

        // Everyone looking is told when the lock runs out.
        for (auto* client : {alice.get(), bob.get(), carol.get()})
            EXPECT_EQ(kLapsed, client->Receive(kLapsed.size()));
    }
}

TEST(SystemControlSteering, LockTimeZeroAndOperatorsWhoNeverLoggedIn)
{
    FakeCamera network("127.0.0.1");
    ControlDaemon control(User("alice", "a", 1),
                          "<Camera Address=\"127.0.0.1\" Port=\"" + std::to_string(network.Port()) + "\" PelcoNumber=\"5\"/>",
                          0);
    ASSERT_TRUE(control.started);
    ASSERT_TRUE(network.Accept());
    auto anonymous = control.Connect();
    auto alice = control.Connect();
    ASSERT_EQ("OK", alice->Login("alice", "a"));
    const std::string camera = "1CAMERA\t127.0.0.1\t5";

    alice->Write(Frame(5, 'a'));
    EXPECT_EQ(camera + kYouHaveControl + kLapsed, alice->ReceiveLike(camera + kYouHaveControl + kLapsed));
    anonymous->Write(Frame(5, 'n'));
    EXPECT_EQ(camera + kYouHaveControl + kLapsed, anonymous->ReceiveLike(camera + kYouHaveControl + kLapsed));
    EXPECT_EQ("#F00000  has control" + kLapsed, alice->ReceiveLike("#F00000  has control" + kLapsed));
    EXPECT_EQ(Frame(5, 'a') + Frame(5, 'n'), network.Receive(14));
}

TEST(SystemControlProtocol, SessionNumbersLoginParsingAndLogLines)
{
    FakeCamera network("127.0.0.1");
    ControlDaemon control(User("alice", "a", 1) + User("minus", "m", -5),
                          "<Camera Address=\"127.0.0.1\" Port=\"" + std::to_string(network.Port()) + "\" PelcoNumber=\"7\"/>");
    ASSERT_TRUE(control.started);
    ASSERT_TRUE(network.Accept());
    rig::Daemon& daemon = control.daemon;

    auto client = control.Connect();
    client->Write("LOGIN");
    EXPECT_EQ("FAILURE", client->Receive(7));
    EXPECT_TRUE(daemon.WaitForLine("Failed login from 127.0.0.1 by user "));
    client->Write("LOGIN alice a\n");
    EXPECT_EQ("FAILURE", client->Receive(7));
    client->Write(std::string("LOGIN alice a\0trailing", 22));
    EXPECT_EQ("OK", client->Receive(2));
    EXPECT_TRUE(daemon.WaitForLine("Login from 127.0.0.1 by user alice with priority 1"));
    EXPECT_EQ("OK", client->Login("minus", "m"));
    EXPECT_TRUE(daemon.WaitForLine("Login from 127.0.0.1 by user minus with priority 4294967291"));

    client->Write(std::string("\xFF\xC8\x00\x00", 4));
    EXPECT_TRUE(daemon.WaitForLine("Unknown Pelco camera ID 200"));
    client->Write("\xFF");
    EXPECT_TRUE(daemon.WaitForLine("Unknown Pelco camera ID 0"));

    // Two clients from one source port on two loopback addresses share a number; the later one
    // keeps the registry entry when the earlier one ends.
    const uint16_t shared = rig::FreePort("127.0.0.2");
    auto earlier = control.Connect("127.0.0.2", shared);
    auto later = control.Connect("127.0.0.3", shared);
    ASSERT_EQ(shared, earlier->LocalPort());
    ASSERT_EQ(shared, later->LocalPort());
    later->Write(Frame(7, 'l'));
    EXPECT_EQ("1CAMERA\t127.0.0.1\t7" + kYouHaveControl, later->ReceiveLike("1CAMERA\t127.0.0.1\t7" + kYouHaveControl));
    earlier->Close();
    EXPECT_EQ(kLapsed, later->Receive(kLapsed.size()));
    client->Write(Frame(7, 'c'));
    EXPECT_EQ("1CAMERA\t127.0.0.1\t7" + kYouHaveControl, client->ReceiveLike("1CAMERA\t127.0.0.1\t7" + kYouHaveControl));
    EXPECT_EQ("#F00000 minus has control", later->ReceiveLike("#F00000 minus has control"));

    // A reset that the daemon finds only when it answers: a LOGIN gives "Lost session", a
    // frame for a camera not yet selected gives "Error sending data".
    auto lost = control.Connect();
    daemon.Signal(SIGSTOP);
    lost->Write("LOGIN alice a");
    lost->Reset();
    daemon.Signal(SIGCONT);
    EXPECT_TRUE(daemon.WaitForLine("Lost session with TolvexControl user alice at 127.0.0.1"));
    auto broken = control.Connect();
    daemon.Signal(SIGSTOP);
    broken->Write(Frame(7, 'x'));
    broken->Reset();
    daemon.Signal(SIGCONT);
    EXPECT_TRUE(daemon.WaitForLog("Error sending data to client at 127.0.0.1: "));
    EXPECT_EQ(1, daemon.CountLog("Lost session with TolvexControl user "));
    EXPECT_EQ(1, daemon.CountLog("Error sending data to client at "));
}

TEST(SystemControlFaults, FuzzAndChurnNeverStopTheServiceAndASleepingClientIsCutOff)
{
    FakeCamera network("127.0.0.1");
    const std::string longName(1000, 'n');
    ControlDaemon control(User("alice", "a", 1) + User(longName, "", 3),
                          "<Camera Address=\"127.0.0.1\" Port=\"" + std::to_string(network.Port()) + "\" PelcoNumber=\"1\"/>",
                          5);
    ASSERT_TRUE(control.started);
    ASSERT_TRUE(network.Accept());
    rig::Daemon& daemon = control.daemon;

    std::mt19937 random(20240611);
    {
        auto fuzzer = control.Connect();
        for (int i = 0; i < 10000; ++i)
        {
            std::string message(1 + random() % 1024, '\0');
            for (char& byte : message)
                byte = static_cast<char>(random());
            const int kind = random() % 8;
            if (kind == 0)
                message.replace(0, 5, "LOGIN");
            else if (kind == 1)
                message.replace(0, 6, random() % 2 ? "CHOOSE" : "CANCEL");
            ASSERT_TRUE(fuzzer->Write(message)) << "the daemon dropped the fuzzing client at message " << i;
            if (i % 64 == 0)
                fuzzer->Receive(1 << 20, std::chrono::milliseconds(0));
        }
    }
    for (int i = 0; i < 1000; ++i)
    {
        OperatorClient churn(control.port);
        if (random() % 2)
            churn.Write(random() % 2 ? "LOGIN alice a" : Frame(1, 'z'));
        if (random() % 2)
            churn.Reset();
    }
    ASSERT_TRUE(daemon.Running());
    auto fresh = control.Connect();
    EXPECT_EQ("OK", fresh->Login("alice", "a"));

    // A viewer that never reads, with a small window, is cut off; the holder keeps steering.
    auto sleeper = control.Connect("127.0.0.1", 0, 4096);
    sleeper->Write(Frame(1, 's'));
    auto holder = control.Connect();
    ASSERT_EQ("OK", holder->Login(longName, ""));
    const std::string dropped = "Dropping session with TolvexControl user  at 127.0.0.1: client is not reading";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int frames = 0;
    while (daemon.CountLines(dropped) == 0 && std::chrono::steady_clock::now() < deadline)
    {
        holder->Write(Frame(1, 'h'));
        holder->Receive(1 << 20, std::chrono::milliseconds(1));
        network.Receive(1 << 20, std::chrono::milliseconds(0));
        ++frames;
    }
    EXPECT_EQ(1, daemon.CountLines(dropped)) << "after " << frames << " frames";
    EXPECT_TRUE(sleeper->WaitClosed(std::chrono::milliseconds(30000)));
    holder->Receive(1 << 20, std::chrono::milliseconds(200));
    holder->Write(Frame(1, 'H'));
    EXPECT_TRUE(holder->SkipPast(kYouHaveControl));
    EXPECT_TRUE(daemon.Running());
}

TEST(SystemControlStartUp, NumericAddressesOnlyAndARestartBindsDespiteLingeringConnections)
{
    {
        ControlDaemon refused("", "", 5, "localhost");
        EXPECT_TRUE(refused.daemon.WaitForLine("Exception: Invalid argument"));
        EXPECT_NE(-1, refused.daemon.WaitExit());
    }

    ControlDaemon first(User("alice", "a", 1), "");
    ASSERT_TRUE(first.started);
    std::vector<std::unique_ptr<OperatorClient>> clients;
    for (int i = 0; i < 5; ++i)
        clients.push_back(first.Connect());
    // The daemon closes its side first, so its port is left in TIME_WAIT.
    first.daemon.Signal(SIGTERM);
    EXPECT_EQ(0, first.daemon.WaitExit());
    for (auto& client : clients)
        EXPECT_TRUE(client->WaitClosed());
    clients.clear();

    rig::Daemon second;
    second.WriteConfig("<zoTolvex><Options ClientPort=\"" + std::to_string(first.port) +
                       "\"/><TolvexControl>" + User("alice", "a", 1) + "</TolvexControl></zoTolvex>");
    ASSERT_EQ(0, second.Start());
    ASSERT_GT(second.Pid(), 0);
    // The listener comes up after the lock file; a failed bind would end the daemon instead.
    std::unique_ptr<OperatorClient> client;
    ASSERT_TRUE(rig::WaitUntil([&] {
        client = std::make_unique<OperatorClient>(first.port);
        return client->Connected() || !second.Running();
    }));
    ASSERT_TRUE(client->Connected()) << second.Log();
    EXPECT_EQ("SESSION " + std::to_string(client->LocalPort()),
              client->ReceiveLike("SESSION " + std::to_string(client->LocalPort())));
    EXPECT_EQ(0, second.CountLog("Exception: "));
}
