// Pieces shared by the Updater's operations: the per-operation store object, the
// module configuration every connection uses, and the number and time texts of
// the settings.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Tandril2/common/vError.h"

class BirdFile;
class UpdaterDisplayInterface;
class UpdaterStore;
namespace Vornic::Tandril {
class Module;
}

// A store object on `storageDirectory`, or an empty pointer after showing
// "Failed to Create UpdaterStore in: <operation> - Exception: <why>".
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& storageDirectory,
                                                  const char* operationName);

// Makes `module` talk to its module directly (no shared-device server, no second
// attempt through one). Shows "Failed to SET network configuration" and returns
// the setConfig error when that fails.
vErr _disableEther(Vornic::Tandril::Module& module, UpdaterDisplayInterface& display);

// Looks for a USB module up to 15 times, one second apart, until `module` reports
// itself connected: by `serial`, after the RAM loader's 0xDEADDEAD first when
// `tryUnknownFirst`. With `refresh`, the libusb context is renewed before every third
// attempt, because a module that rebooted or a RAM loader enumerates as a new device.
// True when connected.
bool _find_on_usb(Vornic::Tandril::Module& module, uint32_t serial, bool tryUnknownFirst, bool refresh);

// Sends the firmware blocks of `bird` into the connected `module` with the upgrade
// protocol, up to the reboot request (direct or through a router; data as plain
// packets or UEI byte transfers). The first failing vErr; details go to the log.
vErr _transfer_firmware(UpdaterDisplayInterface& display, Vornic::Tandril::Module& module, BirdFile& bird,
                        bool viaRouter, bool ueiBytes);

// Reads a build number: leading white space, then decimal digits (anything after
// them is ignored); the value is cut to 32 bits. False when the text does not
// begin with a digit or the number is too large to read at all.
bool ParseBuildNumber(const std::string& text, uint32_t& build);

// Like ParseBuildNumber, but logs "Error: Could not convert %s to int.\n" under
// DEBUG_Updater and gives 0 when the text is not a number.
uint32_t BuildNumberOrZero(const std::string& text);
