// Updater: one command line, one pass. Parse, print the banner, settle the
// updater directory, build the engine, run the commands in their fixed
// order, exit 0 or 1. With -j/--json the commands' results go to the
// standard output as one JSON document and everything else to the standard
// error stream.

#include "UpdaterLib/source/Updater.h"
#include "cli/CLI_Display.h"
#include "cli/Fleet.h"
#include "cli/JsonReport.h"
#include "cli/Parameters.h"
#include "cli/Printers.h"
#include "cli/Usage.h"
#include "device/core/kDirectory.h"
#include "device/core/kLog.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

using namespace Cli;

namespace
{

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// The build text as a number; 0 ("latest") when empty or not all digits.
uint32_t _build_from_text(const std::string& text)
{
    uint32_t build = 0;
    return Updater::Parse_Build(text, build) ? build : 0;
}

// The run's one cancellation, which every engine operation is given; the
// signal handlers are its only other users.
kCancel _run_cancel;

const char OUTCOME_FAILED[] = "failed";
const char OUTCOME_INTERRUPTED[] = "interrupted";

// Each command's document, when the run writes one: a failed command's
// carries its outcome (interrupted once a signal asked the run to stop) and
// the first error it showed.
void _report(JsonReport* json, CLI_Display& display, const char* command, JsonDocument document,
             bool succeeded)
{
    if (!json)
        return;
    if (!succeeded)
        document =
            _json_failure(std::move(document),
                          kCancel_Requested(&_run_cancel) ? OUTCOME_INTERRUPTED : OUTCOME_FAILED,
                          display.FirstError());
    json->Add(command, std::move(document));
}

bool _fingerprint(CLI_Display& display, Updater& updater, const Parameters& params,
                  JsonReport* json)
{
    Fingerprint fingerprint;
    if (updater.Get_Fingerprint(fingerprint, params.serialPort, 0xDEADDEAD, params.birdFile,
                                params.baudRate, true)) {
        if (json)
            json->Add("fingerprint", _json_fingerprint(&fingerprint));
        else
            _display_fingerprint(display, fingerprint);
        return true;
    }
    display.message(ERROR, "Got no response from chip");
    _report(json, display, "fingerprint", _json_fingerprint(nullptr), false);
    return false;
}

bool _get(CLI_Display& display, Updater& updater, Parameters& params, JsonReport* json)
{
    if (params.dryRun) {
        display.message(INFO, "Would download build %s for module %08X",
                        params.buildNumber.empty() ? "latest" : params.buildNumber.c_str(),
                        params.serialNumber);
        return true;
    }
    display.message(INFO, "Retrieving firmware for device with serial number %08X",
                    params.serialNumber);
    if (params.buildNumber.empty()) {
        display.message(INFO, "No build specified");
        display.message(INFO, "Using Latest build");
    } else {
        display.message(INFO, "Retrieving firmware build %s", params.buildNumber.c_str());
    }
    uint32_t build = updater.Download_Firmware(params.serialNumber, params.buildNumber,
                                               params.overrideModelCheck, false);
    _report(json, display, "get", _json_get(params.serialNumber, build), build != 0);
    if (build != 0)
        params.buildNumber = std::to_string(build);
    return build != 0;
}

bool _show_devices(CLI_Display& display, const std::vector<DeviceInfo>& devices, linkType type,
                   bool failed, JsonReport* json)
{
    if (json)
        _report(json, display, "discover", _json_device_list(devices), !failed);
    else if (!failed)
        _display_device_list(display, devices, type);
    return !failed;
}

bool _discover(CLI_Display& display, Updater& updater, const Parameters& params, JsonReport* json)
{
    linkType type = kLinkTypeStream;
    if (params.transportGiven && params.transport != TRANSPORT_RECOVER)
        type = (linkType)params.transport;
    bool failed = false;
    if (params.routerSerialNumber != 0) {
        display.message(INFO, "Searching for Vantor Network devices connected to %08X",
                        params.routerSerialNumber);
        std::vector<DeviceInfo> devices =
            updater.Discover_VTNetwork_Devices(params.routerSerialNumber, type, &failed);
        return _show_devices(display, devices, type == kLinkTypeStream ? kLinkTypeUSB : type,
                             failed, json);
    }
    display.message(INFO, "Searching for Vantor devices");
    if (type == kLinkTypeStream)
        type = kLinkTypeUSB;
    std::vector<DeviceInfo> devices = updater.Discover_Devices(type, &failed);
    return _show_devices(display, devices, type, failed, json);
}

// Whether a run asks more of an update than the plain one.
bool _extended(const Parameters& params)
{
    return params.dryRun || params.skipCurrent || params.progressJson;
}

bool _update_or_recover(CLI_Display& display, Updater& updater, const Parameters& params,
                        UpdateOutcome& outcome, ProgressStream* stream)
{
    uint32_t build = _build_from_text(params.buildNumber);
    if (params.transport == TRANSPORT_RECOVER)
        return updater.Recover_Firmware(params.serialPort, build, params.baudRate,
                                        params.serialNumber, params.birdFile,
                                        params.overrideModelCheck, &outcome);
    if (params.serialNumber == 0) {
        display.message(ERROR, "Must specify the specific device to be updated");
        return false;
    }
    if (!_extended(params))
        return updater.Update_Firmware(params.serialNumber, build, params.birdFile,
                                       params.moduleAddress, params.routerSerialNumber,
                                       params.overrideModelCheck, &outcome);
    ModuleDisplay shown(display, nullptr, params.serialNumber, stream);
    Updater engine(updater.ServerURL(), updater.UpdaterDirectory(), shown, updater.Cancel());
    UpdateOptions options;
    options.dryRun = params.dryRun;
    options.skipCurrent = params.skipCurrent;
    bool succeeded = engine.Update_Firmware(params.serialNumber, build, params.birdFile,
                                            params.moduleAddress, params.routerSerialNumber,
                                            params.overrideModelCheck, &outcome, options);
    if (stream)
        stream->End(params.serialNumber, _update_outcome(outcome, succeeded),
                    outcome.verifiedBuild);
    return succeeded;
}

bool _update(CLI_Display& display, Updater& updater, const Parameters& params, JsonReport* json,
             ProgressStream* stream)
{
    UpdateOutcome outcome;
    bool succeeded = _update_or_recover(display, updater, params, outcome, stream);
    _report(json, display, "update",
            _json_update(params.serialNumber, outcome, succeeded,
                         _extended(params) && params.transport != TRANSPORT_RECOVER),
            succeeded);
    return succeeded;
}

bool _list_builds(CLI_Display& display, Updater& updater, const Parameters& params,
                  JsonReport* json)
{
    if (params.serialNumber == 0) {
        display.message(ERROR, "Error must supply a serial number for the List Builds command");
        _display_usage(false, false);
        _report(json, display, "builds", _json_builds({}, 0, true), false);
        return false;
    }
    bool failed = false;
    std::map<std::string, std::string> builds = updater.Get_BuildList(params.serialNumber, &failed);
    if (json)
        _report(json, display, "builds", _json_builds(builds, params.serialNumber, failed),
                !failed);
    else
        _display_builds(display, builds, params.serialNumber);
    return !failed;
}

// A command refused before it ran, for a missing parameter.
int _refuse(CLI_Display& display, JsonReport* json, const char* command, JsonDocument document)
{
    _report(json, display, command, std::move(document), false);
    return 1;
}

// The action commands after the fingerprint and the get: one of them runs.
bool _run_action(CLI_Display& display, Updater& updater, Parameters& params, JsonReport* json,
                 ProgressStream* stream)
{
    display.ForgetErrors();
    if (params.commands.IsSet(CMD_DISCOVER))
        return _discover(display, updater, params, json);
    if (params.commands.IsSet(CMD_UPDATE))
        return _update(display, updater, params, json, stream);
    if (params.commands.IsSet(CMD_LIST_BUILDS))
        return _list_builds(display, updater, params, json);
    return true;
}

// The commands after start-up; the status only ever goes from 0 to 1. A
// command that is refused for a missing parameter still gets its failed
// document.
int _run_commands(CLI_Display& display, Updater& updater, Parameters& params, JsonReport* json,
                  ProgressStream* stream)
{
    int status = 0;
    if (params.commands.IsSet(CMD_FINGERPRINT)) {
        display.ForgetErrors();
        if (params.serialPort.empty()) {
            display.message(ERROR, "Must specify the serial port used for connecting");
            return _refuse(display, json, "fingerprint", _json_fingerprint(nullptr));
        }
        if (!_fingerprint(display, updater, params, json))
            status = 1;
    }
    bool several = params.serialNumbers.size() > 1 &&
                   !params.commands.IsSet(CMD_DISCOVER | CMD_LIST_BUILDS) &&
                   !(params.commands.IsSet(CMD_UPDATE) && params.transport == TRANSPORT_RECOVER);
    if (several && params.commands.IsSet(CMD_GET | CMD_UPDATE))
        return _run_fleet(display, updater, params, json, stream) || status;
    if (params.commands.IsSet(CMD_GET)) {
        display.ForgetErrors();
        if (params.serialNumber == 0) {
            display.message(ERROR, "-G must specify a specific device via -d");
            display.message(ERROR, "--help for usage information");
            return _refuse(display, json, "get", _json_get(0, 0));
        }
        if (!_get(display, updater, params, json))
            status = 1;
    }
    if (!_run_action(display, updater, params, json, stream))
        status = 1;
    return status;
}

// Points the standard output at the standard error stream, so that nothing
// written there meanwhile (the display's lines and progress, any library's
// stray line) can spoil the document. Returns the descriptor the document
// goes to: the original standard output.
int _divert_standard_output()
{
    int document = dup(STDOUT_FILENO);
    if (document < 0)
        return STDOUT_FILENO;
    if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        close(document);
        return STDOUT_FILENO;
    }
    return document;
}

// The errno of a document that did not go out whole (0: it did): a caller
// reading it would get a cut or empty one, so the run cannot have succeeded.
int _write_document(int fd, const std::string& text)
{
    int error = 0;
    size_t done = 0;
    while (done < text.size() && error == 0) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            error = n < 0 ? errno : EIO;
        else
            done += (size_t)n;
    }
    if (fd != STDOUT_FILENO && close(fd) != 0 && error == 0)
        error = errno;
    return error;
}

void _on_signal(int)
{
    // A second signal ends the run at once, unless a section that must not
    // be cut (a store write, a chunk being copied into flash) is open: then
    // it is held like the first, and the run stops when the section closes.
    if (kCancel_Request(&_run_cancel) > 0 && !kCancel_InSection(&_run_cancel))
        _exit(1);
}

// The first SIGINT or SIGTERM asks the command to stop where it safely can
// (no packet cut in half, no temporary file left, no chunk half copied).
void _catch_interrupts()
{
    (void)kCancel_Init(&_run_cancel);
    struct sigaction action = {};
    action.sa_handler = _on_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    int parsed = _get_params(display, argc, argv, params);
    int documentFd = params.jsonOutput ? _divert_standard_output() : -1;
    if (parsed != 0) {
        _display_app_version(display);
        _display_copyright(display);
        _display_usage(false, false);
        _release_params(params);
        return 1;
    }
    _display_app_version(display);
    if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY_MASK)) {
        _display_copyright(display);
        _display_vt_version(display);
        _display_usage(params.extendedUsage, params.helpRequested);
        _release_params(params);
        return 0;
    }

    kErr homeError = kErrNone;
    std::string directory = _build_updater_directory(&homeError);
    if (homeError == kErrOverrun) {
        display.message(ERROR, "Home directory path is longer than %d characters",
                        kDIR_PATH_MAX - 1);
        _release_params(params);
        return 1;
    }
    if (directory.empty() || kDirectory_Ensure(directory.c_str(), 0755) != kErrNone) {
        display.message(ERROR, "Could not find updater directory at %s", directory.c_str());
        _release_params(params);
        return 1;
    }

    int status;
    JsonReport json;
    _catch_interrupts();
    {
        Updater updater(params.serverURL, directory, display, &_run_cancel);
        ProgressStream stream(stderr);
        status = _run_commands(display, updater, params, params.jsonOutput ? &json : nullptr,
                               params.progressJson ? &stream : nullptr);
    }
    int writeError = params.jsonOutput ? _write_document(documentFd, json.Text()) : 0;
    if (writeError != 0) {
        display.message(ERROR, "Could not write the JSON document [%s]", strerror(writeError));
        status = 1;
    }
    _release_params(params);
    return status;
}
