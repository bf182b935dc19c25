// The process-wide network interface that CZMQ beacons read when they are
// configured, and the lock that serialises changing it.
//
// A device server takes the lock with zBeaconInterface_setAndLock, configures
// its beacon and calls zBeaconInterface_unlock; a discovery search calls
// zBeaconInterface_backupSetAndLock, runs its beacon and calls
// zBeaconInterface_restoreAndUnlock. The lock is a plain, non-recursive mutex:
// a thread that holds it must not call a locking function again before
// unlocking.
//
// An interface text is valid when it is a dotted IPv4 address, the empty text
// or "*" (any interface).
#pragma once

#include <stdbool.h>

#ifdef __cplusplus
extern "C"
{
#endif

    // False, without locking, for an invalid text; otherwise takes the lock, sets
    // the interface and returns true.
    bool zBeaconInterface_setAndLock(const char* interfaceText);
    void zBeaconInterface_unlock(void);
    // As zBeaconInterface_setAndLock, but first saves the current interface.
    bool zBeaconInterface_backupSetAndLock(const char* interfaceText);
    // Sets the saved interface again and releases the lock.
    void zBeaconInterface_restoreAndUnlock(void);

    // The current interface text (never null). Without the lock the text may be
    // replaced by another thread; callers that keep it copy it while locked.
    const char* zBeaconInterface_get(void);
    // Takes the lock, then returns the current interface text.
    const char* zBeaconInterface_getAndLock(void);
    // The saved interface text (never null).
    const char* zBeaconInterface_getBackup(void);
    const char* zBeaconInterface_getBackupAndLock(void);

    // True for a dotted IPv4 address, the empty text or "*".
    bool zBeaconInterface_isValid(const char* interfaceText);

#ifdef __cplusplus
}
#endif
