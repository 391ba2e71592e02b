#include "store/UpdaterStore.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "Tandril2/common/vDirectory.h"
#include "app/Log.h"
#include "store/AtomicFile.h"
#include "store/BuildPath.h"

namespace {

constexpr mode_t kDirectoryMode = 0755;

std::string serialText(unsigned int serial) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// A name that stays inside its directory when joined to it.
bool isPlainName(const char* name) {
    return name && *name && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
           !std::strchr(name, '/');
}

void ensureDirectory(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        vErr err = vDirectory_Ensure(path.c_str(), kDirectoryMode);
        if (err != vErrNone)
            throw std::runtime_error("UpdaterStore: Could not create directory " + path +
                                     " error " + std::to_string(static_cast<int>(err)));
        Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
    } else if (!S_ISDIR(st.st_mode)) {
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    } else {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
    }
}

// Splits a listed entry's full path into its directory and its name.
void splitPath(const char* full, std::string& dir, std::string& name) {
    const char* slash = std::strrchr(full, '/');
    if (!slash) {
        dir.clear();
        name = full;
        return;
    }
    dir = slash == full ? std::string("/") : std::string(full, slash);
    name = slash + 1;
}

struct result_t {
    bool found = false;
    std::string text;
    UpdaterStoreItem* item = nullptr;
};

bool findItem(const vDirectoryListData* entry, void* reference) {
    auto* result = static_cast<result_t*>(reference);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
             entry->isDirectory ? 1 : 0, static_cast<int>(entry->size), result->text.c_str());
    std::string dir, name;
    splitPath(entry->path, dir, name);
    // Only the entry's own name counts: the root's path may hold the same digits, and
    // then every entry would match.
    if (name == "." || name == ".." || name.find(result->text) == std::string::npos)
        return true;
    result->found = true;
    if (result->item)
        *result->item = UpdaterStoreItem(dir.c_str(), name.c_str(),
                                         entry->isDirectory ? STORE_ITEM_DIRECTORY
                                                            : STORE_ITEM_FILE);
    return false;
}

bool collectItem(const vDirectoryListData* entry, void* reference) {
    auto* items = static_cast<std::vector<UpdaterStoreItem>*>(reference);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path,
             entry->isDirectory ? 1 : 0, static_cast<int>(entry->size));
    std::string dir, name;
    splitPath(entry->path, dir, name);
    if (name.empty() || name[0] == '.')
        return true;
    items->emplace_back(dir.c_str(), name.c_str(),
                        entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return true;
}

} // namespace

UpdaterStoreItem::UpdaterStoreItem() : kind(STORE_ITEM_NONE) {}

UpdaterStoreItem::UpdaterStoreItem(const char* itemPath, const char* itemName,
                                   store_item_t itemKind)
    : path(itemPath ? itemPath : ""), name(itemName ? itemName : ""), kind(itemKind) {
    // Without both parts the path would be "/.settings" or similar, far outside the store.
    if (IsValid())
        settings.Load(BuildPath(path, name, KeyValueStore::DEFAULT_FILENAME).c_str());
}

bool UpdaterStoreItem::IsValid() const { return !path.empty() && !name.empty(); }

vErr UpdaterStoreItem::WriteFile(const char* fileName, const unsigned char* bytes,
                                 unsigned long length) {
    if (!bytes)
        return vErrNotFound;
    if (!isPlainName(fileName))
        return vErrParam;
    std::string target = BuildPath(path, name, fileName);
    int error = 0;
    vErr err = ReplaceFileContents(target.c_str(), bytes, length, &error);
    if (err != vErrNone)
        Log::log(DEBUG_Updater, "UpdaterStore: writing %s failed: %s\n", target.c_str(),
                 std::strerror(error));
    return err;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* fileName) {
    std::string target = BuildPath(path, name, fileName ? fileName : "");
    if (!BirdFile::VerifyFile(target.c_str()))
        throw std::runtime_error("Invalid bird " + target);
    return BirdFile(target.c_str());
}

UpdaterStore::UpdaterStore(const char* path) : basePath(path ? path : "") {
    if (basePath.empty())
        throw std::runtime_error("UpdaterStore: no store directory given");
    ensureDirectory(basePath);
}

UpdaterStoreItem UpdaterStore::AddDevice(unsigned int serial) {
    return AddDevice(serialText(serial).c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
    if (!isPlainName(name))
        throw std::runtime_error(std::string("UpdaterStore: invalid device name [") +
                                 (name ? name : "") + "]");
    ensureDirectory(BuildPath(basePath, name));
    return UpdaterStoreItem(basePath.c_str(), name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(unsigned int serial, UpdaterStoreItem* item) {
    return FindDevice(serialText(serial).c_str(), item);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) {
    if (!name)
        return false;
    result_t result;
    result.text = name;
    result.item = item;
    vDirectory_List(basePath.c_str(), findItem, &result);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n",
             result.found ? "Found" : "Not Found", name);
    return result.found;
}

bool UpdaterStore::FindLocalBuilds(unsigned int serial, std::vector<UpdaterStoreItem>& items) {
    UpdaterStoreItem device;
    if (!FindDevice(serial, &device))
        return true;
    vDirectory_List(BuildPath(device.path, device.name).c_str(), collectItem, &items);
    return true;
}
