#pragma once
// Steps of the engine's command flows that more than one of its files
// uses: the update flow's firmware stage, which the recovery of an i.MX
// board reuses to send the firmware to its liveloader, and the i.MX side of
// the recovery.

#include "UpdaterLib/source/BirdFile.h"
#include "UpdaterLib/source/ModuleFinder.h"
#include "UpdaterLib/source/Updater.h"
#include "UpdaterLib/source/UpdaterDisplayInterface.h"
#include "device/core/kDiscovery.h"
#include "device/core/kError.h"

#include <stdint.h>

#include <string>

namespace Kelvane
{
namespace Vantor
{
class Module;
}
} // namespace Kelvane

namespace Engine
{

/// The build number the connected module runs (command 73 with 0xFF, most
/// significant byte first): the link's error, or kErrPacket for a reply of
/// another length; `build` changes only on success.
kErr _read_build_number(Kelvane::Vantor::Module& module, uint32_t& build);

/// The bus address at which the module with `serialNumber` answers behind
/// the connected, routing router, or 0 when none does. Every address is
/// asked at once, as the router scan asks them.
uint8_t _find_behind(Kelvane::Vantor::Module& router, uint32_t routerSerialNumber,
                     uint32_t serialNumber);

/// Sends the firmware blocks to the loader running in the connected module
/// and reboots the module into the new firmware, awaiting its going away on
/// the finder's path. The first block that fails ends the stage without
/// REBOOT (the module stays in its loader); its code is returned.
kErr _transfer_firmware(UpdaterDisplayInterface& display, Kelvane::Vantor::Module& module,
                        BirdFile& bird, const ModuleFinder& finder);

/// After REBOOT: finds the module again on the finder's path (for about
/// 30 s) and asks which build and version it runs. True, with "Update
/// verified: ..." shown and `verifiedBuild` set, when it came back with the
/// file's build and, where the file's identity block gives one, its
/// version; false, with "Firmware update not verified [...]" shown,
/// otherwise (a file that names no build is never verified). The module is
/// left disconnected.
bool _verify_update(UpdaterDisplayInterface& display, Kelvane::Vantor::Module& module,
                    const ModuleFinder& finder, uint32_t serialNumber, const BirdFile& bird,
                    uint32_t& verifiedBuild);

/// Writes the liveloader's loader blocks into the processor's RAM through
/// its serial download ROM (HID when `port` is "USB", else the serial port)
/// and starts it: kErrNone, kErrNotReady when the transport does not open,
/// kErrConnection when a block is not taken (or has no load address).
kErr _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& liveloader,
                               const std::string& port, const kCancel* cancel);

/// Starts a liveloader (the file named, the unit's latest download, or the
/// unit's current build fetched quietly), finds it on USB and reads the
/// processor's fingerprint from it; resets it afterwards when asked.
bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater,
                          const std::string& port, uint32_t serialNumber,
                          const std::string& birdFile, Fingerprint& fingerprint, bool reset);

/// Sends the firmware to the liveloader left running by the fingerprint,
/// found on USB under the default serial number or the unit's own, and
/// verifies that the board came back running the image's build, which
/// `verifiedBuild` then holds.
bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& image, uint32_t serialNumber,
                           uint32_t& verifiedBuild, const kCancel* cancel);

} // namespace Engine
