#include "zoapi/ZoapiSession.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "zoapi/WireProtocol.h"
#include "zoapi/WireReader.h"

namespace zoapi {

namespace {

// More undelivered events than this means the caller stopped calling ZOAPI_Select; rather than
// drop any, the connection is given up.
constexpr std::size_t kMaxQueuedEvents = 100000;
// A connect never waits longer than this, whatever the silence limit.
constexpr std::chrono::milliseconds kConnectLimit{10000};

int PollFor(int fd, short what, std::chrono::steady_clock::time_point until)
{
    auto now = std::chrono::steady_clock::now();
    long long ms = 0;
    if (until > now)
        ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
    int wait = static_cast<int>(std::min<long long>(ms, 1000 * 1000));
    pollfd p{fd, what, 0};
    int n = ::poll(&p, 1, wait);
    if (n < 0 && errno == EINTR)
        return 0;
    if (n > 0 && (p.revents & (POLLERR | POLLNVAL)) && !(p.revents & POLLIN))
        return -1;
    return n;
}

// Copies at most `size` bytes (and never more than one text buffer) with a terminating NUL.
int CopyText(const std::string& text, char* buffer, int size)
{
    if (!buffer || size <= 0)
        return -1;
    std::size_t room = static_cast<std::size_t>(std::min(size, ZOAPI_TEXT_SIZE)) - 1;
    std::size_t n = std::min(room, text.size());
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return 0;
}

std::string BoundedText(const char* text)
{
    if (!text)
        return std::string();
    const void* end = std::memchr(text, '\0', ZOAPI_TEXT_SIZE);
    std::size_t n = end ? static_cast<const char*>(end) - text : ZOAPI_TEXT_SIZE - 1;
    return std::string(text, n);
}

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
    return fd;
}

void ZoapiSession::Close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    events.clear();
    received.clear();
    awaiting = false;
    awaitedSeq = 0;
}

void ZoapiSession::Lose()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    received.clear();
    awaiting = false;
    awaitedSeq = 0;
}

int ZoapiSession::Open(const char* address, unsigned short port)
{
    Close();
    if (!address || !*address)
        return -1;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    if (::getaddrinfo(address, service.c_str(), &hints, &found) != 0)
        return -1;
    auto until = Clock::now() + std::min<std::chrono::milliseconds>(silenceLimit, kConnectLimit);
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        int s = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0)
            continue;
        int rc = ::connect(s, a->ai_addr, a->ai_addrlen);
        if (rc < 0 && errno == EINPROGRESS) {
            int error = 0;
            socklen_t length = sizeof error;
            rc = -1;
            while (Clock::now() < until) {
                int n = PollFor(s, POLLOUT, until);
                if (n == 0)
                    continue;
                if (n > 0 && ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
                    rc = 0;
                break;
            }
        }
        if (rc == 0)
            fd = s;
        else
            ::close(s);
    }
    ::freeaddrinfo(found);
    if (fd < 0)
        return -1;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
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
    if (fd < 0)
        return false;
    const std::vector<std::uint8_t>& bytes = frame.Bytes();
    std::size_t sent = 0;
    auto until = Clock::now() + silenceLimit;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && Clock::now() < until &&
            PollFor(fd, POLLOUT, until) >= 0)
            continue;
        Lose();
        return false;
    }
    return true;
}

bool ZoapiSession::ReadSome(Clock::time_point until)
{
    if (fd < 0)
        return false;
    Clock::time_point silence = SilenceDeadline();
    int n = PollFor(fd, POLLIN, std::min(until, silence));
    if (n < 0) {
        Lose();
        return false;
    }
    if (n == 0) {
        if (Clock::now() >= silence) {
            Lose();
            return false;
        }
        return true;
    }
    std::uint8_t chunk[65536];
    for (;;) {
        ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got > 0) {
            received.insert(received.end(), chunk, chunk + got);
            lastHeard = Clock::now();
            awaiting = false;
            if (received.size() > kLengthSize + kMaxFrameBody + sizeof chunk)
                break;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // Orderly close or error: what already arrived is still taken in, then the link is gone.
        bool ok = TakeFrames();
        (void)ok;
        Lose();
        return false;
    }
    if (!TakeFrames()) {
        Lose();
        return false;
    }
    return true;
}

bool ZoapiSession::TakeFrames()
{
    std::size_t at = 0;
    bool ok = true;
    while (received.size() - at >= kLengthSize) {
        const std::uint8_t* p = received.data() + at;
        std::uint32_t body = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                             (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
        if (body < kHeaderRest || body > kMaxFrameBody) {
            ok = false;
            break;
        }
        if (received.size() - at - kLengthSize < body)
            break;
        if (!TakeFrame(p + kLengthSize, body)) {
            ok = false;
            break;
        }
        at += kLengthSize + body;
    }
    received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(at));
    return ok;
}

bool ZoapiSession::TakeFrame(const std::uint8_t* body, std::size_t size)
{
    WireReader header(body, kHeaderRest);
    std::uint16_t type = header.U16();
    header.U16();  // flags: none defined yet
    std::uint32_t frameSeq = header.U32();
    const std::uint8_t* payload = body + kHeaderRest;
    std::size_t payloadSize = size - kHeaderRest;
    if (type == kEvent) {
        WireReader in(payload, payloadSize);
        Event event;
        event.type = in.I32();
        event.status = in.I32();
        std::uint16_t dataSize = in.U16();
        if (!in.Ok() || dataSize > kMaxEventData)
            return false;
        const std::uint8_t* data = in.Raw(dataSize);
        if (!in.Ok())
            return false;
        // The event function reads these records at fixed offsets; a shorter one would send it
        // past the end of the data, so it breaks the protocol like a lying length does.
        std::size_t record = 0;
        if (event.type == ZOAPI_EVENT_SOFT_TRIGGER_CHANGED)
            record = sizeof(ZOAPI_TRIGGER_EVENT);
        else if (event.type == ZOAPI_EVENT_SOFT_TRIGGER_CREATED)
            record = sizeof(ZOAPI_TRIGGER_CREATED_EVENT);
        if (dataSize != 0 && dataSize < record)
            return false;
        event.data.assign(data, data + dataSize);
        if (events.size() >= kMaxQueuedEvents)
            return false;
        events.push_back(std::move(event));
        return true;
    }
    if ((type & kReplyBit) && awaitedSeq != 0 && frameSeq == awaitedSeq) {
        reply.assign(payload, payload + payloadSize);
        replyArrived = true;
        awaitedSeq = 0;
        return true;
    }
    // Keep-alive answers, late replies and message types of a newer server are passed over.
    return true;
}

bool ZoapiSession::Request(WireWriter& request, std::vector<std::uint8_t>& out)
{
    if (fd < 0)
        return false;
    replyArrived = false;
    awaitedSeq = seq;
    if (!SendFrame(request))
        return false;
    // Events keep the connection from counting as silent, but they are no answer: a server whose
    // event pump runs while its request handling is stuck must not hold the caller's thread. Only
    // the reply's own bytes coming in (a long listing) move this deadline.
    Clock::time_point replyBy = Clock::now() + silenceLimit;
    while (!replyArrived) {
        StartAwaiting();
        if (!ReadSome(replyBy) && !replyArrived)
            return false;
        if (replyArrived)
            break;
        if (ReplyArriving())
            replyBy = std::max(replyBy, lastHeard + silenceLimit);
        if (Clock::now() >= replyBy) {
            Lose();
            return false;
        }
    }
    out.swap(reply);
    reply.clear();
    return true;
}

bool ZoapiSession::ReplyArriving() const
{
    if (awaitedSeq == 0 || received.size() < kLengthSize + kHeaderRest)
        return false;
    WireReader header(received.data() + kLengthSize, kHeaderRest);
    std::uint16_t type = header.U16();
    header.U16();
    return (type & kReplyBit) && header.U32() == awaitedSeq;
}

int ZoapiSession::Deliver()
{
    std::size_t count = events.size();
    for (std::size_t i = 0; i < count && !events.empty(); ++i) {
        Event event = std::move(events.front());
        events.pop_front();
        if (callback)
            callback(event.type, event.status, event.data.empty() ? nullptr : event.data.data(), 0,
                     context);
    }
    return static_cast<int>(count);
}

int ZoapiSession::Select(int milliseconds)
{
    if (!events.empty())
        return Deliver();
    if (fd < 0)
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
                return events.empty() ? -1 : Deliver();
            StartAwaiting();
        }
        auto wake = awaiting ? until : std::min(until, lastHeard + pingEvery);
        if (!ReadSome(wake))
            return events.empty() ? -1 : Deliver();
        if (!events.empty())
            return Deliver();
        if (Clock::now() >= until)
            return 0;
    }
}

int ZoapiSession::Login(const char* user, const char* password)
{
    if (!user || !password || fd < 0)
        return -1;
    WireWriter login(kLogin, NextSeq());
    login.Str(BoundedText(user));
    login.Str(BoundedText(password));
    if (!SendFrame(login))
        return -1;
    // The result comes as an event; until it does, the server's silence counts.
    StartAwaiting();
    return 0;
}

template <typename Item, typename ReadItem>
unsigned ZoapiSession::LoadList(std::uint16_t type, std::uint32_t smallestItem, std::vector<Item>& items,
                                ReadItem readItem)
{
    items.clear();
    WireWriter request(type, NextSeq());
    std::vector<std::uint8_t> body;
    if (!Request(request, body))
        return 0;
    WireReader in(body.data(), body.size());
    if (in.I32() != kOk)
        return 0;
    std::uint32_t count = in.U32();
    // A count larger than the reply's bytes could hold cannot be honest.
    if (!in.Ok() || count > in.Left() / smallestItem)
        return 0;
    std::vector<Item> list;
    list.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i)
        list.push_back(readItem(in));
    if (!in.Ok())
        return 0;
    items.swap(list);
    return static_cast<unsigned>(items.size());
}

unsigned ZoapiSession::LoadCameras()
{
    cameraIndex.clear();
    // An id and two empty texts take at least 8 bytes.
    LoadList(kListCameras, 8, cameras, [](WireReader& in) {
        Camera camera;
        camera.id = in.U32();
        camera.name = in.Str();
        camera.address = in.Str();
        return camera;
    });
    for (std::size_t i = 0; i < cameras.size(); ++i)
        cameraIndex.emplace(cameras[i].id, i);
    return static_cast<unsigned>(cameras.size());
}

unsigned ZoapiSession::LoadSoftTriggers()
{
    triggerIndex.clear();
    LoadList(kListSoftTriggers, 8, triggers, [](WireReader& in) {
        SoftTrigger trigger;
        trigger.id = in.U32();
        trigger.name = in.Str();
        trigger.guid = in.Str();
        return trigger;
    });
    for (std::size_t i = 0; i < triggers.size(); ++i)
        triggerIndex.emplace(triggers[i].id, i);
    return static_cast<unsigned>(triggers.size());
}

unsigned ZoapiSession::LoadEventLinks()
{
    return LoadList(kListEventLinks, 4, links, [](WireReader& in) { return in.U32(); });
}

unsigned ZoapiSession::CameraId(unsigned index) const
{
    return index < cameras.size() ? cameras[index].id : 0;
}

unsigned ZoapiSession::SoftTriggerId(unsigned index) const
{
    return index < triggers.size() ? triggers[index].id : 0;
}

unsigned ZoapiSession::EventLinkId(unsigned index) const
{
    return index < links.size() ? links[index] : 0;
}

int ZoapiSession::CameraText(unsigned cameraId, bool deviceAddress, char* buffer, int size)
{
    if (!buffer || size <= 0)
        return -1;
    buffer[0] = '\0';
    auto found = cameraIndex.find(cameraId);
    // An id the last list did not hold may be new on the server: one reload, then give up.
    if (found == cameraIndex.end() && fd >= 0) {
        LoadCameras();
        found = cameraIndex.find(cameraId);
    }
    if (found == cameraIndex.end())
        return -1;
    const Camera& camera = cameras[found->second];
    return CopyText(deviceAddress ? camera.address : camera.name, buffer, size);
}

int ZoapiSession::SoftTriggerGuid(unsigned triggerId, char* buffer, int size)
{
    if (!buffer || size <= 0)
        return -1;
    buffer[0] = '\0';
    auto found = triggerIndex.find(triggerId);
    if (found == triggerIndex.end() && fd >= 0) {
        LoadSoftTriggers();
        found = triggerIndex.find(triggerId);
    }
    if (found == triggerIndex.end())
        return -1;
    return CopyText(triggers[found->second].guid, buffer, size);
}

int ZoapiSession::CreateSoftTrigger(const char* name, const char* guid)
{
    if (!name || !guid)
        return -1;
    WireWriter request(kCreateSoftTrigger, NextSeq());
    request.Str(BoundedText(name));
    request.Str(BoundedText(guid));
    std::vector<std::uint8_t> body;
    if (!Request(request, body))
        return -1;
    WireReader in(body.data(), body.size());
    std::int32_t code = in.I32();
    return in.Ok() ? code : -1;
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
    if (in.I32() != kOk)
        return -1;
    std::uint32_t id = in.U32();
    std::uint32_t sourceType = in.U32();
    std::uint32_t sourceId = in.U32();
    std::uint32_t flags = in.U32();
    std::uint32_t triggerInUse = in.U32();
    std::uint32_t softTriggerId = in.U32();
    std::string name = in.Str();
    if (!in.Ok() || id != link->id)
        return -1;
    std::uint32_t keepSize = link->size;
    std::memset(link, 0, sizeof *link);
    link->size = keepSize;
    link->id = id;
    link->sourceType = sourceType;
    link->sourceId = sourceId;
    link->flags = flags;
    link->triggerInUse = triggerInUse;
    link->softTriggerId = softTriggerId;
    CopyText(name, link->name, sizeof link->name);
    return 0;
}

int ZoapiSession::UpdateEventLink(const ZOAPI_EVENT_LINK* link)
{
    if (!link || link->size != sizeof(ZOAPI_EVENT_LINK))
        return -1;
    WireWriter request(kUpdateEventLink, NextSeq());
    request.U32(link->id);
    request.U32(link->sourceType);
    request.U32(link->sourceId);
    request.U32(link->flags);
    request.U32(link->triggerInUse);
    request.U32(link->softTriggerId);
    request.Str(std::string(link->name, strnlen(link->name, sizeof link->name)));
    std::vector<std::uint8_t> body;
    if (!Request(request, body))
        return -1;
    WireReader in(body.data(), body.size());
    std::int32_t code = in.I32();
    return in.Ok() ? code : -1;
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
    std::uint8_t found = in.U8();
    if (!in.Ok() || code != kOk)
        return -1;
    if (!found) {
        a->nameLength = 0;
        a->entryCount = 0;
        if (a->name)
            a->name[0] = '\0';
        return 0;
    }
    std::string name = in.Str();
    std::uint32_t camera = in.U32();
    std::uint32_t r16 = in.U32();
    std::uint16_t r20 = in.U16();
    std::uint16_t r22 = in.U16();
    std::uint32_t colour = in.U32();
    std::uint32_t r28 = in.U32();
    std::uint32_t update = in.U32();
    std::string font = in.Str();
    std::uint32_t r40 = in.U32();
    std::uint32_t r44 = in.U32();
    std::uint32_t highlight = in.U32();
    std::uint32_t r52 = in.U32();
    std::uint32_t r56 = in.U32();
    std::uint32_t r60 = in.U32();
    std::uint32_t count = in.U32();
    if (!in.Ok() || count > kMaxAssociationEntries || count > in.Left() / sizeof(ZOAPI_ASSOCIATION_ENTRY))
        return -1;
    // Entries are read in full before anything is written, so a short frame leaves the record alone.
    std::vector<ZOAPI_ASSOCIATION_ENTRY> entries(count);
    for (auto& e : entries) {
        e.size = in.U32();
        e.position = in.U32();
        e.reserved8 = in.U32();
        e.softTriggerId = in.U32();
        e.reserved16 = in.U32();
        e.reserved20 = in.U32();
        e.reserved24 = in.U32();
        e.reserved28 = in.U32();
        e.size = sizeof(ZOAPI_ASSOCIATION_ENTRY);
    }
    if (!in.Ok())
        return -1;
    if (a->name)
        CopyText(name, a->name, ZOAPI_TEXT_SIZE);
    a->nameLength = static_cast<std::uint32_t>(std::min<std::size_t>(name.size(), ZOAPI_TEXT_SIZE - 1) + 1);
    a->cameraId = camera;
    a->reserved16 = r16;
    a->reserved20 = r20;
    a->reserved22 = r22;
    a->colour = colour;
    a->reserved28 = r28;
    a->update = update;
    if (a->fontName)
        CopyText(font, a->fontName, ZOAPI_TEXT_SIZE);
    a->reserved40 = r40;
    a->reserved44 = r44;
    a->highlightColour = highlight;
    a->reserved52 = r52;
    a->reserved56 = r56;
    a->reserved60 = r60;
    if (!a->entries || a->entryCount == 0) {
        a->entryCount = count;
    } else {
        std::uint32_t n = std::min(count, a->entryCount);
        std::copy(entries.begin(), entries.begin() + n, a->entries);
        a->entryCount = n;
    }
    return 0;
}

int ZoapiSession::UpdateAssociation(const ZOAPI_ASSOCIATION* a)
{
    if (!a || a->size != sizeof(ZOAPI_ASSOCIATION))
        return -1;
    if (a->entryCount > kMaxAssociationEntries || (a->entryCount > 0 && !a->entries))
        return -1;
    WireWriter request(kUpdateAssociation, NextSeq());
    request.Str(BoundedText(a->name));
    request.U32(a->cameraId);
    request.U32(a->reserved16);
    request.U16(a->reserved20);
    request.U16(a->reserved22);
    request.U32(a->colour);
    request.U32(a->reserved28);
    request.U32(a->update);
    request.Str(BoundedText(a->fontName));
    request.U32(a->reserved40);
    request.U32(a->reserved44);
    request.U32(a->highlightColour);
    request.U32(a->reserved52);
    request.U32(a->reserved56);
    request.U32(a->reserved60);
    request.U32(a->entryCount);
    for (std::uint32_t i = 0; i < a->entryCount; ++i) {
        const ZOAPI_ASSOCIATION_ENTRY& e = a->entries[i];
        request.U32(e.size);
        request.U32(e.position);
        request.U32(e.reserved8);
        request.U32(e.softTriggerId);
        request.U32(e.reserved16);
        request.U32(e.reserved20);
        request.U32(e.reserved24);
        request.U32(e.reserved28);
    }
    std::vector<std::uint8_t> body;
    if (!Request(request, body))
        return -1;
    WireReader in(body.data(), body.size());
    std::int32_t code = in.I32();
    return in.Ok() ? code : -1;
}

}  // namespace zoapi
