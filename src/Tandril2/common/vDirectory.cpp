#include "Tandril2/common/vDirectory.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

bool vDirectory_Exists(const char* path) {
    struct stat st;
    return path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

vErr vDirectory_Ensure(const char* path, mode_t mode) {
    if (path == nullptr)
        return vErrParam;
    if (vDirectory_Exists(path))
        return vErrNone;
    std::string copy(path);
    std::vector<std::string> created;
    bool failed = false;
    // Every prefix ending before a separator, then the whole path; a leading "/"
    // or a doubled separator gives an empty or repeated prefix that is passed over.
    for (size_t at = copy.find('/', 1);; at = copy.find('/', at + 1)) {
        std::string prefix = at == std::string::npos ? copy : copy.substr(0, at);
        if (!prefix.empty() && prefix.back() != '/' && !vDirectory_Exists(prefix.c_str())) {
            if (mkdir(prefix.c_str(), mode) == 0)
                created.push_back(prefix);
            else if (errno != EEXIST)
                failed = true;
        }
        if (failed || at == std::string::npos)
            break;
    }
    // "Already exists" may also mean a file is in the way.
    if (!failed && vDirectory_Exists(path))
        return vErrNone;
    // Leave no half-made tree behind.
    for (auto it = created.rbegin(); it != created.rend(); ++it)
        rmdir(it->c_str());
    return vErrPermission;
}

vErr vDirectory_List(const char* path, vDirectoryListCallback callback, void* reference) {
    if (path == nullptr || callback == nullptr)
        return vErrParam;
    DIR* dir = opendir(path);
    if (dir == nullptr)
        return vErrNotFound;
    char full[vDIRECTORY_LIST_PATH_SIZE];
    while (struct dirent* entry = readdir(dir)) {
        if (vDirectory_JoinPath(full, sizeof full, path, entry->d_name) != vErrNone)
            continue;
        struct stat st;
        if (stat(full, &st) != 0)
            continue;
        vDirectoryListData data{full, static_cast<uint32_t>(st.st_size), S_ISDIR(st.st_mode)};
        if (!callback(&data, reference))
            break;
    }
    closedir(dir);
    return vErrNone;
}

vErr vDirectory_GetHomeDirectory(char* dst, size_t length) {
    if (dst == nullptr || length == 0)
        return vErrParam;
    dst[0] = '\0';
    std::string home;
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] != '\0')
        home = found->pw_dir;
    else if (const char* env = std::getenv("HOME"); env != nullptr && env[0] != '\0')
        home = env;
    else
        return vErrNotFound;
    if (home.size() >= length)
        return vErrOverrun;
    std::memcpy(dst, home.c_str(), home.size() + 1);
    return vErrNone;
}

vErr vDirectory_JoinPath(char* dst, size_t length, const char* a, const char* b) {
    return vDirectory_BuildPath(dst, length, a, b, nullptr);
}

vErr vDirectory_BuildPath(char* dst, size_t length, const char* first, ...) {
    if (dst == nullptr)
        return vErrParam;
    std::vector<const char*> parts;
    va_list args;
    va_start(args, first);
    for (const char* part = first; part != nullptr; part = va_arg(args, const char*)) {
        if (parts.size() == vDIRECTORY_MAX_PARTS) {
            va_end(args);
            if (length > 0)
                dst[0] = '\0';
            return vErrParam;
        }
        parts.push_back(part);
    }
    va_end(args);
    if (length > 0)
        dst[0] = '\0';
    for (const char* part : parts)
        if (part == dst)
            return vErrParam;
    if (parts.empty())
        return vErrNone;
    size_t used = std::strlen(parts[0]);
    if (used + 1 >= length) // one byte is always left spare
        return vErrOverrun;
    std::memcpy(dst, parts[0], used + 1);
    for (size_t i = 1; i < parts.size(); ++i) {
        const char* part = parts[i];
        size_t partLength = std::strlen(part);
        bool separate = !(used > 0 && dst[used - 1] == '/') && part[0] != '/';
        size_t need = partLength + (separate ? 1 : 0);
        if (used + need + 1 >= length) {
            dst[0] = '\0';
            return vErrOverrun;
        }
        if (separate)
            dst[used++] = '/';
        std::memcpy(dst + used, part, partLength + 1);
        used += partLength;
    }
    return vErrNone;
}
