// Buffered files for the device-link library. Every failure comes back as a vErr;
// handles carry a validity word so that a stale or foreign handle is refused.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Tandril2/common/vError.h"

// Longest path accepted anywhere a path is taken.
constexpr size_t vFILE_MAX_PATH = 4096;

enum vFileMode : uint32_t {
    vFileModeRead = 0,   // "rb"
    vFileModeWrite = 1,  // "wb", truncating
    vFileModeAppend = 2, // "ab+": read and write, positioned at the end
};

struct vFileHandle; // opaque
typedef vFileHandle* vFile;

constexpr uint16_t vFILE_VALID = 0xFEED;
// True when `handle` is not null and still open.
bool vVALIDFILE(const vFileHandle* handle);

// True when `path` names something that is not a directory. False for a null path,
// a path over vFILE_MAX_PATH characters, a missing entry or a directory.
bool vFile_Exists(const char* path);

// Opens `path` in `mode`. Null for a null or empty path, a path over
// vFILE_MAX_PATH characters, an unknown mode, no memory, or a file that cannot be opened.
vFile vFile_Open(const char* path, uint32_t mode);

// Closes the file and nulls *handle (even when it was invalid).
// vErrParam: null or invalid handle.
vErr vFile_Close(vFile* handle);

// Reads up to `length` bytes; *count (when not null) gets the number read.
// vErrParam: invalid handle or null buffer. vErrMode: write-only handle.
// vErrEOF: nothing read although `length` was not 0.
vErr vFile_Read(vFile handle, void* buffer, size_t length, size_t* count);

// Writes `length` bytes; *count (when not null) gets the number written.
// vErrParam: invalid handle or null data. vErrMode: read-only handle.
// vErrIO: nothing written although `length` was not 0.
vErr vFile_Write(vFile handle, const void* data, size_t length, size_t* count);

// Moves to origin (0 start, 1 current, 2 end) plus `offset`.
// vErrParam: invalid handle or origin. vErrIO: position or size unreadable, or the seek
// failed. vErrRange: target before the start or beyond the end.
vErr vFile_Seek(vFile handle, int64_t offset, int origin);

// The file's size in bytes; the position is kept.
// vErrParam: null output or invalid handle. vErrIO: size unreadable (*size is then 0).
vErr vFile_GetSize(vFile handle, uint64_t* size);

// The current position (written when above 0). vErrParam, vErrIO.
vErr vFile_GetPosition(vFile handle, uint64_t* position);

// Reads one line, newline kept. *length gets its length (0 on any failure), and the
// buffer is emptied first when `size` is not 0.
// vErrParam: invalid handle or null buffer/length. vErrMode: write-only handle.
// vErrEOF: at the end of the file. vErrIO: read failure. vErrOverrun: the line is longer
// than the buffer (the rest stays in the file).
vErr vFile_ReadLine(vFile handle, char* buffer, size_t size, size_t* length);

// Formatted write. vErrParam, vErrMode (read-only handle), vErrIO (formatting failed).
vErr vFile_Printf(vFile handle, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Turns off the stream's buffering. vErrParam; vErrMode for a read-only handle or when
// the stream refuses.
vErr vFile_SetUnbuffered(vFile handle);

// Removes the file. vErrParam (null path), vErrFileNameLength, vErrNotFound,
// vErrPermission (access refused), vErrIO (any other failure).
vErr vFile_Delete(const char* path);
