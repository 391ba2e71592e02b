#include "updater/UpdaterSupport.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "app/Log.h"
#include "app/UpdaterDisplayInterface.h"
#include "store/UpdaterStore.h"

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& storageDirectory,
                                                  const char* operationName) {
    try {
        return std::make_unique<UpdaterStore>(storageDirectory.c_str());
    } catch (const std::runtime_error& e) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Failed to Create UpdaterStore in: %s - Exception: %s", operationName,
                        e.what());
        return nullptr;
    }
}

bool ParseBuildNumber(const std::string& text, uint32_t& build) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    if (i == text.size() || !std::isdigit(static_cast<unsigned char>(text[i])))
        return false;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str() + i, nullptr, 10);
    if (errno == ERANGE)
        return false;
    build = static_cast<uint32_t>(value);
    return true;
}

uint32_t BuildNumberOrZero(const std::string& text) {
    uint32_t build = 0;
    if (!ParseBuildNumber(text, build)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
        return 0;
    }
    return build;
}
