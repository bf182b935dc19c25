#include <lumbrixon/packetfifo.h>
#include "common/packetfifo_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace
{
kxPacket* makePacket(uint8_t first, uint8_t second = 0)
{
    const uint8_t data[2] = {first, second};
    return kxPacket_CreateWithData(0x04, 2, data);
}

void put(uint64_t id, uint8_t first, uint8_t second = 0)
{
    kxPacket* p = makePacket(first, second);
    ASSERT_EQ(kxPacketFifo_Put(id, p), kxErrNone);
    kxPacket_Destroy(&p);
}

uint8_t firstByte(kxPacket* p)
{
    uint8_t v = p ? p->data[0] : 0xFF;
    kxPacket_Destroy(&p);
    return v;
}

bool isByte(const kxPacket* p, void* ref)
{
    return p->data[0] == *static_cast<uint8_t*>(ref);
}

bool isOdd(const kxPacket* p, void*)
{
    return p->data[0] & 1;
}

struct Fifo
{
    uint64_t id = kxPacketFifo_Create();
    ~Fifo()
    {
        if (id)
            kxPacketFifo_Destroy(&id);
    }
};

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

using Ms = std::chrono::milliseconds;
auto now()
{
    return std::chrono::steady_clock::now();
}

// Polls `done` every millisecond until it holds or `within` has passed.
template <class Done> bool eventually(Done done, Ms within)
{
    auto deadline = now() + within;
    while (!done())
    {
        if (now() >= deadline)
            return false;
        std::this_thread::sleep_for(Ms(1));
    }
    return true;
}

// True when the thread `tid` of this process is asleep in the kernel ("S" in
// its /proc stat line) on two reads 5 ms apart.
bool asleep(pid_t tid)
{
    auto state = [tid]
    {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
        std::string line;
        std::getline(stat, line);
        size_t name = line.rfind(')');
        return name != std::string::npos && name + 2 < line.size() ? line[name + 2] : '?';
    };
    if (state() != 'S')
        return false;
    std::this_thread::sleep_for(Ms(5));
    return state() == 'S';
}

// What countingFilter accepts (first byte `want`) and every packet it judged
// (first byte * 256 + second byte). Threads: the filter runs on the waiting
// thread under the FIFO's lock and writes `seen` and `judged`; the test thread
// reads the atomic `judged` meanwhile, and `seen` only after joining the waiter.
struct Judge
{
    uint8_t want;
    std::vector<int> seen;
    std::atomic<int> judged{0};
};
bool countingFilter(const kxPacket* p, void* ref)
{
    auto* j = static_cast<Judge*>(ref);
    j->seen.push_back(p->data[0] * 256 + p->data[1]);
    ++j->judged;
    return p->data[0] == j->want;
}
} // namespace

// Made by a static initialiser of this binary: the registry is usable before
// main, and this is the first FIFO of the process.
const uint64_t gMadeBeforeMain = kxPacketFifo_Create();

TEST(PacketFifo, IdentifiersStartAtOneAndAreNotReused)
{
    EXPECT_EQ(gMadeBeforeMain, 1u);
    EXPECT_EQ(kxPacketFifo_GetLength(gMadeBeforeMain), 0u);
    uint64_t a = kxPacketFifo_Create();
    uint64_t b = kxPacketFifo_Create();
    EXPECT_EQ(b, a + 1);
    EXPECT_EQ(kxPacketFifo_Destroy(&a), kxErrNone);
    EXPECT_EQ(a, 0u);
    uint64_t c = kxPacketFifo_Create();
    EXPECT_EQ(c, b + 1) << "a destroyed identifier is not handed out again";
    kxPacketFifo_Destroy(&b);
    kxPacketFifo_Destroy(&c);
    EXPECT_EQ(kxPacketFifo_Destroy(nullptr), kxErrParam);
    uint64_t unknown = 999;
    EXPECT_EQ(kxPacketFifo_Destroy(&unknown), kxErrNotFound);
    EXPECT_EQ(unknown, 999u);
    uint64_t none = 0;
    EXPECT_EQ(kxPacketFifo_Destroy(&none), kxErrNotFound);
}

TEST(PacketFifo, UnknownIdentifiersBehaveLikeEmptyFifos)
{
    const uint64_t unknown = 999;
    uint8_t want = 1;
    EXPECT_EQ(kxPacketFifo_GetLength(unknown), 0u);
    EXPECT_EQ(kxPacketFifo_GetLength(0), 0u);
    EXPECT_EQ(kxPacketFifo_Get(unknown), nullptr);
    EXPECT_EQ(kxPacketFifo_Await(unknown, 10000), nullptr) << "no wait on an unknown FIFO";
    EXPECT_EQ(kxPacketFifo_GetFirst(unknown, isByte, &want), nullptr);
    EXPECT_EQ(kxPacketFifo_AwaitFirst(unknown, isByte, &want, 10000), nullptr);
    EXPECT_EQ(kxPacketFifo_DrainPackets(unknown, isOdd, nullptr), 0u);
    kxPacket* p = makePacket(1);
    EXPECT_EQ(kxPacketFifo_Put(unknown, p), kxErrParam);
    kxPacket_Destroy(&p);

    Fifo f;
    put(f.id, 1);
    EXPECT_EQ(kxPacketFifo_GetFirst(f.id, nullptr, nullptr), nullptr);
    EXPECT_EQ(kxPacketFifo_DrainPackets(f.id, nullptr, nullptr), 0u);
    EXPECT_EQ(kxPacketFifo_Put(f.id, nullptr), kxErrParam);
    EXPECT_EQ(kxPacketFifo_GetLength(f.id), 1u);
}

TEST(PacketFifo, ConcurrentCreatesGetDistinctIdentifiers)
{
    constexpr int perThread = 50;
    std::vector<uint64_t> ids[4];
    std::vector<std::thread> threads;
    for (auto& mine : ids)
        threads.emplace_back(
            [&mine]
            {
                for (int i = 0; i < perThread; ++i)
                    mine.push_back(kxPacketFifo_Create());
            });
    for (auto& t : threads)
        t.join();
    std::vector<uint64_t> all;
    for (auto& mine : ids)
        all.insert(all.end(), mine.begin(), mine.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    EXPECT_NE(all.front(), 0u);
    for (uint64_t id : all)
        EXPECT_EQ(kxPacketFifo_Destroy(&id), kxErrNone);
}

TEST(PacketFifo, OrderAndCopies)
{
    Fifo f;
    kxPacket* mine = makePacket(7);
    ASSERT_EQ(kxPacketFifo_Put(f.id, mine), kxErrNone);
    mine->data[0] = 8; // the FIFO keeps its own copy
    put(f.id, 9);
    kxPacket* out = kxPacketFifo_Get(f.id);
    ASSERT_NE(out, nullptr);
    EXPECT_NE(out, mine);
    EXPECT_EQ(firstByte(out), 7);
    EXPECT_EQ(firstByte(kxPacketFifo_Get(f.id)), 9);
    EXPECT_EQ(kxPacketFifo_Get(f.id), nullptr);
    kxPacket_Destroy(&mine);

    kxPacket forged = {};
    forged.check = 0x1111;
    EXPECT_EQ(kxPacketFifo_Put(f.id, &forged), kxErrParam);
    EXPECT_EQ(kxPacketFifo_GetLength(f.id), 0u);
}

TEST(PacketFifo, OverflowEmptiesTheWholeFifo)
{
    Fifo f;
    for (int i = 0; i < 1000; ++i)
        put(f.id, uint8_t(i));
    EXPECT_EQ(kxPacketFifo_GetLength(f.id), 1000u);
    kxPacket* p = makePacket(0xAA);
    EXPECT_EQ(kxPacketFifo_Put(f.id, p), kxErrNone);
    kxPacket_Destroy(&p);
    EXPECT_EQ(kxPacketFifo_GetLength(f.id), 0u);
    put(f.id, 5);
    EXPECT_EQ(firstByte(kxPacketFifo_Get(f.id)), 5) << "usable after the overflow";
}

TEST(PacketFifo, AwaitTimesOutOrTakesALatePacket)
{
    Fifo f;
    auto start = now();
    EXPECT_EQ(kxPacketFifo_Await(f.id, 0), nullptr);
    EXPECT_LT(now() - start, Ms(50));

    start = now();
    double cpuBefore = threadCpuMs();
    EXPECT_EQ(kxPacketFifo_Await(f.id, 100), nullptr);
    EXPECT_GE(now() - start, Ms(99));
    EXPECT_LT(threadCpuMs() - cpuBefore, 30.0) << "a blocked wait sleeps";

    std::thread producer(
        [&]
        {
            std::this_thread::sleep_for(Ms(5));
            put(f.id, 42);
        });
    EXPECT_EQ(firstByte(kxPacketFifo_Await(f.id, 5000)), 42);
    producer.join();
}

TEST(PacketFifo, DestroyWakesWaiters)
{
    uint64_t id = kxPacketFifo_Create();
    const uint64_t target = id;
    std::atomic<int> woken{0};
    std::atomic<pid_t> plainThread{0};
    Judge filter{0xEE, {}};
    auto start = now();
    std::thread filtered(
        [&]
        {
            if (kxPacketFifo_AwaitFirst(target, countingFilter, &filter, 10000) == nullptr)
                ++woken;
        });
    // Once it has judged a packet, the filtered waiter is inside its wait; the
    // packet is then taken away, which wakes nobody.
    put(target, 1);
    EXPECT_TRUE(eventually([&] { return filter.judged > 0; }, Ms(5000)))
        << "the filtered waiter never judged a packet";
    EXPECT_EQ(firstByte(kxPacketFifo_Get(target)), 1);
    std::thread plain(
        [&]
        {
            plainThread = gettid();
            if (kxPacketFifo_Await(target, 10000) == nullptr)
                ++woken;
        });
    // Nothing else holds the FIFO's lock or the registry's meanwhile, so a
    // sleeping plain waiter is asleep on the FIFO's condition variable.
    EXPECT_TRUE(eventually([&] { return plainThread != 0 && asleep(plainThread); }, Ms(5000)))
        << "the plain waiter never blocked";
    EXPECT_EQ(woken.load(), 0);
    EXPECT_EQ(kxPacketFifo_Destroy(&id), kxErrNone);
    plain.join();
    filtered.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_LT(now() - start, Ms(5000));
    EXPECT_EQ(filter.judged.load(), 1);
    EXPECT_EQ(kxPacketFifo_Destroy(&id), kxErrNotFound) << "the identifier was zeroed";
    uint64_t copy = target;
    EXPECT_EQ(kxPacketFifo_Destroy(&copy), kxErrNotFound);
}

TEST(PacketFifo, AwaitFirstTakesTheMatchAndKeepsTheRest)
{
    Fifo f;
    put(f.id, 1);
    put(f.id, 2);
    put(f.id, 3);
    uint8_t want = 3;
    EXPECT_EQ(firstByte(kxPacketFifo_AwaitFirst(f.id, isByte, &want, 0)), 3);
    EXPECT_EQ(kxPacketFifo_GetLength(f.id), 2u);
    EXPECT_EQ(firstByte(kxPacketFifo_Get(f.id)), 1);
    EXPECT_EQ(firstByte(kxPacketFifo_Get(f.id)), 2);
    want = 9;
    EXPECT_EQ(kxPacketFifo_GetFirst(f.id, isByte, &want), nullptr);
}

TEST(PacketFifo, AwaitFirstJudgesEachPacketOnce)
{
    Fifo f;
    for (uint8_t i = 0; i < 5; ++i)
        put(f.id, 1, i);
    Judge judge{2, {}};
    std::thread producer(
        [&]
        {
            for (uint8_t i = 0; i < 5; ++i)
            {
                std::this_thread::sleep_for(Ms(3));
                put(f.id, 1, uint8_t(10 + i));
            }
            put(f.id, 2, 0);
        });
    kxPacket* got = kxPacketFifo_AwaitFirst(f.id, countingFilter, &judge, 5000);
    producer.join();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->data[0], 2);
    kxPacket_Destroy(&got);
    std::vector<int> sorted = judge.seen;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end())
        << "some packet was judged twice";
    EXPECT_EQ(judge.seen.size(), 11u);
    EXPECT_EQ(kxPacketFifo_GetLength(f.id), 10u) << "the unrelated packets stay queued";
}

TEST(PacketFifo, DrainRemovesMatchesAndKeepsOrder)
{
    Fifo f;
    for (uint8_t i = 1; i <= 7; ++i)
        put(f.id, i);
    EXPECT_EQ(kxPacketFifo_DrainPackets(f.id, isOdd, nullptr), 4u);
    EXPECT_EQ(firstByte(kxPacketFifo_Get(f.id)), 2);
    EXPECT_EQ(firstByte(kxPacketFifo_Get(f.id)), 4);
    EXPECT_EQ(firstByte(kxPacketFifo_Get(f.id)), 6);
    EXPECT_EQ(kxPacketFifo_Get(f.id), nullptr);
    EXPECT_EQ(kxPacketFifo_DrainPackets(12345, isOdd, nullptr), 0u);
    put(f.id, 1);
    put(f.id, 2);
    EXPECT_EQ(kxPacketFifo_DrainPackets(
                  f.id, [](const kxPacket*, void*) { return true; }, nullptr),
              2u);
    EXPECT_EQ(kxPacketFifo_GetLength(f.id), 0u);
}

TEST(PacketFifo, ManyProducersAndFilteredConsumersLoseNothing)
{
    Fifo f;
    constexpr int perProducer = 200;
    std::vector<std::thread> threads;
    std::atomic<int> received[2] = {0, 0};
    for (uint8_t kind = 0; kind < 2; ++kind)
        threads.emplace_back(
            [&, kind]
            {
                for (int i = 0; i < perProducer; ++i)
                    put(f.id, kind, uint8_t(i));
            });
    for (uint8_t kind = 0; kind < 2; ++kind)
        threads.emplace_back(
            [&, kind]
            {
                uint8_t want = kind;
                int expectNext = 0;
                while (received[kind] < perProducer)
                {
                    kxPacket* p = kxPacketFifo_AwaitFirst(f.id, isByte, &want, 5000);
                    if (!p)
                        break;
                    EXPECT_EQ(p->data[1], uint8_t(expectNext)) << "order within one producer";
                    ++expectNext;
                    ++received[kind];
                    kxPacket_Destroy(&p);
                }
            });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(received[0].load(), perProducer);
    EXPECT_EQ(received[1].load(), perProducer);
    EXPECT_EQ(kxPacketFifo_GetLength(f.id), 0u);
}

TEST(PacketFifo, AwaitFirstTimesOutAfterJudgingLateArrivalsOnce)
{
    Fifo f;
    put(f.id, 1, 0);
    put(f.id, 1, 1);
    Judge judge{2, {}};
    std::thread producer(
        [&]
        {
            for (uint8_t i = 0; i < 3; ++i)
            {
                std::this_thread::sleep_for(Ms(5));
                put(f.id, 1, uint8_t(10 + i));
            }
        });
    auto start = now();
    double cpuBefore = threadCpuMs();
    EXPECT_EQ(kxPacketFifo_AwaitFirst(f.id, countingFilter, &judge, 120), nullptr);
    EXPECT_GE(now() - start, Ms(119));
    EXPECT_LT(threadCpuMs() - cpuBefore, 30.0);
    producer.join();
    EXPECT_EQ(judge.seen, (std::vector<int>{256, 257, 266, 267, 268}));
    EXPECT_EQ(kxPacketFifo_GetLength(f.id), 5u);
}

TEST(PacketFifo, AWaiterSkipsAPacketAnotherCallerTook)
{
    Fifo f;
    Judge judge{2, {}};
    kxPacket* got = nullptr;
    std::thread waiter([&] { got = kxPacketFifo_AwaitFirst(f.id, countingFilter, &judge, 5000); });
    put(f.id, 1, 0);
    // The waiter has judged the unrelated packet before another caller takes
    // it; later scans jump over the number it had, which is no longer queued.
    EXPECT_TRUE(eventually([&] { return judge.judged > 0; }, Ms(5000)))
        << "the waiter never judged the first packet";
    EXPECT_EQ(firstByte(kxPacketFifo_Await(f.id, 5000)), 1);
    put(f.id, 3, 0);
    put(f.id, 2, 0);
    waiter.join();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->data[0], 2);
    kxPacket_Destroy(&got);
    ASSERT_GE(judge.seen.size(), 2u);
    EXPECT_LE(judge.seen.size(), 3u);
    EXPECT_EQ(judge.seen, (std::vector<int>{1 * 256, 3 * 256, 2 * 256}));
    EXPECT_EQ(judge.seen.back(), 2 * 256);
    EXPECT_EQ(judge.seen[judge.seen.size() - 2], 3 * 256);
    EXPECT_EQ(firstByte(kxPacketFifo_Get(f.id)), 3);
}

TEST(PacketFifo, AWaiterOutlivesAnOverflow)
{
    Fifo f;
    Judge watch{0xAB, {}};
    kxPacket* got = nullptr;
    std::thread waiter([&] { got = kxPacketFifo_AwaitFirst(f.id, countingFilter, &watch, 5000); });
    // The first of the packets that overflow the FIFO is judged before the
    // others are put, so the waiter is inside its wait when the FIFO empties.
    put(f.id, 1);
    EXPECT_TRUE(eventually([&] { return watch.judged > 0; }, Ms(5000)))
        << "the waiter never judged the first packet";
    for (int i = 1; i <= kxPACKETFIFO_CAPACITY; ++i)
        put(f.id, 1);
    EXPECT_EQ(kxPacketFifo_GetLength(f.id), 0u);
    put(f.id, 0xAB);
    waiter.join();
    EXPECT_EQ(firstByte(got), 0xAB) << "numbers after the overflow are still judged";
    EXPECT_EQ(kxPacketFifo_GetLength(f.id), 0u);
}

namespace
{
struct Tally
{
    int calls = 0;
};
bool countOddFilter(const kxPacket* p, void* ref)
{
    ++static_cast<Tally*>(ref)->calls;
    return p->data[0] & 1;
}
} // namespace

TEST(PacketFifo, DrainJudgesEachPacketOnce)
{
    Fifo f;
    for (uint8_t i = 0; i < 9; ++i)
        put(f.id, uint8_t(i * 3));
    Tally tally;
    EXPECT_EQ(kxPacketFifo_DrainPackets(f.id, countOddFilter, &tally), 4u);
    EXPECT_EQ(tally.calls, 9);
    for (uint8_t expect : {0, 6, 12, 18, 24})
        EXPECT_EQ(firstByte(kxPacketFifo_Get(f.id)), expect);
    tally.calls = 0;
    EXPECT_EQ(kxPacketFifo_DrainPackets(f.id, countOddFilter, &tally), 0u);
    EXPECT_EQ(tally.calls, 0);
}

namespace
{
// Holds puts to one FIFO in the put hook, between finding the FIFO and taking
// its lock, until released. Every wait is bounded, so a failing test cannot
// leave a put parked for good. Threads: the producers (in the hook) and the
// test thread; every field is touched only under `lock`, which Put's hook
// takes while Put holds no lock of the FIFO's.
struct PutGate
{
    std::mutex lock;
    std::condition_variable changed;
    uint64_t target = 0;
    int parked = 0;
    bool open = false;
};
PutGate gGate;

void parkingHook(uint64_t id)
{
    std::unique_lock<std::mutex> held(gGate.lock);
    if (id != gGate.target)
        return;
    ++gGate.parked;
    gGate.changed.notify_all();
    gGate.changed.wait_for(held, Ms(5000), [] { return gGate.open; });
}
} // namespace

TEST(PacketFifo, PutsRacingADestroyNeverReportAQueuedPacketAfterIt)
{
    uint64_t id = kxPacketFifo_Create();
    const uint64_t target = id;
    {
        std::lock_guard<std::mutex> held(gGate.lock);
        gGate.target = target;
        gGate.parked = 0;
        gGate.open = false;
    }
    kxPacketFifo_SetPutHookForTest(parkingHook);
    // Both puts find the FIFO in the registry and are held before its lock;
    // Destroy runs to completion meanwhile, then they go on.
    constexpr int producerCount = 2;
    std::atomic<bool> destroyed{false};
    std::atomic<int> lateSuccesses{0};
    std::vector<std::thread> producers;
    for (int t = 0; t < producerCount; ++t)
        producers.emplace_back(
            [&]
            {
                kxPacket* p = makePacket(1);
                kxErr err = kxPacketFifo_Put(target, p);
                EXPECT_TRUE(err == kxErrNone || err == kxErrParam) << err;
                EXPECT_EQ(err, kxErrParam) << "a put that lost the race reported success";
                if (destroyed.load() && err == kxErrNone)
                    ++lateSuccesses;
                kxPacket_Destroy(&p);
            });
    {
        std::unique_lock<std::mutex> held(gGate.lock);
        EXPECT_TRUE(
            gGate.changed.wait_for(held, Ms(5000), [] { return gGate.parked == producerCount; }))
            << "the puts never reached the hook";
    }
    EXPECT_EQ(kxPacketFifo_Destroy(&id), kxErrNone);
    destroyed = true;
    {
        std::lock_guard<std::mutex> held(gGate.lock);
        gGate.open = true;
    }
    gGate.changed.notify_all();
    for (auto& t : producers)
        t.join();
    kxPacketFifo_SetPutHookForTest(nullptr);
    EXPECT_EQ(lateSuccesses.load(), 0);
    EXPECT_EQ(kxPacketFifo_GetLength(target), 0u);
}
