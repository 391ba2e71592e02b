// Replacing a file's whole content so that a crash or a full disk never leaves a
// half-written file: the bytes go to a temporary file beside it, which is synced and
// renamed over the old one.
#pragma once

#include <cstddef>

#include "Tandril2/common/vError.h"

// Makes `path` hold exactly `length` bytes of `data`; an existing file keeps its mode.
// vErrNotFound: the temporary file cannot be created (missing or unwritable directory).
// vErrIO: writing, syncing or renaming failed; `path` is then untouched.
// *osError (when not null) gets the errno of the failure, 0 on success.
vErr ReplaceFileContents(const char* path, const void* data, size_t length, int* osError);
