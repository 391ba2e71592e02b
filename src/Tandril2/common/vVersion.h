// Firmware and library versions packed into one 32-bit word, in either of two layouts:
//   legacy:  major in bits 28..31, minor in bits 24..27, patch in bits 0..23
//   current: 0x2F in bits 24..31, major 16..23, minor 8..15, patch 0..7
// Modules report either; the library's own version is 2.12.0.
#pragma once

#include <cstddef>
#include <cstdint>

// Packs a version; the legacy layout is used while it can hold the version exactly
// (up to 2.14, minor at most 15), the current layout otherwise.
uint32_t vVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);

// True when the word is in the legacy layout.
bool vVersion_IsLegacyFormat(uint32_t version);

uint32_t vVersion_ParseMajor(uint32_t version);
uint32_t vVersion_ParseMinor(uint32_t version);
uint32_t vVersion_ParsePatch(uint32_t version); // up to 24 bits in the legacy layout

// Formats "major.minor.patch" as snprintf does and returns what snprintf returns
// (negative for a null buffer with a non-zero size).
int vVersion_ParseString(uint32_t version, char* buffer, size_t size);

// The library's own version.
int vVersion_GetMajor(void);
int vVersion_GetMinor(void);
int vVersion_GetPatch(void);
const char* vVersion_GetString(void); // "2.12.0"; constant

// True when major1.minor1.patch1 >= major2.minor2.patch2.
bool vVersion_IsAtLeastCompare(uint8_t major1, uint8_t minor1, uint8_t patch1, uint8_t major2,
                               uint8_t minor2, uint8_t patch2);
// True when the library's own version is at least the given one.
bool vVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// True when the library has the named feature (false for null).
bool vVersion_HasFeature(const char* name);
// "NAME - description" per feature, lines joined by "\n"; a new text that the caller
// releases with vVersion_DestroyFeatureList. Null when memory is short.
char* vVersion_GetFeatureList(void);
// Frees the text and nulls *list; does nothing for null.
void vVersion_DestroyFeatureList(char** list);
