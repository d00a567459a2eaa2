#include "UpdaterLib/source/Updater.h"

#include "cli/Log.h"
#include "device/core/kLog.h"

#include <atomic>

namespace
{

// Set from a signal handler: only a lock-free atomic may be touched there.
std::atomic<bool> _interrupted(false);
} // namespace
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler sets it");

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
                 UpdaterDisplayInterface& display)
    : serverURL(serverURL), updaterDirectory(updaterDirectory), display(display)
{
    kLog_SetSink(_log_device_line);
}

void Updater::Interrupt()
{
    _interrupted.store(true);
}

bool Updater::Interrupted()
{
    return _interrupted.load();
}
