#include "UpdaterLib/source/Updater.h"

#include <atomic>

namespace
{

// Set from a signal handler: only a lock-free atomic may be touched there.
std::atomic<bool> _interrupted(false);
} // namespace
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler sets it");

Updater::Updater(const std::string& serverURL, const std::string& updaterDirectory,
                 UpdaterDisplayInterface& display)
    : serverURL(serverURL), updaterDirectory(updaterDirectory), display(display)
{
}

void Updater::Interrupt()
{
    _interrupted.store(true);
}

bool Updater::Interrupted()
{
    return _interrupted.load();
}
