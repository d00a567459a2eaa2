#include "UpdaterLib/source/Updater_helpers.h"

#include "UpdaterLib/source/Updater.h"
#include "device/core/kLog.h"

#include <string.h>
#include <time.h>

#include <stdexcept>

using namespace Engine;

uint32_t Engine::_build_or_zero(const std::string& text)
{
    uint32_t build = 0;
    if (!Updater::Parse_Build(text, build))
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return build;
}

std::string Engine::_date_text()
{
    time_t now = time(nullptr);
    char text[64] = "";
    if (!ctime_r(&now, text))
        return "";
    text[strcspn(text, "\n")] = 0;
    return text;
}

bool Engine::_device_item(const std::string& directory, uint32_t serialNumber,
                          UpdaterStoreItem& item)
{
    try {
        UpdaterStore store(directory);
        bool found = store.FindDevice(serialNumber, &item);
        if (found && item.Type() == STORE_ITEM_DIRECTORY)
            return true;
        // A plain file in the directory's place is left to AddDevice, which
        // refuses it.
        if (!found)
            Log::log(DEBUG_APP, "Could not find device in our update history.\n");
        item = store.AddDevice(serialNumber);
        return true;
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "%s\n", e.what());
        return false;
    }
}

bool Engine::_settings_readable(UpdaterDisplayInterface& display, const UpdaterStoreItem& item)
{
    int error = item.Settings().ReadError();
    if (error == 0)
        return true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not read settings file %s [%s]",
                    item.Settings().FileName().c_str(), strerror(error));
    return false;
}
