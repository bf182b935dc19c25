// Link timings over TCP on loopback, each against its baseline in the same
// run:
//   (a) a request and its reply through a link (kxLink_PutPacket, then
//       kxLink_AwaitFirst) against a ping-pong of the same bytes between two
//       plain sockets;
//   (b) the processor time of an idle, connected, running link over 10 s;
//   (c) 10,000 small packets written pooled against unpooled.
// The module's end is an echo peer on its own thread: it answers every
// packet to module address 4 with the same bytes and takes everything else.
#include <lumbrixon/kxLink.h>
#include <lumbrixon/kxLinkManagerInternal.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

// Round trips per block; raw and link blocks alternate, so that both see the
// same machine.
constexpr int kRoundTrips = 1000;
constexpr int kBlocks = 5;
constexpr int kIdleSeconds = 10;
constexpr int kThroughputPackets = 10000;
const uint8_t kRequest[5] = {0x04, 0x03, 0x03, 0x48, 0x20};

void NoDelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

// A listening socket whose one connection at a time is served by `serve`.
class Peer
{
public:
    Peer()
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
    ~Peer()
    {
        stop = true;
        worker.join();
        close(listener);
    }
    uint16_t port = 0;
    std::atomic<size_t> received{0};

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
            Serve(fd);
            close(fd);
        }
    }
    // Echoes every whole packet to address 4, in one send per read.
    void Serve(int fd)
    {
        std::vector<uint8_t> pending;
        uint8_t buffer[8192];
        while (!stop)
        {
            pollfd pfd = {fd, POLLIN, 0};
            if (poll(&pfd, 1, 50) != 1)
            {
                continue;
            }
            ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
            if (got <= 0)
            {
                return;
            }
            received += static_cast<size_t>(got);
            pending.insert(pending.end(), buffer, buffer + got);
            std::vector<uint8_t> answer;
            size_t at = 0;
            while (at + 2 <= pending.size() && at + 2 + pending[at + 1] <= pending.size())
            {
                size_t size = 2u + pending[at + 1];
                if (pending[at] == 0x04)
                {
                    answer.insert(answer.end(), pending.begin() + at, pending.begin() + at + size);
                }
                at += size;
            }
            pending.erase(pending.begin(), pending.begin() + at);
            if (!answer.empty())
            {
                send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
        }
    }

    int listener = -1;
    std::atomic<bool> stop{false};
    std::thread worker;
};

double Percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(fraction * (values.size() - 1))];
}

void Report(const char* what, const std::vector<double>& us)
{
    double sum = 0;
    for (double v : us)
    {
        sum += v;
    }
    printf("  %-26s median %7.1f us   mean %7.1f us   p99 %7.1f us\n", what, Percentile(us, 0.5),
           sum / static_cast<double>(us.size()), Percentile(us, 0.99));
}

void RawRoundTrips(uint16_t port, std::vector<double>& us)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    NoDelay(fd);
    for (int i = 0; i < kRoundTrips + 100; i++)
    {
        auto start = Clock::now();
        send(fd, kRequest, sizeof(kRequest), MSG_NOSIGNAL);
        uint8_t reply[sizeof(kRequest)];
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
        if (i >= 100)
        {
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    close(fd);
}

bool IsReply(const kxPacket* packet, void*)
{
    return packet->length == 3 && packet->data[0] == 0x03;
}

void LinkRoundTrips(uint32_t id, std::vector<double>& us)
{
    kxPacket* request = kxPacket_CreateWithData(kRequest[0], kRequest[1], kRequest + 2);
    int lost = 0;
    for (int i = 0; i < kRoundTrips + 100; i++)
    {
        auto start = Clock::now();
        kxLink_PutPacket(id, request);
        kxPacket* reply = kxLink_AwaitFirst(id, IsReply, nullptr, 1000);
        if (reply == nullptr)
        {
            lost++;
        }
        kxPacket_Destroy(&reply);
        if (i >= 100)
        {
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    kxPacket_Destroy(&request);
    if (lost > 0)
    {
        printf("  (%d replies missing)\n", lost);
    }
}

double CpuSeconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Seconds to write kThroughputPackets packets of 4 data bytes (6 bytes each
// on the wire) until the peer has them all.
double Throughput(Peer& peer, uint32_t id, bool pooled)
{
    kxLink_EnablePooledPackets(id, pooled);
    const uint8_t data[4] = {0x09, 0x01, 0x02, 0x03};
    kxPacket* packet = kxPacket_CreateWithData(0x06, 4, data);
    size_t before = peer.received;
    size_t expected = before + static_cast<size_t>(kThroughputPackets) * 6;
    auto start = Clock::now();
    for (int i = 0; i < kThroughputPackets; i++)
    {
        // The out FIFO empties itself beyond 1000 packets: stay below that.
        while (static_cast<size_t>(i) - (peer.received - before) / 6 > 800)
        {
            std::this_thread::yield();
        }
        kxLink_PutPacket(id, packet);
    }
    auto end = Clock::now() + std::chrono::seconds(10);
    while (peer.received < expected && Clock::now() < end)
    {
        std::this_thread::yield();
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (peer.received < expected)
    {
        printf("  (%zu of %zu bytes arrived)\n", peer.received - before, expected - before);
    }
    kxPacket_Destroy(&packet);
    return seconds;
}
} // namespace

int main()
{
    printf("link_bench: TCP on loopback, echo peer in process\n");
    Peer peer;
    Peer rawPeer;

    printf("(a) request/reply round trip, %d each, in alternating blocks\n", kRoundTrips * kBlocks);
    uint32_t id = kxLink_CreateTCPIP(0x40F5849A, htonl(INADDR_LOOPBACK), peer.port);
    if (id == 0)
    {
        printf("no link\n");
        return 1;
    }
    std::vector<double> raw;
    std::vector<double> link;
    for (int block = 0; block < kBlocks; block++)
    {
        RawRoundTrips(rawPeer.port, raw);
        LinkRoundTrips(id, link);
    }
    Report("raw sockets", raw);
    Report("link", link);
    printf("  ratio link/raw (median)     %.2f   (goal <= 1.5)\n",
           Percentile(link, 0.5) / Percentile(raw, 0.5));

    printf("(b) idle running link, %d s\n", kIdleSeconds);
    double cpuBefore = CpuSeconds();
    auto wallBefore = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    double cpu = CpuSeconds() - cpuBefore;
    double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    printf("  cpu %.4f s over %.1f s = %.3f %% of one core   (goal < 1 %%)\n", cpu, wall,
           100.0 * cpu / wall);

    printf("(c) %d packets of 6 bytes\n", kThroughputPackets);
    double unpooled = Throughput(peer, id, false);
    double pooled = Throughput(peer, id, true);
    printf("  unpooled %8.1f ms   %9.0f packets/s\n", unpooled * 1e3,
           kThroughputPackets / unpooled);
    printf("  pooled   %8.1f ms   %9.0f packets/s\n", pooled * 1e3, kThroughputPackets / pooled);
    printf("  ratio pooled/unpooled throughput %.2f\n", unpooled / pooled);
    kxLink_Destroy(&id);
    return 0;
}
