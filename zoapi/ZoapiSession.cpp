#include "zoapi/ZoapiSession.h"

#include <algorithm>

#include "zoapi/CallerRecords.h"
#include "zoapi/WireCodec.h"

namespace zoapi {

namespace {

// A connect never waits longer than this, whatever the silence limit.
constexpr std::chrono::milliseconds kConnectLimit{10000};

}  // namespace

ZoapiSession::ZoapiSession() = default;

ZoapiSession::~ZoapiSession()
{
    Close();
    magic = 0;
}

bool ZoapiSession::IsValid() const
{
    return magic == kMagic;
}

void ZoapiSession::SetCallback(ZOAPI_EVENTFUNC function, void* functionContext)
{
    callback = function;
    context = functionContext;
}

int ZoapiSession::SetTimeout(int seconds)
{
    if (seconds < 1)
        return -1;
    silenceLimit = std::chrono::milliseconds(static_cast<long long>(seconds) * 1000);
    return 0;
}

int ZoapiSession::Socket() const
{
    return connection.Socket();
}

bool ZoapiSession::Connected() const
{
    return connection.Socket() >= 0;
}

void ZoapiSession::Close()
{
    connection.Close();
    inbox.Clear();
    awaiting = false;
}

void ZoapiSession::Lose()
{
    connection.Close();
    inbox.Drop();
    awaiting = false;
}

int ZoapiSession::Open(const char* address, unsigned short port)
{
    Close();
    if (!address || !*address)
        return -1;
    auto until = Clock::now() + std::min<std::chrono::milliseconds>(silenceLimit, kConnectLimit);
    if (!connection.Open(address, port, until))
        return -1;
    lastHeard = Clock::now();
    // The server greets a new connection; its silence counts from here.
    StartAwaiting();
    return 0;
}

std::uint32_t ZoapiSession::NextSeq()
{
    if (++seq == 0)
        seq = 1;
    return seq;
}

void ZoapiSession::StartAwaiting()
{
    if (!awaiting) {
        awaiting = true;
        awaitingSince = Clock::now();
    }
}

ZoapiSession::Clock::time_point ZoapiSession::SilenceDeadline() const
{
    if (!awaiting)
        return Clock::time_point::max();
    return std::max(awaitingSince, lastHeard) + silenceLimit;
}

bool ZoapiSession::SendFrame(WireWriter& frame)
{
    if (!Connected())
        return false;
    if (connection.Send(frame.Bytes(), Clock::now() + silenceLimit))
        return true;
    Lose();
    return false;
}

bool ZoapiSession::ReadSome(Clock::time_point until)
{
    if (!Connected())
        return false;
    Clock::time_point silence = SilenceDeadline();
    std::vector<std::uint8_t> bytes;
    ZoapiConnection::Received received = connection.Receive(std::min(until, silence), bytes);
    bool ok = true;
    if (!bytes.empty()) {
        lastHeard = Clock::now();
        awaiting = false;
        // What arrived before an end of stream is still taken in.
        ok = inbox.Take(bytes.data(), bytes.size());
    }
    if (!ok || received == ZoapiConnection::kClosed ||
        (received == ZoapiConnection::kNothing && Clock::now() >= silence)) {
        Lose();
        return false;
    }
    return true;
}

bool ZoapiSession::Request(WireWriter& request, std::vector<std::uint8_t>& reply)
{
    if (!Connected())
        return false;
    inbox.Await(seq);
    if (!SendFrame(request))
        return false;
    // Events keep the connection from counting as silent, but they are no answer: a server whose
    // event pump runs while its request handling is stuck must not hold the caller's thread. Only
    // the reply's own bytes coming in (a long listing) move this deadline.
    Clock::time_point replyBy = Clock::now() + silenceLimit;
    while (!inbox.ReplyArrived()) {
        StartAwaiting();
        if (!ReadSome(replyBy) && !inbox.ReplyArrived())
            return false;
        if (inbox.ReplyArrived())
            break;
        if (inbox.ReplyArriving())
            replyBy = std::max(replyBy, lastHeard + silenceLimit);
        if (Clock::now() >= replyBy) {
            Lose();
            return false;
        }
    }
    reply = inbox.TakeReply();
    return true;
}

int ZoapiSession::RequestResult(WireWriter& request)
{
    std::vector<std::uint8_t> body;
    if (!Request(request, body))
        return -1;
    WireReader in(body.data(), body.size());
    std::int32_t code = in.I32();
    return in.Ok() ? code : -1;
}

int ZoapiSession::Deliver()
{
    std::size_t count = inbox.EventCount();
    // The event function may close the handle, which empties the queue under this loop.
    for (std::size_t i = 0; i < count && inbox.EventCount() > 0; ++i) {
        EventRecord event = inbox.PopEvent();
        if (callback)
            callback(event.type, event.status, event.data.empty() ? nullptr : event.data.data(), 0, context);
    }
    return static_cast<int>(count);
}

int ZoapiSession::Select(int milliseconds)
{
    if (inbox.EventCount() > 0)
        return Deliver();
    if (!Connected())
        return -1;
    auto until = Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0));
    // A quiet server is asked for a sign of life a few times within the silence limit.
    auto pingEvery = std::clamp<std::chrono::milliseconds>(silenceLimit / 4, std::chrono::milliseconds(100),
                                                           std::chrono::milliseconds(5000));
    for (;;) {
        auto now = Clock::now();
        if (!awaiting && now - lastHeard >= pingEvery) {
            WireWriter ping(kPing, NextSeq());
            if (!SendFrame(ping))
                return inbox.EventCount() == 0 ? -1 : Deliver();
            StartAwaiting();
        }
        auto wake = awaiting ? until : std::min(until, lastHeard + pingEvery);
        if (!ReadSome(wake))
            return inbox.EventCount() == 0 ? -1 : Deliver();
        if (inbox.EventCount() > 0)
            return Deliver();
        if (Clock::now() >= until)
            return 0;
    }
}

int ZoapiSession::Login(const char* user, const char* password)
{
    if (!user || !password || !Connected())
        return -1;
    WireWriter login(kLogin, NextSeq());
    WireCodec::Write(login, LoginRecord{CallerRecords::BoundedText(user), CallerRecords::BoundedText(password)});
    if (!SendFrame(login))
        return -1;
    // The result comes as an event; until it does, the server's silence counts.
    StartAwaiting();
    return 0;
}

unsigned ZoapiSession::LoadCameras()
{
    WireWriter request(kListCameras, NextSeq());
    std::vector<std::uint8_t> reply;
    Request(request, reply);
    return directory.TakeCameras(reply);
}

unsigned ZoapiSession::LoadSoftTriggers()
{
    WireWriter request(kListSoftTriggers, NextSeq());
    std::vector<std::uint8_t> reply;
    Request(request, reply);
    return directory.TakeSoftTriggers(reply);
}

unsigned ZoapiSession::LoadEventLinks()
{
    WireWriter request(kListEventLinks, NextSeq());
    std::vector<std::uint8_t> reply;
    Request(request, reply);
    return directory.TakeEventLinks(reply);
}

unsigned ZoapiSession::CameraId(unsigned index) const
{
    return directory.CameraId(index);
}

unsigned ZoapiSession::SoftTriggerId(unsigned index) const
{
    return directory.SoftTriggerId(index);
}

unsigned ZoapiSession::EventLinkId(unsigned index) const
{
    return directory.EventLinkId(index);
}

int ZoapiSession::CameraText(unsigned cameraId, bool deviceAddress, char* buffer, int size)
{
    if (!buffer || size <= 0)
        return -1;
    buffer[0] = '\0';
    const CameraRecord* camera = directory.FindCamera(cameraId);
    // An id the last list did not hold may be new on the server: one reload, then give up.
    if (!camera && Connected()) {
        LoadCameras();
        camera = directory.FindCamera(cameraId);
    }
    if (!camera)
        return -1;
    return CallerRecords::CopyText(deviceAddress ? camera->address : camera->name, buffer, size);
}

int ZoapiSession::SoftTriggerGuid(unsigned triggerId, char* buffer, int size)
{
    if (!buffer || size <= 0)
        return -1;
    buffer[0] = '\0';
    const SoftTriggerRecord* trigger = directory.FindSoftTrigger(triggerId);
    if (!trigger && Connected()) {
        LoadSoftTriggers();
        trigger = directory.FindSoftTrigger(triggerId);
    }
    if (!trigger)
        return -1;
    return CallerRecords::CopyText(trigger->guid, buffer, size);
}

int ZoapiSession::CreateSoftTrigger(const char* name, const char* guid)
{
    if (!name || !guid)
        return -1;
    WireWriter request(kCreateSoftTrigger, NextSeq());
    WireCodec::Write(request,
                     NewSoftTriggerRecord{CallerRecords::BoundedText(name), CallerRecords::BoundedText(guid)});
    return RequestResult(request);
}

int ZoapiSession::GetEventLink(ZOAPI_EVENT_LINK* link)
{
    if (!link || link->size != sizeof(ZOAPI_EVENT_LINK))
        return -1;
    WireWriter request(kGetEventLink, NextSeq());
    request.U32(link->id);
    std::vector<std::uint8_t> body;
    if (!Request(request, body))
        return -1;
    WireReader in(body.data(), body.size());
    EventLinkRecord got;
    // A reply that does not read cleanly, or names another link, leaves the caller's record alone.
    if (in.I32() != kOk || !WireCodec::Read(in, got) || got.id != link->id)
        return -1;
    CallerRecords::ToCaller(got, *link);
    return 0;
}

int ZoapiSession::UpdateEventLink(const ZOAPI_EVENT_LINK* link)
{
    if (!link || link->size != sizeof(ZOAPI_EVENT_LINK))
        return -1;
    WireWriter request(kUpdateEventLink, NextSeq());
    WireCodec::Write(request, CallerRecords::FromCaller(*link));
    return RequestResult(request);
}

int ZoapiSession::GetAssociation(unsigned cameraId, ZOAPI_ASSOCIATION* a)
{
    if (!a || a->size != sizeof(ZOAPI_ASSOCIATION))
        return -1;
    WireWriter request(kGetAssociation, NextSeq());
    request.U32(cameraId);
    std::vector<std::uint8_t> body;
    if (!Request(request, body))
        return -1;
    WireReader in(body.data(), body.size());
    std::int32_t code = in.I32();
    bool found = false;
    AssociationRecord got;
    // The whole answer is read before anything is written, so a short one leaves the record alone.
    if (!WireCodec::ReadFound(in, found, got) || code != kOk)
        return -1;
    if (found)
        CallerRecords::ToCaller(got, *a);
    else
        CallerRecords::NoAssociation(*a);
    return 0;
}

int ZoapiSession::UpdateAssociation(const ZOAPI_ASSOCIATION* a)
{
    if (!a || a->size != sizeof(ZOAPI_ASSOCIATION))
        return -1;
    if (a->entryCount > kMaxAssociationEntries || (a->entryCount > 0 && !a->entries))
        return -1;
    WireWriter request(kUpdateAssociation, NextSeq());
    WireCodec::Write(request, CallerRecords::FromCaller(*a));
    return RequestResult(request);
}

}  // namespace zoapi
