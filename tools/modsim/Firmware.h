// The module's firmware above the link level: its entities and their UEI
// values (Uei.h), the module-wide queries (System.h), store slots and
// factory data (Storage.h), streamed values (Streams.h) and, on a routing
// module, the I2C bus and the modules behind it (Router.h).
//
// UEI requests, as the module answers them:
//   get      C, 0x40|O, 0x20|I [, SUB]  ->  C, O, I, value
//   set      C, 0x80|O, 0x20|I [, SUB], value  ->  C, 0xC0|O, I, value
//   call     C, 0x80|O, 0x20|I  ->  C, 0xC0|O, I
//   error    the answer's index byte gets bit 7 and one value byte, the code:
//            C, O (get) or 0xC0|O (set), 0x80|I, CODE
// A get of a byte value answers with its segments (C, O, I, up to 24 bytes,
// sequence byte); a set of one sends its segments and gets one answer,
// C, 0xC0|O, I, after the last. The answer to a get with a sub-index carries
// the value only, as a get without one: the value's length tells its type.
// Refusals: no such entity InvalidEntity (28), no such option InvalidOption
// (29), a set of a read-only value Permission (12), a get of a set-only one
// Mode (7), a wrong value length Size (14), an unknown sub-index IndexRange
// (26), a segment out of order Parse (16), a byte value over its capacity
// Size (14).
//
// Threads: the simulator's loop thread, with its lock held (ModuleCore.h).
#pragma once

#include "ModuleCore.h"
#include "Uei.h"

#include <memory>
#include <set>

namespace modsim
{

class Streams;
class Storage;
class Router;

struct EntitySpec
{
    uint8_t command = 0;
    uint8_t index = 0;
    uint8_t group = 0;
    // Added to the entity's options (replacing those with the same code).
    std::map<uint8_t, Option> options;
};

struct SlotSpec
{
    uint8_t store = 0;
    uint8_t slot = 0;
    uint16_t capacity = 1024;
    std::vector<uint8_t> data;
    bool readOnly = false;
};

struct FirmwareSpec
{
    // The test entity (command 0x20, index 0; see System.h) besides the
    // system entity; entities of the list are added or amended after it.
    bool testEntity = true;
    std::vector<EntitySpec> entities;
    // Store slots; empty: store 0 with slots 0 to 3, 1024 bytes each, the
    // first holding 40 bytes 00 01 02 ...
    std::vector<SlotSpec> slots;
    // Factory data by selector (0 to 15); empty: selector 0 holds 60 bytes
    // A0 A1 ..., selector 1 holds 26 bytes (one full answer). Locked
    // selectors refuse a write.
    std::map<uint8_t, std::vector<uint8_t>> factory;
    std::set<uint8_t> lockedFactory;
    // The period of streamed values whose option names none.
    unsigned streamMs = 100;
};

class Firmware
{
public:
    Firmware(ModuleCore& core, const FirmwareSpec& spec);
    ~Firmware();
    Firmware(const Firmware&) = delete;
    Firmware& operator=(const Firmware&) = delete;

    ModuleCore& core() { return core_; }
    const FirmwareSpec& spec() const { return spec_; }

    Entity* entity(uint8_t command, uint8_t index);
    Option* option(uint8_t command, uint8_t index, uint8_t option);
    // The entity, made if need be; the module answers UEI requests of its
    // command from now on.
    Entity& addEntity(uint8_t command, uint8_t index);
    const std::map<uint16_t, Entity>& entities() const { return entities_; }
    // The module's values as they were at the start (for resets to defaults).
    const std::map<uint16_t, Entity>& defaults() const { return defaults_; }
    void keepDefaults() { defaults_ = entities_; }

    // A packet from the module's address.
    Packet packet(std::vector<uint8_t> data) const;
    // Sends the answers to `request` on `link`, `delayMs` later, after the
    // reply faults (Faults.h) had their say.
    void answer(Link& link, const Packet& request, std::vector<Packet> replies, Time now,
                unsigned delayMs = 0);
    // An error answer to a UEI request.
    Packet ueiError(uint8_t command, uint8_t optionByte, uint8_t index, uint8_t code) const;

    Streams& streams() { return *streams_; }
    Storage& storage() { return *storage_; }
    Router& router() { return *router_; }

private:
    struct Inbound
    {
        uint8_t expected = 0;
        uint8_t failed = 0; // an error to answer once the last segment came
        std::vector<uint8_t> bytes;
    };

    void handleUei(Link& link, const Packet& p, Time now);
    void handleUnknown(Link& link, const Packet& p, Time now);
    void get(Link& link, const Packet& p, Option& o, Time now);
    void set(Link& link, const Packet& p, Option& o, Time now);
    void setBytes(Link& link, const Packet& p, Option& o, Time now);

    ModuleCore& core_;
    FirmwareSpec spec_;
    std::map<uint16_t, Entity> entities_;
    std::map<uint16_t, Entity> defaults_;
    std::set<uint8_t> commands_;
    // Byte values being received, by link and (command, index, option).
    std::map<std::pair<uint64_t, uint32_t>, Inbound> inbound_;
    std::unique_ptr<Streams> streams_;
    std::unique_ptr<Storage> storage_;
    std::unique_ptr<Router> router_;
};

} // namespace modsim
