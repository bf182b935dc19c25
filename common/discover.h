// Device discovery: which modules can be reached, and how.
//
// A search produces one link specifier (linkSpec) per module it finds and
// hands it to a callback supplied by the caller, which may stop the search:
//   - type 1: USB enumeration through the shared libusb context;
//   - type 2: the multicast search for Ethernet modules on the local networks;
//   - types 4 to 7: modules shared by device servers (on this machine, or on
//     the network through beacons).
// kxDiscovery_FindModule and kxDiscovery_FindFirstModule wrap the searches for
// one serial number or for any module.
//
// A search never reports an error: one that cannot run, or finds nothing,
// returns 0 and calls the callback for nobody. Socket failures are printed to
// the standard error stream with the system's description of the error.
//
// Threads: a search runs on the caller's thread and blocks it for its
// duration (about 2 s for the TCP/IP search, 2.2 s for beacons). Searches on
// different threads are independent; the USB search shares the libusb context
// with open USB links.
#pragma once

#include <lumbrixon/kxError.h>

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

    // How a module is reached.
    typedef enum linkType
    {
        kxLinkTypeUSB = 1,
        kxLinkTypeTCPIP = 2,        // an Ethernet module reached directly
        kxLinkTypeSerial = 3,       // never discovered
        kxLinkTypeClient = 4,       // a client of a device server
        kxLinkTypeServedUSB = 5,    // a module a device server shares over USB
        kxLinkTypeServedTCPIP = 6,  // ... over TCP/IP
        kxLinkTypeServedSerial = 7, // ... over a serial port
    } linkType;

#define kxLINKSPEC_SIZE 128
#define kxLINKSPEC_PORTNAME_SIZE 100

    // One reachable module: 128 bytes, zero beyond the fields in use. The same
    // bytes travel in the device servers' discovery replies and beacons, so the
    // layout is fixed (integers little-endian on the wire; kxLinkSpec_Encode
    // and kxLinkSpec_Decode convert):
    //   0   type                 linkType
    //   4   serialNumber
    //   8   module               module address on its bus
    //   12  router               address of the routing module
    //   16  routerSerialNumber
    //   20  model
    //   24  address              IPv4, network byte order (types 2, 4-7);
    //       baudRate             type 3
    //   28  port                 TCP port (types 2, 4-7)
    //   28  portName[100]        type 3: serial port path, zero-terminated
    // Unlike the library's other records it carries no tag (its first word is
    // its type); a pointer to one is only ever null or valid.
    typedef struct linkSpec
    {
        uint32_t type;
        uint32_t serialNumber;
        uint32_t module;
        uint32_t router;
        uint32_t routerSerialNumber;
        uint32_t model;
        union
        {
            uint32_t address;
            uint32_t baudRate;
        };
        union
        {
            uint32_t port;
            char portName[kxLINKSPEC_PORTNAME_SIZE];
        };
    } linkSpec;

    // Called once for each module found. `spec` is valid only during the call
    // (the callback copies what it keeps); set *success to 1 to count the
    // module as found. Return true to go on searching, false to stop.
    typedef bool (*kxDiscoveryCallback)(const linkSpec* spec, uint8_t* success, void* ref);

    // The TCP/IP search. The request: 16 bytes, 01 and fifteen zeros, to the
    // group 232.2.2.2, port 9888. Replies of up to 16 bytes come to port 9889:
    //   1      module address
    //   2, 3   TCP port, least significant byte first
    //   4-7    serial number, least significant byte first
    //   12     model (255 when the reply is shorter than 13 bytes)
    // A reply shorter than 8 bytes holds no serial number and is ignored.
#define kxDISCOVERY_SEARCH_GROUP "232.2.2.2"
#define kxDISCOVERY_SEARCH_PORT 9888
#define kxDISCOVERY_REPLY_PORT 9889
#define kxDISCOVERY_REQUEST_SIZE 16
#define kxDISCOVERY_REPLY_SIZE 16
#define kxDISCOVERY_REPLY_MIN 8
#define kxDISCOVERY_REPLY_TIMEOUT_MS 2000
// At most this many datagrams are read in one search.
#define kxDISCOVERY_REPLY_LIMIT 1024

// The search for device servers on this machine: multicast on the loopback
// interface to the group 224.0.0.7, request ports 9850 + i (i < 50), each
// answered on the port 100 higher with a 128-byte linkSpec. The request is
// the 32-bit value 0xABCDDCBA, little-endian.
#define kxDISCOVERY_LOCAL_GROUP "224.0.0.7"
#define kxDISCOVERY_LOCAL_REQUEST_PORT 9850
#define kxDISCOVERY_LOCAL_REPLY_PORT 9950
#define kxDISCOVERY_LOCAL_PORTS 50
#define kxDISCOVERY_LOCAL_REQUEST 0xABCDDCBAu
// The search for device servers on the network: beacons on port 8585; the
// searcher publishes this text (without a terminator) every 100 ms; a
// server's beacon carries a 128-byte linkSpec.
#define kxDISCOVERY_BEACON_PORT 8585
#define kxDISCOVERY_BEACON_TEXT "Lumbrixon2-Discovery"
#define kxDISCOVERY_BEACON_INTERVAL_MS 100
#define kxDISCOVERY_BEACON_ROUNDS 22
// The most interfaces the server search looks at.
#define kxDISCOVERY_MAX_INTERFACES 50

    // Specifiers.

    // A zeroed specifier with `type` set; null when memory runs out.
    linkSpec* kxLinkSpec_Create(uint32_t type);
    // A new specifier with the same 128 bytes; null when memory runs out.
    linkSpec* kxLinkSpec_Copy(linkSpec spec);
    // Frees the specifier and sets *spec to null; kxErrParam for a null
    // address or a null specifier.
    kxErr kxLinkSpec_Destroy(linkSpec** spec);
    // True when both describe the same module: equal serial number, address,
    // port and type (false when either is null).
    bool kxLinkSpec_SameModule(const linkSpec* a, const linkSpec* b);
    // The 128 wire bytes of a specifier (integers little-endian).
    void kxLinkSpec_Encode(const linkSpec* spec, uint8_t bytes[kxLINKSPEC_SIZE]);
    // A specifier from wire bytes; false (and *spec untouched) unless there are
    // exactly 128 of them.
    bool kxLinkSpec_Decode(const uint8_t* bytes, size_t length, linkSpec* spec);

    // Searches.

    // Type 1: the USB search; 2: the TCP/IP search; 4 to 7: the server search
    // (kxDiscovery_Enumerate_kxEtherModules); any other type: 0. The number of
    // modules the callback counted. interfaceAddress: an IPv4 address in
    // network byte order; 0 or 127.0.0.1 choose no particular interface. A null
    // callback finds nothing.
    uint8_t kxDiscovery_EnumerateModules(uint32_t type, kxDiscoveryCallback callback, void* ref,
                                         uint32_t interfaceAddress);
    // The search for modules shared by device servers (implemented with the
    // device server).
    uint8_t kxDiscovery_Enumerate_kxEtherModules(kxDiscoveryCallback callback, void* ref,
                                                 uint32_t interfaceAddress);
    // The first module of `type` with this serial number, as a new specifier
    // the caller destroys; null when there is none.
    linkSpec* kxDiscovery_FindModule(uint32_t type, uint32_t serialNumber,
                                     uint32_t interfaceAddress);
    // The first module of `type` with a serial number other than 0, or null.
    linkSpec* kxDiscovery_FindFirstModule(uint32_t type, uint32_t interfaceAddress);

    // Fills up to `max` IPv4 addresses (network byte order) of this machine's
    // interfaces, as CZMQ's interface list (ziflist) gives them, and returns
    // how many; 0 for a null array.
    int kxDiscovery_GetIPv4Interfaces(uint32_t* addresses, int max);
    // Writes the dotted-decimal text of a network-order address and returns its
    // length; 0 (nothing written) when `size` is 15 or less or buffer is null.
    int kxDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size);

    // One TCP/IP search reply of `length` bytes from `sender` (network byte
    // order) as a type 2 specifier; false (and *spec untouched) for a reply
    // shorter than 8 bytes or null arguments. Bytes beyond 16 are not looked at.
    bool kxDiscovery_ParseSearchReply(const uint8_t* reply, size_t length, uint32_t sender,
                                      linkSpec* spec);

    // Platform layer (unix/unix_discovery.cpp): the searches that need the
    // operating system. Called by kxDiscovery_EnumerateModules; the callback
    // is not null.
    uint8_t kxDiscovery_EnumerateUSB(kxDiscoveryCallback callback, void* ref);
    uint8_t kxDiscovery_EnumerateTCPIP(kxDiscoveryCallback callback, void* ref,
                                       uint32_t interfaceAddress);

#ifdef __cplusplus
}
#endif
