#include "UpdaterLib/source/Updater.h"
#include "UpdaterLib/source/Updater_pending.h"

bool Updater::Update_Firmware(uint32_t, uint32_t, const std::string&, uint8_t, uint32_t, bool)
{
    _report_not_available(display, "update");
    return false;
}
