#include "device/core/kVersion.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct sFeature {
    const char* name;
    const char* description;
};

static const sFeature FEATS[] = {
    {"VERSION", "Version Query API"},
};
static const size_t NUM_FEATS = sizeof(FEATS) / sizeof(FEATS[0]);

uint8_t kVersion_ParseMajor(uint32_t packed)
{
    return (uint8_t)(packed >> 28);
}

uint8_t kVersion_ParseMinor(uint32_t packed)
{
    return (uint8_t)((packed >> 24) & 0xF);
}

uint32_t kVersion_ParsePatch(uint32_t packed)
{
    return packed & 0xFFFFFF;
}

int kVersion_ParseString(uint32_t packed, char* buffer, uint32_t size)
{
    return snprintf(buffer, size, "%d.%d.%d", kVersion_ParseMajor(packed),
                    kVersion_ParseMinor(packed), (int)kVersion_ParsePatch(packed));
}

uint8_t kVersion_GetMajor(void)
{
    return kVERSION_MAJOR;
}

uint8_t kVersion_GetMinor(void)
{
    return kVERSION_MINOR;
}

uint32_t kVersion_GetPatch(void)
{
    return kVERSION_PATCH;
}

const char* kVersion_GetString(void)
{
    struct sText {
        char text[15];
        sText()
        {
            snprintf(text, sizeof(text), "%d.%d%s%d", kVERSION_MAJOR, kVERSION_MINOR,
                     kVERSION_PHASE, kVERSION_PATCH);
        }
    };
    static const sText version; // built once, thread-safe
    return version.text;
}

bool kVersion_IsAtLeast(uint8_t major, uint8_t minor, uint32_t patch)
{
    return kVersion_IsAtLeastCompare(kVERSION_MAJOR, kVERSION_MINOR, kVERSION_PATCH, major, minor,
                                     patch);
}

bool kVersion_IsAtLeastCompare(uint8_t aMajor, uint8_t aMinor, uint32_t aPatch, uint8_t bMajor,
                               uint8_t bMinor, uint32_t bPatch)
{
    aPatch &= 0xFFFFFF;
    bPatch &= 0xFFFFFF;
    if (bMajor != aMajor)
        return bMajor < aMajor;
    if (bMinor != aMinor)
        return bMinor < aMinor;
    return aPatch >= bPatch;
}

bool kVersion_HasFeature(const char* name)
{
    if (!name)
        return false;
    for (size_t i = 0; i < NUM_FEATS; i++) {
        if (strcmp(FEATS[i].name, name) == 0)
            return true;
    }
    return false;
}

char* kVersion_GetFeatureList(void)
{
    size_t size = 1;
    for (size_t i = 0; i < NUM_FEATS; i++)
        size += strlen(FEATS[i].name) + strlen(FEATS[i].description) + 4;
    char* list = (char*)malloc(size);
    if (!list)
        return nullptr;
    size_t used = 0;
    list[0] = '\0';
    for (size_t i = 0; i < NUM_FEATS; i++)
        used += (size_t)snprintf(list + used, size - used, "%s - %s\n", FEATS[i].name,
                                 FEATS[i].description);
    return list;
}

void kVersion_DestroyFeatureList(char** list)
{
    if (!list)
        return;
    free(*list);
    *list = nullptr;
}
