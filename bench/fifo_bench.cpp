// Packet FIFO timings: a put/await round trip between two threads, and a
// filtered take from a FIFO that holds many unrelated packets.
#include <lumbrixon/packetfifo.h>

#include <benchmark/benchmark.h>

#include <thread>

namespace
{
kxPacket* sMakePacket(uint8_t first)
{
    const uint8_t data[3] = {first, 0x01, 0x02};
    return kxPacket_CreateWithData(0x04, 3, data);
}

bool sIsByte(const kxPacket* packet, void* ref)
{
    return packet->data[0] == *static_cast<const uint8_t*>(ref);
}

constexpr uint8_t kStop = 0xFF;

// The caller puts a request on one FIFO; an echo thread waits for it and puts
// it back on the other FIFO, where the caller waits for it.
void BM_PutAwaitRoundTrip(benchmark::State& state)
{
    uint64_t request = kxPacketFifo_Create();
    uint64_t reply = kxPacketFifo_Create();
    std::thread echo(
        [&]
        {
            for (;;)
            {
                kxPacket* packet = kxPacketFifo_Await(request, 2000);
                if (!packet)
                    return;
                bool stop = packet->data[0] == kStop;
                kxPacketFifo_Put(reply, packet);
                kxPacket_Destroy(&packet);
                if (stop)
                    return;
            }
        });
    kxPacket* ping = sMakePacket(1);
    for (auto _ : state)
    {
        kxPacketFifo_Put(request, ping);
        kxPacket* back = kxPacketFifo_Await(reply, 2000);
        if (!back)
        {
            state.SkipWithError("the echo thread did not answer");
            break;
        }
        kxPacket_Destroy(&back);
    }
    kxPacket* stop = sMakePacket(kStop);
    kxPacketFifo_Put(request, stop);
    kxPacket_Destroy(&stop);
    echo.join();
    kxPacket_Destroy(&ping);
    kxPacketFifo_Destroy(&request);
    kxPacketFifo_Destroy(&reply);
}
BENCHMARK(BM_PutAwaitRoundTrip)->UseRealTime();

// The FIFO holds `range(0)` unrelated packets; each iteration puts the wanted
// one behind them and takes it out with a filtered wait.
void BM_AwaitFirstBehindUnrelated(benchmark::State& state)
{
    uint64_t fifo = kxPacketFifo_Create();
    kxPacket* unrelated = sMakePacket(7);
    for (int64_t i = 0; i < state.range(0); ++i)
        kxPacketFifo_Put(fifo, unrelated);
    kxPacket* wanted = sMakePacket(9);
    uint8_t want = 9;
    for (auto _ : state)
    {
        kxPacketFifo_Put(fifo, wanted);
        kxPacket* got = kxPacketFifo_AwaitFirst(fifo, sIsByte, &want, 1000);
        if (!got)
        {
            state.SkipWithError("the wanted packet was not found");
            break;
        }
        kxPacket_Destroy(&got);
    }
    state.counters["queued"] = double(kxPacketFifo_GetLength(fifo));
    kxPacket_Destroy(&wanted);
    kxPacket_Destroy(&unrelated);
    kxPacketFifo_Destroy(&fifo);
}
BENCHMARK(BM_AwaitFirstBehindUnrelated)->Arg(0)->Arg(900);
} // namespace

BENCHMARK_MAIN();
