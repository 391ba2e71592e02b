// Time of day in milliseconds and sleeps, for every wait and time-out of the library.
#pragma once

#include <cstdint>

#include "Tandril2/common/vError.h"

// Wall-clock milliseconds; 0 when the time cannot be read. Only differences of two
// readings are meaningful.
uint64_t vTime_GetMSTicks();

// Sleeps at least `milliseconds`, in slices below one second. Always vErrNone.
vErr vTime_MSSleep(uint32_t milliseconds);

// The microsecond slices vTime_MSSleep sleeps for `milliseconds`: each slice below one
// second, their sum exactly milliseconds * 1000. Returns the count written (at most
// `capacity`); callers pass a capacity of at least milliseconds / 999 + 1.
int vTime_SleepSlices(uint32_t milliseconds, uint32_t* slices, int capacity);
