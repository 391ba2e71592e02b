// Tolerance of sporadic I/O errors on USB transfers: a few consecutive vErrIO results
// are passed off as success, after which the device is considered failed.
#pragma once

#include <cstdint>

#include "Tandril2/common/vError.h"

// Consecutive vErrIO results tolerated before they are reported.
constexpr uint32_t vTRANSFER_TOLERATED_IO_ERRORS = 4;

// Filters one transfer result. vErrIO increments *consecutiveIoErrors and is turned
// into vErrNone while the count before the increment was below the tolerance; from
// then on it stays vErrIO and *failed is set true. Any other result resets the count
// and is returned unchanged (*failed untouched). Null pointers give vErrParam.
vErr vTransfer_FilterResult(vErr result, uint32_t* consecutiveIoErrors, bool* failed);
