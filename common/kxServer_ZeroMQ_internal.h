// The device server's record, shared by its sources: kxServer_ZeroMQ.cpp
// (lifecycle, setters, stream filter, sync actor), kxServer_Broker.cpp (broker
// actor) and kxServer_Discovery.cpp (loopback responder).
#pragma once

#include <lumbrixon/kxPacket.h>
#include <lumbrixon/kxServer_ZeroMQ.h>

#include <atomic>
#include <czmq.h>

// Threads:
// - The caller (the registry) creates, starts and destroys the server and
//   calls the setters; it alone uses the actor handles (their pipes) and
//   writes every field below before the actors start, except as noted.
// - `model` and `moduleAddress` are set by the caller at any time and read by
//   the broker and the discovery actor: atomics.
// - The broker alone uses `frontend`, `streamIn`, `syncBroker` and, in beacon
//   mode, the beacon's socket after start; `expectedReplies`, `publishing`
//   and `publishStartMs` are its own.
// - The sync actor alone uses `syncWorker`.
// - The link's reader thread (the stream filter) alone uses `streamOut`,
//   `streamBuffer` and `streamFill`; the filter is installed after the
//   socket is made and removed (waiting for a running filter) before it is
//   closed.
// - `stopping` is set by the caller before it stops the actors; the sync
//   actor reads it between its slices of waiting.
// - `actorsExited` is each actor's last write (release); the caller reads it
//   (acquire) after each zactor_destroy, so that the actor's end, which
//   reaches the caller through CZMQ's pipe, is ordered before the caller
//   frees what the actor used also where ThreadSanitizer looks.
// No locks of the server's own; the link's FIFOs lock themselves.
struct kxServer
{
    uint16_t check;
    uint32_t linkId;
    uint32_t serialNumber;
    std::atomic<uint8_t> model;
    std::atomic<uint8_t> moduleAddress;
    uint32_t type;
    bool localOnly;
    uint32_t interfaceAddress;
    bool started;
    std::atomic<bool> stopping;
    std::atomic<int> actorsExited;

    zsock_t* frontend;
    uint16_t frontendPort;
    zsock_t* streamIn;
    zsock_t* streamOut;
    uint16_t streamPort;
    zsock_t* syncBroker;
    zsock_t* syncWorker;
    uint16_t syncPort;

    zactor_t* broker;
    zactor_t* sync;
    zactor_t* discovery;
    bool beaconMode;
    uint32_t discoveryAddress;

    uint16_t expectedReplies;
    bool publishing;
    uint64_t publishStartMs;

    uint8_t streamBuffer[kxSERVER_STREAM_BUFFER];
    uint16_t streamFill;
};

// Monotonic milliseconds.
uint64_t kxServer_NowMs();
// The 128-byte specifier as announced.
void kxServer_BuildSpec(const kxServer* server, uint8_t spec[kxSERVER_SPEC_SIZE]);
// A packet from a client's frame, or null when the frame is no packet.
kxPacket* kxServer_PacketFromFrame(const uint8_t* bytes, size_t size);
// Whether the sync actor waits for a reply to this packet: not for route
// control (0xAF), not for a UEI segment that more segments follow. The
// broker queues a client's identity for exactly these packets.
bool kxServer_NeedsReply(const kxPacket* packet);

// An actor's last act.
void kxServer_ActorExits(kxServer* server);

// The actors (zactor functions; `args` is the server).
void kxServer_BrokerActor(zsock_t* pipe, void* args);
void kxServer_LocalResponderActor(zsock_t* pipe, void* args);
