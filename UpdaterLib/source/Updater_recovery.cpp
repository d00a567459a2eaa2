#include "UpdaterLib/source/Updater.h"
#include "UpdaterLib/source/Updater_pending.h"

bool Updater::Recover_Firmware(const std::string&, uint32_t, uint32_t, uint32_t, const std::string&,
                               bool)
{
    _report_not_available(display, "recover");
    return false;
}

bool Updater::Get_Fingerprint(Fingerprint&, const std::string&, uint32_t, const std::string&,
                              uint32_t, bool)
{
    _report_not_available(display, "fingerprint");
    return false;
}
