// Fault switches of a simulated module.
//
// Counting faults ("every Nth") count per connection (per link), from the
// first packet on it or from when the switches were last set: the Nth, 2Nth,
// ... packet the module sends (drop, corrupt), receives (drop-in) or the Nth
// reply (garbage). Cut rules count the same way. Replies are what
// the module sends in answer to a received packet; heartbeats are not replies.
//
// Cut rules end what a link does: an orderly close (FIN), a reset (RST) or
// silence (the module stops sending anything, on every link, until the
// switch is cleared). A rule fires after N packets received on a link (the
// Nth packet is handled and answered first) or on a named event (the packet
// or heartbeat that made the event is then not answered or sent). Events are
// named by the module's levels; this level names
//   connect           a TCP/IP connection was accepted
//   sync              a sync request arrived
//   route-on, route-off   route control arrived
//   heartbeat         a heartbeat is about to be sent
//   heartbeat-answer  the host answered a heartbeat
//   heartbeat-missed  a heartbeat went unanswered
// and "EVENT#K" names its Kth occurrence on a link. A rule fires once, or with
// `repeat` once on every link.
//
// On a serial line close and reset both hang the line up (the pseudo-terminal
// is closed); over USB both unplug the module.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace modsim
{

enum class CutKind
{
    Close,   // orderly close: FIN
    Reset,   // reset: RST (SO_LINGER 0)
    Silence, // stop answering
};

struct CutRule
{
    CutKind kind = CutKind::Close;
    unsigned afterPackets = 0; // 0: not by count
    std::string onEvent;       // "": not by event
    unsigned occurrence = 1;   // the event's Kth occurrence on a link
    bool repeat = false;
};

struct Faults
{
    unsigned dropEvery = 0;    // the module does not send every Nth packet
    unsigned dropInEvery = 0;  // the module ignores every Nth packet it receives
    unsigned corruptEvery = 0; // one byte of every Nth packet sent is altered
    unsigned corruptByte = 0;  // which byte of the wire form: 0 address, 1 length, 2.. data
    uint8_t corruptMask = 0x01;
    unsigned delayMs = 0;      // every reply leaves this much later
    unsigned garbageEvery = 0; // garbage goes out before every Nth reply
    // Raw bytes, unframed: 05 is an odd address on TCP/IP and USB, and the 00
    // ends the garbage as a frame of its own on a serial line.
    std::vector<uint8_t> garbage = {0x05, 0xFF, 0x00};
    bool silent = false; // stop answering
    std::vector<CutRule> cuts;
};

// The fault switches of the command line, for the program's help text.
extern const char* const kFaultOptionsHelp;

// True when `name` (with its leading dashes) is a fault switch; `takesValue`
// tells whether it needs an argument.
bool isFaultOption(const std::string& name, bool& takesValue);

// Applies one fault switch with its argument; false with a message in `error`
// when the argument is not valid.
bool applyFaultOption(Faults& faults, const std::string& name, const std::string& value,
                      std::string& error);

// Parses "EVENT" or "EVENT#K".
bool parseEventName(const std::string& text, std::string& event, unsigned& occurrence);

// Parses hex bytes: "05FF00", "05 FF 00", "0x05,0xff".
bool parseHexBytes(const std::string& text, std::vector<uint8_t>& bytes);

} // namespace modsim
