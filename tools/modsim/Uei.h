// UEI values as a module holds them, and the bytes that carry them.
//
// An entity is a command code (its class: 3 system, 8 I2C, ...) and an index
// (which one of that class). Its options are its values. A UEI request is a
// packet to the module whose data bytes are the command, the option byte
// and the index byte, then the value:
//   option byte  bits 0-5 the option; bit 7 a set (or a call), bit 6 a get;
//                in answers both bits 7 and 6 acknowledge a set, neither is a
//                value report
//   index byte   bits 0-4 the index; bit 5 set by the host in every request;
//                bit 6 set by the module in a streamed value; bit 7 set in an
//                error answer, whose value byte is then the error code
//   value        1, 2 or 4 bytes, most significant first; a request with a
//                sub-index has it as the fourth data byte, before the value
// Byte values travel in segments of up to 24 bytes, each followed by a
// sequence byte: bit 7 says more follow, bits 0-6 count the packets from 0.
// An empty value is one packet with the sequence byte 0.
#pragma once

#include "ModuleCore.h"

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace modsim
{

class Link;

// Command codes.
constexpr uint8_t cmdSYSTEM = 3;
constexpr uint8_t cmdSLOT = 4;
constexpr uint8_t cmdI2C = 8;
constexpr uint8_t cmdDEBUG = 23;
constexpr uint8_t cmdINFO = 73;
constexpr uint8_t cmdSTORE = 92;
constexpr uint8_t cmdSTREAM = 93;
constexpr uint8_t cmdFACTORY = 94;

// Whether a command carries UEI traffic (the others have layouts of their own).
bool isUeiCommand(uint8_t command);

// The error codes a module puts into its error answers.
namespace err
{
constexpr uint8_t Memory = 1;
constexpr uint8_t Param = 2;
constexpr uint8_t NotFound = 3;
constexpr uint8_t Busy = 5;
constexpr uint8_t Mode = 7;
constexpr uint8_t Permission = 12;
constexpr uint8_t Size = 14;
constexpr uint8_t Overrun = 15;
constexpr uint8_t Parse = 16;
constexpr uint8_t IndexRange = 26;
constexpr uint8_t ShortCommand = 27;
constexpr uint8_t InvalidEntity = 28;
constexpr uint8_t InvalidOption = 29;
constexpr uint8_t Resource = 30;
} // namespace err

enum class ValueType
{
    Void,  // a call: nothing to get, a set runs it
    Byte,  // 1 byte
    Short, // 2 bytes
    Int,   // 4 bytes
    Bytes, // segmented
};

// The value's size on the wire (0 for Void and Bytes).
size_t valueSize(ValueType type);
void putValue(std::vector<uint8_t>& out, ValueType type, uint32_t value);
uint32_t takeValue(const uint8_t* bytes, size_t size);

// One option of an entity.
struct Option
{
    ValueType type = ValueType::Byte;
    bool readable = true;  // a get is answered (else refused: Mode)
    bool writable = false; // a set is taken (else refused: Permission); Void: a call
    uint32_t value = 0;
    std::vector<uint8_t> bytes;
    size_t capacity = 1024; // Bytes: the longest value a set may store
    // Values by sub-index; when not empty, the option takes a sub-index and
    // a request without one means sub-index 0.
    std::map<uint8_t, uint32_t> sub;
    // Answers leave this much later (a command that takes its time).
    unsigned delayMs = 0;
    // Streamed: the period (0: the module's) and what each sample adds to
    // the value (0: the value stays; bound values are read as they are).
    unsigned streamMs = 0;
    int32_t streamStep = 1;

    // Values bound to the module's state instead of `value`/`bytes`.
    std::function<uint32_t()> read;
    std::function<std::vector<uint8_t>()> readBytes;
    // Takes a set (or a call): returns 0 or the error code to answer. When
    // present it alone keeps the value. `sub` is -1 without a sub-index.
    std::function<uint8_t(Link& link, uint32_t value, int sub, Time now)> onSet;
    std::function<uint8_t(Link& link, const std::vector<uint8_t>& bytes, Time now)> onSetBytes;
    // False: the option does not exist just now (InvalidOption).
    std::function<bool()> present;

    uint32_t current(int subIndex = -1) const;
    std::vector<uint8_t> currentBytes() const;
};

struct Entity
{
    uint8_t group = 0; // what the group query reports
    std::map<uint8_t, Option> options;
};

// Segments of a byte value: `head` (command, option, index...), up to `per`
// value bytes, the sequence byte. An empty value gives one segment.
std::vector<std::vector<uint8_t>> segmentBytes(const std::vector<uint8_t>& head,
                                               const std::vector<uint8_t>& value, size_t per = 24);

} // namespace modsim
