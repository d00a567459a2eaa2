#include "cli/Fleet.h"

#include "UpdaterLib/source/Updater.h"

#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

using namespace Cli;

namespace
{

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

/// What one module's run did.
struct ModuleRun {
    uint32_t serialNumber = 0;
    uint32_t got = 0; ///< the build -G stored; 0 none
    bool getFailed = false;
    UpdateOutcome outcome;
    bool succeeded = false;
    std::string reason;
};

void _run_module(UpdaterDisplayInterface& console, std::mutex& lock, const Updater& like,
                 const Parameters& params, ProgressStream* stream, ModuleRun& run)
{
    ModuleDisplay display(console, &lock, run.serialNumber, stream);
    Updater updater(like.ServerURL(), like.UpdaterDirectory(), display, like.Cancel());
    std::string build = params.buildNumber;
    run.succeeded = true;
    if (params.commands.IsSet(CMD_GET)) {
        if (params.dryRun) {
            display.message(INFO, "Would download build %s",
                            build.empty() ? "latest" : build.c_str());
        } else {
            run.got = updater.Download_Firmware(run.serialNumber, build, params.overrideModelCheck,
                                                false);
            run.getFailed = run.got == 0;
            run.succeeded = !run.getFailed;
            if (run.got)
                build = std::to_string(run.got);
        }
    }
    if (run.succeeded && params.commands.IsSet(CMD_UPDATE)) {
        uint32_t number = 0;
        (void)Updater::Parse_Build(build, number);
        UpdateOptions options;
        options.dryRun = params.dryRun;
        options.skipCurrent = params.skipCurrent;
        run.succeeded = updater.Update_Firmware(run.serialNumber, number, params.birdFile, 0,
                                                params.routerSerialNumber,
                                                params.overrideModelCheck, &run.outcome, options);
    }
    run.reason = display.LastError();
    if (stream && params.commands.IsSet(CMD_UPDATE))
        stream->End(run.serialNumber, _update_outcome(run.outcome, run.succeeded),
                    run.outcome.verifiedBuild);
}

// Workers take the next module until none is left; a worker that cannot
// be started leaves its share to the others, and the last one to this
// thread.
void _run_all(std::vector<ModuleRun>& runs, uint32_t jobs,
              const std::function<void(ModuleRun&)>& work)
{
    std::atomic<size_t> next(0);
    auto worker = [&] {
        for (size_t i = next++; i < runs.size(); i = next++)
            work(runs[i]);
    };
    std::vector<std::thread> workers;
    for (uint32_t i = 0; i < jobs && i < runs.size(); i++) {
        try {
            workers.emplace_back(worker);
        } catch (const std::system_error&) {
            break;
        }
    }
    worker();
    for (std::thread& t : workers)
        t.join();
}

const char* _result_text(const ModuleRun& run)
{
    if (!run.succeeded)
        return "failed";
    if (run.outcome.current)
        return "already current";
    if (run.outcome.planned)
        return "would update";
    return run.outcome.verifiedBuild ? "verified" : "downloaded";
}

void _summary(UpdaterDisplayInterface& console, const std::vector<ModuleRun>& runs, bool update)
{
    int succeeded = 0;
    for (const ModuleRun& run : runs) {
        if (run.succeeded)
            succeeded++;
        uint32_t to = update ? run.outcome.build : run.got;
        std::string reason = run.succeeded || run.reason.empty() ? "" : ": " + run.reason;
        console.message(run.succeeded ? INFO : ERROR, "%08X  build %u -> build %u  %s%s",
                        run.serialNumber, run.outcome.previousBuild, to, _result_text(run),
                        reason.c_str());
    }
    console.message(INFO, "Updated %d of %d modules", succeeded, (int)runs.size());
}

} // namespace

ModuleDisplay::ModuleDisplay(UpdaterDisplayInterface& console, std::mutex* lock,
                             uint32_t serialNumber, ProgressStream* stream)
    : console(console), lock(lock), serialNumber(serialNumber), stream(stream)
{
}

void ModuleDisplay::display_progress(bool on)
{
    if (!lock)
        console.display_progress(on);
}

void ModuleDisplay::update_progress(double fraction, const char* label)
{
    if (!lock)
        console.update_progress(fraction, label);
}

void ModuleDisplay::update_spinner(bool on, const char* label)
{
    if (!lock)
        console.update_spinner(on, label);
}

void ModuleDisplay::info_message(const char* text)
{
    if (!lock) {
        console.info_message(text);
        return;
    }
    std::lock_guard<std::mutex> hold(*lock);
    console.message(INFO, "%08X: %s", serialNumber, text);
}

void ModuleDisplay::error_message(const char* text)
{
    lastError = text;
    if (!lock) {
        console.error_message(text);
        return;
    }
    std::lock_guard<std::mutex> hold(*lock);
    console.message(ERROR, "%08X: %s", serialNumber, text);
}

void ModuleDisplay::progress_event(const ProgressEvent& event)
{
    if (stream)
        stream->Event(serialNumber, event);
}

int Cli::_run_fleet(UpdaterDisplayInterface& console, const Updater& updater,
                    const Parameters& params, JsonReport* json, ProgressStream* stream)
{
    std::vector<ModuleRun> runs(params.serialNumbers.size());
    for (size_t i = 0; i < runs.size(); i++)
        runs[i].serialNumber = params.serialNumbers[i];
    std::mutex lock;
    _run_all(runs, params.jobs,
             [&](ModuleRun& run) { _run_module(console, lock, updater, params, stream, run); });
    bool update = params.commands.IsSet(CMD_UPDATE);
    _summary(console, runs, update);
    if (json) {
        JsonDocument gets = JsonDocument::array();
        JsonDocument updates = JsonDocument::array();
        const char* failed = kCancel_Requested(updater.Cancel()) ? "interrupted" : "failed";
        for (const ModuleRun& run : runs) {
            JsonDocument get = _json_get(run.serialNumber, run.got);
            gets.push_back(run.getFailed ? _json_failure(get, failed, run.reason) : get);
            JsonDocument update = _json_update(run.serialNumber, run.outcome, run.succeeded, true);
            updates.push_back(run.succeeded || run.getFailed
                                  ? update
                                  : _json_failure(update, failed, run.reason));
        }
        if (params.commands.IsSet(CMD_GET) && !params.dryRun)
            json->Add("get", gets);
        if (update)
            json->Add("update", updates);
    }
    for (const ModuleRun& run : runs)
        if (!run.succeeded)
            return 1;
    return 0;
}
