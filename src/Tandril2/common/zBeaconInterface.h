// The beacon interface store: serialises every use of CZMQ's process-wide beacon
// interface setting, so a beacon discovery on one interface and a server's beacon on
// another never see each other's setting. The lock is held for the whole use.
#pragma once

// Accept a dotted IPv4 address, "" or "*"; anything else (an interface name such as
// eth0) is refused: false, no lock taken, nothing changed. True after taking the lock.
bool zBeaconInterface_setAndLock(const char* interfaceText);
void zBeaconInterface_unlock();
// Like setAndLock, saving the current setting first.
bool zBeaconInterface_backupSetAndLock(const char* interfaceText);
// Puts the saved setting back and releases the lock.
void zBeaconInterface_restoreAndUnlock();
// The current setting / the saved text; the lock variants also take the lock.
const char* zBeaconInterface_get();
const char* zBeaconInterface_getAndLock();
const char* zBeaconInterface_getBackup();
const char* zBeaconInterface_getBackupAndLock();
