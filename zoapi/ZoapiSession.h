#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "nvr/zoapi.h"
#include "zoapi/WireWriter.h"

namespace zoapi {

// One handle of the client library: a TCP connection to a recording server, the events received
// on it and not yet delivered, and the lists last loaded from the server. Used from one thread at
// a time; different sessions share nothing, so they run on different threads without locks.
class ZoapiSession {
public:
    /// The value of `magic` while the session is alive.
    static constexpr std::uint32_t kMagic = 0x5A4F4150;

    ZoapiSession();
    ~ZoapiSession();
    ZoapiSession(const ZoapiSession&) = delete;
    ZoapiSession& operator=(const ZoapiSession&) = delete;

    /// True for a live session (guards against handles that are garbage or already freed).
    bool IsValid() const;
    /// Sets the event function and its context.
    void SetCallback(ZOAPI_EVENTFUNC function, void* context);
    /// Connects; 0 on success, -1 on failure (the session is then not connected).
    int Open(const char* address, unsigned short port);
    /// Sets the silence limit; 0, or -1 for a value below 1.
    int SetTimeout(int seconds);
    /// Waits for and delivers events; see ZOAPI_Select.
    int Select(int milliseconds);
    /// Sends the login request; 0 when sent.
    int Login(const char* user, const char* password);
    /// Socket of the connection or -1.
    int Socket() const;
    /// Closes the connection and forgets queued events.
    void Close();

    /// Reloads the camera list; its size, or 0 on failure.
    unsigned LoadCameras();
    /// Reloads the soft-trigger list; its size, or 0 on failure.
    unsigned LoadSoftTriggers();
    /// Reloads the event-link list; its size, or 0 on failure.
    unsigned LoadEventLinks();
    /// Camera id at an index of the last list, 0 when out of range.
    unsigned CameraId(unsigned index) const;
    /// Trigger id at an index of the last list, 0 when out of range.
    unsigned SoftTriggerId(unsigned index) const;
    /// Link id at an index of the last list, 0 when out of range.
    unsigned EventLinkId(unsigned index) const;
    /// Copies a camera's name (or device address) into the caller's buffer; 0 or -1.
    int CameraText(unsigned cameraId, bool deviceAddress, char* buffer, int size);
    /// Copies a trigger's GUID into the caller's buffer; 0 or -1.
    int SoftTriggerGuid(unsigned triggerId, char* buffer, int size);
    /// Asks the server to create a trigger; its result code, or -1.
    int CreateSoftTrigger(const char* name, const char* guid);
    /// Fills an event link; 0 or negative.
    int GetEventLink(ZOAPI_EVENT_LINK* link);
    /// Writes an event link back; the server's result code, or -1.
    int UpdateEventLink(const ZOAPI_EVENT_LINK* link);
    /// Fills a camera's association; 0 or negative.
    int GetAssociation(unsigned cameraId, ZOAPI_ASSOCIATION* association);
    /// Writes an association; the server's result code, or -1.
    int UpdateAssociation(const ZOAPI_ASSOCIATION* association);

private:
    /// Fetches the listing of type and reads each item with readItem into items, replacing them
    /// only when the whole reply reads cleanly; smallestItem bounds the count a reply may claim.
    /// Returns the item count, 0 on any failure (items are then empty).
    template <typename Item, typename ReadItem>
    unsigned LoadList(std::uint16_t type, std::uint32_t smallestItem, std::vector<Item>& items, ReadItem readItem);

    using Clock = std::chrono::steady_clock;

    /// An event received and not yet delivered.
    struct Event {
        /// Event type.
        int type;
        /// Event status.
        int status;
        /// Event data; empty means the event function gets NULL.
        std::vector<std::uint8_t> data;
    };
    /// A server camera as last listed.
    struct Camera {
        /// Server camera id.
        std::uint32_t id;
        /// Camera name.
        std::string name;
        /// Device address; empty for an analog camera.
        std::string address;
    };
    /// A soft trigger as last listed.
    struct SoftTrigger {
        /// Trigger id.
        std::uint32_t id;
        /// Trigger name.
        std::string name;
        /// Trigger GUID.
        std::string guid;
    };

    /// Marks the connection lost: the socket is closed, queued events stay for Select.
    void Lose();
    /// Sends a whole frame; false (connection lost) when it cannot within the silence limit.
    bool SendFrame(WireWriter& frame);
    /// Sends a request and waits for its reply body (after the result code is checked by caller).
    bool Request(WireWriter& request, std::vector<std::uint8_t>& reply);
    /// Waits until `until` for data and takes in what came; false once the connection is lost.
    bool ReadSome(Clock::time_point until);
    /// Splits received bytes into frames, queueing events and keeping the awaited reply.
    bool TakeFrames();
    /// Handles one complete frame body; false on a frame that breaks the protocol.
    bool TakeFrame(const std::uint8_t* body, std::size_t size);
    /// True when the frame being received is the awaited reply, still incomplete.
    bool ReplyArriving() const;
    /// Starts the silence clock unless it already runs.
    void StartAwaiting();
    /// Time at which the silence limit runs out, or max() when nothing is awaited.
    Clock::time_point SilenceDeadline() const;
    /// Calls the event function for the events queued now; their number.
    int Deliver();
    /// Sequence number for the next request.
    std::uint32_t NextSeq();

    /// kMagic while alive, cleared by the destructor.
    std::uint32_t magic = kMagic;
    /// Connected socket, -1 when not connected.
    int fd = -1;
    /// Event function, may be null.
    ZOAPI_EVENTFUNC callback = nullptr;
    /// Context handed to the event function.
    void* context = nullptr;
    /// How long the server may stay silent while an answer is awaited.
    std::chrono::milliseconds silenceLimit{60000};
    /// Bytes received and not yet split into frames.
    std::vector<std::uint8_t> received;
    /// Events waiting for Select, oldest first.
    std::deque<Event> events;
    /// Sequence number of the last request sent.
    std::uint32_t seq = 0;
    /// Sequence number of the reply awaited, 0 when none.
    std::uint32_t awaitedSeq = 0;
    /// Set when the awaited reply has arrived.
    bool replyArrived = false;
    /// Body of the awaited reply after its header.
    std::vector<std::uint8_t> reply;
    /// Set while an answer (greeting, reply, keep-alive) is awaited.
    bool awaiting = false;
    /// When the current wait for an answer began.
    Clock::time_point awaitingSince;
    /// When the server last sent anything.
    Clock::time_point lastHeard;
    /// Cameras as last listed.
    std::vector<Camera> cameras;
    /// Camera id to index in `cameras`.
    std::unordered_map<std::uint32_t, std::size_t> cameraIndex;
    /// Soft triggers as last listed.
    std::vector<SoftTrigger> triggers;
    /// Trigger id to index in `triggers`.
    std::unordered_map<std::uint32_t, std::size_t> triggerIndex;
    /// Event-link ids as last listed.
    std::vector<std::uint32_t> links;
};

}  // namespace zoapi
