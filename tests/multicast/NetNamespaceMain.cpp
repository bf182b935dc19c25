// Test main that moves the process into its own network namespace before any
// thread exists, brings the loopback interface up there and routes multicast
// through it. Without the privilege to make a network namespace (an ordinary
// user), it first makes a user namespace of its own, mapping only its own user
// and group, in which it has that privilege.
#include "tests/multicast/NetNamespace.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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

static bool _writeFile(const char* path, const char* text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    size_t length = strlen(text);
    bool ok = write(fd, text, length) == (ssize_t)length;
    return close(fd) == 0 && ok;
}

// A network namespace of its own, inside a new user namespace when the
// process may not make one directly. The user namespace maps the caller's
// user and group to themselves; supplementary groups are denied first, as a
// group map written without that privilege requires.
static bool _privateNetwork()
{
    if (unshare(CLONE_NEWNET) == 0)
        return true;
    if (errno != EPERM)
        return false;
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        return false;
    char uidMap[64], gidMap[64];
    snprintf(uidMap, sizeof uidMap, "%u %u 1", (unsigned)uid, (unsigned)uid);
    snprintf(gidMap, sizeof gidMap, "%u %u 1", (unsigned)gid, (unsigned)gid);
    return _writeFile("/proc/self/setgroups", "deny") && _writeFile("/proc/self/uid_map", uidMap) &&
           _writeFile("/proc/self/gid_map", gidMap);
}

int main(int argc, char** argv)
{
    if (_privateNetwork())
        _private = _loopbackUp();
    if (!_private)
        fprintf(stderr, "no private network namespace: multicast tests are skipped\n");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
