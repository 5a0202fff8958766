/*
 * libzoAPI.so: client library of the recording server (NVR).
 *
 * One opaque handle per ZOAPI_Init. Every call of one handle must come from one thread; different
 * handles may be used on different threads at the same time. Events are delivered only from inside
 * ZOAPI_Select, on the thread that calls it.
 *
 * Results: 0 means success unless a call says otherwise; a negative value is a local failure (bad
 * argument, lost connection, no answer within the silence limit); a positive value is an error
 * number reported by the server.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(ZOAPI_BUILDING_LIBRARY)
#define ZOAPI_EXPORT __attribute__((visibility("default")))
#else
#define ZOAPI_EXPORT
#endif

#ifdef __cplusplus
#define ZOAPI_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define ZOAPI_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/** Opaque session handle; 0 (NULL) means failure. */
typedef struct ZOAPI_SESSION* ZOAPI_HANDLE;

/**
 * Event function: event type, status, event data (may be NULL), an integer that is always 0, and
 * the context given to ZOAPI_SetCallbackEx. The data is valid only during the call.
 */
typedef int (*ZOAPI_EVENTFUNC)(int type, int status, void* data, int unused, void* context);

/* Event types. */
#define ZOAPI_EVENT_CONNECTED 1              /* the server greeted the connection; no data */
#define ZOAPI_EVENT_CONFIG_CHANGED 3         /* cameras, triggers, associations or links changed */
#define ZOAPI_EVENT_SOFT_TRIGGER_CHANGED 10  /* data: ZOAPI_TRIGGER_EVENT; status non-zero = active */
#define ZOAPI_EVENT_SOFT_TRIGGER_CREATED 39  /* data: ZOAPI_TRIGGER_CREATED_EVENT */
#define ZOAPI_EVENT_LOGIN_RESULT 71          /* status: ZOAPI_LOGIN_OK or ZOAPI_LOGIN_REFUSED */

/* Statuses of ZOAPI_EVENT_LOGIN_RESULT. */
#define ZOAPI_LOGIN_OK 0
#define ZOAPI_LOGIN_REFUSED 6

/** Size of every text buffer the library fills; longer texts are cut and always NUL-terminated. */
#define ZOAPI_TEXT_SIZE 256

/** Data of ZOAPI_EVENT_SOFT_TRIGGER_CHANGED. */
typedef struct ZOAPI_TRIGGER_EVENT {
    uint32_t size;          /* 0: size of this record, 16 */
    uint32_t cameraId;      /* 4: first camera whose association lists the trigger, 0 if none */
    uint32_t reserved8;     /* 8: always 0 */
    uint32_t softTriggerId; /* 12: the trigger that changed */
} ZOAPI_TRIGGER_EVENT;

/** Data of ZOAPI_EVENT_SOFT_TRIGGER_CREATED. */
typedef struct ZOAPI_TRIGGER_CREATED_EVENT {
    uint32_t size;          /* 0: size of this record, 12 */
    uint32_t softTriggerId; /* 4: id the server gave the new trigger */
    uint8_t reserved8;      /* 8: always 0 */
    uint8_t created;        /* 9: 1 when the trigger now exists */
    uint16_t reserved10;    /* 10: always 0 */
} ZOAPI_TRIGGER_CREATED_EVENT;

/** One entry of an association: a soft trigger listed for a camera. 32 bytes. */
typedef struct ZOAPI_ASSOCIATION_ENTRY {
    uint32_t size;          /* 0: size of this record, 32; set by the caller */
    uint32_t position;      /* 4: place in the list, counted from 1 */
    uint32_t reserved8;     /* 8 */
    uint32_t softTriggerId; /* 12: the listed trigger */
    uint32_t reserved16;    /* 16 */
    uint32_t reserved20;    /* 20 */
    uint32_t reserved24;    /* 24 */
    uint32_t reserved28;    /* 28 */
} ZOAPI_ASSOCIATION_ENTRY;

/**
 * A camera's association. 72 bytes on 32-bit x86; pointers take the platform's width elsewhere.
 * The caller sets `size` to sizeof(ZOAPI_ASSOCIATION), points `name` and `fontName` at buffers of
 * ZOAPI_TEXT_SIZE bytes (or NULL) and `entries` at an array of `entryCount` entries (or NULL/0).
 */
typedef struct ZOAPI_ASSOCIATION {
    uint32_t size;                     /* 0: sizeof(ZOAPI_ASSOCIATION) */
    char* name;                        /* 4: name buffer, ZOAPI_TEXT_SIZE bytes */
    uint32_t nameLength;               /* 8: name length with its NUL; 0 = camera has none */
    uint32_t cameraId;                 /* 12: server camera id */
    uint32_t reserved16;               /* 16 */
    uint16_t reserved20;               /* 20 */
    uint16_t reserved22;               /* 22 */
    uint32_t colour;                   /* 24: 0xRRGGBB */
    uint32_t reserved28;               /* 28 */
    uint32_t update;                   /* 32: 1 on every update */
    char* fontName;                    /* 36: font-name buffer, ZOAPI_TEXT_SIZE bytes */
    uint32_t reserved40;               /* 40 */
    uint32_t reserved44;               /* 44 */
    uint32_t highlightColour;          /* 48: 0xRRGGBB */
    uint32_t reserved52;               /* 52 */
    uint32_t reserved56;               /* 56 */
    uint32_t reserved60;               /* 60 */
    ZOAPI_ASSOCIATION_ENTRY* entries;  /* 64: entry array */
    uint32_t entryCount;               /* 68: entries in the array; on return, entries filled */
} ZOAPI_ASSOCIATION;

/** An event link: a server rule that drives a soft trigger. 236 bytes, no pointers. */
typedef struct ZOAPI_EVENT_LINK {
    uint32_t size;          /* 0: size of this record, 236; set by the caller */
    uint32_t id;            /* 4: event-link id; set by the caller */
    uint32_t sourceType;    /* 8: kind of event that fires the link */
    uint32_t sourceId;      /* 12: id of the thing that fires it */
    uint32_t flags;         /* 16 */
    uint32_t reserved20;    /* 20 */
    uint32_t reserved24;    /* 24 */
    uint32_t triggerInUse;  /* 28: non-zero while the link drives its trigger; 0 takes it off */
    uint32_t softTriggerId; /* 32: trigger the link drives, 0 if none */
    char name[64];          /* 36: link name, NUL-terminated */
    uint8_t reserved100[136]; /* 100 */
} ZOAPI_EVENT_LINK;

ZOAPI_STATIC_ASSERT(sizeof(ZOAPI_TRIGGER_EVENT) == 16, "trigger event data is 16 bytes");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_TRIGGER_EVENT, softTriggerId) == 12, "trigger id at 12");
ZOAPI_STATIC_ASSERT(sizeof(ZOAPI_TRIGGER_CREATED_EVENT) == 12, "creation event data is 12 bytes");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_TRIGGER_CREATED_EVENT, created) == 9, "created flag at 9");

ZOAPI_STATIC_ASSERT(sizeof(ZOAPI_ASSOCIATION_ENTRY) == 32, "association entry is 32 bytes");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION_ENTRY, position) == 4, "entry position at 4");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION_ENTRY, softTriggerId) == 12, "entry trigger at 12");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION_ENTRY, reserved28) == 28, "entry ends at 32");

ZOAPI_STATIC_ASSERT(sizeof(ZOAPI_EVENT_LINK) == 236, "event link is 236 bytes");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_EVENT_LINK, id) == 4, "link id at 4");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_EVENT_LINK, triggerInUse) == 28, "link trigger use at 28");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_EVENT_LINK, softTriggerId) == 32, "link trigger at 32");

#if defined(__i386__)
ZOAPI_STATIC_ASSERT(sizeof(ZOAPI_ASSOCIATION) == 72, "association is 72 bytes on i386");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, name) == 4, "name at 4");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, nameLength) == 8, "name length at 8");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, cameraId) == 12, "camera id at 12");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, reserved16) == 16, "field at 16");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, reserved20) == 20, "field at 20");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, reserved22) == 22, "field at 22");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, colour) == 24, "colour at 24");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, reserved28) == 28, "field at 28");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, update) == 32, "update flag at 32");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, fontName) == 36, "font name at 36");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, reserved40) == 40, "field at 40");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, reserved44) == 44, "field at 44");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, highlightColour) == 48, "colour at 48");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, reserved52) == 52, "field at 52");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, reserved56) == 56, "field at 56");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, reserved60) == 60, "field at 60");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, entries) == 64, "entries at 64");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, entryCount) == 68, "entry count at 68");
#else
/* Wider pointers move the fields behind them; the integers between them keep their order. */
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, name) % sizeof(char*) == 0, "name aligned");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, nameLength) ==
                        offsetof(ZOAPI_ASSOCIATION, name) + sizeof(char*), "name length follows name");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, update) ==
                        offsetof(ZOAPI_ASSOCIATION, nameLength) + 24, "fields 8 to 32 packed");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, reserved40) ==
                        offsetof(ZOAPI_ASSOCIATION, fontName) + sizeof(char*), "field follows font name");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, entries) ==
                        offsetof(ZOAPI_ASSOCIATION, reserved40) + 24, "fields 40 to 64 packed");
ZOAPI_STATIC_ASSERT(offsetof(ZOAPI_ASSOCIATION, entryCount) ==
                        offsetof(ZOAPI_ASSOCIATION, entries) + sizeof(void*), "count follows entries");
#endif

/** Creates a handle; 0 on failure. */
ZOAPI_EXPORT ZOAPI_HANDLE ZOAPI_Init(void);
/** Sets the event function and its context; 0, or -1 for a bad handle. */
ZOAPI_EXPORT int ZOAPI_SetCallbackEx(ZOAPI_HANDLE handle, ZOAPI_EVENTFUNC function, void* context);
/** Connects to the server (any earlier connection of the handle is closed first); 0 on success. */
ZOAPI_EXPORT int ZOAPI_Open(ZOAPI_HANDLE handle, const char* address, unsigned short port);
/** Sets the silence limit in seconds (default 60, at least 1); 0, or -1 for a bad argument. */
ZOAPI_EXPORT int ZOAPI_SetTimeout(ZOAPI_HANDLE handle, int seconds);
/**
 * Waits up to `milliseconds` for events and delivers them; returns the number delivered (it
 * returns as soon as it has delivered any), 0 when the wait ran out, negative when the handle is
 * 0, not connected, or the connection is lost.
 */
ZOAPI_EXPORT int ZOAPI_Select(ZOAPI_HANDLE handle, int milliseconds);
/** Reloads the camera directory; 0 on success. */
ZOAPI_EXPORT int ZOAPI_Discover(ZOAPI_HANDLE handle);
/** Sends the login request; 0 when sent. The outcome arrives as ZOAPI_EVENT_LOGIN_RESULT. */
ZOAPI_EXPORT int ZOAPI_Login(ZOAPI_HANDLE handle, const char* user, const char* password);
/** Socket of the connection, or -1 when never opened, the open failed, or it is lost or closed. */
ZOAPI_EXPORT int ZOAPI_GetSocket(ZOAPI_HANDLE handle);
/** Closes the connection; queued events are discarded. The handle stays usable for ZOAPI_Open. */
ZOAPI_EXPORT int ZOAPI_Close(ZOAPI_HANDLE handle);
/** Closes the connection if open and frees the handle, which must not be used again. */
ZOAPI_EXPORT int ZOAPI_Cleanup(ZOAPI_HANDLE handle);

/* Counts reload the list from the server; the index and id calls answer from that list. */
ZOAPI_EXPORT unsigned int ZOAPI_NumCameras(ZOAPI_HANDLE handle);
ZOAPI_EXPORT unsigned int ZOAPI_NumSoftTriggers(ZOAPI_HANDLE handle);
ZOAPI_EXPORT unsigned int ZOAPI_NumEventLinks(ZOAPI_HANDLE handle);
/* Id at an index of the last list; 0 when the index is out of range. */
ZOAPI_EXPORT unsigned int ZOAPI_GetCameraId(ZOAPI_HANDLE handle, unsigned int index);
ZOAPI_EXPORT unsigned int ZOAPI_GetSoftTriggerId(ZOAPI_HANDLE handle, unsigned int index);
ZOAPI_EXPORT unsigned int ZOAPI_GetEventLinkId(ZOAPI_HANDLE handle, unsigned int index);
/*
 * Text of a camera or trigger into `buffer` (at most `size` bytes, at most ZOAPI_TEXT_SIZE, always
 * NUL-terminated); 0 on success, -1 for an unknown id or a bad argument (buffer then holds "").
 * The device IP is empty for an analog camera.
 */
ZOAPI_EXPORT int ZOAPI_GetCameraName(ZOAPI_HANDLE handle, unsigned int cameraId, char* buffer, int size);
ZOAPI_EXPORT int ZOAPI_GetDeviceIP(ZOAPI_HANDLE handle, unsigned int cameraId, char* buffer, int size);
ZOAPI_EXPORT int ZOAPI_GetSoftTriggerGuid(ZOAPI_HANDLE handle, unsigned int triggerId, char* buffer,
                                          int size);
/** Creates a soft trigger; 0 on success (ZOAPI_EVENT_SOFT_TRIGGER_CREATED follows), else an error. */
ZOAPI_EXPORT int ZOAPI_CreateSoftTriggerWithGuid(ZOAPI_HANDLE handle, const char* name, const char* guid);
/** Fills the link whose id is in `link->id`; 0 on success, negative on failure. */
ZOAPI_EXPORT int ZOAPI_GetEventLinkInfo(ZOAPI_HANDLE handle, ZOAPI_EVENT_LINK* link);
/** Writes the link back; 0 on success, else an error. */
ZOAPI_EXPORT int ZOAPI_UpdateEventLink(ZOAPI_HANDLE handle, ZOAPI_EVENT_LINK* link);
/**
 * Fills the camera's association; `nameLength` 0 means the camera has none. With no entry array
 * (`entries` NULL or `entryCount` 0) `entryCount` receives the number of entries the server holds;
 * otherwise at most `entryCount` entries are written and `entryCount` receives how many were.
 * 0 on success, negative on failure.
 */
ZOAPI_EXPORT int ZOAPI_GetAssociationForCamera(ZOAPI_HANDLE handle, unsigned int cameraId,
                                               ZOAPI_ASSOCIATION* association);
/** Creates or replaces the association of `association->cameraId`; 0 on success, else an error. */
ZOAPI_EXPORT int ZOAPI_UpdateAssociation(ZOAPI_HANDLE handle, ZOAPI_ASSOCIATION* association);

#ifdef __cplusplus
}
#endif
