// IPv4 UDP multicast sockets for the device server's loopback responder and the
// multicast search.
#include <lumbrixon/kxMulticast.h>
#include <lumbrixon/kxError.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <new>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#define kxMULTICAST_TTL 1
#define kxMULTICAST_RECEIVE_TIMEOUT_S 1

// One multicast socket; used only by the thread (actor or search) that created it.
struct kxMulticast
{
    uint16_t check;
    bool isSender;
    struct addrinfo* groupAddress;     // destination of sends
    struct addrinfo* bindAddress;      // receivers only: any local address on the port
    struct addrinfo* interfaceAddress; // the interface, port 0
    int socket;
};

static bool sValid(const kxMulticast* multicast)
{
    return multicast != nullptr && multicast->check == kxMULTICAST_CHECK;
}

// Every address is resolved as IPv4 (the hints admit no other family), so the
// socket options below take their IPv4 forms without checking.
static int sResolve(const char* host, const char* port, bool passive, struct addrinfo** result)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    return getaddrinfo(host, port, &hints, result);
}

static const struct sockaddr_in* sInet(const struct addrinfo* info)
{
    return (const struct sockaddr_in*)info->ai_addr;
}

static int sSetReuse(int socket)
{
    int on = 1;
    return setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

static int sJoinMulticastGroup(int socket, const struct addrinfo* group,
                               const struct addrinfo* interface)
{
    struct ip_mreq request;
    memset(&request, 0, sizeof request);
    request.imr_multiaddr = sInet(group)->sin_addr;
    request.imr_interface = sInet(interface)->sin_addr;
    return setsockopt(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
}

static int sSetSendInterface(int socket, const struct addrinfo* interface)
{
    struct in_addr address = sInet(interface)->sin_addr;
    return setsockopt(socket, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address);
}

static int sSetMulticastTtl(int socket)
{
    unsigned char ttl = kxMULTICAST_TTL;
    return setsockopt(socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
}

static int sSetReceiveTimeout(int socket)
{
    struct timeval timeout;
    timeout.tv_sec = kxMULTICAST_RECEIVE_TIMEOUT_S;
    timeout.tv_usec = 0;
    return setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

static int sSetMulticastLoopBack(int socket)
{
    unsigned char loop = 1;
    return setsockopt(socket, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
}

static void sRelease(kxMulticast* multicast)
{
    if (multicast->socket >= 0)
        close(multicast->socket);
    if (multicast->groupAddress)
        freeaddrinfo(multicast->groupAddress);
    if (multicast->bindAddress)
        freeaddrinfo(multicast->bindAddress);
    if (multicast->interfaceAddress)
        freeaddrinfo(multicast->interfaceAddress);
    multicast->check = 0;
    delete multicast;
}

static kxMulticast* sCleanup(kxMulticast* multicast)
{
    kxDebug_Printf(kxDebugMulticast, "in cleanup function\n");
    sRelease(multicast);
    return nullptr;
}

kxMulticast* kxMulticast_Create(uint32_t interfaceAddress, uint32_t group, uint16_t port,
                                bool isSender)
{
    kxMulticast* multicast = new (std::nothrow) kxMulticast();
    if (multicast == nullptr)
        return nullptr;
    multicast->check = kxMULTICAST_CHECK;
    multicast->isSender = isSender;
    multicast->socket = -1;

    if (interfaceAddress == 0)
        interfaceAddress = htonl(INADDR_LOOPBACK);
    char groupText[INET_ADDRSTRLEN], interfaceText[INET_ADDRSTRLEN], portText[8];
    struct in_addr address;
    address.s_addr = group;
    inet_ntop(AF_INET, &address, groupText, sizeof groupText);
    address.s_addr = interfaceAddress;
    inet_ntop(AF_INET, &address, interfaceText, sizeof interfaceText);
    snprintf(portText, sizeof portText, "%u", (unsigned)port);

    int rc = sResolve(groupText, portText, false, &multicast->groupAddress);
    if (rc != 0)
    {
        kxDebug_Printf(kxDebugMulticast,
                       "Unable to convert multicast address '%s - port: %s': Error %d\n", groupText,
                       portText, rc);
        return sCleanup(multicast);
    }
    // Only a receiver is bound; a sender's source port is the one the system
    // picks on its first send.
    if (!isSender && (rc = sResolve(nullptr, portText, true, &multicast->bindAddress)) != 0)
    {
        kxDebug_Printf(kxDebugMulticast, "Unable to convert bind address '%s': Error %d\n",
                       portText, rc);
        return sCleanup(multicast);
    }
    rc = sResolve(interfaceText, "0", false, &multicast->interfaceAddress);
    if (rc != 0)
    {
        kxDebug_Printf(kxDebugMulticast, "Unable to convert interface address '%s': Error %d\n",
                       interfaceText, rc);
        return sCleanup(multicast);
    }

    multicast->socket = socket(multicast->groupAddress->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (multicast->socket < 0)
    {
        kxDebug_Printf(kxDebugMulticast, "socket() failed with with error code %d\n", errno);
        return sCleanup(multicast);
    }
    int s = multicast->socket;
    if ((rc = sSetReuse(s)) != 0)
    {
        kxDebug_Printf(kxDebugMulticast, "Failed to _setReuse rc: %d - %d\n", rc, errno);
        return sCleanup(multicast);
    }
    if (!isSender && bind(s, multicast->bindAddress->ai_addr, multicast->bindAddress->ai_addrlen))
    {
        kxDebug_Printf(kxDebugMulticast, "bind() failed with error code %d \n", errno);
        return sCleanup(multicast);
    }
    if ((rc = sJoinMulticastGroup(s, multicast->groupAddress, multicast->interfaceAddress)) != 0)
    {
        kxDebug_Printf(kxDebugMulticast, "_joinMulticastGroup %d - %d\n", rc, errno);
        return sCleanup(multicast);
    }
    if ((rc = sSetSendInterface(s, multicast->interfaceAddress)) != 0)
    {
        kxDebug_Printf(kxDebugMulticast, "_setSendInterface %d - %d\n", rc, errno);
        return sCleanup(multicast);
    }
    if ((rc = sSetMulticastTtl(s)) != 0)
    {
        kxDebug_Printf(kxDebugMulticast, "_setMulticastTtl %d - %d\n", rc, errno);
        return sCleanup(multicast);
    }
    if ((rc = sSetReceiveTimeout(s)) != 0)
    {
        kxDebug_Printf(kxDebugMulticast, "_setReceiveTimeout %d - %d\n", rc, errno);
        return sCleanup(multicast);
    }
    if ((rc = sSetMulticastLoopBack(s)) != 0)
    {
        kxDebug_Printf(kxDebugMulticast, "_setMulticastLoopBack %d - %d\n", rc, errno);
        return sCleanup(multicast);
    }
    return multicast;
}

int kxMulticast_Destroy(kxMulticast** multicast)
{
    if (multicast == nullptr)
        return -2;
    kxMulticast* record = *multicast;
    *multicast = nullptr;
    if (!sValid(record))
        return -2;
    sRelease(record);
    return 0;
}

long kxMulticast_Send(kxMulticast* multicast, const void* data, size_t length)
{
    if (!sValid(multicast))
        return -2;
    if (!multicast->isSender)
        return -3;
    if (data == nullptr && length > 0)
        return -1;
    ssize_t sent = sendto(multicast->socket, data, length, MSG_NOSIGNAL,
                          multicast->groupAddress->ai_addr, multicast->groupAddress->ai_addrlen);
    if (sent < 0)
    {
        kxDebug_Printf(kxDebugMulticast, "sendto() failed with error code %d\n", errno);
        return -1;
    }
    return (long)sent;
}

long kxMulticast_Receive(kxMulticast* multicast, void* buffer, size_t size)
{
    if (!sValid(multicast))
        return -2;
    if (multicast->isSender)
        return -3;
    if (buffer == nullptr && size > 0)
        return -1;
    struct sockaddr_storage from;
    socklen_t fromLength = sizeof from;
    ssize_t received;
    do
        received =
            recvfrom(multicast->socket, buffer, size, 0, (struct sockaddr*)&from, &fromLength);
    while (received < 0 && errno == EINTR);
    if (received < 0)
    {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            kxDebug_Printf(kxDebugMulticast, "recvfrom() failed with error code %d\n", errno);
        return -1;
    }
    return (long)received;
}

bool kxMulticast_ParseIPv4(const char* text, uint32_t* address)
{
    struct in_addr parsed;
    if (text == nullptr || inet_pton(AF_INET, text, &parsed) != 1)
        return false;
    if (address != nullptr)
        *address = parsed.s_addr;
    return true;
}
