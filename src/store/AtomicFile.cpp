#include "store/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace {

std::atomic<unsigned> tempCounter{0};

// Creates a fresh file beside `path`; -1 with errno set when it cannot.
int createTemporary(const std::string& dir, const std::string& base, std::string& tempPath) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = dir + "/." + base + ".tmp." + std::to_string(getpid()) + "." +
                   std::to_string(tempCounter++);
        int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

bool writeAll(int fd, const unsigned char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

vErr ReplaceFileContents(const char* path, const void* data, size_t length, int* osError) {
    int dummy = 0;
    int& error = osError ? *osError : dummy;
    error = 0;
    if (!path || !*path || (!data && length > 0)) {
        error = EINVAL;
        return vErrNotFound;
    }
    std::string target(path);
    size_t slash = target.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);

    std::string tempPath;
    int fd = createTemporary(dir, base, tempPath);
    if (fd < 0) {
        error = errno;
        return vErrNotFound;
    }
    struct stat old;
    if (stat(path, &old) == 0)
        fchmod(fd, old.st_mode & 07777);

    bool ok = writeAll(fd, static_cast<const unsigned char*>(data), length) && fsync(fd) == 0;
    if (!ok)
        error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(tempPath.c_str(), path) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(tempPath.c_str());
        return vErrIO;
    }
    // Make the rename itself survive a power cut; a failure here loses nothing already there.
    int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return vErrNone;
}
