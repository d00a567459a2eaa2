#include "UpdaterLib/source/Updater.h"

Updater::Updater(const std::string& serverURL, const std::string& updaterDirectory,
                 UpdaterDisplayInterface& display, kCancel* cancel)
    : serverURL(serverURL), updaterDirectory(updaterDirectory), display(display), cancel(cancel)
{
}
