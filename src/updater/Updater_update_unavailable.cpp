// Firmware transfer over the device link is not part of this build yet.
#include <stdexcept>

#include "updater/Updater.h"
#include "updater/Updater_unavailable.h"

bool Updater::Update_Firmware(unsigned int, unsigned int, std::string, unsigned char, unsigned int,
                              bool) {
    ReportUnavailable(display, "Update_Firmware");
    return false;
}

BirdFile Updater::load_bird(const char*, std::string, unsigned int, unsigned int, bool) {
    ReportUnavailable(display, "load_bird");
    throw std::runtime_error("load_bird is not available in this build");
}
