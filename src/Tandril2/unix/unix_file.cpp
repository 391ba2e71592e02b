#include "Tandril2/common/vFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

struct vFileHandle {
    uint16_t check;
    uint32_t mode;
    FILE* stream;
};

namespace {

bool pathTooLong(const char* path) { return strnlen(path, vFILE_MAX_PATH + 1) > vFILE_MAX_PATH; }

bool canRead(const vFileHandle* handle) { return handle->mode != vFileModeWrite; }
bool canWrite(const vFileHandle* handle) { return handle->mode != vFileModeRead; }

// The file's size, with the position restored; -1 when it cannot be read.
int64_t sizeOf(FILE* stream) {
    off_t here = ftello(stream);
    if (here < 0 || fseeko(stream, 0, SEEK_END) != 0)
        return -1;
    off_t end = ftello(stream);
    if (fseeko(stream, here, SEEK_SET) != 0)
        return -1;
    return end;
}

} // namespace

bool vVALIDFILE(const vFileHandle* handle) { return handle != nullptr && handle->check == vFILE_VALID; }

bool vFile_Exists(const char* path) {
    struct stat st;
    return path != nullptr && !pathTooLong(path) && stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

vFile vFile_Open(const char* path, uint32_t mode) {
    static const char* const kModes[] = {"rb", "wb", "ab+"};
    if (path == nullptr || path[0] == '\0' || pathTooLong(path) || mode > vFileModeAppend)
        return nullptr;
    FILE* stream = std::fopen(path, kModes[mode]);
    if (stream == nullptr)
        return nullptr;
    // "ab+" writes always append, but reads start wherever the C library put the
    // position; move it to the end so position and size agree after opening.
    if (mode == vFileModeAppend && fseeko(stream, 0, SEEK_END) != 0) {
        std::fclose(stream);
        return nullptr;
    }
    auto* handle = new (std::nothrow) vFileHandle{vFILE_VALID, mode, stream};
    if (handle == nullptr)
        std::fclose(stream);
    return handle;
}

vErr vFile_Close(vFile* handle) {
    if (handle == nullptr)
        return vErrParam;
    vFile file = *handle;
    *handle = nullptr;
    if (!vVALIDFILE(file))
        return vErrParam;
    file->check = 0;
    std::fclose(file->stream);
    delete file;
    return vErrNone;
}

vErr vFile_Read(vFile handle, void* buffer, size_t length, size_t* count) {
    if (count != nullptr)
        *count = 0;
    if (!vVALIDFILE(handle) || buffer == nullptr)
        return vErrParam;
    if (!canRead(handle))
        return vErrMode;
    size_t got = std::fread(buffer, 1, length, handle->stream);
    if (count != nullptr)
        *count = got;
    return got == 0 && length != 0 ? vErrEOF : vErrNone;
}

vErr vFile_Write(vFile handle, const void* data, size_t length, size_t* count) {
    if (count != nullptr)
        *count = 0;
    if (!vVALIDFILE(handle) || data == nullptr)
        return vErrParam;
    if (!canWrite(handle))
        return vErrMode;
    size_t put = std::fwrite(data, 1, length, handle->stream);
    if (count != nullptr)
        *count = put;
    return put == 0 && length != 0 ? vErrIO : vErrNone;
}

vErr vFile_Seek(vFile handle, int64_t offset, int origin) {
    if (!vVALIDFILE(handle) || origin < 0 || origin > 2)
        return vErrParam;
    int64_t size = sizeOf(handle->stream);
    off_t here = ftello(handle->stream);
    if (size < 0 || here < 0)
        return vErrIO;
    int64_t base = origin == 0 ? 0 : origin == 1 ? here : size;
    // Overflow of base + offset is itself out of range.
    int64_t target;
    if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > size)
        return vErrRange;
    return fseeko(handle->stream, target, SEEK_SET) == 0 ? vErrNone : vErrIO;
}

vErr vFile_GetSize(vFile handle, uint64_t* size) {
    if (size == nullptr || !vVALIDFILE(handle))
        return vErrParam;
    int64_t bytes = sizeOf(handle->stream);
    *size = bytes < 0 ? 0 : static_cast<uint64_t>(bytes);
    return bytes < 0 ? vErrIO : vErrNone;
}

vErr vFile_GetPosition(vFile handle, uint64_t* position) {
    if (position == nullptr || !vVALIDFILE(handle))
        return vErrParam;
    off_t here = ftello(handle->stream);
    if (here < 0)
        return vErrIO;
    if (here > 0)
        *position = static_cast<uint64_t>(here);
    return vErrNone;
}

vErr vFile_ReadLine(vFile handle, char* buffer, size_t size, size_t* length) {
    if (length != nullptr)
        *length = 0;
    if (buffer != nullptr && size != 0)
        buffer[0] = '\0';
    if (!vVALIDFILE(handle) || buffer == nullptr || length == nullptr)
        return vErrParam;
    if (!canRead(handle))
        return vErrMode;
    // fgets takes an int; a buffer above INT_MAX is used only up to that size.
    int capacity = size > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(size);
    if (capacity < 2)
        return vErrOverrun; // no room for even one character
    if (std::fgets(buffer, capacity, handle->stream) == nullptr) {
        buffer[0] = '\0';
        return std::feof(handle->stream) ? vErrEOF : vErrIO;
    }
    *length = std::strlen(buffer);
    if (*length == static_cast<size_t>(capacity) - 1 && buffer[*length - 1] != '\n')
        return vErrOverrun;
    return vErrNone;
}

vErr vFile_Printf(vFile handle, const char* format, ...) {
    if (!vVALIDFILE(handle) || format == nullptr)
        return vErrParam;
    if (!canWrite(handle))
        return vErrMode;
    va_list args;
    va_start(args, format);
    int n = std::vfprintf(handle->stream, format, args);
    va_end(args);
    return n < 0 ? vErrIO : vErrNone;
}

vErr vFile_SetUnbuffered(vFile handle) {
    if (!vVALIDFILE(handle))
        return vErrParam;
    if (!canWrite(handle) || std::setvbuf(handle->stream, nullptr, _IONBF, 0) != 0)
        return vErrMode;
    return vErrNone;
}

vErr vFile_Delete(const char* path) {
    if (path == nullptr)
        return vErrParam;
    if (pathTooLong(path))
        return vErrFileNameLength;
    if (unlink(path) == 0)
        return vErrNone;
    switch (errno) {
    case ENOENT:
        return vErrNotFound;
    case EACCES:
    case EPERM:
        return vErrPermission;
    default:
        return vErrIO;
    }
}
