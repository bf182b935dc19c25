// Packet FIFOs: a deque of numbered packet copies under one mutex, with a
// condition variable for waiters, and a registry from identifier to FIFO.
#include "common/packetfifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>

namespace
{
struct kxPacketDeleter
{
    void operator()(kxPacket* packet) const { kxPacket_Destroy(&packet); }
};

struct SerialPacket
{
    uint64_t sequence;
    std::unique_ptr<kxPacket, kxPacketDeleter> packet;
};

// Threads: any thread calls any operation. `packets` is touched only under
// `lock`; `open`, `windowStart` and `nextSequence` are atomics written under
// `lock` and readable without it. Lock order: the registry mutex is never held
// while `lock` is taken, except by Destroy, which erases the FIFO from the
// registry under the registry mutex and only then takes `lock`.
struct packetFifo
{
    std::deque<SerialPacket> packets;
    std::condition_variable condition;
    std::mutex lock;
    std::atomic<bool> open{true};
    std::atomic<uint64_t> windowStart{0};
    std::atomic<uint64_t> nextSequence{0};

    void syncWindow()
    {
        windowStart = packets.empty() ? nextSequence.load() : packets.front().sequence;
    }
    void clearAndSyncWindow()
    {
        packets.clear();
        syncWindow();
    }
    template <class It> void eraseAndSyncWindow(It first, It last)
    {
        packets.erase(first, last);
        syncWindow();
    }
};

using Clock = std::chrono::steady_clock;

// Built before main by static initialisation; never destroyed, so FIFOs used
// during exit stay safe.
std::mutex& gpPacketFifoDictionaryMutex = *new std::mutex;
std::map<uint64_t, std::shared_ptr<packetFifo>>& gpPacketFifoDictionary =
    *new std::map<uint64_t, std::shared_ptr<packetFifo>>;
std::atomic<uint64_t> gpSequentialId{0};

std::shared_ptr<packetFifo> sGetFifo(uint64_t id)
{
    std::lock_guard<std::mutex> guard(gpPacketFifoDictionaryMutex);
    auto found = gpPacketFifoDictionary.find(id);
    return found == gpPacketFifoDictionary.end() ? nullptr : found->second;
}

// Copies the entry's packet; only a successful copy removes the entry.
kxPacket* _stealPacketFromFifo(packetFifo& fifo, std::deque<SerialPacket>::iterator entry)
{
    kxPacket* copy = kxPacket_Copy(entry->packet.get());
    if (copy)
        fifo.eraseAndSyncWindow(entry, entry + 1);
    return copy;
}

Clock::time_point sDeadline(uint32_t timeoutMs)
{
    return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

void _waitUntilNotEmpty(packetFifo& fifo, std::unique_lock<std::mutex>& held,
                        Clock::time_point deadline)
{
    while (fifo.packets.empty() && fifo.open && Clock::now() < deadline)
        fifo.condition.wait_until(held, deadline);
}

// Judges each entry newer than `lastSeen` once; returns the first accepted.
std::deque<SerialPacket>::iterator sScanNew(packetFifo& fifo, kxPacketFifoFilter filter, void* ref,
                                            uint64_t& lastSeen, bool& judgedAny)
{
    for (auto entry = fifo.packets.begin(); entry != fifo.packets.end(); ++entry)
    {
        if (judgedAny && entry->sequence <= lastSeen)
            continue;
        if (filter(entry->packet.get(), ref))
            return entry;
        lastSeen = entry->sequence;
        judgedAny = true;
    }
    return fifo.packets.end();
}

std::deque<SerialPacket>::iterator _waitUntilProcIsSatisfied(packetFifo& fifo,
                                                             std::unique_lock<std::mutex>& held,
                                                             kxPacketFifoFilter filter, void* ref,
                                                             Clock::time_point deadline)
{
    // Everything before the window's start was never queued for this call.
    uint64_t lastSeen = fifo.windowStart.load();
    bool judgedAny = false;
    for (;;)
    {
        auto found = sScanNew(fifo, filter, ref, lastSeen, judgedAny);
        if (found != fifo.packets.end() || !fifo.open)
            return found;
        if (Clock::now() >= deadline)
            return sScanNew(fifo, filter, ref, lastSeen, judgedAny);
        fifo.condition.wait_until(held, deadline);
    }
}
} // namespace

extern "C"
{

    uint64_t kxPacketFifo_Create(void)
    {
        std::shared_ptr<packetFifo> fifo(new (std::nothrow) packetFifo);
        if (!fifo)
            return 0;
        uint64_t id = ++gpSequentialId;
        if (id == 0)
            id = ++gpSequentialId;
        try
        {
            std::lock_guard<std::mutex> guard(gpPacketFifoDictionaryMutex);
            gpPacketFifoDictionary[id] = fifo;
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
        std::shared_ptr<packetFifo> fifo;
        try
        {
            std::lock_guard<std::mutex> guard(gpPacketFifoDictionaryMutex);
            auto found = gpPacketFifoDictionary.find(*id);
            if (found == gpPacketFifoDictionary.end())
                return kxErrNotFound;
            fifo = found->second;
            gpPacketFifoDictionary.erase(found);
        }
        catch (...)
        {
            return kxErrUnknown;
        }
        {
            std::lock_guard<std::mutex> held(fifo->lock);
            fifo->clearAndSyncWindow();
            fifo->open = false;
        }
        fifo->condition.notify_all();
        *id = 0;
        return kxErrNone;
    }

    kxErr kxPacketFifo_Put(uint64_t id, const kxPacket* packet)
    {
        std::shared_ptr<packetFifo> fifo = sGetFifo(id);
        if (!fifo || !kxVALIDPACKET(packet))
            return kxErrParam;
        kxPacket* copy = kxPacket_Copy(packet);
        if (!copy)
            return kxErrParam;
        bool signal = true;
        {
            std::lock_guard<std::mutex> held(fifo->lock);
            uint64_t sequence = fifo->nextSequence++;
            try
            {
                fifo->packets.push_back(
                    SerialPacket{sequence, std::unique_ptr<kxPacket, kxPacketDeleter>(copy)});
            }
            catch (...)
            {
                kxPacket_Destroy(&copy);
                return kxErrResource;
            }
            fifo->syncWindow();
            if (fifo->packets.size() > kxPACKETFIFO_CAPACITY)
            {
                fifo->clearAndSyncWindow();
                signal = false;
            }
        }
        if (signal)
            fifo->condition.notify_all();
        return kxErrNone;
    }

    kxPacket* kxPacketFifo_Get(uint64_t id)
    {
        return kxPacketFifo_Await(id, 0);
    }

    kxPacket* kxPacketFifo_Await(uint64_t id, uint32_t timeoutMs)
    {
        Clock::time_point deadline = sDeadline(timeoutMs);
        std::shared_ptr<packetFifo> fifo = sGetFifo(id);
        if (!fifo)
            return nullptr;
        std::unique_lock<std::mutex> held(fifo->lock);
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
        Clock::time_point deadline = sDeadline(timeoutMs);
        std::shared_ptr<packetFifo> fifo = sGetFifo(id);
        if (!fifo || !filter)
            return nullptr;
        std::unique_lock<std::mutex> held(fifo->lock);
        auto found = _waitUntilProcIsSatisfied(*fifo, held, filter, ref, deadline);
        if (found == fifo->packets.end())
            return nullptr;
        return _stealPacketFromFifo(*fifo, found);
    }

    size_t kxPacketFifo_DrainPackets(uint64_t id, kxPacketFifoFilter filter, void* ref)
    {
        std::shared_ptr<packetFifo> fifo = sGetFifo(id);
        if (!fifo || !filter)
            return 0;
        std::lock_guard<std::mutex> held(fifo->lock);
        auto keep = std::stable_partition(fifo->packets.begin(), fifo->packets.end(),
                                          [&](const SerialPacket& entry)
                                          { return !filter(entry.packet.get(), ref); });
        size_t removed = size_t(fifo->packets.end() - keep);
        fifo->eraseAndSyncWindow(keep, fifo->packets.end());
        return removed;
    }

    size_t kxPacketFifo_GetLength(uint64_t id)
    {
        std::shared_ptr<packetFifo> fifo = sGetFifo(id);
        if (!fifo)
            return 0;
        std::lock_guard<std::mutex> held(fifo->lock);
        return fifo->packets.size();
    }

} // extern "C"
