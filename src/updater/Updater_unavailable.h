// What an operation that this build does not carry tells the user.
#pragma once

#include "app/UpdaterDisplayInterface.h"

inline void ReportUnavailable(UpdaterDisplayInterface& display, const char* operation) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s is not available in this build",
                    operation);
}
