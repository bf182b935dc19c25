// Network namespace, loopback, multicast route and veth pairs (rtnetlink).
#include "NetLab.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace modsim
{

namespace
{

bool _writeFile(const char* path, const std::string& text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == (ssize_t)text.size();
    return close(fd) == 0 && ok;
}

bool _setUp(const char* name, std::string& error)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request = {};
    strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    bool ok = s >= 0 && ioctl(s, SIOCGIFFLAGS, &request) == 0;
    if (ok)
    {
        request.ifr_flags |= IFF_UP | IFF_RUNNING | IFF_MULTICAST;
        ok = ioctl(s, SIOCSIFFLAGS, &request) == 0;
    }
    if (!ok)
        error = std::string("cannot bring ") + name + " up: " + strerror(errno);
    if (s >= 0)
        close(s);
    return ok;
}

// One rtnetlink message under construction.
class _Message
{
public:
    _Message(uint16_t type, uint16_t flags) : buffer_(NLMSG_HDRLEN, 0)
    {
        header()->nlmsg_type = type;
        header()->nlmsg_flags = (uint16_t)(NLM_F_REQUEST | NLM_F_ACK | flags);
    }
    template <typename T> void put(const T& value)
    {
        const uint8_t* bytes = (const uint8_t*)&value;
        append(bytes, sizeof value);
    }
    void attribute(uint16_t type, const void* data, size_t length)
    {
        rtattr a = {};
        a.rta_type = type;
        a.rta_len = (unsigned short)RTA_LENGTH(length);
        append((const uint8_t*)&a, sizeof a);
        append((const uint8_t*)data, length);
    }
    void text(uint16_t type, const std::string& s) { attribute(type, s.c_str(), s.size() + 1); }
    size_t begin(uint16_t type)
    {
        size_t at = buffer_.size();
        attribute(type, nullptr, 0);
        return at;
    }
    void end(size_t at)
    {
        ((rtattr*)(buffer_.data() + at))->rta_len = (unsigned short)(buffer_.size() - at);
    }

    bool send(std::string& error, const std::string& what)
    {
        header()->nlmsg_len = (uint32_t)buffer_.size();
        int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (fd < 0)
        {
            error = what + ": netlink: " + strerror(errno);
            return false;
        }
        timeval limit = {2, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_nl kernel = {};
        kernel.nl_family = AF_NETLINK;
        bool ok = sendto(fd, buffer_.data(), buffer_.size(), 0, (sockaddr*)&kernel,
                         sizeof kernel) == (ssize_t)buffer_.size();
        int code = ok ? 0 : errno;
        if (ok)
        {
            uint8_t answer[4096];
            ssize_t n = recv(fd, answer, sizeof answer, 0);
            nlmsghdr* h = (nlmsghdr*)answer;
            if (n < (ssize_t)NLMSG_HDRLEN || h->nlmsg_type != NLMSG_ERROR)
            {
                ok = false;
                code = n < 0 ? errno : EPROTO;
            }
            else
            {
                code = -((nlmsgerr*)NLMSG_DATA(h))->error;
                ok = code == 0;
            }
        }
        close(fd);
        if (!ok)
            error = what + ": " + strerror(code);
        return ok;
    }

private:
    nlmsghdr* header() { return (nlmsghdr*)buffer_.data(); }
    void append(const uint8_t* bytes, size_t n)
    {
        if (n > 0)
            buffer_.insert(buffer_.end(), bytes, bytes + n);
        buffer_.resize(NLMSG_ALIGN(buffer_.size()), 0);
    }
    std::vector<uint8_t> buffer_;
};

bool _address(const std::string& name, const std::string& cidr, std::string& error)
{
    size_t slash = cidr.find('/');
    in_addr address = {};
    int prefix = slash == std::string::npos ? 32 : atoi(cidr.c_str() + slash + 1);
    if (inet_pton(AF_INET, cidr.substr(0, slash).c_str(), &address) != 1 || prefix < 1 ||
        prefix > 32)
    {
        error = "not an IPv4 address with a prefix length: " + cidr;
        return false;
    }
    unsigned index = if_nametoindex(name.c_str());
    if (index == 0)
    {
        error = "no interface " + name;
        return false;
    }
    _Message m(RTM_NEWADDR, NLM_F_CREATE | NLM_F_REPLACE);
    ifaddrmsg a = {};
    a.ifa_family = AF_INET;
    a.ifa_prefixlen = (unsigned char)prefix;
    a.ifa_index = index;
    m.put(a);
    m.attribute(IFA_LOCAL, &address, sizeof address);
    m.attribute(IFA_ADDRESS, &address, sizeof address);
    return m.send(error, "address " + cidr + " on " + name);
}

} // namespace

bool enterPrivateNetwork(std::string& error)
{
    if (unshare(CLONE_NEWNET) != 0)
    {
        if (errno != EPERM)
        {
            error = std::string("cannot make a network namespace: ") + strerror(errno);
            return false;
        }
        // Without the privilege: a user namespace of our own first, mapping
        // only our own user and group.
        uid_t uid = geteuid();
        gid_t gid = getegid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        {
            error = std::string("cannot make a user and network namespace: ") + strerror(errno);
            return false;
        }
        char map[64];
        snprintf(map, sizeof map, "%u %u 1", (unsigned)uid, (unsigned)uid);
        bool ok =
            _writeFile("/proc/self/setgroups", "deny") && _writeFile("/proc/self/uid_map", map);
        snprintf(map, sizeof map, "%u %u 1", (unsigned)gid, (unsigned)gid);
        if (!ok || !_writeFile("/proc/self/gid_map", map))
        {
            error = std::string("cannot map the user into the namespace: ") + strerror(errno);
            return false;
        }
    }
    if (!_setUp("lo", error))
        return false;
    // Multicast to 224.0.0.0/4 goes out through lo unless a socket names an
    // interface of its own.
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    rtentry route = {};
    sockaddr_in* dst = (sockaddr_in*)&route.rt_dst;
    sockaddr_in* mask = (sockaddr_in*)&route.rt_genmask;
    dst->sin_family = AF_INET;
    dst->sin_addr.s_addr = htonl(0xE0000000);
    mask->sin_family = AF_INET;
    mask->sin_addr.s_addr = htonl(0xF0000000);
    route.rt_flags = RTF_UP;
    route.rt_dev = (char*)"lo";
    bool ok = s >= 0 && (ioctl(s, SIOCADDRT, &route) == 0 || errno == EEXIST);
    if (!ok)
        error = std::string("cannot route multicast through lo: ") + strerror(errno);
    if (s >= 0)
        close(s);
    return ok;
}

bool addVethPair(const std::string& name, const std::string& address, const std::string& peer,
                 const std::string& peerAddress, std::string& error)
{
    _Message m(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL);
    ifinfomsg info = {};
    info.ifi_family = AF_UNSPEC;
    m.put(info);
    m.text(IFLA_IFNAME, name);
    size_t linkInfo = m.begin(IFLA_LINKINFO);
    m.attribute(IFLA_INFO_KIND, "veth", 4);
    size_t data = m.begin(IFLA_INFO_DATA);
    size_t peerInfo = m.begin(VETH_INFO_PEER);
    m.put(info);
    m.text(IFLA_IFNAME, peer);
    m.end(peerInfo);
    m.end(data);
    m.end(linkInfo);
    if (!m.send(error, "veth pair " + name + "/" + peer))
        return false;
    if (!address.empty() && !_address(name, address, error))
        return false;
    if (!peerAddress.empty() && !_address(peer, peerAddress, error))
        return false;
    return _setUp(name.c_str(), error) && _setUp(peer.c_str(), error);
}

} // namespace modsim
