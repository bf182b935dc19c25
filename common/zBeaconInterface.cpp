// Serialises changes of the network interface CZMQ beacons are configured on.
#include <lumbrixon/zBeaconInterface.h>
#include <lumbrixon/kxError.h>
#include <lumbrixon/kxMulticast.h>
#include <lumbrixon/kxMutex.h>

#include <czmq.h>
#include <string>

#define zBEACON_BACKUP_RESERVE 100

// Beacon-interface state, process-wide.
// Threads: any thread that configures a beacon (device-server actors, discovery
// searches). sLock() guards sBackup and CZMQ's interface setting whenever they
// change; it is the only lock here and no other lock is taken while holding it.
// It is made by a static initialiser (or by its first use, should that come
// from another module's static initialiser) and never destroyed, so it stays
// usable by code that runs during process exit.
static kxMutex* sLock()
{
    static kxMutex* lock = kxMutex_Create("zBeaconInterface");
    return lock;
}
[[maybe_unused]] static kxMutex* sLockAtStart = sLock();
static std::string* sBackup = nullptr;

namespace
{
// Frees the backup copy when the process ends.
struct sBackupOwner
{
    ~sBackupOwner()
    {
        kxMutex_Lock(sLock());
        delete sBackup;
        sBackup = nullptr;
        kxMutex_Unlock(sLock());
    }
} sBackupOwnerInstance;
} // namespace

static void sLockInterface(const char* function)
{
    kxDebug_Printf(kxDebugBeacon, "%s PRE-LOCK\n", function);
    kxMutex_Lock(sLock());
    kxDebug_Printf(kxDebugBeacon, "%s LOCKED\n", function);
}

static const char* sCurrent()
{
    const char* current = zsys_interface();
    return current ? current : "";
}

bool zBeaconInterface_isValid(const char* interfaceText)
{
    if (interfaceText == nullptr)
        return false;
    if (interfaceText[0] == '\0' || strcmp(interfaceText, "*") == 0)
        return true;
    return kxMulticast_ParseIPv4(interfaceText, nullptr);
}

bool zBeaconInterface_setAndLock(const char* interfaceText)
{
    if (!zBeaconInterface_isValid(interfaceText))
        return false;
    sLockInterface(__func__);
    zsys_set_interface(interfaceText);
    return true;
}

void zBeaconInterface_unlock(void)
{
    kxDebug_Printf(kxDebugBeacon, "%s: UNLOCKING\n", __func__);
    kxMutex_Unlock(sLock());
}

bool zBeaconInterface_backupSetAndLock(const char* interfaceText)
{
    if (!zBeaconInterface_isValid(interfaceText))
        return false;
    sLockInterface(__func__);
    if (sBackup == nullptr)
    {
        kxDebug_Printf(kxDebugBeacon, "%s Reserving memory for _backupInterface\n", __func__);
        sBackup = new std::string();
        sBackup->reserve(zBEACON_BACKUP_RESERVE);
    }
    sBackup->assign(sCurrent());
    zsys_set_interface(interfaceText);
    return true;
}

void zBeaconInterface_restoreAndUnlock(void)
{
    zsys_set_interface(sBackup ? sBackup->c_str() : "");
    kxDebug_Printf(kxDebugBeacon, "%s UNLOCKING\n", __func__);
    kxMutex_Unlock(sLock());
}

const char* zBeaconInterface_get(void)
{
    return sCurrent();
}

const char* zBeaconInterface_getAndLock(void)
{
    sLockInterface(__func__);
    return sCurrent();
}

const char* zBeaconInterface_getBackup(void)
{
    return sBackup ? sBackup->c_str() : "";
}

const char* zBeaconInterface_getBackupAndLock(void)
{
    sLockInterface(__func__);
    return zBeaconInterface_getBackup();
}
