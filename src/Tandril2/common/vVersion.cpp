#include "Tandril2/common/vVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kMajor = 2;
constexpr int kMinor = 12;
constexpr int kPatch = 0;
constexpr const char* kPhase = ".";
constexpr uint32_t kCurrentMarker = 0x2F;

struct Feature {
    const char* name;
    const char* description;
};
constexpr Feature kFeatures[] = {
    {"VERSION", "Version Query API"},
};

} // namespace

uint32_t vVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
    // The legacy layout has four bits of minor; a minor above 15 would be silently cut,
    // so such versions take the current layout whatever their major.
    const bool current = major > 2 || (major == 2 && minor > 14) || minor > 15;
    if (current) {
        return (kCurrentMarker << 24) | (uint32_t{major} << 16) | (uint32_t{minor} << 8) |
               uint32_t{patch};
    }
    return (uint32_t{major} << 28) | (uint32_t{minor & 0x0Fu} << 24) | uint32_t{patch};
}

bool vVersion_IsLegacyFormat(uint32_t version) {
    // Legacy words stop just below 2.15 in their top byte; 0x2F (2.15) marks the current
    // layout, and anything above can only be current.
    return vVersion_IsAtLeastCompare(2, 15, 0, static_cast<uint8_t>(version >> 28),
                                     static_cast<uint8_t>((version >> 24) & 0x0F), 255);
}

uint32_t vVersion_ParseMajor(uint32_t version) {
    return vVersion_IsLegacyFormat(version) ? version >> 28 : (version >> 16) & 0xFF;
}

uint32_t vVersion_ParseMinor(uint32_t version) {
    return vVersion_IsLegacyFormat(version) ? (version >> 24) & 0x0F : (version >> 8) & 0xFF;
}

uint32_t vVersion_ParsePatch(uint32_t version) {
    return vVersion_IsLegacyFormat(version) ? version & 0xFFFFFF : version & 0xFF;
}

int vVersion_ParseString(uint32_t version, char* buffer, size_t size) {
    if (buffer == nullptr && size != 0) {
        return -1;
    }
    return std::snprintf(buffer, size, "%d.%d.%d", static_cast<int>(vVersion_ParseMajor(version)),
                         static_cast<int>(vVersion_ParseMinor(version)),
                         static_cast<int>(vVersion_ParsePatch(version)));
}

int vVersion_GetMajor(void) {
    return kMajor;
}

int vVersion_GetMinor(void) {
    return kMinor;
}

int vVersion_GetPatch(void) {
    return kPatch;
}

const char* vVersion_GetString(void) {
    // Built once; a function-local static is initialised exactly once even when several
    // threads ask first at the same time.
    static const struct Text {
        char text[15];
        Text() { std::snprintf(text, sizeof text, "%d.%d%s%d", kMajor, kMinor, kPhase, kPatch); }
    } version;
    return version.text;
}

bool vVersion_IsAtLeastCompare(uint8_t major1, uint8_t minor1, uint8_t patch1, uint8_t major2,
                               uint8_t minor2, uint8_t patch2) {
    if (major1 != major2) {
        return major1 > major2;
    }
    if (minor1 != minor2) {
        return minor1 > minor2;
    }
    return patch1 >= patch2;
}

bool vVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
    return vVersion_IsAtLeastCompare(kMajor, kMinor, kPatch, major, minor, patch);
}

bool vVersion_HasFeature(const char* name) {
    if (name == nullptr) {
        return false;
    }
    for (const Feature& feature : kFeatures) {
        if (std::strcmp(feature.name, name) == 0) {
            return true;
        }
    }
    return false;
}

char* vVersion_GetFeatureList(void) try {
    std::string list;
    for (const Feature& feature : kFeatures) {
        if (!list.empty()) {
            list += "\n";
        }
        list += feature.name;
        list += " - ";
        list += feature.description;
    }
    // Plain malloc: the text crosses the C-style interface and is freed by
    // vVersion_DestroyFeatureList.
    auto* text = static_cast<char*>(std::malloc(list.size() + 1));
    if (text != nullptr) {
        std::memcpy(text, list.c_str(), list.size() + 1);
    }
    return text;
} catch (...) {
    return nullptr; // nothing leaves the library as an exception
}

void vVersion_DestroyFeatureList(char** list) {
    if (list != nullptr) {
        std::free(*list);
        *list = nullptr;
    }
}
