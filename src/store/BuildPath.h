// Joins path parts with "/": BuildPath(root, serialText, ".settings").
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>

namespace store_detail {
inline const char* pathPart(const char* part) { return part; }
inline const char* pathPart(const std::string& part) { return part.c_str(); }
inline const char* pathPart(std::nullptr_t) { return nullptr; }
} // namespace store_detail

// The parts joined with "/" (added unconditionally), up to the first null part; a
// trailing nullptr is therefore accepted but not needed. A null first part gives "".
std::string BuildPathParts(std::initializer_list<const char*> parts);

template <class... Parts>
std::string BuildPath(const Parts&... parts) {
    return BuildPathParts({store_detail::pathPart(parts)...});
}
