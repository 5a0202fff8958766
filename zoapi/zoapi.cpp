// The C entry points of libzoAPI.so: each checks its handle and hands the call to the session.
#include <chrono>
#include <new>
#include <thread>

#include "nvr/zoapi.h"
#include "zoapi/ZoapiSession.h"

using zoapi::ZoapiSession;

namespace {

ZoapiSession* SessionOf(ZOAPI_HANDLE handle)
{
    auto* session = reinterpret_cast<ZoapiSession*>(handle);
    return session && session->IsValid() ? session : nullptr;
}

/// The answer of a text call on an unusable handle: an empty text where the caller has room, and -1.
int NoText(char* buffer, int size)
{
    if (buffer && size > 0)
        buffer[0] = '\0';
    return -1;
}

}  // namespace

extern "C" {

ZOAPI_HANDLE ZOAPI_Init(void)
{
    return reinterpret_cast<ZOAPI_HANDLE>(new (std::nothrow) ZoapiSession());
}

int ZOAPI_SetCallbackEx(ZOAPI_HANDLE handle, ZOAPI_EVENTFUNC function, void* context)
{
    ZoapiSession* s = SessionOf(handle);
    if (!s)
        return -1;
    s->SetCallback(function, context);
    return 0;
}

int ZOAPI_Open(ZOAPI_HANDLE handle, const char* address, unsigned short port)
{
    ZoapiSession* s = SessionOf(handle);
    return s ? s->Open(address, port) : -1;
}

int ZOAPI_SetTimeout(ZOAPI_HANDLE handle, int seconds)
{
    ZoapiSession* s = SessionOf(handle);
    return s ? s->SetTimeout(seconds) : -1;
}

int ZOAPI_Select(ZOAPI_HANDLE handle, int milliseconds)
{
    ZoapiSession* s = SessionOf(handle);
    if (!s) {
        // Callers poll in a loop even without a session; waiting keeps that loop from spinning.
        if (milliseconds > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return -1;
    }
    return s->Select(milliseconds);
}

int ZOAPI_Discover(ZOAPI_HANDLE handle)
{
    ZoapiSession* s = SessionOf(handle);
    if (!s || s->Socket() < 0)
        return -1;
    s->LoadCameras();
    return s->Socket() < 0 ? -1 : 0;
}

int ZOAPI_Login(ZOAPI_HANDLE handle, const char* user, const char* password)
{
    ZoapiSession* s = SessionOf(handle);
    return s ? s->Login(user, password) : -1;
}

int ZOAPI_GetSocket(ZOAPI_HANDLE handle)
{
    ZoapiSession* s = SessionOf(handle);
    return s ? s->Socket() : -1;
}

int ZOAPI_Close(ZOAPI_HANDLE handle)
{
    ZoapiSession* s = SessionOf(handle);
    if (!s)
        return -1;
    s->Close();
    return 0;
}

int ZOAPI_Cleanup(ZOAPI_HANDLE handle)
{
    ZoapiSession* s = SessionOf(handle);
    if (!s)
        return -1;
    delete s;
    return 0;
}

unsigned int ZOAPI_NumCameras(ZOAPI_HANDLE handle)
{
    ZoapiSession* s = SessionOf(handle);
    return s ? s->LoadCameras() : 0;
}

unsigned int ZOAPI_NumSoftTriggers(ZOAPI_HANDLE handle)
{
    ZoapiSession* s = SessionOf(handle);
    return s ? s->LoadSoftTriggers() : 0;
}

unsigned int ZOAPI_NumEventLinks(ZOAPI_HANDLE handle)
{
    ZoapiSession* s = SessionOf(handle);
    return s ? s->LoadEventLinks() : 0;
}

unsigned int ZOAPI_GetCameraId(ZOAPI_HANDLE handle, unsigned int index)
{
    ZoapiSession* s = SessionOf(handle);
    return s ? s->CameraId(index) : 0;
}

unsigned int ZOAPI_GetSoftTriggerId(ZOAPI_HANDLE handle, unsigned int index)
{
    ZoapiSession* s = SessionOf(handle);
    return s ? s->SoftTriggerId(index) : 0;
}

unsigned int ZOAPI_GetEventLinkId(ZOAPI_HANDLE handle, unsigned int index)
{
    ZoapiSession* s = SessionOf(handle);
    return s ? s->EventLinkId(index) : 0;
}

int ZOAPI_GetCameraName(ZOAPI_HANDLE handle, unsigned int cameraId, char* buffer, int size)
{
    ZoapiSession* s = SessionOf(handle);
    if (!s)
        return NoText(buffer, size);
    return s->CameraText(cameraId, false, buffer, size);
}

int ZOAPI_GetDeviceIP(ZOAPI_HANDLE handle, unsigned int cameraId, char* buffer, int size)
{
    ZoapiSession* s = SessionOf(handle);
    if (!s)
        return NoText(buffer, size);
    return s->CameraText(cameraId, true, buffer, size);
}

int ZOAPI_GetSoftTriggerGuid(ZOAPI_HANDLE handle, unsigned int triggerId, char* buffer, int size)
{
    ZoapiSession* s = SessionOf(handle);
    if (!s)
        return NoText(buffer, size);
    return s->SoftTriggerGuid(triggerId, buffer, size);
}

int ZOAPI_CreateSoftTriggerWithGuid(ZOAPI_HANDLE handle, const char* name, const char* guid)
{
    ZoapiSession* s = SessionOf(handle);
    return s ? s->CreateSoftTrigger(name, guid) : -1;
}

int ZOAPI_GetEventLinkInfo(ZOAPI_HANDLE handle, ZOAPI_EVENT_LINK* link)
{
    ZoapiSession* s = SessionOf(handle);
    return s ? s->GetEventLink(link) : -1;
}

int ZOAPI_UpdateEventLink(ZOAPI_HANDLE handle, ZOAPI_EVENT_LINK* link)
{
    ZoapiSession* s = SessionOf(handle);
    return s ? s->UpdateEventLink(link) : -1;
}

int ZOAPI_GetAssociationForCamera(ZOAPI_HANDLE handle, unsigned int cameraId, ZOAPI_ASSOCIATION* association)
{
    ZoapiSession* s = SessionOf(handle);
    return s ? s->GetAssociation(cameraId, association) : -1;
}

int ZOAPI_UpdateAssociation(ZOAPI_HANDLE handle, ZOAPI_ASSOCIATION* association)
{
    ZoapiSession* s = SessionOf(handle);
    return s ? s->UpdateAssociation(association) : -1;
}

}  // extern "C"
