#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "nvr/zoapi.h"

/// One event as the event function received it.
struct ReceivedEvent {
    /// Event type.
    int type;
    /// Event status.
    int status;
    /// Copy of the event data; empty when the data pointer was NULL.
    std::vector<std::uint8_t> data;
};

// A library handle as the daemon uses one: its event function records every event, and the
// waits pump ZOAPI_Select until what they wait for has been delivered or a deadline passes.
class TestClient {
public:
    /// Creates the handle and registers the event function.
    TestClient();
    /// Closes and frees the handle.
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    /// Opens, waits for the greeting, logs in and waits for the login result; true when accepted.
    bool Connect(unsigned short port, const char* user, const char* password);
    /// Pumps ZOAPI_Select until an event of `type` beyond those already seen arrives; its index or -1.
    int WaitForEvent(int type, std::chrono::seconds limit = std::chrono::seconds(10));
    /// Pumps ZOAPI_Select until it returns a negative value; false if it never did within the limit.
    bool WaitForSelectFailure(std::chrono::seconds limit = std::chrono::seconds(10));
    /// Trigger id at offset 12 of a recorded trigger event.
    static std::uint32_t TriggerOf(const ReceivedEvent& event);
    /// ZOAPI_Select with `insideSelect` set around it.
    int Select(int milliseconds);

    /// The library handle.
    ZOAPI_HANDLE handle;
    /// Events received so far, in delivery order.
    std::vector<ReceivedEvent> events;
    /// Index in `events` that the next WaitForEvent starts looking from.
    std::size_t seen = 0;
    /// Set while a ZOAPI_Select call of this client runs, to prove where events come from.
    bool insideSelect = false;
    /// Counts event-function calls made outside ZOAPI_Select.
    int eventsOutsideSelect = 0;

private:
    /// The event function handed to the library.
    static int OnEvent(int type, int status, void* data, int unused, void* context);
};

/// Polls `condition` until it holds or `limit` passes; for state the simulator changes on its thread.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(10));
