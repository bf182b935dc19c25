// A host for the simulator's lab: run as modsim's child inside its private
// network, it sends the network search through the interface given, prints
// every answer, asks each module that answered for its model over TCP/IP,
// and, through each one, tells it "route to me" and probes the I2C
// addresses given, asking every module found there for its serial number.
// The bytes are written by hand. Lines, in the order things happen:
//   answer 192.0.2.1 00 04 ...
//   model 40F5849A 12          (or: refused 40F5849C)
//   child 40F58500 10 40F58510
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<uint8_t>;

namespace
{

Bytes _read(int fd, size_t count, int ms)
{
    Bytes got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < count)
    {
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                       deadline - std::chrono::steady_clock::now())
                       .count();
        pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0)
            break;
        uint8_t b[64];
        ssize_t n = read(fd, b, count - got.size() < sizeof b ? count - got.size() : sizeof b);
        if (n <= 0)
            break;
        got.insert(got.end(), b, b + n);
    }
    return got;
}

Bytes _ask(int fd, const Bytes& request, size_t count)
{
    if (write(fd, request.data(), request.size()) != (ssize_t)request.size())
        return Bytes();
    return _read(fd, count, 1000);
}

uint32_t _be(const Bytes& b, size_t at)
{
    return (uint32_t)(b[at] << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3]);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        fprintf(stderr, "usage: modsim_search_probe INTERFACE [I2C-ADDRESS...]\n");
        return 2;
    }
    int listener = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(9889);
    if (bind(listener, (sockaddr*)&sa, sizeof sa) != 0)
    {
        fprintf(stderr, "bind 9889: %s\n", strerror(errno));
        return 1;
    }
    int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    in_addr iface = {};
    inet_pton(AF_INET, argv[1], &iface);
    setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface);
    sockaddr_in group = {};
    group.sin_family = AF_INET;
    group.sin_port = htons(9888);
    inet_pton(AF_INET, "232.2.2.2", &group.sin_addr);
    Bytes search(16, 0);
    search[0] = 0x01;
    sendto(sender, search.data(), search.size(), 0, (sockaddr*)&group, sizeof group);
    close(sender);

    std::vector<std::pair<sockaddr_in, Bytes>> answers;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    for (;;)
    {
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                       deadline - std::chrono::steady_clock::now())
                       .count();
        pollfd p = {listener, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0)
            break;
        uint8_t b[64];
        sockaddr_in from = {};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(listener, b, sizeof b, 0, (sockaddr*)&from, &len);
        if (n < 16)
            continue;
        answers.emplace_back(from, Bytes(b, b + n));
        printf("answer %s", inet_ntoa(from.sin_addr));
        for (ssize_t i = 0; i < n; i++)
            printf(" %02X", b[i]);
        printf("\n");
    }
    for (auto& [from, a] : answers)
    {
        uint32_t serial = (uint32_t)(a[4] | a[5] << 8 | a[6] << 16 | a[7] << 24);
        uint8_t address = a[1];
        sockaddr_in to = from;
        to.sin_port = htons((uint16_t)(a[2] | a[3] << 8));
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, (sockaddr*)&to, sizeof to) != 0)
        {
            printf("refused %08X\n", serial);
            close(fd);
            continue;
        }
        Bytes model = _ask(fd, {address, 0x03, 0x03, 0x48, 0x20}, 6);
        if (model.size() == 6)
            printf("model %08X %02X\n", serial, model[5]);
        else
            printf("no model %08X\n", serial);
        if (argc > 2 && _ask(fd, {address, 0x04, 0x03, 0x94, 0x20, 0x01}, 6).size() == 6)
            for (int i = 2; i < argc; i++)
            {
                uint8_t child = (uint8_t)strtoul(argv[i], nullptr, 16);
                Bytes probe =
                    _ask(fd, {address, 0x07, 0x08, 0x00, child, 0x02, 0x03, 0x00, 0x00}, 7);
                if (probe.size() != 7 || probe[6] != 0x00)
                    continue;
                Bytes s = _ask(fd, {child, 0x03, 0x03, 0x49, 0x20}, 9);
                if (s.size() == 9)
                    printf("child %08X %02X %08X\n", serial, child, _be(s, 5));
            }
        close(fd);
    }
    fflush(stdout);
    return answers.empty() ? 1 : 0;
}
