// The search for modules shared by device servers.
#include <lumbrixon/discover.h>

// servers are searched by the device server module
uint8_t kxDiscovery_Enumerate_kxEtherModules(kxDiscoveryCallback, void*, uint32_t)
{
    return 0;
}
