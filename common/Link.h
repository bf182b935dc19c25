// The Link object: one module reached over one transport link.
//
// A Link wraps a link of the link engine (common/kxLink.h) and adds the
// connection by link specifier or by discovery, the optional sharing of the
// device through a local device server (networking mode, on by default),
// request/response helpers for UEI values (common/kxUEI.h), raw command
// packets, store slots and factory data, a packet log, and the stream
// subscriptions: the latest value of every streamed UEI key and the
// subscribers' callbacks.
//
// Every reply wait is bounded: UEI replies 1000 ms (4000 ms for a byte value
// over 1000 bytes), raw packets 1000 ms, opening a store slot 3000 ms, every
// other slot and factory-data step 1000 ms.
//
// Threads: the methods are meant for one caller thread at a time (the
// subscription calls and getStreamValue/getStreamStatus may also be made from
// a subscriber's callback). Streamed packets are taken out of the inbound
// traffic on the link's reader thread and the callbacks run on a worker
// thread of the Link, never while the Link holds one of its locks, so a
// callback may call into the Link. A callback must not destroy its Link.
#pragma once

#include <lumbrixon/discover.h>
#include <lumbrixon/kxError.h>
#include <lumbrixon/kxLink.h>
#include <lumbrixon/kxPacket.h>
#include <lumbrixon/kxUEI.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace Kavrel::Lumbrixon
{

// Networking settings of a link, copied whole by getConfig and setConfig.
struct kxEtherConfig
{
    // The device link is opened behind a local device server and the Link
    // talks to that server as a client.
    uint8_t serverMode = 1;
    // discoverAndConnect retries with the other kind of transport when the
    // first one finds nothing.
    uint8_t transportFallback = 1;
    // The server serves on the loopback interface only.
    uint8_t loopbackOnly = 1;
    // The server's port; 0 lets it choose; holds the port in use afterwards.
    uint16_t serverPort = 0;
    // IPv4 address of the interface in network order (127.0.0.1 by default);
    // the server writes back the interface it uses; also given to discovery.
    uint32_t interfaceAddress = 0x0100007Fu;
};

class Link
{
public:
    // Store-slot and factory-data commands and the sync-request address.
    static constexpr uint8_t cmdSLOT = 4;
    static constexpr uint8_t cmdFACTORY = 94;
    static constexpr uint8_t cmdSTREAM = 93;
    static constexpr uint8_t kSyncRequestAddress = 0xAD;
    // The handle an open store slot never has.
    static constexpr uint8_t kInvalidSlotHandle = 255;

    // Reply waits, in milliseconds.
    static constexpr uint32_t kReplyWaitMs = 1000;
    static constexpr uint32_t kLargeReplyWaitMs = 4000;
    static constexpr size_t kLargeReplyBytes = 1000;
    static constexpr uint32_t kSlotOpenWaitMs = 3000;

    // The fields of a stream key, for getStreamKeyElement.
    enum STREAM_KEY
    {
        STREAM_KEY_MODULE = 0,
        STREAM_KEY_COMMAND = 1,
        STREAM_KEY_OPTION = 2,
        STREAM_KEY_INDEX = 3,
        STREAM_KEY_SUBINDEX = 4,
    };

    // The stream type of a streamed packet (its fourth data byte).
    enum STREAM_PACKET
    {
        STREAM_PACKET_NONE = 0,
        STREAM_PACKET_BYTE = 1,
        STREAM_PACKET_SHORT = 2,
        STREAM_PACKET_INT = 3,
        STREAM_PACKET_BYTES = 4,
        STREAM_PACKET_BYTE_SUBINDEX = 5,
        STREAM_PACKET_SHORT_SUBINDEX = 6,
        STREAM_PACKET_INT_SUBINDEX = 7,
    };

    // 0xFF in a subscription key's command, option, index or sub-index
    // field matches any value.
    static constexpr uint8_t kStreamAny = 0xFF;

    struct StreamStatusEntry
    {
        uint64_t key;
        uint32_t value;
    };

    // A subscriber: called on the Link's worker thread with the streamed
    // packet (valid during the call only) and the subscriber's context.
    using StreamCallback = std::function<uint8_t(const kxPacket* packet, void* context)>;

    explicit Link(const char* name);
    Link(linkSpec spec, const char* name);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Identity and settings.
    const char* getName() const;
    // kxErrNotFound when no specifier is stored; kxErrParam for null.
    kxErr getLinkSpecifier(linkSpec* out) const;
    // kxErrBusy while connected.
    kxErr setLinkSpecifier(linkSpec spec);
    kxErr getConfig(kxEtherConfig* out) const;
    // kxErrMode while connected.
    kxErr setConfig(kxEtherConfig config);

    // Connection.
    kxErr connect();
    kxErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model);
    // Shares the other object's link; the stored specifier decides what is
    // created (a client type reuses the other's link).
    kxErr connectThroughLinkModule(Link& other);
    bool isConnected() const;
    // The link engine's status; 8 when there is no link.
    uint32_t getStatus() const;
    // Always kxErrNone.
    kxErr disconnect();
    kxErr reset();
    // The module's address as it answers a sync request; kxErrNotReady when
    // not connected or no answer comes.
    kxErr getModuleAddress(uint8_t* address);
    kxErr enablePooledPackets(bool on);
    // The link engine's handle (0: none), for the module objects and tests.
    uint32_t getLinkId() const;

    // UEI values. Each needs a connection (kxErrConnection) and an even,
    // non-zero module address (kxErrPacket).
    kxErr sendUEI(uei record);
    kxErr sendUEI(uei record, uint8_t subindex);
    // Waits for the reply that matches record's module, command, option and
    // index and fills the record (type and value from the reply's length; an
    // error reply leaves its index byte in record->index and the device's
    // code in record->value.u8). kxErrTimeout when none comes in time.
    kxErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record);
    // The same with the caller's filter, given the record as its reference.
    kxErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record,
                     kxLinkPacketFilter filter);
    kxErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);
    // The reply filters receiveUEI uses (reference: the uei record). The
    // bytes filter takes the segments of a byte value in order (the record's
    // `sequence`), appends their value bytes at record->value.bytes and
    // counts them in *record->received; a segment that does not fit marks
    // the record as an error reply with kxErrMemory; it refuses packets
    // without a value byte and sequence byte.
    static bool ueiFilter(const kxPacket* packet, void* record);
    static bool ueiBytesFilter(const kxPacket* packet, void* record);

    // Raw command packets: `length` up to 27 data bytes after the command.
    kxErr sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data);
    // Waits for the first packet whose first *length data bytes equal match
    // (any packet for 0); *length becomes its data length and data (28
    // bytes) receives all its data bytes.
    kxErr receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* data);

    // Store slots. A reply that does not come is kxErrTimeout.
    kxErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data,
                        size_t length);
    // *unloaded counts the bytes actually received (also after a failure);
    // kxErrOverrun when the buffer is smaller than the slot.
    kxErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer,
                          size_t bufferLength, size_t* unloaded);
    kxErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size);
    kxErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity);

    // Factory data of a selector (0 to 15).
    kxErr getFactoryData(uint8_t module, uint8_t selector, uint8_t* buffer, size_t bufferLength,
                         size_t* length);
    // kxErrTimeout when the module does not confirm the write.
    kxErr setFactoryData(uint8_t module, uint8_t selector, const uint8_t* data, size_t length);

    // Packet log: every packet the link writes and receives, to `path`.
    kxErr enablePacketLog(const char* path);
    kxErr disablePacketLog();

    // Stream subscriptions (module addresses are never wildcards).
    kxErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                 bool enable, StreamCallback callback, void* context);
    kxErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
    // The cached value of one exact key: kxErrNone when it is new since last
    // read, kxErrStreamStale when read before, kxErrNotFound when none.
    kxErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                         uint8_t subindex, uint32_t* value);
    // The cached keys matching the pattern, in key order; kxErrSize when more
    // than `capacity` exist (the array is filled).
    kxErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                          uint8_t subindex, StreamStatusEntry* entries, size_t capacity,
                          size_t* found);
    kxErr isLinkStreaming(uint8_t module, uint8_t* streaming);

    // Streamed packets and keys.
    static bool getStreamPacketType(const kxPacket* packet, STREAM_PACKET* type);
    static bool isSubindexType(STREAM_PACKET type);
    static bool isStreamPacket(const kxPacket* packet);
    static bool isStreamSample(const kxPacket* packet);
    static kxErr getStreamSample(const kxPacket* packet, uint64_t* timestamp, uint32_t* value,
                                 uint8_t* subindex);
    static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                    uint8_t subindex);
    static uint8_t getStreamKeyElement(uint64_t key, STREAM_KEY element);
    static void getTimestampParts(uint64_t timestamp, uint32_t* upper, uint32_t* lower);

    struct impl;

private:
    std::unique_ptr<impl> impl_;
};

} // namespace Kavrel::Lumbrixon
