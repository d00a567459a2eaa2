#include "UpdaterLib/source/Updater.h"
#include "UpdaterLib/source/Updater_pending.h"

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

std::map<std::string, std::string> Updater::Get_BuildList(uint32_t, bool* requestFailed)
{
    _report_not_available(display, "list builds");
    if (requestFailed)
        *requestFailed = true;
    return {};
}
