// Directory helpers of the device-link library: existence, creation of a whole
// path, listing, the user's home directory, and bounded path joining.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "Tandril2/common/vError.h"

#define vDIR_PATH_SEP "/"

// Size of the buffer in which vDirectory_List builds each entry's full path.
constexpr size_t vDIRECTORY_LIST_PATH_SIZE = 2048;
// Most parts vDirectory_BuildPath joins.
constexpr int vDIRECTORY_MAX_PARTS = 10;

// One entry handed to a vDirectory_List callback; valid only during the call.
struct vDirectoryListData {
    const char* path; // the listed directory joined with the entry's name
    uint32_t size;    // file size from stat
    bool isDirectory;
};

// Return false to end the listing.
typedef bool (*vDirectoryListCallback)(const vDirectoryListData* entry, void* reference);

// True when `path` is not null and names a directory.
bool vDirectory_Exists(const char* path);

// Creates the directory and every missing parent with `mode`. vErrNone when the
// directory exists afterwards. vErrParam: null path. vErrPermission: a mkdir failed
// (other than "already exists"), or something that is not a directory is in the way;
// the directories made before the failure are removed again.
vErr vDirectory_Ensure(const char* path, mode_t mode);

// Calls `callback` for every entry, "." and ".." included, in the system's order,
// skipping entries whose stat fails or whose full path does not fit the path buffer.
// vErrParam: null path or callback. vErrNotFound: the directory cannot be opened.
vErr vDirectory_List(const char* path, vDirectoryListCallback callback, void* reference);

// Copies the current user's home directory (user database for the real user id, else
// HOME) into dst, always terminated. vErrParam: null dst or length 0. vErrNotFound:
// no home directory known. vErrOverrun: it does not fit (dst then holds "").
vErr vDirectory_GetHomeDirectory(char* dst, size_t length);

// vDirectory_BuildPath(dst, length, a, b, nullptr).
vErr vDirectory_JoinPath(char* dst, size_t length, const char* a, const char* b);

// Joins `first` and the further parts up to a null pointer into dst, inserting "/"
// unless the text so far ends with "/" or the next part begins with "/". dst starts
// empty in every case. vErrParam: null dst, dst among the parts, or more than
// vDIRECTORY_MAX_PARTS parts. vErrOverrun: the result does not fit.
vErr vDirectory_BuildPath(char* dst, size_t length, const char* first, ...)
    __attribute__((sentinel));
