#include "store/BuildPath.h"

std::string BuildPathParts(std::initializer_list<const char*> parts) {
    std::string path;
    bool first = true;
    for (const char* part : parts) {
        if (part == nullptr)
            break;
        if (!first)
            path += '/';
        path += part;
        first = false;
    }
    return path;
}
