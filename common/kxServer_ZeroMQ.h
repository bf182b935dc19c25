// The device server: shares a running device link (USB, TCP/IP or serial)
// with other processes over ZeroMQ.
//
// Clients (common/kxStream_ZeroMQClient.h) connect a DEALER socket to the
// server's frontend, a ROUTER bound to an ephemeral TCP port on the served
// interface (127.0.0.1 when the server is local only). Every message is one
// device packet in its wire form (address, length, data; 2 to 30 bytes).
// Three actor threads do the work:
//
//   broker        polls the frontend, the stream batches and the sync pair;
//                 keeps the identities of the clients awaiting replies in
//                 request order, pools the segments of UEI byte values until
//                 the transfer is complete, and sends stream batches to the
//                 clients that enabled streaming (cmdSTREAM 93, 0x81);
//   sync          puts one request at a time on the link and collects its
//                 reply packets (a multi-packet answer while each packet is a
//                 full UEI segment with more to come), telling the broker how
//                 many replies follow, or that the request was dropped;
//   discovery     answers searches: a CZMQ beacon on a network interface
//                 (port 8585; a query is the text "Lumbrixon2-Discovery"), or,
//                 for a local-only server, a multicast responder on the
//                 loopback interface (group 224.0.0.7, one request port from
//                 9850 to 9899 held exclusively, answers on the port 100
//                 higher; a query is the 4 bytes BA DC CD AB).
//
// Announcements carry the 128-byte link specifier of the shared module (type
// 5, 6 or 7, serial number, module address, model, address and frontend
// port), once a model is set; without one nothing is answered.
//
// Stream packets the module sends are gathered by a packet filter on the
// link's reader thread and sent to the subscribers in batches of at most
// 4096 bytes, at each heartbeat of the module or when the buffer is full.
//
// Every wait is bounded: a request is given kxSERVER_REPLY_WAIT_MS for each
// reply packet and then reported dropped, so a silent module, a client that
// goes away mid-request or a frame that is no packet (logged "Bad content
// packet") never holds up the others. Frames longer than
// kxSERVER_MAX_CLIENT_MESSAGE bytes make ZeroMQ drop the client's connection.
//
// Threads: create, start, destroy and the setters are for one thread at a
// time (the link registry); the actors and the link's reader thread share
// nothing but ZeroMQ sockets, the link's FIFOs and the atomics of the record.
#pragma once

#include <lumbrixon/kxError.h>

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxSERVER_CHECK 0x5E4F
#define kxSERVER_SPEC_SIZE 128
#define kxSERVER_STREAM_BUFFER 4096
// A batch is sent once it holds more than this many bytes.
#define kxSERVER_STREAM_FLUSH 4065
#define kxSERVER_REPLY_WAIT_MS 2000
#define kxSERVER_POLL_MS 1000
#define kxSERVER_POOL_TTL 2000
#define kxSERVER_BEACON_PORT 8585
#define kxSERVER_BEACON_INTERVAL_MS 100
#define kxSERVER_BEACON_PUBLISH_MS 2000
#define kxSERVER_BEACON_QUERY "Lumbrixon2-Discovery"
#define kxSERVER_MULTICAST_GROUP "224.0.0.7"
#define kxSERVER_LOCAL_PORT_FIRST 9850
#define kxSERVER_LOCAL_PORT_COUNT 50
#define kxSERVER_LOCAL_REPLY_OFFSET 100
#define kxSERVER_LOCAL_QUERY 0xABCDDCBAu
#define kxSERVER_MAX_CLIENT_MESSAGE 256
// The server commands on the sync pair: command byte, 16-bit count (most
// significant byte first).
#define kxSERVER_CMD_DROPPED_PACKET 0
#define kxSERVER_CMD_INCOMING_PACKETS 1

    typedef struct kxServer kxServer;

    // A server for the registered link `linkId` (not started). `interfaceAddress`
    // is an IPv4 address in network byte order (0: 127.0.0.1). Null when the
    // link is not registered, its transport is not USB, TCP/IP or serial, or
    // memory runs out.
    kxServer* kxServer_Create(uint32_t linkId, uint32_t interfaceAddress, bool localOnly);
    // Opens the sockets, starts the actors and the discovery service, installs
    // the stream filter on the link and discards what the link had queued.
    // kxErrParam for an invalid server, kxErrBusy when it was started before,
    // kxErrResource when a port, connection or actor could not be set up.
    kxErr kxServer_Start(kxServer* server);
    // Removes the stream filter, stops the sync actor, the broker and the
    // discovery actor, closes the sockets, frees the server and clears the
    // caller's pointer. kxErrParam for a null address or an invalid server.
    kxErr kxServer_Destroy(kxServer** server);
    // The frontend port (0 before start) and the interface served (network
    // byte order): 127.0.0.1 for a local-only server, the beacon's interface
    // for a server announced by beacon (the first interface found when it was
    // asked for 127.0.0.1). kxErrParam for null arguments.
    kxErr kxServer_GetPort(const kxServer* server, uint16_t* port);
    kxErr kxServer_GetInterface(const kxServer* server, uint32_t* interfaceAddress);
    // The module address and model announced; kxErrParam for an invalid server.
    kxErr kxServer_SetModuleAddress(kxServer* server, uint8_t address);
    kxErr kxServer_SetModel(kxServer* server, uint8_t model);
    // Makes the broker forget every client awaiting a reply. kxErrParam for an
    // invalid server, kxErrNotReady before start.
    kxErr kxServer_FlushFIFO(kxServer* server);
    // The 128-byte specifier the server announces (kxErrParam for null
    // arguments).
    kxErr kxServer_GetNetworkSpec(const kxServer* server, uint8_t spec[kxSERVER_SPEC_SIZE]);

    // The registry side: shares the running link `linkId` through a new
    // device server (on `*interfaceAddress`, 0 meaning 127.0.0.1, or on the
    // loopback interface only) and returns a new client link to it, or 0.
    // On success the server's port and interface are written back, the caller's
    // use of `linkId` passes to the client link (destroying the client link
    // destroys the server and gives that use up), and the server announces the
    // module's address and model, which it learnt through the client link. On
    // failure nothing is left behind and the caller keeps its use of `linkId`.
    uint32_t kxLink_CreateServer(uint32_t linkId, uint16_t* port, uint32_t* interfaceAddress,
                                 bool loopbackOnly);

    // For tests and fuzzing: whether a client's frame is a packet the server
    // passes on (2 to 30 bytes, its length byte matching, at most 28 data
    // bytes).
    bool kxServer_IsPacketFrame(const uint8_t* bytes, size_t size);

#ifdef __cplusplus
}
#endif
