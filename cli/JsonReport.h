#pragma once
// The machine-readable output of -j/--json: one document per command, and
// one document for the whole run on the standard output. The documents'
// schemas are in docs/json/.

#include "UpdaterLib/source/Updater.h"

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <utility>
#include <vector>

using JsonDocument = nlohmann::ordered_json;

namespace Cli
{

/// -D: an array of the modules, in list order.
JsonDocument _json_device_list(const std::vector<DeviceInfo>& devices);

/// -B: the builds whose text is a build number, by build number.
JsonDocument _json_builds(const std::map<std::string, std::string>& builds, uint32_t serialNumber,
                          bool failed);

/// -N: the fingerprint's words, or a failure when `fingerprint` is null.
JsonDocument _json_fingerprint(const Fingerprint* fingerprint);

/// -G: the build stored (0: the get failed).
JsonDocument _json_get(uint32_t serialNumber, uint32_t build);

/// -U: what the update sent and whether it succeeded. `extended` (a run of
/// several modules, or one with --dry-run or --skip-current) adds the build
/// the module ran before and a dry run's plan; outcome "current" or
/// "planned" then tells a module left alone or only planned.
JsonDocument _json_update(uint32_t serialNumber, const UpdateOutcome& outcome, bool succeeded,
                          bool extended = false);

/// The outcome word of an update: "ok", "failed", "current" or "planned".
const char* _update_outcome(const UpdateOutcome& outcome, bool succeeded);

/// A failed command's document: `document` with its outcome (`outcome`,
/// never "ok") and the reason shown to the user; a list (-D) gives way to
/// an object of the two.
JsonDocument _json_failure(JsonDocument document, const char* outcome, const std::string& message);

} // namespace Cli

/// The documents of one run's commands, in the order they ran.
class JsonReport
{
public:
    void Add(const char* command, JsonDocument document);

    /// The run's document and a newline: the one command's own document,
    /// else an object holding each command's under its name. Text that is
    /// not UTF-8 is written with replacement characters.
    std::string Text() const;

private:
    std::vector<std::pair<std::string, JsonDocument>> documents;
};
