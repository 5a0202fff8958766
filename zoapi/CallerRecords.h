#pragma once

#include <string>

#include "nvr/zoapi.h"
#include "zoapi/WireRecords.h"

namespace zoapi {

// Moves records between the caller's C structures and the wire records: texts are bounded on
// the way in and cut to the caller's buffers on the way out, entries never exceed the caller's
// array, and pointers never travel.
class CallerRecords {
public:
    /// The association the caller's record describes; the caller has checked its entry array.
    static AssociationRecord FromCaller(const ZOAPI_ASSOCIATION& association);
    /// Fills the caller's record from a received association; texts go only into buffers the
    /// caller gave, and entries only up to the count the caller set (with no array, the count
    /// received). Size and pointers stay as the caller set them.
    static void ToCaller(const AssociationRecord& from, ZOAPI_ASSOCIATION& association);
    /// Marks the caller's record as the association of a camera that has none.
    static void NoAssociation(ZOAPI_ASSOCIATION& association);
    /// The event link the caller's record describes.
    static EventLinkRecord FromCaller(const ZOAPI_EVENT_LINK& link);
    /// Fills the caller's record from a received link; fields that do not travel become 0.
    static void ToCaller(const EventLinkRecord& from, ZOAPI_EVENT_LINK& link);

    /// Copies `text` into `buffer` cut to the smaller of `size` and ZOAPI_TEXT_SIZE, always
    /// NUL-terminated; 0, or -1 (nothing written) without a buffer or room.
    static int CopyText(const std::string& text, char* buffer, int size);
    /// A caller's text, never read beyond ZOAPI_TEXT_SIZE bytes; empty for NULL.
    static std::string BoundedText(const char* text);
};

}  // namespace zoapi
