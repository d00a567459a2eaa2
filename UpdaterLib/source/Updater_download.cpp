// The get and list-builds commands: ask the update server which builds a
// device has, and fetch one into the local store on a worker thread while
// the console shows a spinner.

#include "UpdaterLib/source/Updater.h"

#include "UpdaterLib/source/UpdateServerRequest.h"
#include "UpdaterLib/source/Updater_pending.h"

static const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

std::map<std::string, std::string> Updater::Get_BuildList(uint32_t serialNumber,
                                                          bool* requestFailed)
{
    std::map<std::string, std::string> builds;
    bool failed = false;
    if (!UpdateServerRequest::ping(serverURL.c_str())) {
        display.message(ERROR, "Server request failed for %s", serverURL.c_str());
        failed = true;
    } else if (!UpdateServerRequest::GetBuildList(serialNumber, builds, serverURL.c_str())) {
        display.message(ERROR, "Failed to retrieve builds for %08X", serialNumber);
        failed = true;
    }
    if (requestFailed)
        *requestFailed = failed;
    return builds;
}

uint32_t Updater::Download_Firmware(uint32_t, const std::string&, bool, bool)
{
    _report_not_available(display, "get");
    return 0;
}

uint32_t Updater::Download_Firmware(const Fingerprint&, const std::string&, bool)
{
    _report_not_available(display, "get");
    return 0;
}
