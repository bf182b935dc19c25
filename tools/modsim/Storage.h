// Store slots and factory data.
//
// Store slots (command 4; the second data byte is the operation, bit 7 set
// in an answer that reports an error, whose last byte is then the code):
//   capacity  04 01 S L  ->  04 01 S L CAP(2)     error 04 81 S L CODE
//   size      04 02 S L  ->  04 02 S L SIZE(2)    error 04 82 S L CODE
//   open to read   04 03 S L  ->  04 03 S L H     error 04 83 S L CODE
//   open to write  04 04 S L  ->  04 04 S L H     error 04 84 S L CODE
//   read   04 06 H  ->  04 06 H, up to 25 bytes from where the last read ended
//          (none at the end)                      error 04 86 H CODE
//   write  04 07 H BYTES(up to 25)  ->  04 07 H SUM (8-bit sum of the bytes)
//                                                 error 04 87 H CODE
//   close  04 08 H  ->  04 08 H 00                error 04 88 H CODE
// S is the store, L the slot, H a handle (1 to 254). Opening to write empties
// the slot; what is written is its new content, its size when it is closed.
// Refusals: no such store or slot NotFound, a slot open already Busy, a
// read-only slot opened to write Permission, a write past the capacity
// Overrun, a handle not open NotFound, more than 4 open Resource.
//
// Factory data (command 94, 0x5E; the second byte holds an operation in its
// high nibble and a selector 0-15 in its low nibble; answers echo the low
// nibble of the request, with bit 7 set to report an error, the code then
// being a third byte):
//   read first  5E 4s  ->  5E 0s, up to 26 bytes   error 5E 8s CODE
//   read next   5E 0s  ->  5E 0s, the next 26 bytes (a full answer has 28
//               data bytes; a shorter one, even of 2, is the last)
//   write first 5E 5s BYTES(up to 26)  ->  5E 0s   error 5E 8s CODE
//   write next  5E 1s BYTES            ->  5E 0s
//   confirm     5E 20 N(2)  ->  5E 00, or 5E 80 CODE: N must be the count read
//               or written since the first request; a write takes effect here
// Refusals: an unknown selector on read NotFound, a locked one on write
// Permission, more than 1024 bytes Size, next without first Param, a wrong
// count Size. A confirm with no transfer under way takes a count of 0.
//
// Threads: the simulator's loop thread, with its lock held.
#pragma once

#include "ModuleCore.h"

#include <map>
#include <optional>
#include <set>
#include <vector>

namespace modsim
{

class Firmware;

class Storage
{
public:
    explicit Storage(Firmware& firmware);

    // What a slot holds (none: no such slot); what a selector holds.
    std::optional<std::vector<uint8_t>> slot(uint8_t store, uint8_t slot) const;
    std::optional<std::vector<uint8_t>> factory(uint8_t selector) const;

private:
    struct Slot
    {
        uint16_t capacity = 0;
        std::vector<uint8_t> data;
        bool readOnly = false;
        bool open = false;
    };
    struct Handle
    {
        uint16_t slot; // store << 8 | slot
        bool writing;
        size_t position = 0;
    };
    struct Transfer
    {
        bool active = false;
        bool writing = false;
        uint8_t selector = 0;
        size_t count = 0; // bytes sent or taken
        std::vector<uint8_t> bytes;
    };

    void handleSlot(Link& link, const Packet& p, Time now);
    void handleFactory(Link& link, const Packet& p, Time now);

    Firmware& firmware_;
    std::map<uint16_t, Slot> slots_;
    std::map<uint8_t, Handle> handles_;
    uint8_t nextHandle_ = 1;
    std::map<uint8_t, std::vector<uint8_t>> factory_;
    std::set<uint8_t> locked_;
    Transfer transfer_;
};

} // namespace modsim
