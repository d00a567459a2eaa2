#include "UpdaterLib/source/Updater.h"

#include "device/core/kDefs.h"
#include "device/core/kError.h"
#include "device/core/kLog.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace
{

std::string _hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "%08X", value);
    return text;
}

std::string _dotted_quad(uint32_t address)
{
    const unsigned char* ip = (const unsigned char*)&address;
    char text[24];
    snprintf(text, sizeof(text), "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
    return text;
}

} // namespace

DeviceFields Updater::Device_Fields(const DeviceInfo& device)
{
    const linkSpec& s = device.deviceSpec;
    DeviceFields fields;
    fields.serial = _hex(s.serialNumber);
    fields.modelName = kDefs_GetModelName(s.model);
    char version[40];
    snprintf(version, sizeof(version), "%u.%u.%u", device.versionMajor, device.versionMinor,
             device.versionPatch);
    fields.version = version;
    fields.linkType = Link_Type_Name(s.type);
    if (s.type == kLinkTypeTCPIP)
        fields.ipAddress = _dotted_quad(s.tcpip.ipAddress);
    if (device.error != 0) {
        fields.errorName = kError_GetErrorText((kErr)device.error);
        fields.errorText = kError_GetErrorDescription((kErr)device.error);
    }
    return fields;
}

const char* Updater::Link_Type_Name(linkType type)
{
    switch (type) {
    case kLinkTypeUSB:
        return "USB";
    case kLinkTypeTCPIP:
        return "TCPIP";
    case kLinkTypeSerial:
        return "serial";
    default:
        return "unknown";
    }
}

std::vector<NumberedBuild>
Updater::Numbered_Builds(const std::map<std::string, std::string>& builds)
{
    std::vector<NumberedBuild> numbered;
    for (const auto& entry : builds) {
        uint32_t build = 0;
        if (Parse_Build(entry.first, build))
            numbered.emplace_back(build, entry.second);
        else
            Log::log(DEBUG_Updater, "Build list entry [%s] is not a build number\n",
                     entry.first.c_str());
    }
    std::sort(numbered.begin(), numbered.end());
    return numbered;
}

bool Updater::Parse_Build(const std::string& text, uint32_t& build)
{
    if (text.empty() || text.size() > 10 || strspn(text.c_str(), "0123456789") != text.size())
        return false;
    unsigned long long value = strtoull(text.c_str(), nullptr, 10);
    if (value > 0xFFFFFFFFull)
        return false;
    build = (uint32_t)value;
    return true;
}
