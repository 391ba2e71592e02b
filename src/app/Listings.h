// What the front end prints: version and notice lines, the usage texts, and the
// listings of modules, builds, fingerprints and tokens.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Tandril2/common/discover.h"
#include "app/UpdaterDisplayInterface.h"
#include "updater/DeviceInfo.h"
#include "updater/Fingerprint.h"

// "Version: 2.12.0 " and the build date ("Dec  4 2025").
std::string AppVersionText();
// "Updater (Version: 2.12.0 Dec  4 2025)".
void _display_app_version(UpdaterDisplayInterface& display);
// The one-line legal notice.
void _display_copyright(UpdaterDisplayInterface& display);
// To the standard error stream: the short text; with `full` the parameter text, with
// both the extended text, and with `full` the samples last.
void _display_usage(bool extended, bool full);

// "Discovered Devices: (USB)" and one row per module; the header and the rows of
// TCP/IP modules show their address.
void _display_device_list(UpdaterDisplayInterface& display, std::vector<DeviceInfo>& devices,
                          linkType type);
// The builds newest version first, at most 15 characters per column.
void _display_builds(UpdaterDisplayInterface& display, std::map<std::string, std::string>& builds,
                     unsigned serial);
void _display_fingerprint(UpdaterDisplayInterface& display, Fingerprint& fingerprint);
void _display_jwt(UpdaterDisplayInterface& display, std::string token);
