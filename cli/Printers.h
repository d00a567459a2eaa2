#pragma once
// Turn the engine's results into lines of text.

#include "UpdaterLib/source/Updater.h"
#include "UpdaterLib/source/UpdaterDisplayInterface.h"

#include <map>
#include <string>
#include <vector>

namespace Cli
{

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          linkType type);

/// Sorted by the version text, by plain character comparison.
void _display_builds(UpdaterDisplayInterface& display,
                     const std::map<std::string, std::string>& builds, uint32_t serialNumber);

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);

} // namespace Cli
