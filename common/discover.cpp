// Device discovery: link specifiers, the search by link type, the search for
// one module, the TCP/IP search's reply format and this machine's IPv4
// interfaces. The searches that need the operating system are in
// unix/unix_discovery.cpp; the search for device servers is with the device
// server.
#include <lumbrixon/discover.h>

#include <lumbrixon/kxLinkManagerInternal.h>
#include <lumbrixon/kxMulticast.h>

#include <czmq.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static_assert(sizeof(linkSpec) == kxLINKSPEC_SIZE, "a linkSpec is 128 bytes");
static_assert(offsetof(linkSpec, type) == 0 && offsetof(linkSpec, serialNumber) == 4 &&
                  offsetof(linkSpec, module) == 8 && offsetof(linkSpec, router) == 12 &&
                  offsetof(linkSpec, routerSerialNumber) == 16 && offsetof(linkSpec, model) == 20 &&
                  offsetof(linkSpec, address) == 24 && offsetof(linkSpec, baudRate) == 24 &&
                  offsetof(linkSpec, port) == 28 && offsetof(linkSpec, portName) == 28,
              "the linkSpec layout is a wire format");
static_assert(kxLinkTypeUSB == kxLINKTYPE_USB && kxLinkTypeTCPIP == kxLINKTYPE_TCPIP &&
                  kxLinkTypeSerial == kxLINKTYPE_SERIAL && kxLinkTypeClient == kxLINKTYPE_CLIENT &&
                  kxLinkTypeServedUSB == kxLINKTYPE_CLIENT_USB &&
                  kxLinkTypeServedTCPIP == kxLINKTYPE_CLIENT_TCPIP &&
                  kxLinkTypeServedSerial == kxLINKTYPE_CLIENT_SERIAL,
              "link types agree with the registry's");

namespace
{

uint32_t sGet32(const uint8_t* bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void sPut32(uint8_t* bytes, uint32_t value)
{
    for (int i = 0; i < 4; i++)
    {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// What a search for one module looks for, and where it puts what it finds.
struct sWanted
{
    linkSpec* spec;
    bool anySerial; // the first module with a serial number other than 0
};

bool sTakeWanted(const linkSpec* spec, uint8_t* success, void* ref)
{
    auto* wanted = static_cast<sWanted*>(ref);
    bool match = wanted->anySerial ? spec->serialNumber != 0
                                   : spec->serialNumber == wanted->spec->serialNumber;
    if (!match)
    {
        return true;
    }
    memcpy(wanted->spec, spec, sizeof(linkSpec));
    *success = 1;
    return false;
}

linkSpec* sFind(uint32_t type, uint32_t serialNumber, bool anySerial, uint32_t interfaceAddress)
{
    linkSpec* spec = kxLinkSpec_Create(type);
    if (spec == nullptr)
    {
        return nullptr;
    }
    spec->serialNumber = serialNumber;
    sWanted wanted = {spec, anySerial};
    if (kxDiscovery_EnumerateModules(type, sTakeWanted, &wanted, interfaceAddress) == 0)
    {
        kxLinkSpec_Destroy(&spec);
    }
    return spec;
}

} // namespace

linkSpec* kxLinkSpec_Create(uint32_t type)
{
    auto* spec = static_cast<linkSpec*>(calloc(1, sizeof(linkSpec)));
    if (spec != nullptr)
    {
        spec->type = type;
    }
    return spec;
}

linkSpec* kxLinkSpec_Copy(linkSpec spec)
{
    auto* copy = static_cast<linkSpec*>(malloc(sizeof(linkSpec)));
    if (copy != nullptr)
    {
        memcpy(copy, &spec, sizeof(linkSpec));
    }
    return copy;
}

kxErr kxLinkSpec_Destroy(linkSpec** spec)
{
    if (spec == nullptr || *spec == nullptr)
    {
        return kxErrParam;
    }
    free(*spec);
    *spec = nullptr;
    return kxErrNone;
}

bool kxLinkSpec_SameModule(const linkSpec* a, const linkSpec* b)
{
    return a != nullptr && b != nullptr && a->serialNumber == b->serialNumber &&
           a->address == b->address && a->port == b->port && a->type == b->type;
}

void kxLinkSpec_Encode(const linkSpec* spec, uint8_t bytes[kxLINKSPEC_SIZE])
{
    if (spec == nullptr || bytes == nullptr)
    {
        return;
    }
    memcpy(bytes, spec, kxLINKSPEC_SIZE);
    sPut32(bytes + 0, spec->type);
    sPut32(bytes + 4, spec->serialNumber);
    sPut32(bytes + 8, spec->module);
    sPut32(bytes + 12, spec->router);
    sPut32(bytes + 16, spec->routerSerialNumber);
    sPut32(bytes + 20, spec->model);
    // The address is in network byte order already: its bytes stay as they are.
    if (spec->type == kxLinkTypeSerial)
    {
        sPut32(bytes + 24, spec->baudRate);
    }
    else
    {
        sPut32(bytes + 28, spec->port);
    }
}

bool kxLinkSpec_Decode(const uint8_t* bytes, size_t length, linkSpec* spec)
{
    if (bytes == nullptr || spec == nullptr || length != kxLINKSPEC_SIZE)
    {
        return false;
    }
    linkSpec decoded;
    memcpy(&decoded, bytes, kxLINKSPEC_SIZE);
    decoded.type = sGet32(bytes + 0);
    decoded.serialNumber = sGet32(bytes + 4);
    decoded.module = sGet32(bytes + 8);
    decoded.router = sGet32(bytes + 12);
    decoded.routerSerialNumber = sGet32(bytes + 16);
    decoded.model = sGet32(bytes + 20);
    if (decoded.type == kxLinkTypeSerial)
    {
        decoded.baudRate = sGet32(bytes + 24);
        // A port name that fills its field gets its terminator here.
        decoded.portName[kxLINKSPEC_PORTNAME_SIZE - 1] = '\0';
    }
    else
    {
        decoded.port = sGet32(bytes + 28);
    }
    *spec = decoded;
    return true;
}

uint8_t kxDiscovery_EnumerateModules(uint32_t type, kxDiscoveryCallback callback, void* ref,
                                     uint32_t interfaceAddress)
{
    if (callback == nullptr)
    {
        return 0;
    }
    switch (type)
    {
        case kxLinkTypeUSB:
            return kxDiscovery_EnumerateUSB(callback, ref);
        case kxLinkTypeTCPIP:
            return kxDiscovery_EnumerateTCPIP(callback, ref, interfaceAddress);
        case kxLinkTypeClient:
        case kxLinkTypeServedUSB:
        case kxLinkTypeServedTCPIP:
        case kxLinkTypeServedSerial:
            return kxDiscovery_Enumerate_kxEtherModules(callback, ref, interfaceAddress);
        default:
            return 0;
    }
}

linkSpec* kxDiscovery_FindModule(uint32_t type, uint32_t serialNumber, uint32_t interfaceAddress)
{
    return sFind(type, serialNumber, false, interfaceAddress);
}

linkSpec* kxDiscovery_FindFirstModule(uint32_t type, uint32_t interfaceAddress)
{
    return sFind(type, 0, true, interfaceAddress);
}

int kxDiscovery_GetIPv4Interfaces(uint32_t* addresses, int max)
{
    if (addresses == nullptr || max <= 0)
    {
        return 0;
    }
    ziflist_t* list = ziflist_new();
    if (list == nullptr)
    {
        return 0;
    }
    int count = 0;
    for (const char* name = ziflist_first(list); name != nullptr && count < max;
         name = ziflist_next(list))
    {
        uint32_t address = 0;
        if (kxMulticast_ParseIPv4(ziflist_address(list), &address))
        {
            addresses[count++] = address;
            kxDebug_Printf(kxDebugDiscovery, "Interface Found: %d\n", count);
        }
    }
    ziflist_destroy(&list);
    return count;
}

int kxDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size)
{
    if (buffer == nullptr || size <= 15)
    {
        return 0;
    }
    uint8_t bytes[4];
    memcpy(bytes, &address, sizeof bytes);
    int length = snprintf(buffer, size, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    if (length < 0 || static_cast<size_t>(length) >= size)
    {
        buffer[0] = '\0';
        return 0;
    }
    return length;
}

bool kxDiscovery_ParseSearchReply(const uint8_t* reply, size_t length, uint32_t sender,
                                  linkSpec* spec)
{
    if (reply == nullptr || spec == nullptr || length < kxDISCOVERY_REPLY_MIN)
    {
        return false;
    }
    linkSpec parsed = {};
    parsed.type = kxLinkTypeTCPIP;
    parsed.serialNumber = sGet32(reply + 4);
    parsed.routerSerialNumber = parsed.serialNumber;
    parsed.module = reply[1];
    parsed.router = reply[1];
    parsed.model = length > 12 ? reply[12] : 0xFF;
    parsed.address = sender;
    parsed.port = static_cast<uint32_t>(reply[2]) | static_cast<uint32_t>(reply[3]) << 8;
    *spec = parsed;
    return true;
}
