// Link object timings over TCP on loopback against the module simulator (the
// modsim program, run as a separate process), each against its baseline in
// the same run:
//   (a) a UEI get round trip through Link::sendUEI and Link::receiveUEI (the
//       int option 3 of the test entity: request 04 03 20 43 20, reply
//       04 07 20 03 00 + 4 value bytes) against a ping-pong of the same bytes
//       between two plain sockets in this process; for reference also the
//       same bytes over a plain socket to the simulator;
//   (b) streamed values delivered to subscribers' callbacks per second, with
//       the number lost: eight int options streamed every millisecond, each
//       sample one more than the one before, so a gap in a key's values is a
//       lost sample; the baseline is what the module produced (the span of
//       values seen per key).
// Usage: bench_link_object [PATH_TO_MODSIM]
#include <lumbrixon/Link.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using Kavrel::Lumbrixon::kxEtherConfig;
using Kavrel::Lumbrixon::Link;

namespace
{
using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 1000;
constexpr int kBlocks = 5;
constexpr int kStreamSeconds = 5;
constexpr uint8_t kAddress = 0x04;
constexpr uint8_t kTest = 0x20;
constexpr int kStreams = 8;
constexpr uint8_t kFirstStream = 0x30;
const uint8_t kRequest[5] = {0x04, 0x03, 0x20, 0x43, 0x20};
const uint8_t kReply[9] = {0x04, 0x07, 0x20, 0x03, 0x00, 0x01, 0xFC, 0xA0, 0x55};

void NoDelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

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
        std::vector<std::string> args = {path,   "--tcp",      "0",     "--heartbeat",
                                         "1000", "--duration", "600000"};
        for (int i = 0; i < kStreams; ++i)
        {
            char spec[64];
            std::snprintf(spec, sizeof(spec), "20:00:%02X=int:0,stream=1,step=1", kFirstStream + i);
            args.push_back("--uei");
            args.push_back(spec);
        }
        std::vector<char*> argv;
        for (auto& a : args)
        {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid, path, &actions, nullptr, argv.data(), environ) != 0)
        {
            pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
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

// Two plain sockets in this process: a thread answers every 5-byte request
// with the 9-byte reply.
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
                for (; pending >= sizeof(kRequest); pending -= sizeof(kRequest))
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

double Median(const std::vector<double>& us)
{
    return us.empty() ? 0 : Percentile(us, 0.5);
}

void Report(const char* what, const std::vector<double>& us)
{
    if (us.empty())
    {
        printf("  %-34s no samples\n", what);
        return;
    }
    double sum = 0;
    for (double v : us)
    {
        sum += v;
    }
    printf("  %-34s median %7.1f us   mean %7.1f us   p99 %7.1f us\n", what, Percentile(us, 0.5),
           sum / static_cast<double>(us.size()), Percentile(us, 0.99));
}

double Microseconds(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Plain blocking socket: the request bytes, then the reply's 9 bytes.
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
    // The simulator needs no sync for this: its first bytes are the request.
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
        if (got < sizeof(reply))
        {
            break;
        }
        if (i >= 50)
        {
            us.push_back(Microseconds(start));
        }
    }
    close(fd);
}

int LinkRoundTrips(Link& link, int count, std::vector<double>& us)
{
    int lost = 0;
    for (int i = 0; i < count + 50; i++)
    {
        uei r;
        std::memset(&r, 0, sizeof(r));
        r.module = kAddress;
        r.command = kTest;
        r.option = 0x43;
        r.index = 0x20;
        r.type = ueiTypeVoid;
        auto start = Clock::now();
        kxErr err = link.sendUEI(r);
        r.option = 3;
        r.index = 0;
        if (err == kxErrNone)
        {
            err = link.receiveUEI(kAddress, kTest, 3, 0, &r);
        }
        if (err != kxErrNone || r.type != ueiTypeInt)
        {
            lost++;
            continue;
        }
        if (i >= 50)
        {
            us.push_back(Microseconds(start));
        }
    }
    return lost;
}

struct StreamCount
{
    std::mutex lock;
    std::map<uint8_t, std::vector<uint32_t>> values;

    static uint8_t Take(const kxPacket* packet, void* context)
    {
        auto* self = static_cast<StreamCount*>(context);
        uint64_t time = 0;
        uint32_t value = 0;
        uint8_t sub = 0;
        if (Link::getStreamSample(packet, &time, &value, &sub) == kxErrNone)
        {
            std::lock_guard<std::mutex> guard(self->lock);
            self->values[packet->data[1] & 0x3F].push_back(value);
        }
        return 0;
    }
};

} // namespace

int main(int argc, char** argv)
{
    const char* path = argc > 1 ? argv[1] : MODSIM_PATH;
    Simulator sim(path);
    if (sim.port == 0)
    {
        fprintf(stderr, "bench_link_object: the simulator %s did not start\n", path);
        return 1;
    }
    PlainPeer peer;

    printf("(a) UEI get round trip, %d blocks of %d:\n", kBlocks, kRoundTrips);
    std::vector<double> plainUs, simUs, linkUs;
    Link link("bench");
    linkSpec spec;
    std::memset(&spec, 0, sizeof(spec));
    spec.type = kxLinkTypeTCPIP;
    spec.serialNumber = 0x40F5849A;
    spec.address = htonl(INADDR_LOOPBACK);
    spec.port = sim.port;
    kxEtherConfig config;
    config.serverMode = 0;
    config.transportFallback = 0;
    link.setConfig(config);
    link.setLinkSpecifier(spec);
    if (link.connect() != kxErrNone)
    {
        fprintf(stderr, "bench_link_object: no link to the simulator\n");
        return 1;
    }
    // The reference to the simulator on a connection of its own, then the
    // two kinds block by block, so that each sees the same machine.
    PlainRoundTrips(sim.port, simUs);
    int lost = 0;
    for (int b = 0; b < kBlocks; ++b)
    {
        PlainRoundTrips(peer.port, plainUs);
        lost += LinkRoundTrips(link, kRoundTrips, linkUs);
    }
    Report("plain sockets, in process", plainUs);
    Report("plain socket to the simulator", simUs);
    Report("Link sendUEI/receiveUEI", linkUs);
    printf("  lost replies: %d\n", lost);
    printf("  ratio Link / plain in process: %.2f (goal <= 1.5)\n",
           Median(linkUs) / Median(plainUs));
    if (!simUs.empty())
    {
        printf("  ratio Link / plain to the simulator: %.2f\n", Median(linkUs) / Median(simUs));
    }

    printf("(b) streamed values, %d int options every 1 ms, %d s:\n", kStreams, kStreamSeconds);
    StreamCount counts;
    for (int i = 0; i < kStreams; ++i)
    {
        kxErr err =
            link.registerStreamCallback(kAddress, kTest, static_cast<uint8_t>(kFirstStream + i), 0,
                                        true, StreamCount::Take, &counts);
        if (err != kxErrNone)
        {
            fprintf(stderr, "bench_link_object: subscription %d refused: %d\n", i, err);
            return 1;
        }
    }
    {
        std::lock_guard<std::mutex> guard(counts.lock);
        counts.values.clear();
    }
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(kStreamSeconds));
    for (int i = 0; i < kStreams; ++i)
    {
        link.registerStreamCallback(kAddress, kTest, static_cast<uint8_t>(kFirstStream + i), 0,
                                    false, nullptr, nullptr);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    size_t delivered = 0, produced = 0, gaps = 0, disorder = 0;
    std::lock_guard<std::mutex> guard(counts.lock);
    for (auto& [option, values] : counts.values)
    {
        if (values.empty())
        {
            continue;
        }
        delivered += values.size();
        produced += values.back() - values.front() + 1;
        for (size_t i = 1; i < values.size(); ++i)
        {
            if (values[i] <= values[i - 1])
            {
                disorder++;
            }
            else
            {
                gaps += values[i] - values[i - 1] - 1;
            }
        }
    }
    printf("  produced by the module:  %zu (%.0f per second)\n", produced,
           static_cast<double>(produced) / seconds);
    printf("  delivered to callbacks:  %zu (%.0f per second)\n", delivered,
           static_cast<double>(delivered) / seconds);
    printf("  lost: %zu   out of order: %zu   delivered / produced: %.4f\n", gaps, disorder,
           produced == 0 ? 0.0 : static_cast<double>(delivered) / static_cast<double>(produced));
    return lost == 0 && gaps == 0 && disorder == 0 ? 0 : 1;
}
