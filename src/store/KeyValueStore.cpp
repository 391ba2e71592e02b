#include "store/KeyValueStore.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Tandril2/common/vFile.h"
#include "app/Log.h"
#include "store/AtomicFile.h"

namespace {

constexpr size_t kLineBuffer = 2048;

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

} // namespace

KeyValueStore::KeyValueStore(const char* filePath) {
    if (filePath)
        Load(filePath);
}

std::string KeyValueStore::TimeStamp() {
    time_t now = time(nullptr);
    char text[64] = {};
    if (!ctime_r(&now, text))
        return std::string();
    std::string stamp(text);
    while (!stamp.empty() && (stamp.back() == '\n' || stamp.back() == '\r'))
        stamp.pop_back();
    return stamp;
}

void KeyValueStore::Load(const char* filePath) {
    if (!filePath) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 "(null)", EINVAL);
        return;
    }
    vFile file = vFile_Open(filePath, vFileModeRead);
    if (!file) {
        int error = errno;
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 filePath, error);
        // Only a file that is really missing is created: one that exists but cannot be
        // read would otherwise be replaced by two time stamps.
        struct stat st;
        if (lstat(filePath, &st) != 0 && errno == ENOENT) {
            Add(KEY_CREATED_TIME, TimeStamp());
            Save(filePath);
        }
    }
    path = filePath;
    modified = false;
    if (!file)
        return;

    char line[kLineBuffer];
    size_t length = 0;
    bool skipping = false; // inside a line too long for the buffer
    for (;;) {
        vErr err = vFile_ReadLine(file, line, sizeof line, &length);
        if (err == vErrOverrun) {
            if (!skipping)
                Log::log(DEBUG_Attributes,
                         "Attibutes: skipping a line longer than %zu characters in '%s'\n",
                         kLineBuffer - 1, filePath);
            skipping = true;
            continue;
        }
        if (err != vErrNone)
            break;
        if (skipping) {
            skipping = false; // the overlong line's tail
            continue;
        }
        ParseLine(line, length);
    }
    vFile_Close(&file);
}

void KeyValueStore::ParseLine(const char* line, size_t length) {
    if (length < 3 || line[0] == '#')
        return;
    const char* end = line + length;
    const char* keyStart = line;
    while (keyStart < end && isSpace(*keyStart))
        ++keyStart;
    const char* equals = static_cast<const char*>(std::memchr(keyStart, '=', end - keyStart));
    if (!equals) {
        Log::log(DEBUG_Attributes, "Attibutes: skipping a line without '=' in '%s'\n",
                 path.c_str());
        return;
    }
    const char* keyEnd = equals;
    while (keyEnd > keyStart && isSpace(keyEnd[-1]))
        --keyEnd;
    const char* valueStart = equals + 1;
    while (valueStart < end && isSpace(*valueStart))
        ++valueStart;
    const char* valueEnd = end;
    while (valueEnd > valueStart && isSpace(valueEnd[-1]))
        --valueEnd;
    values[std::string(keyStart, keyEnd)] = std::string(valueStart, valueEnd);
}

void KeyValueStore::Save(const char* filePath) {
    if (filePath) {
        path = filePath;
    } else if (path.empty()) {
        path = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes,
                 "Attibutes: no filename given for attributes, using default:[%s]\n",
                 path.c_str());
    }
    if (modified)
        Add(KEY_UPDATED_TIME, TimeStamp());

    std::string text;
    for (const auto& [key, value] : values) {
        text += key;
        text += '=';
        text += value;
        text += '\n';
    }
    int error = 0;
    vErr err = ReplaceFileContents(path.c_str(), text.data(), text.size(), &error);
    if (err == vErrNotFound) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 path.c_str(), error);
        return;
    }
    if (err != vErrNone) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n",
                 path.c_str(), error);
        return;
    }
    modified = false;
}

const char* KeyValueStore::operator[](const char* key) const {
    if (!key)
        return nullptr;
    auto it = values.find(key);
    return it == values.end() ? nullptr : it->second.c_str();
}

std::string KeyValueStore::GetString(const char* key, const char* def) const {
    const char* value = (*this)[key];
    if (value)
        return value;
    return def ? def : "";
}

const std::string* KeyValueStore::Lookup(const char* key) {
    if (!key)
        return nullptr;
    return &values.try_emplace(key).first->second;
}

int KeyValueStore::GetInt(const char* key, int def) {
    const std::string* text = Lookup(key);
    return text && !text->empty() ? std::atoi(text->c_str()) : def;
}

unsigned int KeyValueStore::GetHex(const char* key, unsigned int def) {
    const std::string* text = Lookup(key);
    return text && !text->empty()
               ? static_cast<unsigned int>(std::strtol(text->c_str(), nullptr, 16))
               : def;
}

bool KeyValueStore::GetBOOL(const char* key, bool def) {
    const std::string* text = Lookup(key);
    return text && !text->empty() ? std::atoi(text->c_str()) != 0 : def;
}

double KeyValueStore::GetDouble(const char* key, double def) {
    const std::string* text = Lookup(key);
    return text && !text->empty() ? std::atof(text->c_str()) : def;
}

bool KeyValueStore::Add(const char* key, const std::string& value) {
    if (!key)
        return false;
    std::string& slot = values[key];
    if (slot != value) {
        slot = value;
        modified = true;
    }
    return true;
}

bool KeyValueStore::Add(const char* key, const char* value) {
    return Add(key, std::string(value ? value : ""));
}

bool KeyValueStore::Add(const char* key, int value) { return Add(key, std::to_string(value)); }

bool KeyValueStore::Add(const char* key, double value) {
    char text[64];
    // "%f" of a huge magnitude needs hundreds of digits; atof reads "%.17g" back alike.
    if (std::snprintf(text, sizeof text, "%f", value) >= static_cast<int>(sizeof text))
        std::snprintf(text, sizeof text, "%.17g", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::AddHex(const char* key, unsigned int value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::Add(const KeyValueStore& other) {
    for (const auto& [key, value] : other.values)
        values[key] = value;
    if (!other.values.empty())
        modified = true;
    return true;
}

bool KeyValueStore::Clear() {
    values.clear();
    modified = true;
    return true;
}
