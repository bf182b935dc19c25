// Modules: connection directly or through a routing module, the module's
// address, and the module-wide queries.
#include <lumbrixon/Module.h>
#include <lumbrixon/kxLinkManagerInternal.h>
#include <lumbrixon/kxTime.h>

#include <cstring>
#include <new>

namespace Kavrel::Lumbrixon
{

namespace
{

constexpr int kAddressAttempts = 4;
constexpr uint32_t kAddressPauseMs = 5;
constexpr uint32_t kNoLinkStatus = 8;

} // namespace

Module::Module(uint8_t address_, uint8_t model_) : Module(address_, true, model_) {}

Module::Module(uint8_t address_, bool networkingMode_, uint8_t model_)
    : link(new (std::nothrow) Link("Link")), address(address_),
      networkingMode(networkingMode_ ? 1 : 0), model(model_)
{
}

Module::~Module() = default;

kxErr Module::connect(linkType type, uint32_t serialNumber)
{
    if (serialNumber == 0)
        return kxErrParam;
    return discoverAndConnect(type, serialNumber);
}

kxErr Module::discoverAndConnect(linkType type, uint32_t serialNumber)
{
    if (!link)
        return kxErrInitialization;
    kxErr e = link->discoverAndConnect(type, serialNumber, model);
    if (e != kxErrNone)
        return e;
    return autoNetwork();
}

kxErr Module::connectFromSpec(linkSpec spec)
{
    if (!link)
        return kxErrInitialization;
    if (link->isConnected())
        return kxErrBusy;
    kxErr e = link->setLinkSpecifier(spec);
    if (e != kxErrNone)
        return e;
    e = link->connect();
    if (e != kxErrNone)
        return e;
    e = autoNetwork();
    kxDebug_Printf(kxDebugModule, "Post autoNetwork err: %d\n", (int)e);
    return e;
}

kxErr Module::connectThroughLinkModule(Module* router)
{
    if (!link)
        return kxErrInitialization;
    if (link->isConnected())
        return kxErrNone;
    if (router == nullptr)
        return kxErrParam;
    if (!router->link)
        return kxErrInitialization;
    linkSpec spec;
    memset(&spec, 0, sizeof spec);
    kxErr e = router->link->getLinkSpecifier(&spec);
    if (e != kxErrNone)
        return e;
    kxEtherConfig config;
    e = router->link->getConfig(&config);
    if (e != kxErrNone)
        return e;
    e = link->setConfig(config);
    if (e != kxErrNone)
        return e;
    if (config.serverMode)
    {
        // The router's link is shared by its device server: reach it as
        // another client of that server.
        spec.type = kxLINKTYPE_CLIENT;
        spec.address = config.interfaceAddress;
        spec.port = config.serverPort;
    }
    e = link->setLinkSpecifier(spec);
    if (e != kxErrNone)
        return e;
    e = link->connectThroughLinkModule(*router->link);
    if (e != kxErrNone)
        return e;
    networkingMode = 0;
    return kxErrNone;
}

kxErr Module::reconnect()
{
    if (!link)
        return kxErrInitialization;
    kxErr e = link->connect();
    if (e != kxErrNone)
        return e;
    return autoNetwork();
}

kxErr Module::disconnect()
{
    if (!link)
        return kxErrInitialization;
    return link->disconnect();
}

bool Module::isConnected() const
{
    return link && link->isConnected();
}

uint32_t Module::getStatus() const
{
    return link ? link->getStatus() : kNoLinkStatus;
}

kxErr Module::autoNetwork()
{
    if (!networkingMode)
        return kxErrNone;
    uint8_t found = 0;
    kxErr e = kxErrNotReady;
    int attempt = 0;
    for (; attempt < kAddressAttempts; attempt++)
    {
        e = link->getModuleAddress(&found);
        if (e == kxErrNone)
            break;
        kxTime_MSSleep(kAddressPauseMs);
        if (e != kxErrNotReady)
            break;
    }
    if (attempt == kAddressAttempts)
        kxDebug_Printf(kxDebugModule, "BOO! Failed to autoNetwork\n");
    if (e == kxErrNone && found != 0 && found != address)
        address = found;
    return e;
}

uint8_t Module::getModuleAddress() const
{
    return address;
}

void Module::setModuleAddress(uint8_t address_)
{
    address = address_;
}

void Module::setNetworkingMode(bool on)
{
    networkingMode = on ? 1 : 0;
}

Link* Module::getLink() const
{
    return link.get();
}

kxErr Module::getConfig(kxEtherConfig* config) const
{
    if (!link)
        return kxErrNotReady;
    if (config == nullptr)
        return kxErrParam;
    return link->getConfig(config);
}

kxErr Module::setConfig(kxEtherConfig config)
{
    if (!link)
        return kxErrNotReady;
    return link->setConfig(config);
}

kxErr Module::getLinkSpecifier(linkSpec* spec) const
{
    if (!link)
        return kxErrInitialization;
    if (spec == nullptr)
        return kxErrParam;
    return link->getLinkSpecifier(spec);
}

// Sends one query (its first byte the command) and waits for the first
// packet that starts with the request's first `match` bytes.
kxErr Module::query(const uint8_t* request, uint8_t requestLength, uint8_t* reply,
                    uint8_t* replyLength)
{
    kxErr e = link->sendPacket(address, request[0], (uint8_t)(requestLength - 1), request + 1);
    if (e != kxErrNone)
        return e;
    return link->receivePacket(address, request, replyLength, reply);
}

kxErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t direction)
{
    if ((direction & 0x3F) != 0 || direction == (kDirectionGet | kDirectionSet))
        return kxErrParam;
    if (!isConnected())
        return kxErrConnection;
    const uint8_t request[] = {cmdINFO, kInfoHasUEI, command, option, index, direction};
    uint8_t reply[kxPACKET_MAX_DATA];
    uint8_t length = 1; // any answer of the info command
    kxErr e = query(request, sizeof request, reply, &length);
    if (e != kxErrNone)
        return e;
    if (length != 6 || memcmp(reply + 1, request + 1, 4) != 0)
        return kxErrUnknown;
    return (kxErr)reply[5];
}

namespace
{

// The request's bytes echoed and one more: the count or group.
kxErr sEchoed(kxErr e, const uint8_t* request, uint8_t requestLength, const uint8_t* reply,
              uint8_t length, uint8_t* out)
{
    if (e != kxErrNone)
        return e;
    if (length != requestLength + 1 || memcmp(reply, request, requestLength) != 0)
        return kxErrUnknown;
    *out = reply[requestLength];
    return kxErrNone;
}

} // namespace

kxErr Module::classQuantity(uint8_t command, uint8_t* count)
{
    if (count == nullptr)
        return kxErrParam;
    *count = 0;
    if (!isConnected())
        return kxErrConnection;
    const uint8_t request[] = {cmdINFO, kInfoClassQuantity, command};
    uint8_t reply[kxPACKET_MAX_DATA];
    uint8_t length = 2;
    kxErr e = query(request, sizeof request, reply, &length);
    return sEchoed(e, request, sizeof request, reply, length, count);
}

kxErr Module::subClassQuantity(uint8_t command, uint8_t index, uint8_t* count)
{
    if (count == nullptr)
        return kxErrParam;
    *count = 0;
    if (!isConnected())
        return kxErrConnection;
    const uint8_t request[] = {cmdINFO, kInfoSubClassQuantity, command, index};
    uint8_t reply[kxPACKET_MAX_DATA];
    uint8_t length = 2;
    kxErr e = query(request, sizeof request, reply, &length);
    return sEchoed(e, request, sizeof request, reply, length, count);
}

kxErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t* group)
{
    if (group == nullptr)
        return kxErrParam;
    *group = 0;
    if (!isConnected())
        return kxErrConnection;
    const uint8_t request[] = {cmdINFO, kInfoEntityGroup, command, index};
    uint8_t reply[kxPACKET_MAX_DATA];
    uint8_t length = 2;
    kxErr e = query(request, sizeof request, reply, &length);
    return sEchoed(e, request, sizeof request, reply, length, group);
}

kxErr Module::getBuild(uint32_t* build)
{
    if (build == nullptr)
        return kxErrParam;
    if (!link)
        return kxErrInitialization;
    if (!isConnected())
        return kxErrConnection;
    const uint8_t request[] = {cmdINFO, kInfoBuild};
    uint8_t reply[kxPACKET_MAX_DATA];
    uint8_t length = 2;
    kxErr e = query(request, sizeof request, reply, &length);
    if (e != kxErrNone)
        return e;
    if (length != 6)
        return kxErrSize;
    *build = ((uint32_t)reply[2] << 24) | ((uint32_t)reply[3] << 16) | ((uint32_t)reply[4] << 8) |
             reply[5];
    return kxErrNone;
}

kxErr Module::debug(const uint8_t* data, uint8_t length)
{
    if (!isConnected())
        return kxErrConnection;
    if (length > kxPACKET_MAX_DATA - 1 || (data == nullptr && length != 0))
        return kxErrParam;
    uint8_t request[kxPACKET_MAX_DATA];
    request[0] = cmdDEBUG;
    if (length != 0)
        memcpy(request + 1, data, length);
    uint8_t reply[kxPACKET_MAX_DATA];
    uint8_t replyLength = 1; // any echo
    kxErr e = query(request, (uint8_t)(length + 1), reply, &replyLength);
    if (e != kxErrNone)
        return e;
    if (replyLength != length + 1 || memcmp(reply + 1, request + 1, length) != 0)
        return kxErrIO;
    return kxErrNone;
}

kxErr Module::enablePacketLog(const char* path)
{
    if (!link)
        return kxErrConfiguration;
    return link->enablePacketLog(path);
}

kxErr Module::disablePacketLog()
{
    if (!link)
        return kxErrConfiguration;
    return link->disablePacketLog();
}

} // namespace Kavrel::Lumbrixon
