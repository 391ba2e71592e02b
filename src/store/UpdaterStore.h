// The per-user store: one directory per module (named by its serial number as eight
// hexadecimal digits) holding its ".settings" file and its downloaded BIRD files.
#pragma once

#include <string>
#include <vector>

#include "Tandril2/common/vError.h"
#include "store/BirdFile.h"
#include "store/KeyValueStore.h"

enum store_item_t {
    STORE_ITEM_FILE = 0,      // anything that is not a directory
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2,      // names nothing
};

// One entry of the store, usually a module's directory, with its settings.
class UpdaterStoreItem {
public:
    UpdaterStoreItem();
    // Loads the settings from path/name/".settings", creating that file when missing
    // (when path or name is empty the item is invalid and nothing is loaded).
    UpdaterStoreItem(const char* path, const char* name, store_item_t kind);

    // True when both path and name are set.
    bool IsValid() const;

    // Replaces path/name/fileName with `length` bytes, whole or not at all.
    // vErrNotFound: null bytes, or the file cannot be created. vErrParam: a file name that
    // is empty, "." or "..", or holds "/" (it would leave the item's directory).
    // vErrIO: the bytes could not all be written (the old file is then untouched).
    vErr WriteFile(const char* fileName, const unsigned char* bytes, unsigned long length);

    // Loads path/name/fileName. Throws std::runtime_error "Invalid bird <path>" when the
    // header is wrong or the file is missing, "Failed to load bird data" when it does
    // not load.
    BirdFile ReadBirdFile(const char* fileName);

    std::string path; // the directory that holds the entry
    std::string name; // the entry's own name
    store_item_t kind;
    KeyValueStore settings;
};

class UpdaterStore {
public:
    // Creates the root when missing. Throws std::runtime_error when it cannot, or when a
    // file is in its place.
    explicit UpdaterStore(const char* path);

    const char* BasePath() const { return basePath.c_str(); }

    // The module's directory, created when missing, with its settings. Throws
    // std::runtime_error as the constructor does, and for a name that is empty, "." or
    // "..", or holds "/".
    UpdaterStoreItem AddDevice(unsigned int serial);
    UpdaterStoreItem AddDevice(const char* name);

    // Finds the first entry of the root (in listing order) whose name contains `name`;
    // "." and ".." are never taken. Fills `item` (when not null) only on success.
    bool FindDevice(unsigned int serial, UpdaterStoreItem* item);
    bool FindDevice(const char* name, UpdaterStoreItem* item);

    // Appends an item for every entry of the module's directory whose name does not
    // begin with ".", in listing order; leaves `items` alone when the module has no
    // directory. Always true.
    bool FindLocalBuilds(unsigned int serial, std::vector<UpdaterStoreItem>& items);

private:
    std::string basePath;
};
