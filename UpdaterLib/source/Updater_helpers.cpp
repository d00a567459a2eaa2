#include "UpdaterLib/source/Updater_helpers.h"

#include "device/core/kLog.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <stdexcept>

using namespace Engine;

bool Engine::_to_build(const std::string& text, uint32_t& build)
{
    if (text.empty() || text.size() > 10 || strspn(text.c_str(), "0123456789") != text.size())
        return false;
    unsigned long long value = strtoull(text.c_str(), nullptr, 10);
    if (value > 0xFFFFFFFFull)
        return false;
    build = (uint32_t)value;
    return true;
}

uint32_t Engine::_build_or_zero(const std::string& text)
{
    uint32_t build = 0;
    if (!_to_build(text, build))
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
