#include "app/UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

void UpdaterDisplayInterface::message(Level level, const char* format, ...) {
    if (muted)
        return;
    char text[kMaxMessage + 1];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0)
        text[0] = '\0';
    if (level == LEVEL_ERROR)
        error_message(text);
    else
        info_message(text);
}
