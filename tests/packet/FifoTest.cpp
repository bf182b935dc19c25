#include "common/packetfifo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
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

using Ms = std::chrono::milliseconds;
auto now()
{
    return std::chrono::steady_clock::now();
}
} // namespace

// Runs first in this binary (the file's first test), so the registry is fresh.
TEST(PacketFifo, IdentifiersStartAtOneAndAreNotReused)
{
    uint64_t a = kxPacketFifo_Create();
    EXPECT_EQ(a, 1u);
    uint64_t b = kxPacketFifo_Create();
    EXPECT_EQ(b, 2u);
    EXPECT_EQ(kxPacketFifo_Destroy(&a), kxErrNone);
    EXPECT_EQ(a, 0u);
    uint64_t c = kxPacketFifo_Create();
    EXPECT_EQ(c, 3u);
    kxPacketFifo_Destroy(&b);
    kxPacketFifo_Destroy(&c);
    EXPECT_EQ(kxPacketFifo_Destroy(nullptr), kxErrParam);
    uint64_t unknown = 999;
    EXPECT_EQ(kxPacketFifo_Destroy(&unknown), kxErrNotFound);
    EXPECT_EQ(kxPacketFifo_GetLength(unknown), 0u);
    EXPECT_EQ(kxPacketFifo_Get(unknown), nullptr);
    kxPacket* p = makePacket(1);
    EXPECT_EQ(kxPacketFifo_Put(unknown, p), kxErrParam);
    kxPacket_Destroy(&p);
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
    EXPECT_EQ(kxPacketFifo_Await(f.id, 30), nullptr);
    EXPECT_GE(now() - start, Ms(29));

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
    std::atomic<int> woken{0};
    uint8_t never = 0xEE;
    auto start = now();
    std::thread plain(
        [&]
        {
            if (kxPacketFifo_Await(id, 10000) == nullptr)
                ++woken;
        });
    std::thread filtered(
        [&]
        {
            if (kxPacketFifo_AwaitFirst(id, isByte, &never, 10000) == nullptr)
                ++woken;
        });
    std::this_thread::sleep_for(Ms(50));
    uint64_t copy = id;
    EXPECT_EQ(kxPacketFifo_Destroy(&id), kxErrNone);
    plain.join();
    filtered.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_LT(now() - start, Ms(5000));
    EXPECT_EQ(kxPacketFifo_Destroy(&id), kxErrNotFound) << "the identifier was zeroed";
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

namespace
{
struct Judge
{
    uint8_t want;
    std::vector<int> seen;
};
bool countingFilter(const kxPacket* p, void* ref)
{
    auto* j = static_cast<Judge*>(ref);
    j->seen.push_back(p->data[0] * 256 + p->data[1]);
    return p->data[0] == j->want;
}
} // namespace

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
