#include "Tandril2/common/vTime.h"

#include <cerrno>
#include <time.h>

namespace {
// Each slice stays below one second.
constexpr uint32_t kMaxSliceMicroseconds = 999999;
} // namespace

// A steady clock: time-outs are differences of two readings, and a wall clock set
// back or forward in between would stretch or cut them.
uint64_t vTime_GetMSTicks() {
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return 0;
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

vErr vTime_MSSleep(uint32_t milliseconds) {
    uint64_t left = static_cast<uint64_t>(milliseconds) * 1000u;
    while (left > 0) {
        uint32_t slice = left > kMaxSliceMicroseconds ? kMaxSliceMicroseconds : static_cast<uint32_t>(left);
        left -= slice;
        struct timespec want = {0, static_cast<long>(slice) * 1000};
        struct timespec rest;
        // A signal must not cut the sleep short: resume with what is left.
        while (nanosleep(&want, &rest) != 0 && errno == EINTR)
            want = rest;
    }
    return vErrNone;
}
