// Who is told about a camera: with hundreds of sessions on several cameras, every registered
// viewer of a camera, and nobody else, receives its control messages, in ascending session number,
// while sessions change camera, end, and are replaced by newer sessions with their numbers.

#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "ControlFixture.h"

using ComponentControlViewers = ControlFixture;

namespace
{
const int kCameras = 4;

std::string Address(int camera)
{
    return "127.0.0." + std::to_string(camera + 1);
}

/// One client of the test and what it should be told.
struct Viewer
{
    /// The connection; null once the test has closed it.
    std::unique_ptr<OperatorClient> client;
    /// The camera it looks at; -1 for none.
    int camera;
    /// False once a newer session took its number.
    bool registered;
};

/// Acknowledges what client has received at once: the server sets no option on its sessions, so
/// a message behind an unacknowledged one would otherwise wait for the client's delayed ACK.
void Acknowledge(OperatorClient& client)
{
    const int on = 1;
    ::setsockopt(client.Descriptor(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

/// What has arrived on client's socket, read straight from it (nothing waits in the client's
/// own buffer here); stamp is the kernel's receive time of the bytes in ns, or -1 where the
/// kernel gives none (as under an emulator).
std::string TakeArrived(OperatorClient& client, int64_t& stamp)
{
    char bytes[1024];
    char control[256];
    iovec vector{bytes, sizeof bytes};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(client.Descriptor(), &message, MSG_DONTWAIT);
    stamp = -1;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); got > 0 && header; header = CMSG_NXTHDR(&message, header))
    {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS)
        {
            timespec time{};
            std::memcpy(&time, CMSG_DATA(header), sizeof time);
            stamp = static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
        }
    }
    Acknowledge(client);
    return got > 0 ? std::string(bytes, static_cast<std::size_t>(got)) : std::string();
}
} // namespace

TEST_F(ComponentControlViewers, EveryViewerAndOnlyTheViewersAreToldInAscendingNumber)
{
    AddUser("alice", "", 1);
    for (int camera = 0; camera < kCameras; ++camera)
        AddUnreachableCamera(Address(camera), static_cast<uint32_t>(camera + 1));
    StartServer();

    std::vector<Viewer> viewers;
    const auto add = [&](const std::string& localAddress, uint16_t localPort) {
        viewers.push_back(Viewer{Connect(localAddress, localPort), -1, true});
        const int on = 1;
        ::setsockopt(viewers.back().client->Descriptor(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    };
    const auto select = [&](Viewer& viewer, int camera) {
        viewer.client->Write(std::string("\xFF", 1) + static_cast<char>(camera + 1));
        const std::string message = "1CAMERA\t" + Address(camera) + "\t" + std::to_string(camera + 1);
        EXPECT_EQ(message, viewer.client->ReceiveLike(message));
        Acknowledge(*viewer.client);
        viewer.camera = camera;
    };
    for (int i = 0; i < 300; ++i)
    {
        add("127.0.0.1", 0);
        select(viewers.back(), i % kCameras);
    }
    // The first viewer holds every camera in this story, under its user name.
    ASSERT_EQ("OK", viewers[0].client->Login("alice", ""));
    Acknowledge(*viewers[0].client);
    const uint16_t holder = viewers[0].client->LocalPort();

    // Every camera in turn is held by alice's number, then lapses; each message goes to exactly
    // its viewers, and the kernel's receive times show the order in which the server wrote.
    const auto check = [&](const std::string& stage) {
        for (int camera = 0; camera < kCameras; ++camera)
        {
            for (const bool lapse : {false, true})
            {
                Settle();
                OnLoop([&] {
                    if (lapse)
                        server->ClearControl(Address(camera));
                    else
                        server->NotifyControl(Address(camera), holder);
                });
                std::vector<std::pair<int64_t, uint16_t>> arrivals;
                for (auto& viewer : viewers)
                {
                    if (!viewer.client)
                        continue;
                    int64_t stamp = -1;
                    const std::string got = TakeArrived(*viewer.client, stamp);
                    std::string expected;
                    if (viewer.registered && viewer.camera == camera)
                        expected = lapse ? "#0000F0 "
                                         : &viewer == &viewers[0] ? "#0000F0 You have control"
                                                                  : "#F00000 alice has control";
                    EXPECT_EQ(expected, got) << stage << ", camera " << camera << ", session "
                                             << viewer.client->LocalPort();
                    if (!expected.empty() && stamp >= 0)
                        arrivals.emplace_back(stamp, viewer.client->LocalPort());
                }
                std::sort(arrivals.begin(), arrivals.end());
                for (std::size_t i = 1; i < arrivals.size(); ++i)
                    EXPECT_LT(arrivals[i - 1].second, arrivals[i].second) << stage << ", camera " << camera;
            }
        }
    };
    check("at first");

    for (std::size_t i = 1; i < viewers.size(); i += 3)
        select(viewers[i], (viewers[i].camera + 1) % kCameras);
    check("after changes of camera");

    std::size_t live = viewers.size();
    for (std::size_t i = 2; i < viewers.size(); i += 5)
    {
        viewers[i].client.reset();
        --live;
    }
    ASSERT_TRUE(WaitFor([&] { return server->SessionCount() == live; }));
    check("after sessions ended");

    // A newer session from another loopback address with the same source port takes the number:
    // it looks at nothing until it steers, and the older one is told nothing more.
    const std::size_t older = viewers.size();
    for (std::size_t i = 3; i < older; i += 7)
    {
        if (!viewers[i].client)
            continue;
        viewers[i].registered = false;
        add("127.0.0." + std::to_string(10 + i / 7), viewers[i].client->LocalPort());
    }
    EXPECT_EQ(live, server->SessionCount());
    check("after replacements");

    for (std::size_t i = older; i < viewers.size(); ++i)
        select(viewers[i], static_cast<int>(i % kCameras));
    // The replaced sessions still get their own camera messages, and ending them leaves the
    // newer sessions' entries alone.
    for (std::size_t i = 3; i < older; i += 7)
    {
        if (!viewers[i].client)
            continue;
        if (i % 2)
            select(viewers[i], (viewers[i].camera + 2) % kCameras);
        else
            viewers[i].client.reset();
    }
    Settle();
    EXPECT_EQ(live, server->SessionCount());
    check("after the newer sessions steered and older ones ended");
}
