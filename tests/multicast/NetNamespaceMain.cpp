// Test main that moves the process into its own network namespace before any
// thread exists, brings the loopback interface up there and routes multicast
// through it.
#include "tests/multicast/NetNamespace.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

static bool _private = false;

bool testInPrivateNetwork()
{
    return _private;
}

static bool _loopbackUp()
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    struct ifreq request;
    memset(&request, 0, sizeof request);
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &request) == 0;
    if (ok)
    {
        request.ifr_flags |= IFF_UP | IFF_RUNNING | IFF_MULTICAST;
        ok = ioctl(s, SIOCSIFFLAGS, &request) == 0;
    }
    if (ok)
    {
        // Multicast to 224.0.0.0/4 goes out through lo.
        struct rtentry route;
        memset(&route, 0, sizeof route);
        struct sockaddr_in* dst = (struct sockaddr_in*)&route.rt_dst;
        struct sockaddr_in* mask = (struct sockaddr_in*)&route.rt_genmask;
        dst->sin_family = AF_INET;
        dst->sin_addr.s_addr = htonl(0xE0000000);
        mask->sin_family = AF_INET;
        mask->sin_addr.s_addr = htonl(0xF0000000);
        route.rt_flags = RTF_UP;
        route.rt_dev = (char*)"lo";
        if (ioctl(s, SIOCADDRT, &route) != 0 && errno != EEXIST)
            ok = false;
    }
    close(s);
    return ok;
}

int main(int argc, char** argv)
{
    if (unshare(CLONE_NEWNET) == 0)
        _private = _loopbackUp();
    if (!_private)
        fprintf(stderr, "no private network namespace: multicast tests are skipped\n");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
