// Named, non-recursive mutexes for the device-link library.
#pragma once

#include <cstddef>

#include "Tandril2/common/vError.h"

// Longest mutex name accepted.
constexpr size_t vMUTEX_MAX_NAME = 255;

struct vMutexRecord; // opaque
typedef vMutexRecord* vMutex;

// A new unlocked mutex; a null name means "". Null when memory is short, the name is
// longer than vMUTEX_MAX_NAME, or the mutex cannot be initialised.
vMutex vMutex_Create(const char* name);

// The name given at creation ("" for a null or invalid mutex).
const char* vMutex_Identifier(vMutex mutex);

// Destroys and frees the mutex and nulls *mutex, even when destruction reports an error.
// vErrParam: null or invalid. vErrBusy: still locked. vErrResource, vErrUnknown.
vErr vMutex_Destroy(vMutex* mutex);

// Blocks until locked. Never lock a mutex the thread already holds.
// vErrParam: null or invalid. vErrDuplicate: deadlock reported. vErrUnknown.
vErr vMutex_Lock(vMutex mutex);

// Locks when free. vErrBusy: held elsewhere. vErrParam, vErrUnknown.
vErr vMutex_TryLock(vMutex mutex);

// vErrPermission: not the owner. vErrParam, vErrUnknown.
vErr vMutex_Unlock(vMutex mutex);
