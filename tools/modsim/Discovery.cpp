// The network search: a multicast listener per module and its answer.
#include "Discovery.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace modsim
{

namespace
{

// The index of the interface that has `address`; 0 when none has it.
unsigned _interfaceIndex(in_addr address)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return 0;
    unsigned index = 0;
    for (ifaddrs* i = list; i != nullptr && index == 0; i = i->ifa_next)
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET &&
            ((sockaddr_in*)i->ifa_addr)->sin_addr.s_addr == address.s_addr)
            index = if_nametoindex(i->ifa_name);
    freeifaddrs(list);
    return index;
}

std::string _peer(const sockaddr_in& sa)
{
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
    return "udp:" + std::string(text) + ":" + std::to_string(ntohs(sa.sin_port));
}

} // namespace

DiscoveryEndpoint::DiscoveryEndpoint(ModuleCore& module, Trace& trace,
                                     std::function<uint16_t()> tcpPort)
    : module_(module), trace_(trace), tcpPort_(std::move(tcpPort))
{
}

DiscoveryEndpoint::~DiscoveryEndpoint()
{
    if (listen_ >= 0)
        close(listen_);
    if (send_ >= 0)
        close(send_);
}

bool DiscoveryEndpoint::open(const DiscoverySpec& spec, std::string& error)
{
    spec_ = spec;
    setReplyLength(spec.replyLength);
    in_addr iface = {};
    if (inet_pton(AF_INET, spec.interface.c_str(), &iface) != 1)
    {
        error = "discovery: not an IPv4 address: " + spec.interface;
        return false;
    }
    unsigned index = iface.s_addr == htonl(INADDR_ANY) ? 0 : _interfaceIndex(iface);
    if (iface.s_addr != htonl(INADDR_ANY) && index == 0)
    {
        error = "discovery: no interface has the address " + spec.interface;
        return false;
    }
    auto fail = [&](const char* what)
    {
        error =
            std::string("discovery on ") + spec.interface + ": " + what + ": " + strerror(errno);
        return false;
    };
    listen_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_ < 0)
        return fail("socket");
    int one = 1, zero = 0;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Only the memberships of this socket count, not those of every socket
    // of the machine: a module hears the search on its own interface only.
    setsockopt(listen_, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(kSearchPort);
    inet_pton(AF_INET, kSearchGroup, &sa.sin_addr);
    if (bind(listen_, (sockaddr*)&sa, sizeof sa) != 0)
        return fail("bind to the search port");
    ip_mreqn join = {};
    join.imr_multiaddr = sa.sin_addr;
    join.imr_address = iface;
    join.imr_ifindex = (int)index;
    if (setsockopt(listen_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0)
        return fail("join the search group");

    send_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (send_ < 0)
        return fail("socket");
    sockaddr_in from = {};
    from.sin_family = AF_INET;
    from.sin_addr = iface;
    if (bind(send_, (sockaddr*)&from, sizeof from) != 0)
        return fail("bind the answering socket");
    return true;
}

std::string DiscoveryEndpoint::describe() const
{
    return "discovery " + spec_.interface;
}

void DiscoveryEndpoint::pollFds(std::vector<pollfd>& fds)
{
    if (listen_ >= 0)
        fds.push_back({listen_, POLLIN, 0});
}

std::vector<uint8_t> DiscoveryEndpoint::reply() const
{
    std::vector<uint8_t> r(16, 0);
    uint16_t port = spec_.port != 0 ? spec_.port : tcpPort_ ? tcpPort_() : 0;
    uint32_t serial = module_.identity().serial;
    r[1] = module_.address();
    r[2] = (uint8_t)port;
    r[3] = (uint8_t)(port >> 8);
    for (int i = 0; i < 4; i++)
        r[4 + i] = (uint8_t)(serial >> (8 * i));
    r[12] = module_.identity().model;
    return r;
}

void DiscoveryEndpoint::handle(const pollfd& p, Time now)
{
    if (p.fd != listen_)
        return;
    // A few datagrams a turn, then the loop's other work.
    for (int i = 0; i < 16; i++)
    {
        uint8_t buffer[64];
        sockaddr_in sender = {};
        socklen_t len = sizeof sender;
        ssize_t n = recvfrom(listen_, buffer, sizeof buffer, 0, (sockaddr*)&sender, &len);
        if (n < 0)
            return;
        std::vector<uint8_t> request(buffer, buffer + n);
        ModuleStats& stats = module_.stats();
        if (n != 16 || buffer[0] != 0x01)
        {
            stats.discoveryIgnored++;
            trace_.add(now, module_.identity().serial, "in", _peer(sender),
                       "not a search " + std::to_string(n) + ": " + hex(request));
            continue;
        }
        stats.discoveryRequests++;
        trace_.add(now, module_.identity().serial, "in", _peer(sender), "search: " + hex(request));
        if (spec_.replyLength == 0 || module_.silent())
            continue;
        std::vector<uint8_t> r = reply();
        r.resize(spec_.replyLength);
        sockaddr_in to = sender;
        to.sin_port = htons(kSearchReplyPort);
        if (sendto(send_, r.data(), r.size(), 0, (sockaddr*)&to, sizeof to) == (ssize_t)r.size())
        {
            stats.discoveryReplies++;
            trace_.add(now, module_.identity().serial, "out", _peer(to),
                       "search answer " + std::to_string(r.size()) + ": " + hex(r));
        }
        else
            trace_.add(now, module_.identity().serial, "---", _peer(to),
                       std::string("search answer not sent: ") + strerror(errno));
    }
}

} // namespace modsim
