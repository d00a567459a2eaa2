#include "cli/JsonReport.h"

#include <stdio.h>

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

JsonDocument _device(const DeviceInfo& d)
{
    DeviceFields f = Updater::Device_Fields(d);
    const linkSpec& s = d.deviceSpec;
    JsonDocument device = {{"serial", f.serial},        {"moduleAddress", s.module},
                           {"routerAddress", s.router}, {"modelNumber", s.model},
                           {"modelName", f.modelName},  {"version", f.version},
                           {"build", d.build},          {"linkType", f.linkType}};
    if (!f.ipAddress.empty())
        device["ipAddress"] = f.ipAddress;
    if (f.errorName)
        device["error"] = {{"code", d.error}, {"name", f.errorName}, {"text", f.errorText}};
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

JsonDocument Cli::_json_builds(const std::map<std::string, std::string>& builds,
                               uint32_t serialNumber, bool failed)
{
    JsonDocument list = JsonDocument::array();
    for (const NumberedBuild& entry : Updater::Numbered_Builds(builds))
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
