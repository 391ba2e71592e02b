// Time of day in milliseconds and sleeps, for every wait and time-out of the library.
#pragma once

#include <cstdint>

#include "Tandril2/common/vError.h"

// Milliseconds of a steady clock; 0 when it cannot be read. Only differences of two
// readings are meaningful.
uint64_t vTime_GetMSTicks();

// Sleeps at least `milliseconds`, in slices below one second. Always vErrNone.
vErr vTime_MSSleep(uint32_t milliseconds);

