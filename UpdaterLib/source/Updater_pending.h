#pragma once
// Commands whose engine is not in this build yet say so and fail.

#include "UpdaterLib/source/UpdaterDisplayInterface.h"

inline void _report_not_available(UpdaterDisplayInterface& display, const char* command)
{
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "The %s command is not available in this build yet", command);
}
