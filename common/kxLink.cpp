// The link engine: lifecycle, the in-pipe and out-pipe threads, sync,
// heartbeats, route control, the user filter, pooled writes and the packet
// log.
#include <lumbrixon/kxLink.h>

#include <lumbrixon/kxLinkManagerInternal.h>
#include "kxLink_internal.h"
#include <lumbrixon/kxPacketLog.h>
#include <lumbrixon/kxStream_ZeroMQClient.h>
#include <lumbrixon/kxMutex.h>
#include <lumbrixon/kxThread.h>
#include <lumbrixon/kxTime.h>

#include <atomic>
#include <new>
#include <stdio.h>
#include <string.h>

// One link. Threads:
// - The lifecycle calls (Init, Start, Stop, Reset, and the registry's destroy)
//   run under `controlLock`, one at a time. They alone write `stream`,
//   `incoming`, `inThread`, `outThread` and replace the FIFOs, and they do so
//   only while no pipe thread runs.
// - The in-pipe thread is the only reader of `stream` and the only user of
//   `incoming`, `syncState` and `lastSyncRequestMs` while it runs; it writes
//   `status`, `syncAddress`, `heartbeatState` and `inReady`.
// - The out-pipe thread is the only writer to `stream` and reads `pooled`; it
//   writes `outReady`.
// - Any thread reads `running`, `status` and the FIFO identifiers, and puts
//   packets on and takes packets from the FIFOs (which lock themselves); the
//   callers' setters write `pooled` and `heartbeatCallback`. These fields are
//   atomics.
// - `userFilter` and `userFilterRef` are read and written under
//   `userFilterLock`, which the in-pipe holds while the filter runs.
// - `packetLog` is made with the record and freed with it; it locks itself
//   (its lock is named "LOG_SEMA_%p").
// Lock order: `controlLock` before `userFilterLock` or the packet log's lock;
// the last two are never held together, and no FIFO call is made while either
// of them is held, except that the user filter (the user's code) runs under
// `userFilterLock` as the interface promises.
struct kxLink
{
    uint16_t check;
    uint32_t id;
    std::atomic<uint8_t> running;
    std::atomic<uint32_t> status;
    std::atomic<uint64_t> inFifo;
    kxPacket* incoming;
    std::atomic<uint64_t> outFifo;
    kxThread* inThread;
    kxThread* outThread;
    kxThreadFunction inProcess;
    kxThreadFunction outProcess;
    std::atomic<uint8_t> inReady;
    std::atomic<uint8_t> outReady;
    kxStream* stream;
    std::atomic<uint32_t> heartbeatState;
    std::atomic<kxLinkHeartbeatCallback> heartbeatCallback;
    uint32_t syncState;
    std::atomic<uint8_t> syncAddress;
    uint64_t lastSyncRequestMs;
    kxPacketLog* packetLog;
    kxLinkPacketFilter userFilter;
    void* userFilterRef;
    kxMutex* userFilterLock;
    std::atomic<uint8_t> pooled;
    kxMutex* controlLock;
};

namespace
{
// An empty read that came back faster than this did not wait.
constexpr int64_t sQuickReadUs = 200;
// After this many quick empty reads in a row the in-pipe sleeps a millisecond
// between reads (a COBS frame alone gives up to 32 empty reads in a row while
// its bytes flow).
constexpr uint32_t sQuickEmptyRun = 64;

// The link's deadlines come from the monotonic clock, so that a change of
// the time of day can neither stretch nor cut a wait.
uint64_t sNowUs()
{
    return kxTime_GetMonotonicNS() / 1000u;
}

uint64_t sNowMs()
{
    return sNowUs() / 1000u;
}

// Polls, yielding the processor, for up to kxLINK_SPIN_US until the FIFO's
// length differs from `length`. True when it did.
bool sSpinWhileLength(uint64_t fifo, size_t length)
{
    uint64_t end = sNowUs() + kxLINK_SPIN_US;
    do
    {
        if (kxPacketFifo_GetLength(fifo) != length)
        {
            return true;
        }
        kxThread_Relinquish();
    } while (sNowUs() < end);
    return false;
}

bool sValid(const kxLink* link)
{
    return link != nullptr && link->check == kxLINK_CHECK;
}

// The prepared link of `id`, or null.
kxLink* sGetLink(uint32_t id)
{
    kxLink* link = kxLinkManagerInternal_GetLink(id);
    return sValid(link) ? link : nullptr;
}

void sLock(kxMutex* mutex)
{
    kxMutex_Lock(mutex);
}

void sUnlock(kxMutex* mutex)
{
    kxMutex_Unlock(mutex);
}

void sDebugPacket(const char* what, uint32_t id, const kxPacket* packet)
{
    kxDebug_Printf(kxDebugPackets, " %s(%d) ADDR:%02X, LEN:%02X, [%02X %02X %02X ...]\n", what,
                   static_cast<int>(id), packet->address, packet->length, packet->data[0],
                   packet->data[1], packet->data[2]);
}

// Records `count` wire bytes into the packet log, if there is one.
void sLogBytes(kxLink* link, uint8_t type, const uint8_t* bytes, uint32_t count)
{
    if (kxPacketLog_Exists(link->packetLog))
    {
        kxPacketLog_Add(link->packetLog, type, count, bytes);
    }
}

void sLogPacket(kxLink* link, uint8_t type, const kxPacket* packet)
{
    sLogBytes(link, type, &packet->address, packet->length + 2u);
}

kxErr sForceRoute(kxLink* link, uint8_t on)
{
    kxPacket* packet = kxPacket_CreateWithData(kxLINK_ROUTE_ADDRESS, 1, &on);
    if (packet == nullptr)
    {
        return kxErrMemory;
    }
    kxErr err = kxPacketFifo_Put(link->outFifo, packet);
    kxPacket_Destroy(&packet);
    return err;
}

// Queues six sync requests; true when they were queued.
bool sQueueSyncRequests(kxLink* link)
{
    uint8_t none = 0;
    kxPacket* request = kxPacket_CreateWithData(kxLINK_SYNC_ADDRESS, 0, &none);
    kxErr err = kxErrMemory;
    for (int i = 0; request != nullptr && i < kxLINK_SYNC_REQUESTS; i++)
    {
        err = kxPacketFifo_Put(link->outFifo, request);
    }
    kxPacket_Destroy(&request);
    uint64_t now = sNowMs();
    link->lastSyncRequestMs = now == 0 ? 1 : now;
    return err == kxErrNone;
}

bool sResendDue(const kxLink* link)
{
    return link->lastSyncRequestMs == 0 ||
           sNowMs() - link->lastSyncRequestMs >= kxLINK_SYNC_RESEND_MS;
}

// Enters sync (again): status 4, the state machine at its start, the
// accumulator emptied, and six sync requests queued. Requests go out at most
// every kxLINK_SYNC_RESEND_MS, so that a module whose answers keep losing the
// framing cannot make the link send ever more of them; only a sync asked for
// by kxLink_Sync (`requested`) sends at once.
void sStartSync(kxLink* link, bool requested)
{
    kxDebug_Printf(kxDebugLink, "syncStart\n");
    link->status = kLinkStatusSyncing;
    link->syncState = kSyncStateStart;
    kxPacket_Reset(link->incoming);
    if ((!requested && !sResendDue(link)) || sQueueSyncRequests(link))
    {
        link->syncState = kSyncStateByte1;
    }
}

// A read that found no byte. A link that is to sync, or whose stream failed,
// begins a round of syncing; one that is syncing sends its requests again
// when they are due, but keeps its place in the answer: a framed stream has
// empty reads between the frames of one answer.
void sNoByte(kxLink* link)
{
    uint32_t status = link->status;
    if (status == kLinkStatusSyncing && link->syncState == 0)
    {
        sStartSync(link, true);
    }
    else if (status == kLinkStatusIOError)
    {
        sStartSync(link, false);
    }
    else if (status == kLinkStatusSyncing && sResendDue(link))
    {
        if (!sQueueSyncRequests(link))
        {
            link->syncState = kSyncStateStart;
        }
        else if (link->syncState == kSyncStateStart)
        {
            link->syncState = kSyncStateByte1;
        }
    }
}

// One byte while syncing: a complete answer is A 0 A 0 with an even,
// non-zero module address A.
void sSyncByte(kxLink* link, uint8_t byte)
{
    kxDebug_Printf(kxDebugLink, "sByte %d\n", byte);
    switch (link->syncState)
    {
        case kSyncStateStart:
            kxDebug_Printf(kxDebugLink, "kSyncStateStart\n");
            sStartSync(link, false);
            break;
        case kSyncStateByte1:
            kxDebug_Printf(kxDebugLink, "kSyncStateByte1\n");
            if (byte == 0 || (byte & 1) != 0)
            {
                sStartSync(link, false);
            }
            else
            {
                link->syncAddress = byte;
                link->syncState = kSyncStateByte2;
            }
            break;
        case kSyncStateByte2:
            kxDebug_Printf(kxDebugLink, "kSyncStateByte2\nsync2\n");
            link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
            break;
        case kSyncStateByte3:
            kxDebug_Printf(kxDebugLink, "kSyncStateByte3\nsync3\n");
            link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
            break;
        case kSyncStateByte4:
            kxDebug_Printf(kxDebugLink, "kSyncStateByte4\nsync4\n");
            if (byte == 0)
            {
                link->syncState = 0;
                link->status = kLinkStatusRunning;
                kxDebug_Printf(kxDebugLink, "synced\n");
            }
            else
            {
                link->syncState = kSyncStateStart;
            }
            break;
        default:
            // Sync state 0 while syncing: kxLink_Sync asked for it.
            kxDebug_Printf(kxDebugLink, "sync default\n");
            sStartSync(link, true);
            break;
    }
}

// A complete packet in `incoming`: logged, offered to the user filter,
// answered when it is a heartbeat, else queued on the in FIFO.
void sHandlePacket(kxLink* link)
{
    kxPacket* packet = link->incoming;
    sDebugPacket("sHandlePacket", link->id, packet);
    sLogPacket(link, kxPacketLogReceived, packet);

    sLock(link->userFilterLock);
    bool consumed = link->userFilter != nullptr && link->userFilter(packet, link->userFilterRef);
    sUnlock(link->userFilterLock);
    if (consumed)
    {
        kxPacket_Reset(packet);
        return;
    }

    if (packet->length == 2 && packet->data[0] == 0 && link->heartbeatState <= 1)
    {
        uint8_t value = packet->data[1];
        kxDebug_Printf(kxDebugPackets,
                       " sHandleHBBackChannel(%d) ==> received HB packet [data size = %d][%d,%d]\n",
                       static_cast<int>(link->id), packet->length, packet->data[0], value);
        if (value == 1)
        {
            link->heartbeatState = 3;
            kxDebug_Printf(kxDebugPackets, " sHandleHBBackChannel(%d) %s\n",
                           static_cast<int>(link->id), "sending HB DOWN");
        }
        else if (value == 0)
        {
            link->heartbeatState = 2;
            kxDebug_Printf(kxDebugPackets, " sHandleHBBackChannel(%d) %s\n",
                           static_cast<int>(link->id), "sending HB UP");
        }
        uint8_t answerData[2] = {0, static_cast<uint8_t>(value + 2)};
        kxPacket* answer = kxPacket_CreateWithData(packet->address, 2, answerData);
        if (answer != nullptr)
        {
            kxPacketFifo_Put(link->outFifo, answer);
            kxPacket_Destroy(&answer);
        }
        link->heartbeatState = 0;
        if (kxLinkHeartbeatCallback callback = link->heartbeatCallback.load())
        {
            callback((value & 1) != 0);
        }
        kxPacket_Reset(packet);
        return;
    }

    kxErr err = kxPacketFifo_Put(link->inFifo, packet);
    kxPacket_Reset(packet);
    if (err != kxErrNone)
    {
        link->status = kLinkStatusError;
    }
}

void sHandleByte(kxLink* link, uint8_t byte)
{
    if (link->status == kLinkStatusSyncing)
    {
        sSyncByte(link, byte);
        return;
    }
    kxErr err = kxPacket_AddByte(link->incoming, byte);
    if (err != kxErrNone || (link->incoming->address & 1) != 0)
    {
        kxDebug_Printf(kxDebugLink, "Out of sync\n");
        sStartSync(link, false);
        return;
    }
    if (kxPacket_IsComplete(link->incoming))
    {
        sHandlePacket(link);
    }
}

int sInPipeProcess(void* argument)
{
    auto* link = static_cast<kxLink*>(argument);
    link->heartbeatState = 0;
    link->syncAddress = 1;
    link->syncState = 0;
    link->lastSyncRequestMs = 0;
    link->status = kLinkStatusRunning;
    link->inReady = 1;
    uint32_t quickEmpty = 0;
    while (link->running)
    {
        uint8_t byte = 0;
        uint64_t before = sNowUs();
        kxErr err = kxStream_Read(link->stream, &byte, 1);
        if (err == kxErrNone)
        {
            quickEmpty = 0;
            sHandleByte(link, byte);
            continue;
        }
        if (err == kxErrPacket)
        {
            // A framed stream dropped one bad frame (its CRC or length did
            // not hold): the frames around it are whole, so the link goes on.
            quickEmpty = 0;
            kxPacket_Reset(link->incoming);
            continue;
        }
        if (err != kxErrNotReady)
        {
            quickEmpty = 0;
            link->status = kLinkStatusIOError;
            kxTime_MSSleep(kxLINK_READ_ERROR_PAUSE_MS);
            continue;
        }
        sNoByte(link);
        // A stream whose read does not wait for bytes is not polled flat out.
        if (static_cast<int64_t>(sNowUs() - before) >= sQuickReadUs)
        {
            quickEmpty = 0;
        }
        else if (++quickEmpty >= sQuickEmptyRun)
        {
            quickEmpty = sQuickEmptyRun;
            kxTime_MSSleep(1);
        }
    }
    kxDebug_Printf(kxDebugLink, " sInPipeProcess(%d) terminating\n", static_cast<int>(link->id));
    return 0;
}

// Appends the packet's wire form to `buffer` at `size`.
void sAppend(uint8_t* buffer, size_t* size, const kxPacket* packet)
{
    size_t wire = packet->length + 2u;
    memcpy(buffer + *size, &packet->address, wire);
    *size += wire;
}

void sWriteOne(kxLink* link, kxPacket* packet)
{
    sDebugPacket("sOutPipeProcess", link->id, packet);
    kxErr err = kxStream_Write(link->stream, &packet->address, packet->length + 2u);
    if (err != kxErrNone)
    {
        kxDebug_Printf(kxDebugLink, "sOutPipeProcess error writing: %d\n", static_cast<int>(err));
    }
    sLogPacket(link, kxPacketLogWritten, packet);
}

// Writes the awaited packet and whatever else is queued, up to
// kxLINK_POOL_BYTES, in one write; every packet is logged.
void sWritePooled(kxLink* link, kxPacket* first)
{
    uint8_t buffer[kxLINK_POOL_BYTES];
    size_t size = 0;
    sDebugPacket("sOutPipeProcess", link->id, first);
    sAppend(buffer, &size, first);
    while (size <= kxLINK_POOL_FILL_LIMIT)
    {
        kxPacket* next = kxPacketFifo_Get(link->outFifo);
        if (next == nullptr)
        {
            break;
        }
        sDebugPacket("sOutPipeProcess", link->id, next);
        sAppend(buffer, &size, next);
        kxPacket_Destroy(&next);
    }
    kxErr err = kxStream_Write(link->stream, buffer, size);
    if (err != kxErrNone)
    {
        kxDebug_Printf(kxDebugLink, "sOutPipeProcess error writing pooled: %d\n",
                       static_cast<int>(err));
    }
    for (size_t at = 0; at + 2 <= size; at += buffer[at + 1] + 2u)
    {
        sLogBytes(link, kxPacketLogWritten, buffer + at, buffer[at + 1] + 2u);
    }
}

int sOutPipeProcess(void* argument)
{
    auto* link = static_cast<kxLink*>(argument);
    link->outReady = 1;
    bool wrote = false;
    while (link->running)
    {
        // Right after a write the next packet often follows at once.
        if (wrote)
        {
            sSpinWhileLength(link->outFifo, 0);
        }
        kxPacket* packet = kxPacketFifo_Await(link->outFifo, kxLINK_OUT_WAIT_MS);
        wrote = packet != nullptr;
        if (packet == nullptr)
        {
            continue;
        }
        if (link->pooled)
        {
            sWritePooled(link, packet);
        }
        else
        {
            sWriteOne(link, packet);
        }
        kxPacket_Destroy(&packet);
    }
    // What is still queued (route-off after a stop) goes out one write each,
    // for a bounded time: a dead stream must not hold the stop.
    uint64_t deadline = sNowMs() + kxLINK_FINAL_DRAIN_MS;
    for (int i = 0; i < kxPACKETFIFO_CAPACITY && sNowMs() < deadline; i++)
    {
        kxPacket* packet = kxPacketFifo_Get(link->outFifo);
        if (packet == nullptr)
        {
            break;
        }
        sWriteOne(link, packet);
        kxPacket_Destroy(&packet);
    }
    return 0;
}

// Fresh FIFOs and accumulator over `stream`, status 0 (5 without a stream).
// The caller holds `controlLock` and no thread runs.
bool sPrepare(kxLink* link, kxStream* stream)
{
    link->stream = stream;
    link->status = stream != nullptr ? kLinkStatusStopped : kLinkStatusInvalid;
    link->inThread = nullptr;
    link->outThread = nullptr;
    link->inProcess = sInPipeProcess;
    link->outProcess = sOutPipeProcess;
    link->inReady = 0;
    link->outReady = 0;
    link->heartbeatState = 0;
    link->syncState = 0;
    link->inFifo = kxPacketFifo_Create();
    link->outFifo = kxPacketFifo_Create();
    if (link->incoming == nullptr)
    {
        link->incoming = kxPacket_Create();
    }
    kxPacket_Reset(link->incoming);
    return link->inFifo != 0 && link->outFifo != 0 && link->incoming != nullptr;
}

// Destroys the FIFOs and the stream; the result of destroying the out FIFO.
// The caller holds `controlLock` and no thread runs.
kxErr sReleaseTransport(kxLink* link)
{
    uint64_t in = link->inFifo.exchange(0);
    uint64_t out = link->outFifo.exchange(0);
    kxErr inErr = kxPacketFifo_Destroy(&in);
    kxErr outErr = kxPacketFifo_Destroy(&out);
    if (inErr != kxErrNone && inErr != kxErrNotFound)
    {
        printf("Error in File; %s on line; %d, %s: %d\n", "kxLink.cpp", __LINE__,
               "Error encountered destoying inFromModule fifo", static_cast<int>(inErr));
    }
    if (outErr != kxErrNone && outErr != kxErrNotFound)
    {
        printf("Error in File; %s on line; %d, %s: %d\n", "kxLink.cpp", __LINE__,
               "Error encountered destoying OutToModule fifo", static_cast<int>(outErr));
    }
    if (link->stream != nullptr)
    {
        kxStream_Destroy(&link->stream);
    }
    return outErr;
}

// The caller holds `controlLock`.
kxErr sStop(kxLink* link)
{
    uint32_t status = link->status;
    if (status == kLinkStatusStopping || status == kLinkStatusStopped)
    {
        return kxErrNone;
    }
    link->status = kLinkStatusStopping;
    kxErr result = kxErrNone;
    if (link->inThread != nullptr || link->outThread != nullptr)
    {
        // Route-off is queued before the threads are told to end, so the
        // out-pipe's final drain writes it.
        sForceRoute(link, 0);
        link->running = 0;
        int inRc = link->inThread != nullptr ? kxThread_Destroy(&link->inThread) : 0;
        int outRc = link->outThread != nullptr ? kxThread_Destroy(&link->outThread) : 0;
        link->inReady = 0;
        link->outReady = 0;
        kxPacket_Reset(link->incoming);
        link->status = kLinkStatusStopped;
        link->heartbeatState = 0;
        if (inRc != 0 || outRc != 0)
        {
            result = kxErrUnknown;
        }
    }
    link->running = 0;
    kxDebug_Printf(kxDebugLink, " leaving kxLink_Stop(%d)==>%d\n", static_cast<int>(link->id),
                   static_cast<int>(result));
    return result;
}

// The caller holds `controlLock`.
kxErr sStart(kxLink* link)
{
    if (link->running)
    {
        return kxErrNone;
    }
    link->running = 1;
    link->status = kLinkStatusStarting;
    link->heartbeatState = 0;
    link->inReady = 0;
    link->outReady = 0;
    link->inThread = kxThread_Create(link->inProcess, link);
    if (link->inThread != nullptr)
    {
        link->outThread = kxThread_Create(link->outProcess, link);
    }
    if (link->inThread == nullptr || link->outThread == nullptr)
    {
        link->running = 0;
        if (link->inThread != nullptr)
        {
            kxThread_Destroy(&link->inThread);
        }
        link->status = link->stream != nullptr ? kLinkStatusStopped : kLinkStatusInvalid;
        return kxErrResource;
    }
    // Ready once both threads run and the in-pipe has set its status.
    bool ready = false;
    for (int i = 0; i < kxLINK_START_WAIT_MS / 10 && !ready; i++)
    {
        ready = link->inReady && link->outReady && link->status != kLinkStatusStarting;
        if (!ready)
        {
            kxTime_MSSleep(10);
        }
    }
    if (!ready)
    {
        return kxErrIndexRange;
    }
    kxDebug_Printf(kxDebugLink, "kxLink_Start(%d) running\n", static_cast<int>(link->id));
    return sForceRoute(link, 1);
}

bool sCanRecreate(uint32_t type)
{
    return type == kxLINKTYPE_USB || type == kxLINKTYPE_TCPIP ||
           (type >= kxLINKTYPE_CLIENT && type <= kxLINKTYPE_CLIENT_SERIAL);
}

bool sAcceptAll(const kxPacket*, void*)
{
    return true;
}

} // namespace

kxLink* kxLink_CreateRecord(uint32_t id)
{
    auto* link = new (std::nothrow) kxLink{};
    if (link == nullptr)
    {
        return nullptr;
    }
    link->id = id;
    char name[64];
    snprintf(name, sizeof(name), "LOG_SEMA_%p", static_cast<void*>(link));
    link->packetLog = kxPacketLog_Create(name);
    snprintf(name, sizeof(name), "kxLink(%p)->userFilterSema", static_cast<void*>(link));
    link->userFilterLock = kxMutex_Create(name);
    snprintf(name, sizeof(name), "kxLink(%p)->control", static_cast<void*>(link));
    link->controlLock = kxMutex_Create(name);
    if (link->packetLog == nullptr || link->userFilterLock == nullptr ||
        link->controlLock == nullptr)
    {
        kxPacketLog_Destroy(&link->packetLog);
        kxMutex_Destroy(&link->userFilterLock);
        kxMutex_Destroy(&link->controlLock);
        delete link;
        return nullptr;
    }
    return link;
}

void kxLink_RemoveUserFilter(kxLink* link)
{
    if (link == nullptr || link->userFilterLock == nullptr)
    {
        return;
    }
    sLock(link->userFilterLock);
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
    sUnlock(link->userFilterLock);
}

kxErr kxLink_DestroyRecord(kxLink** reference)
{
    if (reference == nullptr || *reference == nullptr)
    {
        return kxErrParam;
    }
    kxLink* link = *reference;
    *reference = nullptr;
    kxLink_RemoveUserFilter(link);
    sLock(link->controlLock);
    if (sValid(link))
    {
        sStop(link);
    }
    kxErr result = sReleaseTransport(link);
    kxPacket_Destroy(&link->incoming);
    link->check = 0;
    sUnlock(link->controlLock);
    kxPacketLog_Destroy(&link->packetLog);
    kxMutex_Destroy(&link->userFilterLock);
    kxMutex_Destroy(&link->controlLock);
    delete link;
    return result;
}

kxErr kxLink_FeedBytesForTest(kxLink* link, const uint8_t* bytes, size_t count)
{
    if (!sValid(link) || (bytes == nullptr && count > 0))
    {
        return kxErrParam;
    }
    if (link->running)
    {
        return kxErrBusy;
    }
    for (size_t i = 0; i < count; i++)
    {
        sHandleByte(link, bytes[i]);
    }
    return kxErrNone;
}

kxPacket* kxLink_TakeOutgoingForTest(kxLink* link)
{
    return sValid(link) ? kxPacketFifo_Get(link->outFifo) : nullptr;
}

uint32_t kxLink_Init(uint32_t id, kxStream* stream)
{
    kxLink* link = kxLinkManagerInternal_GetLink(id);
    if (link == nullptr)
    {
        return 0;
    }
    sLock(link->controlLock);
    if (sValid(link))
    {
        sStop(link);
        if (link->stream == stream)
        {
            link->stream = nullptr;
        }
        sReleaseTransport(link);
    }
    link->id = id;
    link->check = kxLINK_CHECK;
    link->running = 0;
    link->heartbeatCallback = nullptr;
    link->pooled = 0;
    kxPacketLog_Clear(link->packetLog);
    sLock(link->userFilterLock);
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
    sUnlock(link->userFilterLock);
    bool prepared = sPrepare(link, stream);
    sUnlock(link->controlLock);
    return prepared ? id : 0;
}

kxErr kxLink_Start(uint32_t id)
{
    kxLink* link = sGetLink(id);
    if (link == nullptr)
    {
        return kxErrParam;
    }
    sLock(link->controlLock);
    kxErr err = sStart(link);
    sUnlock(link->controlLock);
    return err;
}

kxErr kxLink_Sync(uint32_t id)
{
    kxLink* link = sGetLink(id);
    if (link == nullptr)
    {
        return kxErrParam;
    }
    sLock(link->controlLock);
    bool running = link->running;
    if (running)
    {
        link->status = kLinkStatusSyncing;
    }
    sUnlock(link->controlLock);
    if (!running)
    {
        return kxErrNotReady;
    }
    bool synced = false;
    for (int i = 0; i < kxLINK_SYNC_WAIT_MS / 10 && !synced; i++)
    {
        synced = link->status == kLinkStatusRunning;
        if (!synced)
        {
            kxTime_MSSleep(10);
        }
    }
    kxPacketFifo_DrainPackets(link->outFifo, sAcceptAll, nullptr);
    kxTime_MSSleep(100);
    kxPacketFifo_DrainPackets(link->inFifo, sAcceptAll, nullptr);
    kxDebug_Printf(kxDebugLink, "kxLink_Sync(%d) %s\n", static_cast<int>(id),
                   synced ? "synced" : "not synced");
    return synced ? kxErrNone : kxErrNotReady;
}

kxErr kxLink_Stop(kxLink* link)
{
    if (!sValid(link))
    {
        return kxErrParam;
    }
    sLock(link->controlLock);
    kxErr err = sStop(link);
    sUnlock(link->controlLock);
    return err;
}

kxErr kxLink_Reset(uint32_t id)
{
    uint32_t ident0 = 0;
    uint32_t ident1 = 0;
    uint32_t ident2 = 0;
    uint32_t type = 0;
    kxLink* link = sGetLink(id);
    if (link == nullptr || !kxLinkManagerInternal_GetIdentity(id, &ident0, &ident1, &ident2, &type))
    {
        return kxErrParam;
    }
    // A link that cannot be rebuilt keeps its stream, FIFOs and threads.
    if (!sCanRecreate(type))
    {
        kxDebug_Printf(kxDebugLink, " recreate invalid stream type\n");
        return kxErrParam;
    }
    sLock(link->controlLock);
    sStop(link);
    sReleaseTransport(link);
    kxStream* stream = nullptr;
    kxErr err = kxErrNone;
    for (int attempt = 0; attempt < kxLINK_RESET_ATTEMPTS && stream == nullptr; attempt++)
    {
        if (type == kxLINKTYPE_USB)
        {
            err = kxStream_CreateUSB(ident0, &stream);
        }
        else if (type == kxLINKTYPE_TCPIP)
        {
            err = kxStream_CreateSocket(ident1, static_cast<uint16_t>(ident2), &stream);
        }
        else
        {
            err = kxStream_CreateClient(ident0, static_cast<uint16_t>(ident1), &stream);
        }
        if (err != kxErrNone)
        {
            stream = nullptr;
            kxTime_MSSleep(kxLINK_RESET_PAUSE_MS);
        }
    }
    if (stream == nullptr)
    {
        kxDebug_Printf(kxDebugLink, " ERROR - could not recreate stream: %d\n",
                       static_cast<int>(err));
    }
    kxErr result = kxErrResource;
    if (sPrepare(link, stream))
    {
        result = sStart(link);
    }
    sUnlock(link->controlLock);
    return result;
}

uint32_t kxLink_GetStatus(uint32_t id)
{
    kxLink* link = sGetLink(id);
    return link != nullptr ? link->status.load() : static_cast<uint32_t>(kLinkStatusInvalid);
}

kxErr kxLink_ForceRoute(uint32_t id, uint8_t on)
{
    kxLink* link = kxLinkManagerInternal_GetLink(id);
    if (link == nullptr)
    {
        return kxErrNotFound;
    }
    if (!sValid(link))
    {
        return kxErrParam;
    }
    return sForceRoute(link, on);
}

kxErr kxLink_GetSyncAddress(uint32_t id, uint8_t* address)
{
    kxLink* link = sGetLink(id);
    if (link == nullptr || address == nullptr)
    {
        return kxErrParam;
    }
    *address = link->syncAddress;
    return kxErrNone;
}

kxErr kxLink_PutPacket(uint32_t id, const kxPacket* packet)
{
    kxLink* link = sGetLink(id);
    if (link == nullptr)
    {
        return kxErrParam;
    }
    return kxPacketFifo_Put(link->outFifo, packet);
}

kxPacket* kxLink_GetPacket(uint32_t id)
{
    kxLink* link = sGetLink(id);
    return link != nullptr ? kxPacketFifo_Get(link->inFifo) : nullptr;
}

kxPacket* kxLink_AwaitPacket(uint32_t id, uint32_t timeoutMs)
{
    kxLink* link = sGetLink(id);
    return link != nullptr ? kxPacketFifo_Await(link->inFifo, timeoutMs) : nullptr;
}

kxPacket* kxLink_GetFirst(uint32_t id, kxLinkPacketFilter filter, void* ref)
{
    kxLink* link = sGetLink(id);
    return link != nullptr ? kxPacketFifo_GetFirst(link->inFifo, filter, ref) : nullptr;
}

kxPacket* kxLink_AwaitFirst(uint32_t id, kxLinkPacketFilter filter, void* ref, uint32_t timeoutMs)
{
    kxLink* link = sGetLink(id);
    if (link == nullptr || filter == nullptr || !link->running)
    {
        return nullptr;
    }
    uint64_t deadline = sNowMs() + timeoutMs;
    kxPacket* packet = nullptr;
    // A reply that comes within kxLINK_SPIN_US is awaited without sleeping.
    // Only the length is watched, so the filter still judges each packet once.
    if (timeoutMs > 0)
    {
        sSpinWhileLength(link->inFifo, kxPacketFifo_GetLength(link->inFifo));
    }
    for (;;)
    {
        uint64_t fifo = link->inFifo;
        uint64_t now = sNowMs();
        uint32_t remaining = now < deadline ? static_cast<uint32_t>(deadline - now) : 0;
        packet = kxPacketFifo_AwaitFirst(fifo, filter, ref, remaining);
        // Another round only when the FIFO was replaced under the wait (a
        // reset) and the link runs again; a FIFO that simply timed out has
        // judged every packet already.
        if (packet != nullptr || !link->running || link->status != kLinkStatusRunning ||
            sNowMs() >= deadline || link->inFifo == fifo)
        {
            break;
        }
    }
    return packet;
}

size_t kxLink_DrainPackets(uint32_t id, kxLinkPacketFilter filter, void* ref)
{
    kxLink* link = sGetLink(id);
    return link != nullptr ? kxPacketFifo_DrainPackets(link->inFifo, filter, ref) : 0;
}

kxErr kxLink_InstallUserPacketFilter(uint32_t id, kxLinkPacketFilter filter, void* ref)
{
    kxLink* link = sGetLink(id);
    if (link == nullptr)
    {
        return kxErrParam;
    }
    sLock(link->userFilterLock);
    link->userFilter = filter;
    link->userFilterRef = filter != nullptr ? ref : nullptr;
    sUnlock(link->userFilterLock);
    return kxErrNone;
}

kxErr kxLink_InstallHeartbeatCallback(uint32_t id, kxLinkHeartbeatCallback callback)
{
    kxLink* link = sGetLink(id);
    if (link == nullptr)
    {
        return kxErrParam;
    }
    link->heartbeatCallback = callback;
    return kxErrNone;
}

kxErr kxLink_EnablePooledPackets(uint32_t id, bool on)
{
    kxLink* link = sGetLink(id);
    if (link == nullptr)
    {
        return kxErrParam;
    }
    link->pooled = on ? 1 : 0;
    return kxErrNone;
}

kxErr kxLink_PacketDebug_SetLogSize(uint32_t id, int32_t size)
{
    kxLink* link = sGetLink(id);
    return link != nullptr ? kxPacketLog_SetSize(link->packetLog, size)
                           : static_cast<kxErr>(kxErrParam);
}

kxErr kxLink_PacketDebug_Enable(uint32_t id)
{
    kxLink* link = sGetLink(id);
    return link != nullptr ? kxPacketLog_Enable(link->packetLog) : static_cast<kxErr>(kxErrParam);
}

kxErr kxLink_PacketDebug_Disable(uint32_t id)
{
    kxLink* link = sGetLink(id);
    return link != nullptr ? kxPacketLog_Disable(link->packetLog) : static_cast<kxErr>(kxErrParam);
}

kxErr kxLink_PacketDebug_Write(uint32_t id, uint8_t type, uint32_t length, const uint8_t* bytes)
{
    kxLink* link = sGetLink(id);
    return link != nullptr ? kxPacketLog_Add(link->packetLog, type, length, bytes)
                           : static_cast<kxErr>(kxErrParam);
}

kxErr kxLink_PacketDebug_Read(uint32_t id, uint8_t* type, uint32_t* length, uint8_t* buffer)
{
    kxLink* link = sGetLink(id);
    return link != nullptr ? kxPacketLog_Take(link->packetLog, type, length, buffer)
                           : static_cast<kxErr>(kxErrParam);
}
