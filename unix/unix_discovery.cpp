// The searches that need the operating system: USB enumeration through the
// shared libusb context, and the TCP/IP multicast search over UDP sockets.
#include <lumbrixon/discover.h>

#include <lumbrixon/kxError.h>
#include <lumbrixon/kxTime.h>
#include <lumbrixon/lxusb_driver.h>

#include <libusb.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

// The serial-number string is read into at most this many bytes.
#define kxDISCOVERY_USB_SERIAL_MAX 32
#define kxDISCOVERY_USB_SERIAL_LENGTH 8
// The search's datagrams never leave the local network.
#define kxDISCOVERY_SEARCH_TTL 1

namespace
{

void sReport(const char* text)
{
    fprintf(stderr, "%s: %s\n", text, strerror(errno));
}

uint32_t sLoopback()
{
    return htonl(INADDR_LOOPBACK);
}

// Eight hexadecimal digits and nothing else.
bool sParseSerial(const unsigned char* text, int length, uint32_t* serial)
{
    if (length != kxDISCOVERY_USB_SERIAL_LENGTH)
    {
        return false;
    }
    uint32_t value = 0;
    for (int i = 0; i < length; i++)
    {
        unsigned char c = text[i];
        uint32_t digit = 0;
        if (c >= '0' && c <= '9')
        {
            digit = c - '0';
        }
        else if (c >= 'A' && c <= 'F')
        {
            digit = c - 'A' + 10;
        }
        else if (c >= 'a' && c <= 'f')
        {
            digit = c - 'a' + 10;
        }
        else
        {
            return false;
        }
        value = value << 4 | digit;
    }
    *serial = value;
    return true;
}

bool sIsModule(const libusb_device_descriptor& descriptor)
{
    return descriptor.idVendor == lxusbVENDOR_ID && descriptor.idProduct < lxusbPRODUCT_LIMIT;
}

// The specifier of one USB device, or false when it is not a module whose
// serial number can be read.
bool sDescribeUSB(libusb_device* device, linkSpec* spec)
{
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS ||
        !sIsModule(descriptor))
    {
        return false;
    }
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != LIBUSB_SUCCESS)
    {
        return false;
    }
    bool found = false;
    uint32_t serial = 0;
    if (libusb_get_device_descriptor(libusb_get_device(handle), &descriptor) == LIBUSB_SUCCESS &&
        sIsModule(descriptor) && descriptor.iSerialNumber != 0)
    {
        unsigned char text[kxDISCOVERY_USB_SERIAL_MAX + 1] = {};
        int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text,
                                                        kxDISCOVERY_USB_SERIAL_MAX);
        found = sParseSerial(text, length, &serial);
    }
    // Closed before the callback runs, so that it may open a link to it.
    libusb_close(handle);
    if (!found)
    {
        return false;
    }
    memset(spec, 0, sizeof *spec);
    spec->type = kxLinkTypeUSB;
    spec->serialNumber = serial;
    spec->model = descriptor.idProduct & 0xFF;
    spec->address = serial;
    return true;
}

// The listener for the replies; -1 when it could not be made ready (the
// failure is printed).
int sOpenListener(uint32_t interfaceAddress)
{
    int listener = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
    {
        sReport("Failed to create listener socket");
        return -1;
    }
    const char* failure = nullptr;
    int on = 1;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(kxDISCOVERY_REPLY_PORT);
    address.sin_addr.s_addr = interfaceAddress == 0 || interfaceAddress == sLoopback()
                                  ? htonl(INADDR_ANY)
                                  : interfaceAddress;
    timeval timeout = {kxDISCOVERY_REPLY_TIMEOUT_MS / 1000,
                       (kxDISCOVERY_REPLY_TIMEOUT_MS % 1000) * 1000};
    if (setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    {
        failure = "Failed to setup address for re-use";
    }
    else if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    {
        failure = "Failed to bind to listener socket";
    }
    else if (setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
    {
        failure = "Failed to set timeout";
    }
    if (failure != nullptr)
    {
        sReport(failure);
        close(listener);
        return -1;
    }
    return listener;
}

// Sends the request once through the interface (0: the system's default);
// true when it went out.
bool sSendRequest(uint32_t interfaceAddress)
{
    int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sender < 0)
    {
        sReport("Failed to multicast discovery package");
        return false;
    }
    int on = 1;
    unsigned char ttl = kxDISCOVERY_SEARCH_TTL;
    in_addr through = {};
    through.s_addr = interfaceAddress;
    bool sent = false;
    setsockopt(sender, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(sender, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    if (interfaceAddress != 0 &&
        setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &through, sizeof through) != 0)
    {
        sReport("Failed to set the local interface for multicast");
    }
    else
    {
        uint8_t request[kxDISCOVERY_REQUEST_SIZE] = {0x01};
        sockaddr_in group = {};
        group.sin_family = AF_INET;
        group.sin_port = htons(kxDISCOVERY_SEARCH_PORT);
        inet_pton(AF_INET, kxDISCOVERY_SEARCH_GROUP, &group.sin_addr);
        sent = sendto(sender, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group),
                      sizeof group) == static_cast<ssize_t>(sizeof request);
        if (!sent)
        {
            sReport("Failed to multicast discovery package");
        }
    }
    if (close(sender) != 0)
    {
        sReport("Failed to close socket");
    }
    return sent;
}

// The request through the interface given, or through every interface with
// an address of its own (the default one when none can be listed); the
// number of requests sent.
int sSendRequests(uint32_t interfaceAddress)
{
    if (interfaceAddress != 0 && interfaceAddress != sLoopback())
    {
        return sSendRequest(interfaceAddress) ? 1 : 0;
    }
    uint32_t addresses[kxDISCOVERY_MAX_INTERFACES];
    int count = kxDiscovery_GetIPv4Interfaces(addresses, kxDISCOVERY_MAX_INTERFACES);
    if (count == 0)
    {
        return sSendRequest(0) ? 1 : 0;
    }
    int sent = 0;
    for (int i = 0; i < count; i++)
    {
        if (addresses[i] != 0 && addresses[i] != sLoopback() && sSendRequest(addresses[i]))
        {
            sent++;
        }
    }
    return sent;
}

// Replies until the search's time-out, counted from the first wait, or until
// the callback stops; at most kxDISCOVERY_REPLY_LIMIT datagrams.
uint8_t sReceiveReplies(int listener, kxDiscoveryCallback callback, void* ref)
{
    uint8_t found = 0;
    uint64_t deadline = kxTime_GetMonotonicNS() / 1000000 + kxDISCOVERY_REPLY_TIMEOUT_MS;
    for (int datagrams = 0; datagrams < kxDISCOVERY_REPLY_LIMIT; datagrams++)
    {
        uint64_t now = kxTime_GetMonotonicNS() / 1000000;
        if (now >= deadline)
        {
            break;
        }
        pollfd ready = {listener, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(deadline - now)) <= 0)
        {
            break;
        }
        uint8_t reply[kxDISCOVERY_REPLY_SIZE];
        sockaddr_in sender = {};
        socklen_t senderLength = sizeof sender;
        ssize_t length = recvfrom(listener, reply, sizeof reply, MSG_DONTWAIT,
                                  reinterpret_cast<sockaddr*>(&sender), &senderLength);
        linkSpec spec;
        if (length < 0 || sender.sin_family != AF_INET ||
            !kxDiscovery_ParseSearchReply(reply, static_cast<size_t>(length),
                                          sender.sin_addr.s_addr, &spec))
        {
            continue;
        }
        uint8_t success = 0;
        bool more = callback(&spec, &success, ref);
        found = static_cast<uint8_t>(found + (success != 0 ? 1 : 0));
        if (!more)
        {
            break;
        }
    }
    return found;
}

} // namespace

uint8_t kxDiscovery_EnumerateUSB(kxDiscoveryCallback callback, void* ref)
{
    libusb_context* context = Lumbrixon_libusb_context();
    if (context == nullptr || callback == nullptr)
    {
        return 0;
    }
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0)
    {
        return 0;
    }
    uint8_t found = 0;
    for (ssize_t i = 0; i < count; i++)
    {
        linkSpec spec;
        if (!sDescribeUSB(list[i], &spec))
        {
            continue;
        }
        uint8_t success = 0;
        bool more = callback(&spec, &success, ref);
        found = static_cast<uint8_t>(found + (success != 0 ? 1 : 0));
        if (!more)
        {
            break;
        }
    }
    libusb_free_device_list(list, 1);
    return found;
}

uint8_t kxDiscovery_EnumerateTCPIP(kxDiscoveryCallback callback, void* ref,
                                   uint32_t interfaceAddress)
{
    if (callback == nullptr)
    {
        return 0;
    }
    int listener = sOpenListener(interfaceAddress);
    int sent = sSendRequests(interfaceAddress);
    uint8_t found = 0;
    if (listener >= 0 && sent > 0)
    {
        found = sReceiveReplies(listener, callback, ref);
    }
    if (listener >= 0)
    {
        close(listener);
    }
    kxDebug_Printf(kxDebugDiscovery, "Done with discovery\n");
    return found;
}
