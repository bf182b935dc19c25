// The Link object's private record, shared by its two sources (Link.cpp: the
// connection and the request/response helpers; LinkStream.cpp: the stream
// subscriptions).
#pragma once

#include <lumbrixon/Link.h>
#include <lumbrixon/kxLogger.h>

#include <lumbrixon/kxMutex.h>
#include <lumbrixon/kxThread.h>

#include <array>
#include <atomic>
#include <map>
#include <vector>

namespace Kavrel::Lumbrixon
{

// One streamed key's state: its last sample and its subscriber.
struct StreamEntry
{
    uint8_t fresh = 0;
    Link::StreamCallback callback;
    void* context = nullptr;
    uint32_t value = 0;
};

// One callback waiting for the worker: the callback, its context and the
// Link's own copy of the packet.
struct asyncPacket
{
    Link::StreamCallback callback;
    void* context = nullptr;
    kxPacket* packet = nullptr;
};

// A single-producer single-consumer ring of N slots: at most N - 1 items
// wait. Threads: exactly one producer calls push and exactly one consumer
// calls pop; each publishes its own 16-bit position with an atomic exchange
// and only reads the other's.
template <typename T, uint16_t N> class LocklessQueue_SPSC
{
public:
    // False (the item stays with the caller) when the ring is full.
    bool push(T& item)
    {
        uint16_t write = write_.load(std::memory_order_relaxed);
        uint16_t next = static_cast<uint16_t>((write + 1) % N);
        if (next == read_.load(std::memory_order_acquire))
        {
            return false;
        }
        slots_[next] = std::move(item);
        write_.exchange(next, std::memory_order_acq_rel);
        return true;
    }
    // False when the ring is empty.
    bool pop(T& item)
    {
        uint16_t read = read_.load(std::memory_order_relaxed);
        if (read == write_.load(std::memory_order_acquire))
        {
            return false;
        }
        uint16_t next = static_cast<uint16_t>((read + 1) % N);
        item = std::move(slots_[next]);
        slots_[next] = T();
        read_.exchange(next, std::memory_order_acq_rel);
        return true;
    }

private:
    std::array<T, N> slots_{};
    std::atomic<uint16_t> write_{0};
    std::atomic<uint16_t> read_{0};
};

constexpr uint16_t kStreamRingSlots = 500;

// Holds a library mutex for a scope.
class LinkLock
{
public:
    explicit LinkLock(kxMutex* mutex) : mutex_(mutex) { kxMutex_Lock(mutex_); }
    ~LinkLock() { kxMutex_Unlock(mutex_); }
    LinkLock(const LinkLock&) = delete;
    LinkLock& operator=(const LinkLock&) = delete;

private:
    kxMutex* mutex_;
};

struct LinkStreamWorker;

// Threads:
//   - the caller's thread: every field; linkId, config, spec and name change
//     only while no stream filter is installed on the link (connect,
//     disconnect and the settings refuse or come before it);
//   - the link's reader thread (the stream filter): streams and the ring's
//     producer side, streams under streamLock;
//   - the worker thread: the ring's consumer side and its worker's stop flag
//     (read);
//     it takes streamLock never and runs callbacks without any lock;
//   - worker and retired are started, signalled and joined under workerLock
//     (the joins themselves without it), by the caller's thread or from a
//     callback.
// Lock order: workerLock before streamLock; the link engine's locks (filter,
// FIFO) may be held by the reader thread when it takes streamLock; nothing
// of the engine is called with streamLock held, and no callback runs with
// any of these locks held.
struct Link::impl
{
    Link* owner = nullptr;
    uint32_t linkId = 0;
    kxLogger* logger = nullptr;
    kxEtherConfig config;

    kxMutex* streamLock = kxMutex_Create("Link_stream");
    std::map<uint64_t, StreamEntry> streams;
    LocklessQueue_SPSC<asyncPacket, kStreamRingSlots> ring;
    std::atomic<uint64_t> droppedCallbacks{0};
    kxMutex* workerLock = kxMutex_Create("Link_worker");
    // The running worker (its own stop signal inside), or null.
    LinkStreamWorker* worker = nullptr;
    // Workers stopped from their own callback, joined by the next start or
    // stop made on another thread.
    std::vector<LinkStreamWorker*> retired;
    bool filterInstalled = false;

    linkSpec* spec = nullptr;
    char* name = nullptr;

    impl() = default;
    ~impl()
    {
        kxMutex_Destroy(&streamLock);
        kxMutex_Destroy(&workerLock);
    }
    impl(const impl&) = delete;
    impl& operator=(const impl&) = delete;

    // The stream filter on (first subscription) or off (last one gone).
    kxErr installStreamFilter(bool on);
    // Stops and joins the worker, if any, and drops what waits in the ring.
    void stopWorker();
};

} // namespace Kavrel::Lumbrixon
