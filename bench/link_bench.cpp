// Link timings over TCP on loopback against the module simulator (the modsim
// program, run as a separate process), each against its baseline in the same
// run:
//   (a) a request and its reply through a link (kxLink_PutPacket, then
//       kxLink_AwaitFirst) against a ping-pong of the same bytes between two
//       plain sockets; for reference also plain sockets to the simulator;
//   (b) the processor time of an idle, connected, running link over 10 s
//       (getrusage of this process: the simulator runs in its own);
//   (c) 10,000 small packets written pooled against unpooled.
// The request is a sync request (AD 00), which the simulated module answers
// with an empty packet from its address (04 00).
// Usage: bench_link [PATH_TO_MODSIM]
#include <lumbrixon/kxLink.h>
#include <lumbrixon/kxLinkManagerInternal.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace
{
using Clock = std::chrono::steady_clock;

// Round trips per block; the kinds alternate block by block, so that each
// sees the same machine.
constexpr int kRoundTrips = 1000;
constexpr int kBlocks = 5;
constexpr int kIdleSeconds = 10;
constexpr int kThroughputPackets = 10000;
// Packets between two markers in (c): the out FIFO holds 1000.
constexpr int kThroughputBatch = 500;
const uint8_t kRequest[2] = {0xAD, 0x00};
const uint8_t kReply[2] = {0x04, 0x00};

void NoDelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

// The simulator program, started with one module on a free TCP port.
class Simulator
{
public:
    explicit Simulator(const char* path)
    {
        int out[2];
        if (pipe(out) != 0)
        {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const char* argv[] = {path,   "--tcp",      "0",      "--heartbeat",
                              "1000", "--duration", "600000", nullptr};
        if (posix_spawn(&pid, path, &actions, nullptr, const_cast<char**>(argv), environ) != 0)
        {
            pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        // "module 40F5849A address 04 tcp 127.0.0.1 PORT", then "ready".
        std::string text;
        auto end = Clock::now() + std::chrono::seconds(5);
        while (pid > 0 && Clock::now() < end && text.find("ready") == std::string::npos)
        {
            pollfd pfd = {out[0], POLLIN, 0};
            char buffer[256];
            ssize_t got = poll(&pfd, 1, 100) == 1 ? read(out[0], buffer, sizeof(buffer)) : 0;
            if (got < 0)
            {
                break;
            }
            text.append(buffer, static_cast<size_t>(got > 0 ? got : 0));
        }
        close(out[0]);
        size_t at = text.find("tcp 127.0.0.1 ");
        if (at != std::string::npos)
        {
            port = static_cast<uint16_t>(atoi(text.c_str() + at + 14));
        }
    }
    ~Simulator()
    {
        if (pid > 0)
        {
            kill(pid, SIGTERM);
            for (int i = 0; i < 200 && waitpid(pid, nullptr, WNOHANG) == 0; i++)
            {
                usleep(10000);
            }
            if (waitpid(pid, nullptr, WNOHANG) == 0)
            {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    }
    pid_t pid = -1;
    uint16_t port = 0;
};

// Two plain sockets in this process: a thread answers every AD 00 with 04 00.
class PlainPeer
{
public:
    PlainPeer()
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        listen(listener, 4);
        socklen_t length = sizeof(address);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        worker = std::thread([this] { Run(); });
    }
    ~PlainPeer()
    {
        stop = true;
        worker.join();
        close(listener);
    }
    uint16_t port = 0;

private:
    void Run()
    {
        while (!stop)
        {
            pollfd pfd = {listener, POLLIN, 0};
            if (poll(&pfd, 1, 50) != 1)
            {
                continue;
            }
            int fd = accept(listener, nullptr, nullptr);
            NoDelay(fd);
            uint8_t buffer[64];
            size_t pending = 0;
            for (;;)
            {
                ssize_t got = recv(fd, buffer + pending, sizeof(buffer) - pending, 0);
                if (got <= 0)
                {
                    break;
                }
                pending += static_cast<size_t>(got);
                for (; pending >= 2; pending -= 2)
                {
                    send(fd, kReply, sizeof(kReply), MSG_NOSIGNAL);
                }
            }
            close(fd);
        }
    }

    int listener = -1;
    std::atomic<bool> stop{false};
    std::thread worker;
};

double Percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1))];
}

void Report(const char* what, const std::vector<double>& us)
{
    double sum = 0;
    for (double v : us)
    {
        sum += v;
    }
    printf("  %-30s median %7.1f us   mean %7.1f us   p99 %7.1f us\n", what, Percentile(us, 0.5),
           sum / static_cast<double>(us.size()), Percentile(us, 0.99));
}

double Microseconds(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Plain blocking sockets: send the request, read the reply.
void PlainRoundTrips(uint16_t port, std::vector<double>& us)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
    {
        close(fd);
        return;
    }
    NoDelay(fd);
    for (int i = 0; i < kRoundTrips + 50; i++)
    {
        auto start = Clock::now();
        send(fd, kRequest, sizeof(kRequest), MSG_NOSIGNAL);
        uint8_t reply[sizeof(kReply)];
        size_t got = 0;
        while (got < sizeof(reply))
        {
            ssize_t n = recv(fd, reply + got, sizeof(reply) - got, 0);
            if (n <= 0)
            {
                break;
            }
            got += static_cast<size_t>(n);
        }
        if (i >= 50)
        {
            us.push_back(Microseconds(start));
        }
    }
    close(fd);
}

bool IsReply(const kxPacket* packet, void*)
{
    return packet->address == kReply[0] && packet->length == 0;
}

int LinkRoundTrips(uint32_t id, int count, std::vector<double>* us)
{
    uint8_t none = 0;
    kxPacket* request = kxPacket_CreateWithData(kRequest[0], 0, &none);
    int lost = 0;
    for (int i = 0; i < count; i++)
    {
        auto start = Clock::now();
        kxLink_PutPacket(id, request);
        kxPacket* reply = kxLink_AwaitFirst(id, IsReply, nullptr, 1000);
        lost += reply == nullptr ? 1 : 0;
        kxPacket_Destroy(&reply);
        if (us != nullptr && i >= 50)
        {
            us->push_back(Microseconds(start));
        }
    }
    kxPacket_Destroy(&request);
    return lost;
}

double CpuSeconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Seconds to write kThroughputPackets packets of 4 data bytes (6 bytes on
// the wire) to the module, with a request after every kThroughputBatch whose
// reply says that the module has read everything before it.
double Throughput(uint32_t id, bool pooled, int* lost)
{
    kxLink_EnablePooledPackets(id, pooled);
    const uint8_t data[4] = {0x09, 0x01, 0x02, 0x03};
    kxPacket* packet = kxPacket_CreateWithData(0x04, 4, data);
    auto start = Clock::now();
    for (int sent = 0; sent < kThroughputPackets; sent += kThroughputBatch)
    {
        for (int i = 0; i < kThroughputBatch; i++)
        {
            kxLink_PutPacket(id, packet);
        }
        *lost += LinkRoundTrips(id, 1, nullptr);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    kxPacket_Destroy(&packet);
    kxLink_EnablePooledPackets(id, false);
    return seconds;
}
} // namespace

int main(int argc, char** argv)
{
    const char* path = argc > 1 ? argv[1] : MODSIM_PATH;
    Simulator sim(path);
    if (sim.port == 0)
    {
        printf("link_bench: the simulator (%s) did not start\n", path);
        return 1;
    }
    printf("link_bench: TCP on loopback, module simulator %s (pid %d, port %u)\n", path,
           static_cast<int>(sim.pid), sim.port);
    PlainPeer plain;
    uint32_t id = kxLink_CreateTCPIP(0x40F5849A, htonl(INADDR_LOOPBACK), sim.port);
    if (id == 0)
    {
        printf("no link\n");
        return 1;
    }

    printf("(a) request/reply round trip, %d each, in alternating blocks\n", kRoundTrips * kBlocks);
    std::vector<double> raw;
    std::vector<double> rawToSim;
    std::vector<double> link;
    int lost = 0;
    for (int block = 0; block < kBlocks; block++)
    {
        PlainRoundTrips(plain.port, raw);
        lost += LinkRoundTrips(id, kRoundTrips + 50, &link);
        PlainRoundTrips(sim.port, rawToSim);
    }
    Report("plain sockets (baseline)", raw);
    Report("link to the simulator", link);
    Report("plain socket to the simulator", rawToSim);
    printf("  replies missing: %d\n", lost);
    printf("  ratio link/plain sockets (median)      %.2f   (goal <= 1.5)\n",
           Percentile(link, 0.5) / Percentile(raw, 0.5));
    printf("  ratio link/plain socket to simulator   %.2f\n",
           Percentile(link, 0.5) / Percentile(rawToSim, 0.5));

    printf("(b) idle running link, %d s (the simulator's heartbeat every 1000 ms)\n", kIdleSeconds);
    double cpuBefore = CpuSeconds();
    auto wallBefore = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    double cpu = CpuSeconds() - cpuBefore;
    double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    printf("  cpu %.4f s over %.1f s = %.3f %% of one core   (goal < 1 %%), status %u\n", cpu, wall,
           100.0 * cpu / wall, kxLink_GetStatus(id));

    printf("(c) %d packets of 6 bytes\n", kThroughputPackets);
    lost = 0;
    double unpooled = Throughput(id, false, &lost);
    double pooled = Throughput(id, true, &lost);
    printf("  unpooled %8.1f ms   %9.0f packets/s\n", unpooled * 1e3,
           kThroughputPackets / unpooled);
    printf("  pooled   %8.1f ms   %9.0f packets/s\n", pooled * 1e3, kThroughputPackets / pooled);
    printf("  ratio pooled/unpooled throughput %.2f   (markers missing: %d)\n", unpooled / pooled,
           lost);
    kxLink_Destroy(&id);
    return 0;
}
