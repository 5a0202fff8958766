// The library against a peer that sends broken, oversized or unexpected frames.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "FakePeer.h"
#include "TestClient.h"
#include "nvr/zoapi.h"
#include "zoapi/WireProtocol.h"

namespace {

std::vector<std::uint8_t> Greeting()
{
    return EventFrame(ZOAPI_EVENT_CONNECTED, 0, {});
}

std::vector<std::uint8_t> Join(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::uint8_t> Le32(std::uint32_t v)
{
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 24)};
}

}  // namespace

// Each stream breaks the framing after a good greeting; the greeting is still delivered, then
// the connection is given up: Select negative, no socket, and nothing past the break delivered.
TEST(ComponentZoapiWire, BrokenFramingEndsTheConnectionCleanly)
{
    std::vector<std::uint8_t> truncated = Le32(100);
    truncated.resize(14, 0);
    std::vector<std::uint8_t> shortHeader = Join(Le32(4), {0xde, 0xad, 0xbe, 0xef});
    std::vector<std::uint8_t> oversized = Join(Le32(0xFFFFFFF0u), std::vector<std::uint8_t>(64, 0x41));
    std::vector<std::uint8_t> bigEventData = EventFrame(ZOAPI_EVENT_SOFT_TRIGGER_CHANGED, 1, std::vector<std::uint8_t>(300, 1));
    // An event that claims 16 data bytes but carries 4.
    std::vector<std::uint8_t> lyingEvent = Frame(zoapi::kEvent, 0, {10, 0, 0, 0, 1, 0, 0, 0, 16, 0, 1, 2, 3, 4});
    // Well framed, but too short for the records the daemon reads at fixed offsets (the trigger id
    // at 12, the creation flag at 9): handing them on would let it read past the data.
    std::vector<std::uint8_t> shortTrigger = EventFrame(ZOAPI_EVENT_SOFT_TRIGGER_CHANGED, 1, {16, 0, 0, 0});
    std::vector<std::uint8_t> shortCreation = EventFrame(ZOAPI_EVENT_SOFT_TRIGGER_CREATED, 0, {12, 0, 0, 0, 5, 0, 0, 0, 0});
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        bool close;
    } cases[] = {
        {"truncated frame, then hang-up", truncated, true},
        {"length shorter than a header", shortHeader, false},
        {"length beyond the frame limit", oversized, false},
        {"event data beyond 256 bytes", bigEventData, false},
        {"event data longer than its frame", lyingEvent, false},
        {"trigger event data shorter than its record", shortTrigger, false},
        {"creation event data shorter than its record", shortCreation, false},
        {"garbage, then hang-up", {0x47, 0x45, 0x54, 0x20, 0x2f, 0x20}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakePeer peer(Join(Greeting(), c.bytes), nullptr, c.close);
        TestClient client;
        ASSERT_EQ(ZOAPI_SetTimeout(client.handle, 2), 0);
        ASSERT_EQ(ZOAPI_Open(client.handle, "127.0.0.1", peer.Port()), 0);
        EXPECT_TRUE(client.WaitForSelectFailure());
        EXPECT_EQ(ZOAPI_GetSocket(client.handle), -1);
        ASSERT_EQ(client.events.size(), 1u);
        EXPECT_EQ(client.events[0].type, ZOAPI_EVENT_CONNECTED);
        EXPECT_EQ(ZOAPI_NumCameras(client.handle), 0u);
    }
}

TEST(ComponentZoapiWire, UnknownMessagesAndStaleRepliesAreSkipped)
{
    auto answer = [](std::uint16_t type, std::uint32_t seq) {
        std::vector<std::uint8_t> out;
        if (type == zoapi::kListCameras) {
            // A reply to an older request comes first and must not be taken for this one.
            out = Frame(type | zoapi::kReplyBit, seq + 1000, Join(Le32(0), Le32(0)));
            out = Join(out, Frame(0x7777, seq, {1, 2, 3}));
            std::vector<std::uint8_t> list = Join(Le32(0), Le32(1));
            list = Join(list, Le32(42));
            list = Join(list, {4, 0, 'G', 'a', 't', 'e', 0, 0});
            out = Join(out, Frame(type | zoapi::kReplyBit, seq, list));
        }
        return out;
    };
    std::vector<std::uint8_t> data(16, 0);
    data[12] = 9;
    FakePeer peer(Join(Join(Greeting(), Frame(0x4242, 0, {9, 9})), EventFrame(ZOAPI_EVENT_SOFT_TRIGGER_CHANGED, 1, data)),
                  answer);
    TestClient client;
    ASSERT_EQ(ZOAPI_Open(client.handle, "127.0.0.1", peer.Port()), 0);
    int at = client.WaitForEvent(ZOAPI_EVENT_SOFT_TRIGGER_CHANGED);
    ASSERT_GE(at, 0);
    EXPECT_EQ(TestClient::TriggerOf(client.events[at]), 9u);
    EXPECT_EQ(client.events.size(), 2u);
    ASSERT_EQ(ZOAPI_NumCameras(client.handle), 1u);
    EXPECT_EQ(ZOAPI_GetCameraId(client.handle, 0), 42u);
    char name[ZOAPI_TEXT_SIZE];
    ASSERT_EQ(ZOAPI_GetCameraName(client.handle, 42, name, sizeof name), 0);
    EXPECT_STREQ(name, "Gate");
    EXPECT_GE(ZOAPI_GetSocket(client.handle), 0);
}

// Replies that are well framed but lie about their contents fail the call without touching the
// caller's record; a server that never replies fails the call after the silence limit.
TEST(ComponentZoapiWire, LyingOrMissingRepliesFailTheCall)
{
    auto answer = [](std::uint16_t type, std::uint32_t seq) {
        std::vector<std::uint8_t> body = Le32(0);
        if (type == zoapi::kListCameras) {
            body = Join(body, Le32(1000000));  // far more cameras than bytes
            body = Join(body, std::vector<std::uint8_t>(12, 0));
        } else if (type == zoapi::kListSoftTriggers) {
            body = Join(body, Le32(1));
            body = Join(body, Le32(5));
            body = Join(body, {0xFF, 0xFF, 'a'});  // a name longer than the frame
        } else if (type == zoapi::kGetAssociation) {
            body.push_back(1);
            body = Join(body, {1, 0, 'A'});
            body.resize(body.size() + 4 * 4 + 2 * 2 + 2, 0);
            body.resize(body.size() + 4 * 7, 0);
            body = Join(body, Le32(5000));  // more entries than the library accepts
        } else if (type == zoapi::kGetEventLink) {
            body = Join(body, Le32(3));  // cut short after the id
        } else {
            return std::vector<std::uint8_t>();  // no reply at all
        }
        return Frame(type | zoapi::kReplyBit, seq, body);
    };
    FakePeer peer(Greeting(), answer);
    TestClient client;
    ASSERT_EQ(ZOAPI_SetTimeout(client.handle, 1), 0);
    ASSERT_EQ(ZOAPI_Open(client.handle, "127.0.0.1", peer.Port()), 0);
    ASSERT_GE(client.WaitForEvent(ZOAPI_EVENT_CONNECTED), 0);

    EXPECT_EQ(ZOAPI_NumCameras(client.handle), 0u);
    EXPECT_EQ(ZOAPI_NumSoftTriggers(client.handle), 0u);
    char name[ZOAPI_TEXT_SIZE] = "untouched";
    ZOAPI_ASSOCIATION a{};
    a.size = sizeof a;
    a.name = name;
    a.nameLength = 77;
    EXPECT_LT(ZOAPI_GetAssociationForCamera(client.handle, 17, &a), 0);
    EXPECT_EQ(a.nameLength, 77u);
    EXPECT_STREQ(name, "untouched");
    ZOAPI_EVENT_LINK link{};
    link.size = sizeof link;
    link.id = 3;
    std::strcpy(link.name, "untouched");
    EXPECT_LT(ZOAPI_GetEventLinkInfo(client.handle, &link), 0);
    EXPECT_STREQ(link.name, "untouched");
    EXPECT_GE(ZOAPI_GetSocket(client.handle), 0);

    // No reply to the creation: the call gives up after the silence limit and the link is lost.
    EXPECT_LT(ZOAPI_CreateSoftTriggerWithGuid(client.handle, "Tolvex Control", "TOLVEX_1"), 0);
    EXPECT_EQ(ZOAPI_GetSocket(client.handle), -1);
}

// A server whose request handling is stuck while its event pump still runs is a hung server: a
// call waiting for its reply gives up after the silence limit even though events keep coming,
// and those events are still delivered afterwards, not dropped.
TEST(ComponentZoapiWire, UnansweredRequestFailsWhileEventsKeepComing)
{
    // Event 3 every 100 ms for 30 s, far beyond the 1 s limit; no reply to anything.
    FakePeer peer(Greeting(), nullptr, EventFrame(ZOAPI_EVENT_CONFIG_CHANGED, 0, {}), 300);
    TestClient client;
    ASSERT_EQ(ZOAPI_SetTimeout(client.handle, 1), 0);
    ASSERT_EQ(ZOAPI_Open(client.handle, "127.0.0.1", peer.Port()), 0);
    ASSERT_GE(client.WaitForEvent(ZOAPI_EVENT_CONNECTED), 0);

    EXPECT_EQ(ZOAPI_NumCameras(client.handle), 0u);
    EXPECT_EQ(ZOAPI_GetSocket(client.handle), -1);
    ASSERT_TRUE(WaitUntil([&] { return peer.ClientHungUp(); }, std::chrono::seconds(60)));
    EXPECT_FALSE(peer.ChatterRanOut()) << "the call waited for as long as the server kept talking";
    EXPECT_GE(client.WaitForEvent(ZOAPI_EVENT_CONFIG_CHANGED), 0);
    EXPECT_TRUE(client.WaitForSelectFailure());
}

// A peer that hung up is noticed on the sending side too: the call fails, the link counts as
// lost, and no further write can reach the dead socket and raise SIGPIPE in the daemon.
TEST(ComponentZoapiWire, WritingToAPeerThatHungUpRaisesNoSignal)
{
    FakePeer peer(Greeting(), nullptr, true);
    TestClient client;
    ASSERT_EQ(ZOAPI_Open(client.handle, "127.0.0.1", peer.Port()), 0);
    EXPECT_TRUE(WaitUntil([&] { return ZOAPI_Login(client.handle, "admin", "secret") != 0; }));
    EXPECT_EQ(ZOAPI_GetSocket(client.handle), -1);
}
