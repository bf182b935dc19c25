// Packet FIFOs: a deque of numbered packet copies under one mutex, with a
// condition for waiters, and a registry from identifier to FIFO.
#include <lumbrixon/packetfifo.h>
#include "packetfifo_internal.h"

#include <lumbrixon/kxMutex.h>
#include <lumbrixon/kxTime.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <new>

#define kxPACKETFIFO_CHECK 0xF1F0

namespace
{
struct kxPacketDeleter
{
    void operator()(kxPacket* packet) const { kxPacket_Destroy(&packet); }
};

// One queue entry. Sequence numbers grow by one per put, so the queue is
// always sorted by `sequence` (erasing entries never reorders the rest).
struct SerialPacket
{
    uint64_t sequence;
    std::unique_ptr<kxPacket, kxPacketDeleter> packet;
};

// Holds a kxMutex for the life of the object.
class Held
{
public:
    explicit Held(kxMutex* mutex) : held(mutex) { kxMutex_Lock(held); }
    ~Held() { kxMutex_Unlock(held); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    kxMutex* mutex() const { return held; }

private:
    kxMutex* held;
};

// Threads: any thread calls any operation (the link's in-pipe reader and
// out-pipe writer, and every caller waiting for a reply). `packets`, `open` and
// `nextSequence` are touched only under `lock`; waiters sleep on `condition`
// with `lock` held. `check`, `lock` and `condition` are set at creation and
// only read afterwards; the last shared reference frees them. Lock order: the
// registry mutex is never held while `lock` is taken, except by Destroy, which
// erases the FIFO from the registry under the registry mutex and takes `lock`
// only after releasing it.
struct packetFifo
{
    uint16_t check = 0;
    std::deque<SerialPacket> packets;
    kxCondition* condition = nullptr;
    kxMutex* lock = nullptr;
    bool open = true;
    uint64_t nextSequence = 0;

    packetFifo() = default;
    packetFifo(const packetFifo&) = delete;
    packetFifo& operator=(const packetFifo&) = delete;
    ~packetFifo()
    {
        kxCondition_Destroy(&condition);
        kxMutex_Destroy(&lock);
    }
};

using Entry = std::deque<SerialPacket>::iterator;

// The registry of FIFOs, process-wide.
// Threads: every thread that creates, destroys or uses a FIFO. The map is read
// and changed only under `gpPacketFifoDictionaryMutex`, which is held just for
// the lookup, insert or erase and never while a FIFO's own lock is taken; a
// lookup copies the shared reference out, so a FIFO erased meanwhile lives on
// until its last user lets go. The mutex is made with the registry and never
// destroyed.
struct FifoRegistry
{
    kxMutex* gpPacketFifoDictionaryMutex = kxMutex_Create("packetFifo registry");
    std::map<uint64_t, std::shared_ptr<packetFifo>> gpPacketFifoDictionary;
};
} // namespace

// Never destroyed, so FIFOs used while the process exits stay safe. Built on
// first use, which may come from another module's static initialiser.
static FifoRegistry& sRegistry()
{
    static FifoRegistry* registry = new FifoRegistry;
    return *registry;
}

// Builds the registry by static initialisation, before main starts threads.
[[maybe_unused]] static FifoRegistry& gpPacketFifoRegistry = sRegistry();
static std::atomic<uint64_t> gpSequentialId{0};
// Set only by tests (kxPacketFifo_SetPutHookForTest); any thread reads it.
static std::atomic<kxPacketFifoPutHook> gpPutHook{nullptr};

static std::shared_ptr<packetFifo> sGetFifo(uint64_t id)
{
    if (id == 0)
        return nullptr;
    FifoRegistry& registry = sRegistry();
    std::shared_ptr<packetFifo> fifo;
    {
        Held guard(registry.gpPacketFifoDictionaryMutex);
        auto found = registry.gpPacketFifoDictionary.find(id);
        if (found != registry.gpPacketFifoDictionary.end())
            fifo = found->second;
    }
    if (!fifo || fifo->check != kxPACKETFIFO_CHECK)
        return nullptr;
    return fifo;
}

// Removes the entry and hands its packet, the private copy Put made, to the
// caller.
static kxPacket* _stealPacketFromFifo(packetFifo& fifo, Entry entry)
{
    kxPacket* packet = entry->packet.release();
    fifo.packets.erase(entry);
    return packet;
}

static uint64_t sDeadline(uint32_t timeoutMs)
{
    return kxTime_GetMonotonicNS() + static_cast<uint64_t>(timeoutMs) * 1000000u;
}

static bool sBefore(uint64_t deadline)
{
    return kxTime_GetMonotonicNS() < deadline;
}

// Sleeps on the FIFO's condition until woken or the deadline; false when the
// wait cannot be made at all (then the caller stops waiting instead of
// spinning).
static bool sSleep(packetFifo& fifo, const Held& held, uint64_t deadline)
{
    kxErr err = kxCondition_WaitUntil(fifo.condition, held.mutex(), deadline);
    return err == kxErrNone || err == kxErrTimeout;
}

static void _waitUntilNotEmpty(packetFifo& fifo, const Held& held, uint64_t deadline)
{
    while (fifo.packets.empty() && fifo.open && sBefore(deadline))
    {
        if (!sSleep(fifo, held, deadline))
            return;
    }
}

// Judges, in queue order, the entries numbered `nextToJudge` or more and
// returns the first one accepted. Entries judged before are jumped over
// without walking them, so a wake-up costs only the new arrivals.
static Entry sScanNew(packetFifo& fifo, kxPacketFifoFilter filter, void* ref, uint64_t& nextToJudge)
{
    auto entry = std::lower_bound(fifo.packets.begin(), fifo.packets.end(), nextToJudge,
                                  [](const SerialPacket& queued, uint64_t sequence)
                                  { return queued.sequence < sequence; });
    for (; entry != fifo.packets.end(); ++entry)
    {
        if (filter(entry->packet.get(), ref))
            return entry;
        nextToJudge = entry->sequence + 1;
    }
    return fifo.packets.end();
}

// Waits for an entry the filter accepts; each entry is judged at most once.
// Counting from the first number not yet judged (rather than from the last
// one judged) keeps a FIFO whose numbering starts at 0 from skipping it. Once
// the deadline has passed, the scan just made is the last one: nothing can
// arrive while the lock stays held.
static Entry _waitUntilProcIsSatisfied(packetFifo& fifo, const Held& held,
                                       kxPacketFifoFilter filter, void* ref, uint64_t deadline)
{
    uint64_t nextToJudge = 0;
    for (;;)
    {
        Entry found = sScanNew(fifo, filter, ref, nextToJudge);
        if (found != fifo.packets.end() || !fifo.open || !sBefore(deadline))
            return found;
        if (!sSleep(fifo, held, deadline))
            return fifo.packets.end();
    }
}

extern "C"
{

    uint64_t kxPacketFifo_Create(void)
    {
        std::shared_ptr<packetFifo> fifo;
        try
        {
            fifo = std::make_shared<packetFifo>();
        }
        catch (...)
        {
            return 0;
        }
        fifo->lock = kxMutex_Create("packetFifo");
        fifo->condition = kxCondition_Create();
        if (!fifo->lock || !fifo->condition)
            return 0;
        fifo->check = kxPACKETFIFO_CHECK;
        uint64_t id = ++gpSequentialId;
        if (id == 0)
            id = ++gpSequentialId;
        try
        {
            FifoRegistry& registry = sRegistry();
            Held guard(registry.gpPacketFifoDictionaryMutex);
            registry.gpPacketFifoDictionary[id] = fifo;
        }
        catch (...)
        {
            return 0;
        }
        return id;
    }

    kxErr kxPacketFifo_Destroy(uint64_t* id)
    {
        if (!id)
            return kxErrParam;
        if (*id == 0)
            return kxErrNotFound;
        std::shared_ptr<packetFifo> fifo;
        try
        {
            FifoRegistry& registry = sRegistry();
            Held guard(registry.gpPacketFifoDictionaryMutex);
            auto& dictionary = registry.gpPacketFifoDictionary;
            auto found = dictionary.find(*id);
            if (found == dictionary.end())
                return kxErrNotFound;
            fifo = std::move(found->second);
            dictionary.erase(found);
        }
        catch (...)
        {
            return kxErrUnknown;
        }
        if (!fifo || fifo->check != kxPACKETFIFO_CHECK)
            return kxErrUnknown;
        {
            Held held(fifo->lock);
            fifo->packets.clear();
            fifo->open = false;
        }
        kxCondition_Broadcast(fifo->condition);
        *id = 0;
        return kxErrNone;
    }

    kxErr kxPacketFifo_Put(uint64_t id, const kxPacket* packet)
    {
        if (!kxVALIDPACKET(packet))
            return kxErrParam;
        std::shared_ptr<packetFifo> fifo = sGetFifo(id);
        if (!fifo)
            return kxErrParam;
        std::unique_ptr<kxPacket, kxPacketDeleter> copy(kxPacket_Copy(packet));
        if (!copy)
            return kxErrParam;
        if (kxPacketFifoPutHook hook = gpPutHook.load())
            hook(id);
        bool signal = true;
        {
            Held held(fifo->lock);
            // A put that loses the race with Destroy must not report a packet
            // queued into a FIFO that nobody can reach any more.
            if (!fifo->open)
                return kxErrParam;
            try
            {
                fifo->packets.push_back(SerialPacket{fifo->nextSequence, std::move(copy)});
            }
            catch (...)
            {
                return kxErrResource;
            }
            fifo->nextSequence++;
            if (fifo->packets.size() > kxPACKETFIFO_CAPACITY)
            {
                fifo->packets.clear();
                signal = false;
            }
        }
        if (signal)
            kxCondition_Broadcast(fifo->condition);
        return kxErrNone;
    }

    kxPacket* kxPacketFifo_Get(uint64_t id)
    {
        return kxPacketFifo_Await(id, 0);
    }

    kxPacket* kxPacketFifo_Await(uint64_t id, uint32_t timeoutMs)
    {
        uint64_t deadline = sDeadline(timeoutMs);
        std::shared_ptr<packetFifo> fifo = sGetFifo(id);
        if (!fifo)
            return nullptr;
        Held held(fifo->lock);
        _waitUntilNotEmpty(*fifo, held, deadline);
        if (fifo->packets.empty())
            return nullptr;
        return _stealPacketFromFifo(*fifo, fifo->packets.begin());
    }

    kxPacket* kxPacketFifo_GetFirst(uint64_t id, kxPacketFifoFilter filter, void* ref)
    {
        return kxPacketFifo_AwaitFirst(id, filter, ref, 0);
    }

    kxPacket* kxPacketFifo_AwaitFirst(uint64_t id, kxPacketFifoFilter filter, void* ref,
                                      uint32_t timeoutMs)
    {
        uint64_t deadline = sDeadline(timeoutMs);
        if (!filter)
            return nullptr;
        std::shared_ptr<packetFifo> fifo = sGetFifo(id);
        if (!fifo)
            return nullptr;
        Held held(fifo->lock);
        Entry found = _waitUntilProcIsSatisfied(*fifo, held, filter, ref, deadline);
        if (found == fifo->packets.end())
            return nullptr;
        return _stealPacketFromFifo(*fifo, found);
    }

    size_t kxPacketFifo_DrainPackets(uint64_t id, kxPacketFifoFilter filter, void* ref)
    {
        if (!filter)
            return 0;
        std::shared_ptr<packetFifo> fifo = sGetFifo(id);
        if (!fifo)
            return 0;
        Held held(fifo->lock);
        // remove_if judges each entry once and moves the kept ones forward in
        // their order; a removed packet is released when a kept entry is moved
        // onto it or when the tail is erased.
        Entry kept = std::remove_if(fifo->packets.begin(), fifo->packets.end(),
                                    [&](const SerialPacket& queued)
                                    { return filter(queued.packet.get(), ref); });
        size_t removed = size_t(fifo->packets.end() - kept);
        fifo->packets.erase(kept, fifo->packets.end());
        return removed;
    }

    size_t kxPacketFifo_GetLength(uint64_t id)
    {
        std::shared_ptr<packetFifo> fifo = sGetFifo(id);
        if (!fifo)
            return 0;
        Held held(fifo->lock);
        return fifo->packets.size();
    }

    void kxPacketFifo_SetPutHookForTest(kxPacketFifoPutHook hook)
    {
        gpPutHook = hook;
    }

} // extern "C"
