#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "nvr/zoapi.h"
#include "zoapi/WireWriter.h"
#include "zoapi/ZoapiConnection.h"
#include "zoapi/ZoapiDirectory.h"
#include "zoapi/ZoapiInbox.h"

namespace zoapi {

// One handle of the client library: the calls of the C interface over one connection to a
// recording server, with the silence limit that decides when the server counts as lost. The
// bytes go through the connection, what comes back is taken apart by the inbox, and listings
// are kept in the directory. Used from one thread at a time; different sessions share nothing,
// so they run on different threads without locks.
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
    using Clock = ZoapiConnection::Clock;

    /// Marks the connection lost: the socket is closed, queued events stay for Select.
    void Lose();
    /// Sends a whole frame; false (connection lost) when it cannot within the silence limit.
    bool SendFrame(WireWriter& frame);
    /// Sends a request and waits for its reply; false (nothing in `reply`) when none came.
    bool Request(WireWriter& request, std::vector<std::uint8_t>& reply);
    /// The result code that starts a reply to `request`, or -1 when no readable reply came.
    int RequestResult(WireWriter& request);
    /// Waits until `until` for data and takes in what came; false once the connection is lost.
    bool ReadSome(Clock::time_point until);
    /// Starts the silence clock unless it already runs.
    void StartAwaiting();
    /// Time at which the silence limit runs out, or max() when nothing is awaited.
    Clock::time_point SilenceDeadline() const;
    /// Calls the event function for the events queued now; their number.
    int Deliver();
    /// Sequence number for the next request.
    std::uint32_t NextSeq();
    /// True while connected.
    bool Connected() const;

    /// kMagic while alive, cleared by the destructor.
    std::uint32_t magic = kMagic;
    /// The socket to the server.
    ZoapiConnection connection;
    /// What the server sent, taken apart.
    ZoapiInbox inbox;
    /// Lists last loaded from the server.
    ZoapiDirectory directory;
    /// Event function, may be null.
    ZOAPI_EVENTFUNC callback = nullptr;
    /// Context handed to the event function.
    void* context = nullptr;
    /// How long the server may stay silent while an answer is awaited.
    std::chrono::milliseconds silenceLimit{60000};
    /// Sequence number of the last request sent.
    std::uint32_t seq = 0;
    /// Set while an answer (greeting, reply, keep-alive) is awaited.
    bool awaiting = false;
    /// When the current wait for an answer began.
    Clock::time_point awaitingSince;
    /// When the server last sent anything.
    Clock::time_point lastHeard;
};

}  // namespace zoapi
