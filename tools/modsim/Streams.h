// Streamed values: the module sends UEI values of its own accord, at a set
// rate, on the link that has its route (a module behind a router: the link
// its router routes to).
//
// Stream control is UEI traffic of command 93 (0x5D), index 0:
//   enable   5D 81 20 M C O I  ->  5D C1 00 M C O I
//   disable  5D 82 20 M C O I  ->  5D C2 00 M C O I
//   status   5D 41 20          ->  5D 01 00 S (1 while anything streams)
// M is the module's address, C O I the command, option and index to stream;
// 0xFF in C, O or I means any. A pattern with a wildcard option streams the
// options that name a period of their own (Option::streamMs); one that names
// the option streams it at its period or the module's. Disable takes away
// every enabled pattern the one given covers. Refusals (error answers, Uei.h):
// another module's address Param, nothing to stream InvalidOption, a value
// of the wrong length Size.
//
// A streamed sample has the data bytes
//   C, O, 0x40|I, TYPE, [SUB,] TIME (8), VALUE (1, 2 or 4), 00
// TYPE 1 byte, 2 short, 3 int; 5, 6, 7 the same with a sub-index (every
// sub-index of the option is streamed); TIME is microseconds since the
// module started, upper then lower 32 bits, every value most significant
// byte first; the last byte is the sequence byte, 0 for a sample. A byte
// value streams as type 4: its segments C, O, 0x40|I, 4, up to 23 bytes,
// sequence byte (bit 7: more follow). Each sample first adds the option's
// streamStep to a stored value, so a host sees every sample's value differ
// from the one before by the step (and a get then reads the latest).
//
// Threads: the simulator's loop thread, with its lock held.
#pragma once

#include "ModuleCore.h"

#include <map>
#include <tuple>
#include <vector>

namespace modsim
{

class Firmware;
struct Option;

class Streams
{
public:
    explicit Streams(Firmware& firmware);
    bool streaming() const { return !enabled_.empty(); }

private:
    struct Pattern
    {
        uint8_t command, option, index;
        bool operator==(const Pattern&) const = default;
    };
    // One value to stream: command, index, option.
    using Source = std::tuple<uint8_t, uint8_t, uint8_t>;

    void handle(Link& link, const Packet& p, Time now);
    Time tick(Time now);
    std::vector<Source> sources(const Pattern& pattern) const;
    void sample(Link& link, const Source& source, Option& o, Time now);

    Firmware& firmware_;
    std::vector<Pattern> enabled_;
    std::map<Source, Time> next_;
};

} // namespace modsim
