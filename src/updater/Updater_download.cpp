// Firmware from the update server into the store, and the build listings.
#include <chrono>
#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "app/Log.h"
#include "server_client/UpdateServerRequest.h"
#include "store/BirdFile.h"
#include "store/UpdaterStore.h"
#include "updater/Updater.h"
#include "updater/UpdaterSupport.h"

namespace {

using Level = UpdaterDisplayInterface::Level;
constexpr Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;
constexpr Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

// The spinner turns once per slice while the request runs.
constexpr auto kSpinnerSlice = std::chrono::milliseconds(100);

// Whether the server answers at all; tells the user when it does not.
bool ServerAnswers(UpdaterDisplayInterface& display, const std::string& url) {
    if (UpdateServerRequest::ping(url.c_str()))
        return true;
    display.message(kError, "Server request failed for %s", url.c_str());
    return false;
}

struct FreeDeleter {
    void operator()(unsigned char* bytes) const { std::free(bytes); }
};

// Runs GetBuild on a worker thread and turns the spinner on the calling thread
// until it answers. The worker has its own copies of every input.
bool FetchBuild(UpdaterDisplayInterface& display, unsigned int serial, std::string firmwareName,
                std::string buildText, std::string serverUrl, bool noCal, std::string& payload) {
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    std::string data;
    std::thread worker([&data, done = std::move(done), serial, firmwareName = std::move(firmwareName),
                        buildText = std::move(buildText), serverUrl = std::move(serverUrl),
                        noCal]() mutable {
        done.set_value(UpdateServerRequest::GetBuild(serial, firmwareName.c_str(), buildText.c_str(),
                                                     data, serverUrl.c_str(), noCal));
    });
    display.update_spinner(true, "Downloading");
    while (result.wait_for(kSpinnerSlice) != std::future_status::ready)
        display.update_spinner(true, "Downloading");
    display.update_spinner(false, "Downloading");
    const bool ok = result.get();
    worker.join();
    payload = std::move(data);
    return ok;
}

} // namespace

bool Updater::_valid_build(unsigned int serial, unsigned int build, const char* url) {
    std::map<std::string, std::string> builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, url))
        return false;
    for (const auto& entry : builds) {
        if (BuildNumberOrZero(entry.first) == build)
            return true;
    }
    return false;
}

uint32_t Updater::Download_Firmware(unsigned int serial, std::string buildText, bool override,
                                    bool noCal) {
    uint32_t build = 0;
    if (!buildText.empty() && !ParseBuildNumber(buildText, build)) {
        display.message(kError, "Build number '%s' must be an number", buildText.c_str());
        return 0;
    }
    if (serial == 0) {
        display.message(kError, "Serial Number must be non-zero");
        return 0;
    }
    if (!ServerAnswers(display, serverUrl))
        return 0;
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storageDirectory, "Download_Firmware");
    if (!store)
        return 0;
    UpdaterStoreItem item;
    if (!store->FindDevice(serial, &item)) {
        Log::log(DEBUG_APP, "Could not find device in our update history.\n");
        try {
            item = store->AddDevice(serial);
        } catch (const std::exception&) {
            display.message(kError, "Could not create directory for storing BIRD file");
            return 0;
        }
    }

    std::string serverBuild;
    std::string firmwareName;
    if (!UpdateServerRequest::QueryBuild(serial, serverBuild, firmwareName, serverUrl.c_str())) {
        display.message(kError, "No build information for device");
        return 0;
    }
    if (build == 0)
        build = BuildNumberOrZero(serverBuild);
    display.message(kInfo, "Retrieving build %u", build);
    if (override) {
        display.message(kInfo, "Override specified, skipping validation of build %u", build);
    } else {
        display.message(kInfo, "Validating build %u with server", build);
        if (!_valid_build(serial, build, serverUrl.c_str())) {
            display.message(kError, "No valid build %u", build);
            return 0;
        }
        display.message(kInfo, "Build %u is valid", build);
    }

    std::string payload;
    if (!FetchBuild(display, serial, firmwareName, std::to_string(build), serverUrl, noCal, payload))
        display.message(kError, "Download failed");
    size_t length = 0;
    std::unique_ptr<unsigned char, FreeDeleter> bytes;
    if (!payload.empty())
        bytes.reset(base64_decode(payload.c_str(), payload.size(), &length));
    // An answer that does not decode is no firmware at all: report it and keep
    // whatever the store held before.
    if (!bytes) {
        display.message(kError, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    const std::string fileName = std::to_string(build) + ".bird";
    const vErr err = item.WriteFile(fileName.c_str(), bytes.get(), length);
    if (err != vErrNone) {
        // The settings keep naming the last file that really arrived.
        display.message(kError, "Failed to write file with %d", err);
        return 0;
    }
    item.settings.Add("LATEST_DOWNLOAD", fileName);
    item.settings.Add("LAST_DOWNLOAD_DATE", KeyValueStore::TimeStamp());
    item.settings.Save(nullptr);
    return build;
}

std::map<std::string, std::string> Updater::Get_BuildList(unsigned int serial) {
    std::map<std::string, std::string> builds;
    if (ServerAnswers(display, serverUrl) &&
        !UpdateServerRequest::GetBuildList(serial, builds, serverUrl.c_str()))
        display.message(kError, "Failed to retrieve builds for %08X", serial);
    return builds;
}

std::string Updater::Get_JWT(unsigned int serial) {
    std::string token;
    if (ServerAnswers(display, serverUrl) &&
        !UpdateServerRequest::GetDeviceJWT(serial, token, serverUrl.c_str()))
        display.message(kError, "Failed to retrieve jwt for %08X", serial);
    return token;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(unsigned int serial) {
    std::map<std::string, std::string> builds;
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, storageDirectory, "Get_BuildListLocal");
    if (!store)
        return builds;
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    for (UpdaterStoreItem& item : items) {
        const std::string key = item.name.substr(0, item.name.find(".bird"));
        std::string version;
        if (item.IsValid()) {
            const std::string path = item.path + "/" + item.name;
            if (BirdFile::VerifyFile(path.c_str())) {
                // A file that passes the header check but does not load is listed
                // without a version rather than ending the listing.
                try {
                    version = BirdFile(path.c_str()).GetVersion();
                } catch (const std::exception&) {
                    version.clear();
                }
                if (!version.empty())
                    Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
            } else {
                Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
            }
        }
        builds.emplace(key, version);
    }
    return builds;
}
