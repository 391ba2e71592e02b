#include "updater/UpdaterSupport.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "Tandril2/common/vTime.h"
#include "Tandril2/objects/Module.h"
#include "Tandril2/unix/tdusb_driver.h"
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

bool _find_on_usb(Vornic::Tandril::Module& module, uint32_t serial, bool tryUnknownFirst, bool refresh) {
    constexpr int kAttempts = 15;
    constexpr int kRefreshEvery = 3;
    constexpr uint32_t kPauseMs = 1000;
    constexpr uint32_t kUnknownSerial = 0xDEADDEAD;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        if (refresh && attempt % kRefreshEvery == 0) {
            Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
            Tandril_libusb_exit();
        }
        if (tryUnknownFirst)
            module.discoverAndConnect(USB, kUnknownSerial);
        if (!module.isConnected())
            module.discoverAndConnect(USB, serial);
        if (module.isConnected())
            return true;
        if (attempt < kAttempts)
            vTime_MSSleep(kPauseMs);
    }
    return false;
}
