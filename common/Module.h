// A Lumbrixon module: owns the Link that reaches it, knows its module
// address, and answers the module-wide queries (which UEI values it has, how
// many entities of a class, its build number, an echo test).
//
// A module is reached directly (connect, discoverAndConnect, connectFromSpec)
// or through the link of a routing module that carries it on its I2C bus
// (connectThroughLinkModule); the router must route its network to that
// link first (the system entity's "route to me"). With networking mode on,
// a direct connection asks the module for its address afterwards (up to 4
// attempts, 5 ms apart) and takes it when it is not 0.
//
// Queries (command cmdINFO, raw packets; every wait 1000 ms):
//   73, 1, C, O, I, DIR   ->  73, 1, C, O, I, RESULT   hasUEI
//   73, 4, C              ->  73, 4, C, N              classQuantity
//   73, 5, C, I           ->  73, 5, C, I, N           subClassQuantity
//   73, 6, C, I           ->  73, 6, C, I, G           entityGroup
//   73, 0xFF              ->  73, 0xFF, BUILD(4)       getBuild
//   23, BYTES...          ->  23, BYTES...             debug
//
// Threads: a module is used from one thread at a time.
#pragma once

#include <lumbrixon/Link.h>
#include <lumbrixon/discover.h>
#include <lumbrixon/kxError.h>

#include <cstdint>
#include <memory>

namespace Kavrel::Lumbrixon
{

class Module
{
public:
    static constexpr uint8_t cmdDEBUG = 23;
    static constexpr uint8_t cmdINFO = 73;
    // The second data byte of a cmdINFO request.
    static constexpr uint8_t kInfoHasUEI = 1;
    static constexpr uint8_t kInfoClassQuantity = 4;
    static constexpr uint8_t kInfoSubClassQuantity = 5;
    static constexpr uint8_t kInfoEntityGroup = 6;
    static constexpr uint8_t kInfoBuild = 0xFF;
    // The direction of hasUEI: a get, a set, or either (0).
    static constexpr uint8_t kDirectionGet = 0x40;
    static constexpr uint8_t kDirectionSet = 0x80;

    // Networking mode on.
    Module(uint8_t address, uint8_t model);
    Module(uint8_t address, bool networkingMode, uint8_t model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // By discovery; serial number 0 is kxErrParam.
    kxErr connect(linkType type, uint32_t serialNumber);
    // By discovery (0: the first module of the model, any with model 0).
    kxErr discoverAndConnect(linkType type, uint32_t serialNumber);
    // kxErrBusy when connected.
    kxErr connectFromSpec(linkSpec spec);
    // Through the link of `router`, a connected module on the same bus; 0 at
    // once when connected. Networking mode is off afterwards.
    kxErr connectThroughLinkModule(Module* router);
    kxErr reconnect();
    kxErr disconnect();
    bool isConnected() const;
    uint32_t getStatus() const;

    uint8_t getModuleAddress() const;
    void setModuleAddress(uint8_t address);
    void setNetworkingMode(bool on);
    Link* getLink() const;
    kxErr getConfig(kxEtherConfig* config) const;
    kxErr setConfig(kxEtherConfig config);
    kxErr getLinkSpecifier(linkSpec* spec) const;

    // 0 when the module has the UEI in that direction, else the code a
    // request would get; kxErrParam for a direction other than
    // kDirectionGet, kDirectionSet or 0 (nothing is sent).
    kxErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t direction);
    kxErr classQuantity(uint8_t command, uint8_t* count);
    kxErr subClassQuantity(uint8_t command, uint8_t index, uint8_t* count);
    kxErr entityGroup(uint8_t command, uint8_t index, uint8_t* group);
    kxErr getBuild(uint32_t* build);
    // Echo test: kxErrIO unless the module repeats the bytes exactly;
    // kxErrParam for more than 27 bytes or null data with a length.
    kxErr debug(const uint8_t* data, uint8_t length);
    kxErr enablePacketLog(const char* path);
    kxErr disablePacketLog();

private:
    kxErr autoNetwork();
    kxErr query(const uint8_t* request, uint8_t requestLength, uint8_t* reply,
                uint8_t* replyLength);

    std::unique_ptr<Link> link;
    uint8_t address;
    uint8_t networkingMode;
    uint8_t model;
};

} // namespace Kavrel::Lumbrixon
