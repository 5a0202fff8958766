// The shared frame and record codec, and the library's inbox, against well-formed and hostile bytes.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nvr/zoapi.h"
#include "zoapi/WireCodec.h"
#include "zoapi/WireFrame.h"
#include "zoapi/ZoapiInbox.h"

using namespace zoapi;

namespace {

using Bytes = std::vector<std::uint8_t>;

// The payload a record is written as.
template <typename Record>
Bytes Encode(const Record& record)
{
    WireWriter frame(0, 0);
    WireCodec::Write(frame, record);
    const Bytes& all = frame.Bytes();
    return Bytes(all.begin() + kLengthSize + kHeaderRest, all.end());
}

// Reads a record from exactly these bytes, on the heap, so a read past them trips the sanitizer.
template <typename Record>
bool Decode(const Bytes& bytes, Record& record)
{
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    WireReader in(exact.get(), bytes.size());
    return WireCodec::Read(in, record) && in.Left() == 0;
}

// Every record written reads back the same, and every cut-short copy of it is refused.
template <typename Record, typename Same>
void RoundTripAndTruncate(const char* what, const Record& record, Same same)
{
    SCOPED_TRACE(what);
    Bytes bytes = Encode(record);
    Record back;
    ASSERT_TRUE(Decode(bytes, back));
    EXPECT_TRUE(same(record, back));
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        Record partial;
        EXPECT_FALSE(Decode(Bytes(bytes.begin(), bytes.begin() + cut), partial)) << cut << " bytes";
    }
}

AssociationRecord SampleAssociation()
{
    AssociationRecord a;
    a.name = "Gate";
    a.cameraId = 7;
    a.reserved20 = 0x2020;
    a.colour = 0x123456;
    a.fontName = "Courier";
    a.reserved60 = 60;
    a.entries.push_back(AssociationEntry{{32, 1, 8, 5, 0, 0, 0, 2}});
    return a;
}

Bytes Le32(std::uint32_t v)
{
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 24)};
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

}  // namespace

TEST(UnitWireCodec, RecordsRoundTripAndRefuseEveryTruncation)
{
    RoundTripAndTruncate("camera", CameraRecord{17, "Lobby", "rtsp://127.0.0.5"},
                         [](auto& a, auto& b) { return a.id == b.id && a.name == b.name && a.address == b.address; });
    RoundTripAndTruncate("login", LoginRecord{"admin", "secret"},
                         [](auto& a, auto& b) { return a.user == b.user && a.password == b.password; });
    RoundTripAndTruncate("event link", EventLinkRecord{3, 1, 2, 4, 1, 5, "Door"}, [](auto& a, auto& b) {
        return a.id == b.id && a.sourceType == b.sourceType && a.sourceId == b.sourceId && a.flags == b.flags &&
               a.triggerInUse == b.triggerInUse && a.softTriggerId == b.softTriggerId && a.name == b.name;
    });
    RoundTripAndTruncate("trigger event", EventRecord{ZOAPI_EVENT_SOFT_TRIGGER_CHANGED, 1, Bytes(16, 9)},
                         [](auto& a, auto& b) { return a.type == b.type && a.status == b.status && a.data == b.data; });
    RoundTripAndTruncate("association", SampleAssociation(), [](auto& a, auto& b) {
        return Encode(a) == Encode(b) && b.entries.size() == 1 && b.entries[0].field[3] == 5u;
    });
}

// The association's layout is what a real server speaks: pin it byte for byte.
TEST(UnitWireCodec, AssociationTravelsInTheDocumentedOrder)
{
    AssociationRecord a = SampleAssociation();
    Bytes expected = Cat({{4, 0, 'G', 'a', 't', 'e'}, Le32(7), Le32(0), {0x20, 0x20, 0, 0}, Le32(0x123456), Le32(0),
                          Le32(0), {7, 0, 'C', 'o', 'u', 'r', 'i', 'e', 'r'}, Le32(0), Le32(0), Le32(0), Le32(0),
                          Le32(0), Le32(60), Le32(1), Le32(32), Le32(1), Le32(8), Le32(5), Le32(0), Le32(0), Le32(0),
                          Le32(2)});
    EXPECT_EQ(Encode(a), expected);
}

TEST(UnitWireCodec, CountsAndSizesTheBytesCannotHoldAreRefused)
{
    Bytes lyingCount = Cat({Le32(1000000), Bytes(12, 0)});
    WireReader in(lyingCount.data(), lyingCount.size());
    std::vector<CameraRecord> cameras;
    EXPECT_FALSE(WireCodec::ReadList(in, cameras)) << "a million cameras in twelve bytes";
    EXPECT_TRUE(cameras.empty());

    AssociationRecord tooMany;
    tooMany.entries.resize(kMaxAssociationEntries + 1);
    AssociationRecord association;
    EXPECT_FALSE(Decode(Encode(tooMany), association)) << "entries beyond the limit";

    EventRecord event;
    EXPECT_FALSE(Decode(Encode(EventRecord{3, 0, Bytes(kMaxEventData + 1, 1)}), event)) << "event data beyond 256";
    EXPECT_FALSE(Decode(Encode(EventRecord{ZOAPI_EVENT_SOFT_TRIGGER_CHANGED, 1, Bytes(15, 1)}), event));
    EXPECT_FALSE(Decode(Encode(EventRecord{ZOAPI_EVENT_SOFT_TRIGGER_CREATED, 0, Bytes(9, 1)}), event));
    EXPECT_TRUE(Decode(Encode(EventRecord{ZOAPI_EVENT_SOFT_TRIGGER_CHANGED, 1, Bytes()}), event)) << "no data at all";
}

TEST(UnitWireFrame, HeaderIsReadOnlyAsFarAsTheBytesGo)
{
    Bytes whole = Cat({Le32(8 + 3), {0x03, 0x80, 0, 0}, Le32(42), {1, 2, 3}});
    struct Case {
        const char* what;
        Bytes bytes;
        WireFrame::Status status;
        std::size_t size;
        bool header;
    } cases[] = {
        {"nothing yet", {}, WireFrame::kPart, 0, false},
        {"part of the length", {11, 0}, WireFrame::kPart, 0, false},
        {"length only", Bytes(whole.begin(), whole.begin() + 4), WireFrame::kPart, 15, false},
        {"header, no payload yet", Bytes(whole.begin(), whole.begin() + 12), WireFrame::kPart, 15, true},
        {"whole", whole, WireFrame::kWhole, 15, true},
        {"length below a header", Cat({Le32(7), Bytes(7, 0)}), WireFrame::kBroken, 0, false},
        {"length above the limit", Le32(kMaxFrameBody + 1), WireFrame::kBroken, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WireFrame frame;
        EXPECT_EQ(frame.Read(c.bytes.data(), c.bytes.size()), c.status);
        EXPECT_EQ(frame.Size(), c.size);
        EXPECT_EQ(frame.HasHeader(), c.header);
        EXPECT_EQ(frame.Seq(), c.header ? 42u : 0u);
    }
    WireFrame frame;
    ASSERT_EQ(frame.Read(whole.data(), whole.size()), WireFrame::kWhole);
    EXPECT_EQ(frame.Type(), 0x8003);
    ASSERT_EQ(frame.PayloadSize(), 3u);
    EXPECT_EQ(frame.Payload(), whole.data() + 12);
}

// However the stream is cut into reads, the inbox sees the same events and the same reply; a
// broken frame stops it, keeping what came before.
TEST(UnitZoapiInbox, AnySplitOfTheStreamGivesTheSameFrames)
{
    auto reply = [](std::uint32_t seq, Bytes payload) {
        WireWriter frame(kListCameras | kReplyBit, seq);
        frame.Raw(payload.data(), payload.size());
        return frame.Bytes();
    };
    Bytes stream = Cat({WireCodec::EventFrame(ZOAPI_EVENT_CONNECTED, 0), reply(6, Le32(99)),
                        WireCodec::EventFrame(ZOAPI_EVENT_SOFT_TRIGGER_CHANGED, 1, Bytes(16, 4).data(), 16),
                        reply(7, Le32(0))});
    for (std::size_t step : {std::size_t(1), std::size_t(5), stream.size()}) {
        SCOPED_TRACE(step);
        ZoapiInbox inbox;
        inbox.Await(7);
        const std::size_t held = stream.size() - 2;  // the last reply's final bytes come last
        for (std::size_t at = 0; at < held; at += step)
            ASSERT_TRUE(inbox.Take(stream.data() + at, std::min(step, held - at)));
        EXPECT_TRUE(inbox.ReplyArriving());
        EXPECT_FALSE(inbox.ReplyArrived());
        ASSERT_TRUE(inbox.Take(stream.data() + held, 2));
        ASSERT_TRUE(inbox.ReplyArrived()) << "the reply to an older request is passed over";
        EXPECT_EQ(inbox.TakeReply(), Le32(0));
        ASSERT_EQ(inbox.EventCount(), 2u);
        EXPECT_EQ(inbox.PopEvent().type, ZOAPI_EVENT_CONNECTED);
        EXPECT_EQ(inbox.PopEvent().data, Bytes(16, 4));
    }

    ZoapiInbox inbox;
    Bytes broken = Cat({WireCodec::EventFrame(ZOAPI_EVENT_CONFIG_CHANGED, 0), Le32(3), WireCodec::EventFrame(1, 0)});
    EXPECT_FALSE(inbox.Take(broken.data(), broken.size()));
    EXPECT_EQ(inbox.EventCount(), 1u);
}
