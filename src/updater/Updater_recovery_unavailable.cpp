// Boot-ROM recovery is not part of this build yet.
#include "updater/Updater.h"
#include "updater/Updater_unavailable.h"

bool Updater::Recover_Firmware(std::string, unsigned int, unsigned int, unsigned int, std::string,
                               bool) {
    ReportUnavailable(display, "Recover_Firmware");
    return false;
}

bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned int, std::string, unsigned int,
                              bool) {
    ReportUnavailable(display, "Get_Fingerprint");
    return false;
}

uint32_t Updater::Download_Firmware(Fingerprint, std::string, bool) {
    ReportUnavailable(display, "Download_Firmware");
    return 0;
}
