#include "Tandril2/common/zBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "Tandril2/common/discover.h"

namespace {

std::mutex gLock;
char gSaved[128] = "";

// A dotted IPv4 address, "" (CZMQ's first usable interface) or "*" (every interface).
bool sAcceptable(const char* text) {
    if (text == nullptr)
        return false;
    if (text[0] == '\0' || std::strcmp(text, "*") == 0)
        return true;
    in_addr address{};
    return inet_pton(AF_INET, text, &address) == 1;
}

} // namespace

bool zBeaconInterface_setAndLock(const char* interfaceText) {
    if (!sAcceptable(interfaceText)) {
        vDiscovery_Trace(vTRACE_BEACON_INTERFACE, "zBeaconInterface: refused interface \"%s\"\n",
                         interfaceText ? interfaceText : "(null)");
        return false;
    }
    gLock.lock();
    zsys_set_interface(interfaceText);
    return true;
}

void zBeaconInterface_unlock() { gLock.unlock(); }

bool zBeaconInterface_backupSetAndLock(const char* interfaceText) {
    if (!sAcceptable(interfaceText)) {
        vDiscovery_Trace(vTRACE_BEACON_INTERFACE, "zBeaconInterface: refused interface \"%s\"\n",
                         interfaceText ? interfaceText : "(null)");
        return false;
    }
    gLock.lock();
    std::snprintf(gSaved, sizeof(gSaved), "%s", zsys_interface());
    zsys_set_interface(interfaceText);
    return true;
}

void zBeaconInterface_restoreAndUnlock() {
    zsys_set_interface(gSaved);
    gLock.unlock();
}

const char* zBeaconInterface_get() { return zsys_interface(); }

const char* zBeaconInterface_getAndLock() {
    gLock.lock();
    return zsys_interface();
}

const char* zBeaconInterface_getBackup() { return gSaved; }

const char* zBeaconInterface_getBackupAndLock() {
    gLock.lock();
    return gSaved;
}
