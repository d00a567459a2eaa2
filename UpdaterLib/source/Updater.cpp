#include "UpdaterLib/source/Updater.h"

#include "cli/Log.h"
#include "device/core/kLog.h"

namespace
{

// The device library's own lines (a module answering discovery from two
// hosts) belong to the network package of the debug log.
void _log_device_line(const char* line)
{
    Log::log(DEBUG_Network, "%s", line);
}

} // namespace

Updater::Updater(const std::string& serverURL, const std::string& updaterDirectory,
                 UpdaterDisplayInterface& display, kCancel* cancel)
    : serverURL(serverURL), updaterDirectory(updaterDirectory), display(display), cancel(cancel)
{
    kLog_SetSink(_log_device_line);
}
