// USB stream: a module attached by USB, reached by its serial number, through its
// kernel device node when that exists, else through libusb.
#pragma once

#include <cstdint>

#include "Tandril2/common/vStream.h"

// vErrParam (null out pointer, serial number 0), vErrMemory, vErrResource, or the
// open's code (vErrNotFound, vErrConfiguration, vErrBusy, vErrPermission, vErrIO, ...).
vErr vStream_CreateUSB(uint32_t serialNumber, vStream** stream);
