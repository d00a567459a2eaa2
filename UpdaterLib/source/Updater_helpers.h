#pragma once
// What the command families of the engine share: build texts, the local
// date text and a unit's store item.

#include "UpdaterLib/source/UpdaterDisplayInterface.h"
#include "UpdaterLib/source/UpdaterStore.h"

#include <stdint.h>

#include <string>

namespace Engine
{

/// The build, or 0 with the failed conversion logged.
uint32_t _build_or_zero(const std::string& text);
/// The local date and time as ctime writes it, without its newline.
std::string _date_text();
/// The unit's store item, its directory made when the unit is new. False
/// (logged) when the store or the directory cannot be had.
bool _device_item(const std::string& directory, uint32_t serialNumber, UpdaterStoreItem& item);
/// False, with "Could not read settings file" shown, when the item's
/// settings file exists but could not be read whole: a command that would
/// record into it must not run, or the next save would lose what it holds.
bool _settings_readable(UpdaterDisplayInterface& display, const UpdaterStoreItem& item);

} // namespace Engine
