#pragma once
// Runs of -G and -U for several modules at once (-d with a comma-separated
// list), and the display each module's run talks through.

#include "UpdaterLib/source/Updater.h"
#include "UpdaterLib/source/UpdaterDisplayInterface.h"
#include "cli/JsonReport.h"
#include "cli/Parameters.h"
#include "cli/ProgressStream.h"

#include <stdint.h>

#include <mutex>
#include <string>

namespace Cli
{

/// One module's view of the console. Alone (`lock` null) it passes
/// everything through unchanged; one of several runs at once prefixes its
/// messages with the module's serial number, writes them whole under
/// `lock`, and leaves out the progress bar and spinner, which would
/// overwrite each other. Either way the steps go to the progress stream,
/// when there is one, and the last error shown is kept.
class ModuleDisplay : public UpdaterDisplayInterface
{
public:
    ModuleDisplay(UpdaterDisplayInterface& console, std::mutex* lock, uint32_t serialNumber,
                  ProgressStream* stream);

    void display_progress(bool on) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool on, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;
    void progress_event(const ProgressEvent& event) override;

    /// The last error shown, without the serial number's prefix.
    const std::string& LastError() const { return lastError; }

private:
    UpdaterDisplayInterface& console;
    std::mutex* lock;
    uint32_t serialNumber;
    ProgressStream* stream;
    std::string lastError;
};

/// -G and -U (whichever are set) for every module of params.serialNumbers,
/// at most params.jobs at once, each in a thread of its own with an engine
/// like `updater` (its server, store and cancellation) and a ModuleDisplay
/// of its own; a module that fails stops no other. Then
/// one summary line per module and "Updated %d of %d modules". With `json`
/// each command's document is an array of the modules' documents, a failed
/// one with its reason. 0 when every module succeeded, else 1.
int _run_fleet(UpdaterDisplayInterface& console, const Updater& updater, const Parameters& params,
               JsonReport* json, ProgressStream* stream);

} // namespace Cli
