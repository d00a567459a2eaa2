#pragma once
// Steps of the engine's command flows that more than one of its files
// uses: the update flow's firmware stage, which the recovery of an i.MX
// board reuses to send the firmware to its liveloader.

#include "UpdaterLib/source/BirdFile.h"
#include "UpdaterLib/source/UpdaterDisplayInterface.h"
#include "device/core/kError.h"

namespace Kelvane
{
namespace Vantor
{
class Module;
}
} // namespace Kelvane

/// Sends the firmware blocks to the loader running in the connected module
/// and reboots the module into the new firmware. The first block that fails
/// ends the stage without REBOOT (the module stays in its loader); its code
/// is returned.
kErr _transfer_firmware(UpdaterDisplayInterface& display, Kelvane::Vantor::Module& module,
                        BirdFile& bird);
