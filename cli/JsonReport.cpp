#include "cli/JsonReport.h"

#include "cli/Log.h"
#include "device/core/kDefs.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

using namespace Cli;

namespace
{

const char OUTCOME_OK[] = "ok";
const char OUTCOME_FAILED[] = "failed";

std::string _hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "%08X", value);
    return text;
}

// Serial numbers are 0 only where none was given.
void _add_serial(JsonDocument& document, uint32_t serialNumber)
{
    if (serialNumber != 0)
        document["serial"] = _hex(serialNumber);
}

const char* _link_type_name(linkType type)
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

JsonDocument _device(const DeviceInfo& d)
{
    const linkSpec& s = d.deviceSpec;
    char version[40];
    snprintf(version, sizeof(version), "%u.%u.%u", d.versionMajor, d.versionMinor, d.versionPatch);
    JsonDocument device = {{"serial", _hex(s.serialNumber)},
                           {"moduleAddress", s.module},
                           {"routerAddress", s.router},
                           {"modelNumber", s.model},
                           {"modelName", kDefs_GetModelName(s.model)},
                           {"version", version},
                           {"build", d.build},
                           {"linkType", _link_type_name(s.type)}};
    if (s.type == kLinkTypeTCPIP) {
        const unsigned char* ip = (const unsigned char*)&s.tcpip.ipAddress;
        char address[24];
        snprintf(address, sizeof(address), "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
        device["ipAddress"] = address;
    }
    if (d.error != 0)
        device["error"] = {{"code", d.error},
                           {"name", kError_GetErrorText((kErr)d.error)},
                           {"text", kError_GetErrorDescription((kErr)d.error)}};
    return device;
}

} // namespace

JsonDocument Cli::_json_device_list(const std::vector<DeviceInfo>& devices)
{
    JsonDocument list = JsonDocument::array();
    for (const DeviceInfo& d : devices)
        list.push_back(_device(d));
    return list;
}

namespace
{

// A build text as a number; false for anything but 1 to 10 decimal digits
// within 32 bits.
bool _build_number(const std::string& text, uint32_t& build)
{
    if (text.empty() || text.size() > 10 || strspn(text.c_str(), "0123456789") != text.size())
        return false;
    unsigned long long value = strtoull(text.c_str(), nullptr, 10);
    build = (uint32_t)value;
    return value <= 0xFFFFFFFFull;
}

} // namespace

JsonDocument Cli::_json_builds(const std::map<std::string, std::string>& builds,
                               uint32_t serialNumber, bool failed)
{
    std::vector<std::pair<uint32_t, std::string>> numbered;
    for (const auto& entry : builds) {
        uint32_t build = 0;
        if (_build_number(entry.first, build))
            numbered.emplace_back(build, entry.second);
        else
            Log::log(DEBUG_Updater, "Build list entry [%s] is not a build number\n",
                     entry.first.c_str());
    }
    std::sort(numbered.begin(), numbered.end());
    JsonDocument list = JsonDocument::array();
    for (const auto& entry : numbered)
        list.push_back({{"build", entry.first}, {"version", entry.second}});
    JsonDocument document = JsonDocument::object();
    _add_serial(document, serialNumber);
    document["outcome"] = failed ? OUTCOME_FAILED : OUTCOME_OK;
    document["builds"] = list;
    return document;
}

JsonDocument Cli::_json_fingerprint(const Fingerprint* fingerprint)
{
    if (!fingerprint)
        return {{"outcome", OUTCOME_FAILED}};
    JsonDocument words = JsonDocument::array();
    for (uint32_t word : fingerprint->words)
        words.push_back(_hex(word));
    return {{"outcome", OUTCOME_OK}, {"fingerprint", words}};
}

JsonDocument Cli::_json_get(uint32_t serialNumber, uint32_t build)
{
    JsonDocument document = JsonDocument::object();
    _add_serial(document, serialNumber);
    document["outcome"] = build != 0 ? OUTCOME_OK : OUTCOME_FAILED;
    if (build != 0) {
        document["build"] = build;
        document["file"] = std::to_string(build) + ".bird";
    }
    return document;
}

const char* Cli::_update_outcome(const UpdateOutcome& outcome, bool succeeded)
{
    if (!succeeded)
        return OUTCOME_FAILED;
    return outcome.planned ? "planned" : outcome.current ? "current" : OUTCOME_OK;
}

JsonDocument Cli::_json_update(uint32_t serialNumber, const UpdateOutcome& outcome, bool succeeded,
                               bool extended)
{
    JsonDocument document = JsonDocument::object();
    _add_serial(document, serialNumber);
    document["outcome"] = extended    ? _update_outcome(outcome, succeeded)
                          : succeeded ? OUTCOME_OK
                                      : OUTCOME_FAILED;
    if (outcome.build != 0)
        document["build"] = outcome.build;
    if (!outcome.file.empty())
        document["file"] = outcome.file;
    document["verifiedBuild"] = outcome.verifiedBuild;
    if (!extended)
        return document;
    document["previousBuild"] = outcome.previousBuild;
    if (outcome.planned)
        document["plan"] = {{"loaderBlocks", outcome.loaderBlocks},
                            {"firmwareBlocks", outcome.firmwareBlocks},
                            {"bytes", outcome.bytes}};
    return document;
}

JsonDocument Cli::_json_failure(JsonDocument document, const char* outcome,
                                const std::string& message)
{
    if (!document.is_object())
        document = JsonDocument::object();
    document["outcome"] = outcome;
    document["message"] = message.empty() ? std::string(outcome) : message;
    return document;
}

void JsonReport::Add(const char* command, JsonDocument document)
{
    documents.emplace_back(command, std::move(document));
}

std::string JsonReport::Text() const
{
    JsonDocument run = JsonDocument::object();
    if (documents.size() == 1) {
        run = documents[0].second;
    } else {
        for (const auto& entry : documents)
            run[entry.first] = entry.second;
    }
    // Server texts need not be UTF-8; the default handler would throw.
    return run.dump(2, ' ', false, JsonDocument::error_handler_t::replace) + "\n";
}
