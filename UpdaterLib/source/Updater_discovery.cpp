#include "UpdaterLib/source/Updater.h"
#include "UpdaterLib/source/Updater_pending.h"

std::vector<DeviceInfo> Updater::Discover_Devices(linkType)
{
    _report_not_available(display, "discover");
    return {};
}

std::vector<DeviceInfo> Updater::Discover_VTNetwork_Devices(uint32_t, linkType)
{
    _report_not_available(display, "discover");
    return {};
}
