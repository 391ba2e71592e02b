#include "app/Log.h"

#include <cstdarg>

uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;

void Log::log(uint32_t package, const char* format, ...) {
    if (!IsActive(package))
        return;
    char line[kMaxLine + 1];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0)
        return;
    size_t length = static_cast<size_t>(n) < kMaxLine ? static_cast<size_t>(n) : kMaxLine;
    FILE* out = fh;
    if (out != nullptr && length > 0)
        std::fwrite(line, 1, length, out); // one call: the stream's lock keeps the line whole
}

void Log::SetOutput(FILE* stream) { fh = stream; }

void Log::ActivatePackage(uint32_t bits) { package_bitmask |= bits; }

void Log::DeactivatePackage(uint32_t bits) { package_bitmask &= ~bits; }

bool Log::IsActive(uint32_t package) { return package == 0 || (package & package_bitmask) != 0; }
