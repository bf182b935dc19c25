// Segmented byte-value throughput through EntityClass over TCP on loopback
// against the module simulator (in this process, its own loop thread),
// against the bound its round trips allow, measured in the same run:
//   A get of a byte value is one request answered by all its segments back
//   to back; a set is all its segments answered by one acknowledgement. So a
//   transfer of N bytes takes at least one request/reply round trip, and the
//   bound is N bytes per round trip. The round trip is that of a UEI get of
//   a one-byte value (one packet each way), timed in blocks alternating with
//   the transfers.
// Printed per value length: the round trip, the transfer time, throughput
// and bound (kB/s), and their ratio (at most 1; what the segments after the
// first cost shows as the distance from 1).
// Usage: bench_module
#include <lumbrixon/Entity.h>
#include <lumbrixon/Module.h>

#include "tools/modsim/Simulator.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <vector>

using namespace Kavrel::Lumbrixon;

namespace
{
using Clock = std::chrono::steady_clock;

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kAddress = 0x04;
constexpr uint8_t kCommand = 0x20;
constexpr uint8_t kByteOption = 1;
constexpr uint8_t kBytesOption = 4;
constexpr int kBlocks = 5;
constexpr int kPerBlock = 200;

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

} // namespace

int main()
{
    modsim::Simulator sim;
    modsim::ModuleSpec spec;
    spec.module.serial = kSerial;
    spec.module.address = kAddress;
    spec.module.heartbeatMs = 1000;
    spec.tcp.push_back(modsim::TcpSpec());
    modsim::EntitySpec e;
    e.command = kCommand;
    modsim::Option o;
    o.type = modsim::ValueType::Bytes;
    o.writable = true;
    o.capacity = 4096;
    e.options[kBytesOption] = o;
    spec.firmware.entities.push_back(e);
    size_t m = sim.addModule(spec);
    std::string error;
    if (!sim.start(&error))
    {
        printf("module_bench: the simulator did not start: %s\n", error.c_str());
        return 1;
    }

    Module module(kAddress, (uint8_t)0);
    kxEtherConfig config;
    config.serverMode = 0;
    config.transportFallback = 0;
    module.setConfig(config);
    linkSpec ls;
    memset(&ls, 0, sizeof ls);
    ls.type = kxLinkTypeTCPIP;
    ls.serialNumber = kSerial;
    ls.address = htonl(INADDR_LOOPBACK);
    ls.port = sim.tcpPort(m);
    kxErr c = module.connectFromSpec(ls);
    if (c != kxErrNone)
    {
        printf("module_bench: no connection (%d)\n", (int)c);
        return 1;
    }
    EntityClass entity;
    entity.init(&module, kCommand, 0);

    printf("module_bench: TCP on loopback, module simulator in process (port %u)\n",
           (unsigned)ls.port);
    printf("  %d blocks of %d transfers, alternating with %d round trips each; medians\n", kBlocks,
           kPerBlock, kPerBlock);
    printf("  %-4s %6s %4s %9s %10s %10s %10s %6s\n", "dir", "bytes", "segs", "rtt us", "xfer us",
           "kB/s", "bound kB/s", "ratio");
    int failures = 0;
    for (size_t length : {24u, 96u, 240u, 1000u, 4000u})
    {
        std::vector<uint8_t> value(length), back(length + 24);
        for (size_t i = 0; i < length; i++)
            value[i] = (uint8_t)(i * 13);
        size_t segments = (length + 23) / 24;
        for (int direction = 0; direction < 2; direction++)
        {
            std::vector<double> rtt, transfer;
            for (int b = 0; b < kBlocks; b++)
            {
                auto start = Clock::now();
                for (int i = 0; i < kPerBlock; i++)
                {
                    uint8_t u8 = 0;
                    if (entity.getUEI8(kByteOption, &u8) != kxErrNone)
                        failures++;
                }
                rtt.push_back(Seconds(start) / kPerBlock);
                start = Clock::now();
                for (int i = 0; i < kPerBlock; i++)
                {
                    if (direction == 0)
                    {
                        if (entity.setUEIBytes(kBytesOption, value.data(), length) != kxErrNone)
                            failures++;
                    }
                    else
                    {
                        size_t received = 0;
                        if (entity.getUEIBytes(kBytesOption, back.data(), back.size(), &received) !=
                                kxErrNone ||
                            received != length)
                            failures++;
                    }
                }
                transfer.push_back(Seconds(start) / kPerBlock);
            }
            double r = Median(rtt), t = Median(transfer);
            double throughput = (double)length / t / 1e3, bound = (double)length / r / 1e3;
            printf("  %-4s %6zu %4zu %9.1f %10.1f %10.1f %10.1f %6.2f\n",
                   direction == 0 ? "set" : "get", length, segments, r * 1e6, t * 1e6, throughput,
                   bound, throughput / bound);
        }
    }
    printf("  failed exchanges: %d\n", failures);
    module.disconnect();
    sim.stop();
    return failures == 0 ? 0 : 1;
}
