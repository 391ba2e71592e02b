// Module listings are not part of this build yet.
#include "updater/Updater.h"
#include "updater/Updater_unavailable.h"

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) {
    ReportUnavailable(display, "Discover_Devices");
    return {};
}

std::vector<DeviceInfo> Updater::Discover_BSNetwork_Devices(unsigned int, linkType) {
    ReportUnavailable(display, "Discover_BSNetwork_Devices");
    return {};
}
