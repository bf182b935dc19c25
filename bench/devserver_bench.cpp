// A request's round trip through the device server against the same request
// on the direct link, in one run, against the module simulator over TCP on
// loopback (the simulator runs in this process, on its own thread).
//
//   direct   kxLink_PutPacket on the module's link, kxLink_AwaitFirst for the
//            reply;
//   served   the same on the client link kxLink_CreateServer returned: client
//            stream, the server's broker and sync actor, the module's link,
//            and back.
// The request is a get of a byte value of the simulator's test entity
// (06 03 20 41 20), answered 06 04 20 01 00 11. The kinds alternate block by
// block, so that each sees the same machine.
// Usage: bench_devserver
#include "tools/modsim/Simulator.h"

#include <lumbrixon/kxLink.h>
#include <lumbrixon/kxLinkManagerInternal.h>
#include <lumbrixon/kxServer_ZeroMQ.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 500;
constexpr int kBlocks = 6;
constexpr uint8_t kAddress = 0x06;
const uint8_t kRequest[3] = {0x20, 0x41, 0x20};

bool AnyPacket(const kxPacket*, void*)
{
    return true;
}

// One round trip; its time in microseconds, or a negative value without a
// right reply.
double RoundTrip(uint32_t link)
{
    kxPacket* request = kxPacket_CreateWithData(kAddress, sizeof(kRequest), kRequest);
    auto start = Clock::now();
    kxLink_PutPacket(link, request);
    kxPacket* reply = kxLink_AwaitFirst(link, AnyPacket, nullptr, 3000);
    auto end = Clock::now();
    bool right = reply != nullptr && reply->length == 4 && reply->data[3] == 0x11;
    kxPacket_Destroy(&request);
    kxPacket_Destroy(&reply);
    return right ? std::chrono::duration<double, std::micro>(end - start).count() : -1;
}

double Percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[static_cast<size_t>(p * (values.size() - 1))];
}

double Mean(const std::vector<double>& values)
{
    double sum = 0;
    for (double v : values)
    {
        sum += v;
    }
    return values.empty() ? 0 : sum / values.size();
}

void Report(const char* what, const std::vector<double>& us)
{
    printf("  %-28s median %7.1f us   mean %7.1f us   p99 %7.1f us\n", what, Percentile(us, 0.5),
           Mean(us), Percentile(us, 0.99));
}
} // namespace

int main()
{
    modsim::Simulator sim;
    modsim::ModuleSpec spec;
    spec.module.address = kAddress;
    spec.tcp.push_back(modsim::TcpSpec());
    size_t m = sim.addModule(spec);
    std::string error;
    if (!sim.start(&error))
    {
        printf("devserver_bench: the simulator did not start: %s\n", error.c_str());
        return 1;
    }
    uint32_t link = kxLink_CreateTCPIP(spec.module.serial, htonl(INADDR_LOOPBACK), sim.tcpPort(m));
    uint16_t port = 0;
    uint32_t served = 0;
    uint32_t client = link != 0 ? kxLink_CreateServer(link, &port, &served, true) : 0;
    if (client == 0)
    {
        printf("devserver_bench: no link or no server\n");
        return 1;
    }
    printf("devserver_bench: TCP on loopback, module simulator port %u, server port %u\n",
           sim.tcpPort(m), port);
    printf("request/reply round trip, %d each, in alternating blocks\n", kRoundTrips * kBlocks);
    std::vector<double> direct, shared;
    int lost = 0;
    for (int block = 0; block < kBlocks; block++)
    {
        for (int kind = 0; kind < 2; kind++)
        {
            for (int i = 0; i < kRoundTrips; i++)
            {
                double us = RoundTrip(kind == 0 ? link : client);
                if (us < 0)
                {
                    lost++;
                }
                else
                {
                    (kind == 0 ? direct : shared).push_back(us);
                }
            }
        }
    }
    Report("direct link", direct);
    Report("device server + client", shared);
    printf("  replies missing: %d\n", lost);
    printf("  ratio served/direct (median) %.2f   (mean) %.2f\n",
           Percentile(shared, 0.5) / Percentile(direct, 0.5), Mean(shared) / Mean(direct));
    kxLink_Destroy(&client);
    sim.stop();
    return lost == 0 ? 0 : 1;
}
