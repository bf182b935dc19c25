// Packets and their framing as a module sees them on its transports.
//
// A packet on the wire is the module address, the length (0 to 28) and the
// data. TCP/IP and USB carry packets back to back with nothing around them; a
// serial line carries each packet with a CRC-8 in a COBS frame ended by 0x00.
// The module's receiver on each transport is a Deframer: it turns bytes into
// packets and sets aside what it cannot use ("junk"), as the firmware does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace modsim
{

constexpr uint8_t kSyncAddress = 0xAD;  // sync request / module address query
constexpr uint8_t kRouteAddress = 0xAF; // route control, data [1] on, [0] off
constexpr size_t kMaxData = 28;

struct Packet
{
    uint8_t address = 0;
    std::vector<uint8_t> data;

    // Address, length and data.
    std::vector<uint8_t> wire() const;
    bool isHeartbeat() const { return data.size() == 2 && data[0] == 0; }
};

// "04 02 00 01"
std::string hex(const std::vector<uint8_t>& bytes);

enum class Framing
{
    Raw,  // TCP/IP and USB
    Cobs, // serial line: packet, CRC-8, COBS, 0x00
};

// One thing a deframer found in the received bytes: a packet, or a run of
// bytes it had to throw away and why.
struct Received
{
    bool isPacket = false;
    Packet packet;
    std::vector<uint8_t> bytes; // the packet's wire form, or the rejected bytes
    std::string why;            // for rejected bytes
};

class Deframer
{
public:
    virtual ~Deframer() = default;
    // Feeds received bytes; what they complete is appended to `out` in order.
    virtual void feed(const uint8_t* bytes, size_t n, std::vector<Received>& out) = 0;
};

std::unique_ptr<Deframer> makeDeframer(Framing framing);

// A fault applied to the bytes of one outgoing packet: byte `index` of its
// wire form (the last byte when the packet is shorter) is XORed with `mask`.
// On a serial line the CRC is computed before the byte is altered, so the
// frame arrives with a CRC that does not match.
struct Corruption
{
    bool active = false;
    size_t index = 0;
    uint8_t mask = 0x01;
};

// The bytes that carry a packet's wire form on the transport.
std::vector<uint8_t> encodeFrame(Framing framing, const std::vector<uint8_t>& wire,
                                 const Corruption& corruption = Corruption());

// The wire form after the corruption (what the trace shows).
std::vector<uint8_t> corrupted(const std::vector<uint8_t>& wire, const Corruption& corruption);

} // namespace modsim
