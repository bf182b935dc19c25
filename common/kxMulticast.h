// One IPv4 UDP multicast socket: a receiver joined to a group on one interface,
// or a sender that writes datagrams to the group (platform interface,
// implemented in unix/unix_multicast.cpp).
//
// Addresses are IPv4 addresses as 32-bit values in network byte order; ports
// are in host order. Datagrams carry a time-to-live of 1 and loop back to the
// sending machine. A socket belongs to the thread that created it.
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxMULTICAST_CHECK 0x3C3C

    typedef struct kxMulticast kxMulticast;

    // Creates a receiver (bound to any local address on `port` and joined to
    // `group` on `interfaceAddress`) or a sender (not bound: the system picks its
    // source port when it first sends; it sends through `interfaceAddress` to
    // `group`:`port`). An interface of 0 means 127.0.0.1. Null on any failure.
    kxMulticast* kxMulticast_Create(uint32_t interfaceAddress, uint32_t group, uint16_t port,
                                    bool isSender);
    // Closes the socket, frees the object and clears the pointer; -2 when there is
    // none (a null or invalid object: the pointer is cleared all the same and
    // nothing is freed), else 0.
    int kxMulticast_Destroy(kxMulticast** multicast);
    // Sends one datagram to the group: the byte count sent, -1 on a send error,
    // -2 for a null object, -3 for a receiving socket.
    long kxMulticast_Send(kxMulticast* multicast, const void* data, size_t length);
    // Receives one datagram of at most `size` bytes, waiting at most 1 second: the
    // byte count, -1 on a time-out or error, -2 for a null object, -3 for a sending
    // socket.
    long kxMulticast_Receive(kxMulticast* multicast, void* buffer, size_t size);

    // True when text is a dotted IPv4 address ("192.0.2.1"); the address, in
    // network byte order, goes to *address when address is not null.
    bool kxMulticast_ParseIPv4(const char* text, uint32_t* address);

#ifdef __cplusplus
}
#endif
