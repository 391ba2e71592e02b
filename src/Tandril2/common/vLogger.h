// Packet log writer: a thread that copies a link's packet debug log into a text file,
// one line per entry: the length, ">" (sent) or "<" (received or text), then the
// bytes ("0x%X " each; text entries as characters).
#pragma once

#include <cstdint>

#include "Tandril2/common/vError.h"

struct vLogger; // opaque, validity word 0xDEED

// A writer for the log of link `linkId`, appending to the file at `path` (opened at
// once, unbuffered). Null when the path is null or the file cannot be opened.
vLogger* vLogger_Create(int32_t linkId, const char* path);
// Starts the thread. vErrParam (invalid writer), vErrResource (no thread); vErrNone
// when running already.
vErr vLogger_Enable(vLogger* logger);
// Stops the thread after it has written what the log holds, and joins it (unless
// called from it). vErrParam (invalid writer).
vErr vLogger_Disable(vLogger* logger);
// Disables the writer, closes the file, frees it and nulls *logger. vErrParam.
vErr vLogger_Destroy(vLogger** logger);
