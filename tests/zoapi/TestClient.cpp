#include "TestClient.h"

#include <cstring>
#include <thread>

TestClient::TestClient() : handle(ZOAPI_Init())
{
    ZOAPI_SetCallbackEx(handle, &TestClient::OnEvent, this);
}

TestClient::~TestClient()
{
    ZOAPI_Close(handle);
    ZOAPI_Cleanup(handle);
}

int TestClient::OnEvent(int type, int status, void* data, int, void* context)
{
    auto* self = static_cast<TestClient*>(context);
    if (!self->insideSelect)
        ++self->eventsOutsideSelect;
    ReceivedEvent event{type, status, {}};
    if (data) {
        // Every event this library sends carries at most 256 bytes; the first 16 are what tests read.
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        std::size_t size = type == ZOAPI_EVENT_SOFT_TRIGGER_CHANGED ? sizeof(ZOAPI_TRIGGER_EVENT)
                                                                    : sizeof(ZOAPI_TRIGGER_CREATED_EVENT);
        event.data.assign(bytes, bytes + size);
    }
    self->events.push_back(event);
    return 0;
}

int TestClient::Select(int milliseconds)
{
    insideSelect = true;
    int n = ZOAPI_Select(handle, milliseconds);
    insideSelect = false;
    return n;
}

bool TestClient::Connect(unsigned short port, const char* user, const char* password)
{
    if (ZOAPI_Open(handle, "127.0.0.1", port) != 0 || WaitForEvent(ZOAPI_EVENT_CONNECTED) < 0)
        return false;
    if (ZOAPI_Login(handle, user, password) != 0)
        return false;
    int at = WaitForEvent(ZOAPI_EVENT_LOGIN_RESULT);
    return at >= 0 && events[at].status == ZOAPI_LOGIN_OK;
}

int TestClient::WaitForEvent(int type, std::chrono::seconds limit)
{
    auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        for (; seen < events.size(); ++seen)
            if (events[seen].type == type)
                return static_cast<int>(seen++);
        if (std::chrono::steady_clock::now() >= until || Select(100) < 0)
            break;
    }
    for (; seen < events.size(); ++seen)
        if (events[seen].type == type)
            return static_cast<int>(seen++);
    return -1;
}

bool TestClient::WaitForSelectFailure(std::chrono::seconds limit)
{
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until)
        if (Select(100) < 0)
            return true;
    return false;
}

std::uint32_t TestClient::TriggerOf(const ReceivedEvent& event)
{
    std::uint32_t id = 0;
    if (event.data.size() >= 16)
        std::memcpy(&id, event.data.data() + 12, sizeof id);
    return id;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::seconds limit)
{
    auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
