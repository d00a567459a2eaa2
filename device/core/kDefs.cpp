#include "device/core/kDefs.h"

#include <stddef.h>

struct sModelName {
    uint32_t model;
    const char* name;
};

static const sModelName MODEL_NAMES[] = {
    {4, "PodUsb"},      {5, "PodNet"},      {13, "RackSerial"}, {14, "RackPower1"},
    {15, "RackPodNet"}, {16, "RackPodUsb"}, {17, "HubQuad"},    {18, "RackRelay"},
    {19, "HubPlus"},    {20, "RackDaq1"},   {21, "PortSwitch"}, {22, "RackDaq2"},
    {23, "RackLoad1"},  {24, "HubCee"},
};

const char* kDefs_GetModelName(uint32_t model)
{
    for (size_t i = 0; i < sizeof(MODEL_NAMES) / sizeof(MODEL_NAMES[0]); i++) {
        if (MODEL_NAMES[i].model == model)
            return MODEL_NAMES[i].name;
    }
    return "Unknown";
}
