// A settings file in memory: key=value text lines, ordered by key, with typed getters
// and setters, a modified flag, and creation and update time stamps.
#pragma once

#include <map>
#include <string>

class KeyValueStore {
public:
    static constexpr const char* DEFAULT_FILENAME = ".settings";
    static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
    static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";

    // An empty store; with a path, loaded from it (see Load).
    explicit KeyValueStore(const char* path = nullptr);

    // Reads `path` into the store, keeping entries the file does not replace. A missing
    // file is created at once with CREATED_TIME and UPDATED_TIME; a file that exists but
    // cannot be read is left alone. Malformed and overlong lines are skipped. Failures
    // are only logged.
    void Load(const char* path);
    // Writes every entry to `path` (null: where it was loaded from or last saved to,
    // else ".settings"), stamping UPDATED_TIME when something changed. The old file is
    // replaced whole or not at all; on failure (only logged) the store stays modified.
    void Save(const char* path);

    // The value text, or null when the key is absent.
    const char* operator[](const char* key) const;
    // The stored value (even empty), else `def` (null: the empty string).
    std::string GetString(const char* key, const char* def) const;
    // Typed getters: `def` when the text is empty or the key absent. An absent key is
    // entered with an empty value (without marking the store modified).
    int GetInt(const char* key, int def);
    unsigned int GetHex(const char* key, unsigned int def);
    bool GetBOOL(const char* key, bool def);
    double GetDouble(const char* key, double def);

    // Setters: insert or replace, mark the store modified when the text changes; true
    // unless the key is null.
    bool Add(const char* key, int value);
    bool Add(const char* key, double value);
    bool Add(const char* key, const char* value);
    bool Add(const char* key, const std::string& value);
    bool AddHex(const char* key, unsigned int value);
    // Copies every entry of `other`; modified when `other` has any.
    bool Add(const KeyValueStore& other);
    // Removes every entry and marks the store modified.
    bool Clear();

    const std::string& Path() const { return path; }
    const std::map<std::string, std::string>& Values() const { return values; }
    bool IsModified() const { return modified; }

    // The current local time in ctime's form, without its line break.
    static std::string TimeStamp();

private:
    void ParseLine(const char* line, size_t length);
    // The entry for `key`, entered empty when absent; null for a null key.
    const std::string* Lookup(const char* key);

    std::string path;
    std::map<std::string, std::string> values;
    bool modified = false;
};
