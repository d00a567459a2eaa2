#pragma once
// Packed versions (major in bits 31-28, minor in 27-24, patch in 23-0) and
// the library's own version.

#include <stdint.h>

#define kVERSION_MAJOR 2
#define kVERSION_MINOR 9
#define kVERSION_PATCH 29
#define kVERSION_PHASE "."

uint8_t kVersion_ParseMajor(uint32_t packed);
uint8_t kVersion_ParseMinor(uint32_t packed);
uint32_t kVersion_ParsePatch(uint32_t packed);

/// Writes "%d.%d.%d" of a packed version; returns snprintf's result.
int kVersion_ParseString(uint32_t packed, char* buffer, uint32_t size);

uint8_t kVersion_GetMajor(void);
uint8_t kVersion_GetMinor(void);
uint32_t kVersion_GetPatch(void);

/// The library version as text ("2.9.29"); static, built on first use.
const char* kVersion_GetString(void);

/// Whether the library version is at least major.minor.patch.
bool kVersion_IsAtLeast(uint8_t major, uint8_t minor, uint32_t patch);

/// Whether version a is at least version b. Majors and minors compare as
/// 8-bit values, patches as 24-bit values.
bool kVersion_IsAtLeastCompare(uint8_t aMajor, uint8_t aMinor, uint32_t aPatch, uint8_t bMajor,
                               uint8_t bMinor, uint32_t bPatch);

bool kVersion_HasFeature(const char* name);

/// A newly allocated text, one line "name - description" per feature; free it
/// with kVersion_DestroyFeatureList. Null when memory runs out.
char* kVersion_GetFeatureList(void);
void kVersion_DestroyFeatureList(char** list);
