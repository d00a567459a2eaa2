#pragma once
// --progress=json: the steps of each update as one JSON object per line on
// the standard error stream (schema: docs/json/progress.schema.json). Lines
// of several modules updated at once never mix: each is written whole under
// one lock.

#include "UpdaterLib/source/UpdaterDisplayInterface.h"

#include <stdint.h>
#include <stdio.h>

#include <map>
#include <mutex>
#include <string>

namespace Cli
{

class ProgressStream
{
public:
    /// Writes to `stream`, which must outlive this.
    explicit ProgressStream(FILE* stream);

    /// A stage begun, a block done, the reboot, the verification.
    void Event(uint32_t serialNumber, const ProgressEvent& event);
    /// The module's last line: its outcome ("ok", "failed", "current",
    /// "planned") and the build it was seen to run.
    void End(uint32_t serialNumber, const char* outcome, uint32_t verifiedBuild);

private:
    void _write(const std::string& line);

    FILE* stream;
    std::mutex lock;
    uint64_t start;
    /// When each module's current stage began, for its bytes per second.
    std::map<uint32_t, uint64_t> stageStart;
};

} // namespace Cli
