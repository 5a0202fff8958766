// The recording-server link calls into the server from its own threads while the event loop
// serves operators; run under ThreadSanitizer.

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "ControlFixture.h"

using ComponentControlThreads = ControlFixture;

TEST_F(ComponentControlThreads, RecordingServerCallsWhileOperatorsSteer)
{
    AddUser("alice", "a", 1);
    AddUser("bob", "b", 2);
    AddCamera("127.0.0.1", 3, 0);
    AddCamera("127.0.0.2", 4, 0);
    StartServer();
    auto alice = Connect();
    auto bob = Connect();
    ASSERT_EQ("OK", alice->Login("alice", "a"));
    ASSERT_EQ("OK", bob->Login("bob", "b"));

    std::atomic<bool> stop{false};
    std::atomic<int> mismatches{0};
    std::thread link([&] {
        for (uint32_t round = 1; !stop; ++round)
        {
            const std::string address = round % 2 ? "127.0.0.1" : "127.0.0.2";
            const std::string name = "Camera " + std::to_string(round);
            server->SetCameraId(address, round);
            server->SetCameraName(address, name);
            server->SetSoftTriggerId(address, round);
            // Only this thread writes these fields, so it must read back what it wrote.
            if (server->CameraIdDiffers(address, round) || server->CameraNameDiffers(address, name) ||
                server->GetSoftTriggerId(address) != round)
                ++mismatches;
            server->SendCamera(address, round, false);
            // A recording server reports now and then; a spinning caller would only starve the loop.
            std::this_thread::yield();
        }
    });

    // The operators steer both cameras back and forth, which also hands camera messages to the
    // sessions from the event loop, and choose, which the link's SendCamera answers.
    for (int i = 0; i < 100; ++i)
    {
        for (auto* client : {alice.get(), bob.get()})
        {
            client->Write(std::string("\xFF") + (i % 2 ? '\x03' : '\x04'));
            client->Write("CHOOSE");
            // The reply to LOGIN paces the rounds; whatever came before it is skipped.
            client->Write("LOGIN alice a");
            ASSERT_TRUE(client->SkipPast("OK")) << "no answer at round " << i;
        }
    }
    stop = true;
    link.join();
    EXPECT_EQ(0, mismatches.load());

    // Both sessions still answer.
    EXPECT_EQ(2u, server->SessionCount());
}

TEST_F(ComponentControlThreads, AChooserThatStopsReadingIsDroppedByHandOversFromAnotherThread)
{
    AddUnreachableCamera("127.0.0.1", 3);
    StartServer();
    const std::string name(255, 'n');
    server->SetCameraName("127.0.0.1", name);
    auto sleeper = Connect("127.0.0.1", 0, 4096);
    auto reader = Connect();
    const std::string camera = "0CAMERA\t127.0.0.1\t3\t" + name;

    // A hand-over from another thread is written by the event loop: while the loop is busy,
    // nothing reaches the chooser.
    reader->Write("CHOOSE");
    {
        const auto release = HoldLoop();
        std::thread([&] { server->SendCamera("127.0.0.1", 1, false); }).join();
        EXPECT_EQ("", reader->Receive(1, std::chrono::milliseconds(200)));
        release->set_value();
    }
    EXPECT_EQ(camera, reader->ReceiveLike(camera));

    // The link's thread hands over one camera for each CHOOSE of the sleeper, which never reads:
    // its queue passes the bound inside a hand-over while the event loop is writing to it.
    std::mutex mutex;
    std::condition_variable wake;
    int asked = 0;
    int handed = 0;
    bool stop = false;
    std::thread link([&] {
        std::unique_lock<std::mutex> guard(mutex);
        while (!stop)
        {
            wake.wait(guard, [&] { return stop || asked > handed; });
            if (asked > handed)
            {
                server->SendCamera("127.0.0.1", 1, false);
                ++handed;
                wake.notify_all();
            }
        }
    });
    const std::string dropped = "Dropping session with TolvexControl user  at 127.0.0.1: client is not reading";
    int rounds = 0;
    while (CountLines(dropped) == 0 && rounds < 100000)
    {
        sleeper->Write("CHOOSE");
        std::unique_lock<std::mutex> guard(mutex);
        ++asked;
        wake.notify_all();
        wake.wait(guard, [&] { return handed == asked; });
        guard.unlock();
        Settle();
        ++rounds;
    }
    {
        std::lock_guard<std::mutex> guard(mutex);
        stop = true;
        wake.notify_all();
    }
    link.join();
    EXPECT_EQ(1, CountLines(dropped));
    EXPECT_GT(rounds, static_cast<int>(ControlSession::kMaxQueuedBytes / (name.size() + 20)));
    EXPECT_TRUE(sleeper->WaitClosed(std::chrono::milliseconds(20000)));
    EXPECT_EQ(1u, server->SessionCount());

    reader->Write("CHOOSE");
    server->SendCamera("127.0.0.1", 1, false);
    EXPECT_EQ(camera, reader->ReceiveLike(camera));
}
