// Threads for the device-link library.
#pragma once

#include "Tandril2/common/vError.h"

struct vThreadRecord; // opaque
typedef vThreadRecord* vThread;

typedef void* (*vThreadProcedure)(void* argument);

// Starts a thread running procedure(argument). Null when memory is short, the
// procedure is null, or the thread cannot be started.
vThread vThread_Create(vThreadProcedure procedure, void* argument);

// Waits for the thread to end (it is not stopped: tell its loop to end first), frees
// the handle and nulls *thread. Returns the join's error number: 0 on success, EINVAL
// for a null handle.
int vThread_Destroy(vThread* thread);

// Gives up the processor briefly (5 microseconds).
void vThread_Yield();
