// The link registry: owns every link of the process and names it by a small
// identifier, issued from a process-wide counter that starts at 1 and only
// grows (identifiers are never reused; 0 means no link).
//
// Each entry records what its link leads to:
//
//   type                          ident0               ident1        ident2
//   0 caller-supplied stream      0xFFFFFFFF           0             0
//   1 USB                         serial number        0             0
//   2 TCP/IP                      serial number        IPv4 address  port
//   3 serial port                 serial number        0             0
//   4 client of a device server   server IPv4 address  port          client number
//
// (IPv4 addresses in network byte order.) Entries are shared by use count:
// creating a link to a device that already has one adds a use and returns the
// same identifier; kxLink_Destroy gives one use back and tears the link down
// with the last. The creates return the identifier, or 0 on failure (with a
// diagnostic line only); a create that fails after making its entry removes
// it again, so no half-built link stays registered.
//
// Threads: any thread may call anything here. The entry list, the counters
// and every use count are guarded by one process-wide mutex,
// "kxLink_Managed"; lookups release it before the caller uses the link, so a
// caller must hold a use of a link while it works with it. A create looks the
// device up and takes a use of its link, or makes the device's new entry, in
// one step under that mutex. Until the new link runs (or its creation failed
// and it is gone) the entry is not shared and cannot be destroyed; a create
// of the same device meanwhile waits for it, as it waits for a link whose
// last use is gone to be torn down, at most kxLINK_SETTLE_WAIT_MS (then 0).
// So one device has at most one link at a time.
#pragma once

#include <lumbrixon/kxError.h>
#include <lumbrixon/kxLink.h>
#include <lumbrixon/kxStream.h>

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxLINKTYPE_STREAM 0
#define kxLINKTYPE_USB 1
#define kxLINKTYPE_TCPIP 2
#define kxLINKTYPE_SERIAL 3
#define kxLINKTYPE_CLIENT 4
// Client links to a server sharing a USB, TCP/IP or serial device.
#define kxLINKTYPE_CLIENT_USB 5
#define kxLINKTYPE_CLIENT_TCPIP 6
#define kxLINKTYPE_CLIENT_SERIAL 7
#define kxLINK_STREAM_IDENT 0xFFFFFFFFu
// The longest a create waits for another thread's create or teardown of the
// same device's link.
#define kxLINK_SETTLE_WAIT_MS 15000

    // The device server that shares a link (common/kxServer_ZeroMQ.h).
    struct kxServer;
    typedef void (*kxLinkServerDestroyFunction)(struct kxServer** server);

    // Link creation.

    // A link to the module with this serial number over USB, started and
    // synced. An existing link is shared, unless a device server shares it
    // already (then 0: the device is reached as a client of its server).
    uint32_t kxLink_CreateUSB(uint32_t serialNumber);
    // A link over TCP/IP (address in network byte order), started. Shared as
    // for USB.
    uint32_t kxLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);
    // A link over a serial port carrying COBS frames (no parity, 8 data bits,
    // one stop bit), started. baudRate: 2400, 4800, 9600, 19200, 38400, 57600,
    // 115200 or 230400; any other gives 0 and leaves no entry. An existing link
    // is shared.
    uint32_t kxLink_CreateSerial(uint32_t serialNumber, const char* portPath, uint32_t baudRate);
    // With `ref` non-zero, one more use of the existing link `ref` (0 when
    // there is none); with 0, a new link over a client stream to the device
    // server at address (network byte order) and port, started.
    uint32_t kxLink_CreateClient(uint32_t address, uint16_t port, uint32_t ref);
    // A link over a stream the caller built, started. The link owns the stream
    // from this call on, also when it fails (the stream is then destroyed);
    // 0 for an invalid stream.
    uint32_t kxLink_Create(kxStream* stream);
    // Gives up one use of the link and sets *id to 0. With the last use the
    // link is torn down: its user filter removed, the entry taken out, the
    // link stopped, a chained link given up, and its FIFOs, accumulator,
    // packet log, locks and stream destroyed. kxErrParam for a null pointer or
    // an unknown identifier; with uses left kxErrNone; otherwise the result of
    // destroying the out FIFO.
    kxErr kxLink_Destroy(uint32_t* id);

    // Registry primitives.

    // A new entry with a new identifier and an unprepared link record, use
    // count 0, at the head of the list; its identifier, or 0 when memory runs
    // out.
    uint32_t kxLinkManagerInternal_Create2(uint32_t ident0, uint32_t ident1, uint32_t ident2,
                                           uint32_t type);
    uint32_t kxLinkManagerInternal_Create(uint32_t ident0, uint32_t ident1, uint32_t type);
    // The link record of entry `id`, or null.
    kxLink* kxLinkManagerInternal_GetLink(uint32_t id);
    // What entry `id` leads to; false for an unknown identifier. Any output may
    // be null.
    bool kxLinkManagerInternal_GetIdentity(uint32_t id, uint32_t* ident0, uint32_t* ident1,
                                           uint32_t* ident2, uint32_t* type);
    // The newest entry for (ident0, type), or for the three identities; 0 when
    // none.
    uint32_t kxLinkManagerInternal_LookupByIdentifier(uint32_t ident0, uint32_t type);
    uint32_t kxLinkManagerInternal_LookupByTrident(uint32_t ident0, uint32_t ident1,
                                                   uint32_t ident2);
    // The use count of entry `id`, or -1 for an unknown identifier.
    int32_t kxLinkManagerInternal_GetUseCount(uint32_t id);
    // The link destroyed together with entry `id` (0 for none); false for an
    // unknown identifier.
    bool kxLinkManagerInternal_SetChainedId(uint32_t id, uint32_t chainedId);
    // The device server sharing entry `id` (null for none); a link with a
    // server is not shared by kxLink_CreateUSB or kxLink_CreateTCPIP. False
    // for an unknown identifier or a link being torn down.
    bool kxLinkManagerInternal_SetServer(uint32_t id, struct kxServer* server);
    struct kxServer* kxLinkManagerInternal_GetServer(uint32_t id);
    // How a link's server is destroyed when the link is torn down (before its
    // chained link is given up); called without the registry mutex held. With
    // none set, the server is left to its owner.
    void kxLinkManagerInternal_SetServerDestroy(kxLinkServerDestroyFunction destroy);

#ifdef __cplusplus
}
#endif
