// Streamed values from the host's side: stream control of command 5D, the
// samples' bytes with their timestamps and sequence bytes, the rate, the
// route they follow, sub-indices, byte values and wildcards.
#include "tests/modsim/HostEnd.h"

#include <set>

using modsim::Simulator;

namespace
{

uint64_t _time(const Bytes& p, size_t at)
{
    uint64_t t = 0;
    for (size_t i = 0; i < 8; i++)
        t = (t << 8) | p[at + i];
    return t;
}

} // namespace

TEST(ModsimStream, EnabledValuesStreamAtTheirRateOnTheRoutedLinkInOrder)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 0);
    TcpHost host(sim.tcpPort(m));
    // Stream option 9 of 20/0 (a short, every 50 ms).
    EXPECT_EQ(Ask(host, {0x04, 0x07, 0x5D, 0x81, 0x20, 0x04, 0x20, 0x09, 0x00}, 9),
              Bytes({0x04, 0x07, 0x5D, 0xC1, 0x00, 0x04, 0x20, 0x09, 0x00}));
    EXPECT_TRUE(Quiet(host, 200)) << "no samples while no link has the route";
    EXPECT_EQ(Ask(host, {0x04, 0x03, 0x5D, 0x41, 0x20}, 6),
              Bytes({0x04, 0x04, 0x5D, 0x01, 0x00, 0x01}));
    host.write({0xAF, 0x01, 0x01});
    std::vector<Bytes> samples;
    for (int i = 0; i < 6; i++)
        samples.push_back(ReadPacket(host, 1000));
    for (size_t i = 0; i < samples.size(); i++)
    {
        const Bytes& p = samples[i];
        ASSERT_EQ(p.size(), 17u) << i;
        EXPECT_EQ(Bytes(p.begin(), p.begin() + 6), Bytes({0x04, 0x0F, 0x20, 0x09, 0x40, 0x02}));
        EXPECT_EQ(p[16], 0x00) << "the sequence byte of a sample";
        if (i > 0)
        {
            const Bytes& q = samples[i - 1];
            EXPECT_EQ((p[14] << 8 | p[15]), (q[14] << 8 | q[15]) + 1) << "every sample, in order";
            EXPECT_GT(_time(p, 6), _time(q, 6));
        }
    }
    uint64_t span = _time(samples.back(), 6) - _time(samples.front(), 6);
    EXPECT_GE(span, 200000u) << "five periods of 50 ms, in microseconds";
    EXPECT_LT(span, 2000000u);
    // Disable with a wildcard option: the ack, then nothing more.
    host.write({0x04, 0x07, 0x5D, 0x82, 0x20, 0x04, 0x20, 0xFF, 0x00});
    Bytes ack;
    for (int i = 0; i < 20 && (ack.size() < 3 || ack[2] != 0x5D); i++)
        ack = ReadPacket(host, 1000);
    EXPECT_EQ(ack, Bytes({0x04, 0x07, 0x5D, 0xC2, 0x00, 0x04, 0x20, 0xFF, 0x00}));
    host.read(1000, 100);
    EXPECT_TRUE(Quiet(host, 200));
    EXPECT_EQ(Ask(host, {0x04, 0x03, 0x5D, 0x41, 0x20}, 6),
              Bytes({0x04, 0x04, 0x5D, 0x01, 0x00, 0x00}));
    EXPECT_GE(sim.stats(m).streamPackets, 6u);
    EXPECT_EQ(sim.stats(m).streamsEnabled, 0u);
}

TEST(ModsimStream, SubIndicesByteValuesWildcardsAndRefusals)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 0);
    TcpHost host(sim.tcpPort(m));
    host.write({0xAF, 0x01, 0x01});
    // Refusals: another module, a call, a wrong length.
    EXPECT_EQ(Ask(host, {0x04, 0x07, 0x5D, 0x81, 0x20, 0x06, 0x20, 0x09, 0x00}, 6),
              Bytes({0x04, 0x04, 0x5D, 0xC1, 0x80, 2}));
    EXPECT_EQ(Ask(host, {0x04, 0x07, 0x5D, 0x81, 0x20, 0x04, 0x20, 0x07, 0x00}, 6),
              Bytes({0x04, 0x04, 0x5D, 0xC1, 0x80, 29}));
    EXPECT_EQ(Ask(host, {0x04, 0x05, 0x5D, 0x81, 0x20, 0x04, 0x20}, 6),
              Bytes({0x04, 0x04, 0x5D, 0xC1, 0x80, 14}));
    // The sub-indexed int: one sample of type 7 per sub-index each period.
    EXPECT_EQ(Ask(host, {0x04, 0x07, 0x5D, 0x81, 0x20, 0x04, 0x20, 0x06, 0x00}, 9).size(), 9u);
    for (uint8_t sub = 0; sub < 4; sub++)
    {
        Bytes p = ReadPacket(host, 1000);
        ASSERT_EQ(p.size(), 20u);
        EXPECT_EQ(Bytes(p.begin(), p.begin() + 7),
                  Bytes({0x04, 0x12, 0x20, 0x06, 0x40, 0x07, sub}));
        uint32_t value = (uint32_t)(p[15] << 24 | p[16] << 16 | p[17] << 8 | p[18]);
        EXPECT_EQ(value, (sub == 0 ? 0x60000000u : 0x60u + sub) + 1);
        EXPECT_EQ(p[19], 0x00);
    }
    host.write({0x04, 0x07, 0x5D, 0x82, 0x20, 0x04, 0x20, 0x06, 0x00});
    // The byte value: type 4, one segment.
    host.write({0x04, 0x07, 0x5D, 0x81, 0x20, 0x04, 0x20, 0x04, 0x00});
    Bytes p;
    for (int i = 0; i < 20 && !(p.size() > 5 && p[2] == 0x20 && p[4] == 0x40 && p[5] == 0x04); i++)
        p = ReadPacket(host, 1000);
    EXPECT_EQ(p, Bytes({0x04, 0x0F, 0x20, 0x04, 0x40, 0x04, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x00}));
    host.write({0x04, 0x07, 0x5D, 0x82, 0x20, 0x04, 0xFF, 0xFF, 0xFF});
    host.read(4000, 300);
    // A wildcard option streams the options that name a rate: 9 and 14.
    host.write({0x04, 0x07, 0x5D, 0x81, 0x20, 0x04, 0x20, 0xFF, 0x00});
    std::set<uint8_t> options;
    for (int i = 0; i < 20; i++)
    {
        Bytes q = ReadPacket(host, 1000);
        if (q.size() > 4 && q[2] == 0x20 && q[4] == 0x40)
            options.insert(q[3]);
    }
    EXPECT_EQ(options, std::set<uint8_t>({0x09, 0x0E}));
    EXPECT_EQ(sim.stats(m).streamsEnabled, 1u);
}
