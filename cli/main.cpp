// Updater: one command line, one pass. Parse, print the banner, settle the
// updater directory, build the engine, run the commands in their fixed
// order, exit 0 or 1.

#include "UpdaterLib/source/Updater.h"
#include "cli/CLI_Display.h"
#include "cli/Log.h"
#include "cli/Parameters.h"
#include "cli/Printers.h"
#include "cli/Usage.h"
#include "device/core/kDirectory.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
static const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// The build text as a number; 0 ("latest") when empty or not all digits.
static uint32_t sBuildFromText(const std::string& text)
{
    if (text.empty() || strspn(text.c_str(), "0123456789") != text.size())
        return 0;
    return (uint32_t)strtoull(text.c_str(), nullptr, 10);
}

static void sFingerprint(CLI_Display& display, Updater& updater, const Parameters& params,
                         int& status)
{
    Fingerprint fingerprint;
    if (updater.Get_Fingerprint(fingerprint, params.serialPort, 0xDEADDEAD, params.birdFile,
                                params.baudRate, true)) {
        _display_fingerprint(display, fingerprint);
    } else {
        display.message(ERROR, "Got no response from chip");
        status = 1;
    }
}

static void sGet(CLI_Display& display, Updater& updater, Parameters& params, int& status)
{
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
    if (build != 0)
        params.buildNumber = std::to_string(build);
    else
        status = 1;
}

static void sDiscover(CLI_Display& display, Updater& updater, const Parameters& params)
{
    linkType type = kLinkTypeStream;
    if (params.transportGiven && params.transport != TRANSPORT_RECOVER)
        type = (linkType)params.transport;
    if (params.routerSerialNumber != 0) {
        display.message(INFO, "Searching for Vantor Network devices connected to %08X",
                        params.routerSerialNumber);
        std::vector<DeviceInfo> devices =
            updater.Discover_VTNetwork_Devices(params.routerSerialNumber, type);
        _display_device_list(display, devices, type == kLinkTypeStream ? kLinkTypeUSB : type);
    } else {
        display.message(INFO, "Searching for Vantor devices");
        if (type == kLinkTypeStream)
            type = kLinkTypeUSB;
        _display_device_list(display, updater.Discover_Devices(type), type);
    }
}

static int sUpdate(CLI_Display& display, Updater& updater, const Parameters& params)
{
    uint32_t build = sBuildFromText(params.buildNumber);
    if (params.transport == TRANSPORT_RECOVER)
        return updater.Recover_Firmware(params.serialPort, build, params.baudRate,
                                        params.serialNumber, params.birdFile,
                                        params.overrideModelCheck)
                   ? 0
                   : 1;
    if (params.serialNumber == 0) {
        display.message(ERROR, "Must specify the specific device to be updated");
        return 1;
    }
    return updater.Update_Firmware(params.serialNumber, build, params.birdFile,
                                   params.moduleAddress, params.routerSerialNumber,
                                   params.overrideModelCheck)
               ? 0
               : 1;
}

static int sListBuilds(CLI_Display& display, Updater& updater, const Parameters& params)
{
    if (params.serialNumber == 0) {
        display.message(ERROR, "Error must supply a serial number for the List Builds command");
        _display_usage(false, false);
        return 1;
    }
    bool failed = false;
    std::map<std::string, std::string> builds = updater.Get_BuildList(params.serialNumber, &failed);
    _display_builds(display, builds, params.serialNumber);
    return failed ? 1 : 0;
}

// The commands after start-up; the status only ever goes from 0 to 1.
static int sRunCommands(CLI_Display& display, Updater& updater, Parameters& params)
{
    int status = 0;
    if (params.commands.IsSet(CMD_FINGERPRINT)) {
        if (params.serialPort.empty()) {
            display.message(ERROR, "Must specify the serial port used for connecting");
            return 1;
        }
        sFingerprint(display, updater, params, status);
    }
    if (params.commands.IsSet(CMD_GET)) {
        if (params.serialNumber == 0) {
            display.message(ERROR, "-G must specify a specific device via -d");
            display.message(ERROR, "--help for usage information");
            return 1;
        }
        sGet(display, updater, params, status);
    }
    if (params.commands.IsSet(CMD_DISCOVER)) {
        sDiscover(display, updater, params);
    } else if (params.commands.IsSet(CMD_UPDATE)) {
        if (sUpdate(display, updater, params) != 0)
            status = 1;
    } else if (params.commands.IsSet(CMD_LIST_BUILDS)) {
        if (sListBuilds(display, updater, params) != 0)
            status = 1;
    }
    return status;
}

int main(int argc, char** argv)
{
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    if (_get_params(display, argc, argv, params) != 0) {
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
    {
        Updater updater(params.serverURL, directory, display);
        status = sRunCommands(display, updater, params);
    }
    _release_params(params);
    return status;
}
