#pragma once

#include <cstdint>

namespace tinyxml2 { class XMLElement; }

/// Reads a signed number the way sscanf("%d") does on the 32-bit target: leading white space,
/// an optional sign, the longest run of digits, anything after it ignored. A value out of range
/// saturates at INT32_MIN or INT32_MAX. Returns false, leaving value alone, when no digit is there.
bool ScanInt(const char* text, int32_t& value);

/// Reads an unsigned number the way sscanf("%u") does on the 32-bit target: as ScanInt, but a
/// minus sign wraps the value modulo 2^32 and a magnitude above 4294967295 saturates there.
bool ScanUnsigned(const char* text, uint32_t& value);

/// Reads the attribute name of element with ScanInt; absent or unreadable leaves value alone.
bool ReadIntAttribute(const tinyxml2::XMLElement& element, const char* name, int32_t& value);

/// Reads the attribute name of element with ScanUnsigned; absent or unreadable leaves value alone.
bool ReadUnsignedAttribute(const tinyxml2::XMLElement& element, const char* name, uint32_t& value);
