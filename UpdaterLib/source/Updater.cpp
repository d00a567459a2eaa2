#include "UpdaterLib/source/Updater.h"

#include "cli/Log.h"
#include "device/core/kLog.h"

// The device library's own lines (a module answering discovery from two
// hosts) belong to the network package of the debug log.
static void _log_device_line(const char* line)
{
    Log::log(DEBUG_Network, "%s", line);
}

Updater::Updater(const std::string& serverURL, const std::string& updaterDirectory,
                 UpdaterDisplayInterface& display)
    : serverURL(serverURL), updaterDirectory(updaterDirectory), display(display)
{
    kLog_SetSink(_log_device_line);
}
