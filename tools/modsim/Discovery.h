// The module's answer to the network search.
//
// A host looks for modules on an interface by sending 16 bytes, 01 and
// fifteen zeros, to the multicast group 232.2.2.2, port 9888. Every module
// on that network answers the sender, on port 9889, with 16 bytes:
//   0      0 (not used)
//   1      module address
//   2, 3   TCP port, least significant byte first
//   4-7    serial number, least significant byte first
//   8-11   0 (not used)
//   12     model
//   13-15  0 (not used)
// The answer comes from the interface's address, which the host then
// connects to: give the module a TCP listener there (or on 0.0.0.0).
//
// Each module with a DiscoverySpec has its own socket, joined to the group
// on the interface it is told (by its IPv4 address) and on no other; on
// Linux several such sockets share the port. A reply length below 16 sends
// only the first bytes (12: no model; under 8: no serial number either).
//
// Threads: the simulator's loop thread, with its lock held.
#pragma once

#include "Transports.h"

#include <functional>

namespace modsim
{

constexpr const char* kSearchGroup = "232.2.2.2";
constexpr uint16_t kSearchPort = 9888;
constexpr uint16_t kSearchReplyPort = 9889;

struct DiscoverySpec
{
    std::string interface = "127.0.0.1"; // IPv4 address of the interface
    unsigned replyLength = 16;           // 0: no answer
    uint16_t port = 0;                   // TCP port announced; 0: the module's first listener's
};

class DiscoveryEndpoint : public Endpoint
{
public:
    // `tcpPort` gives the port of the module's first TCP listener.
    DiscoveryEndpoint(ModuleCore& module, Trace& trace, std::function<uint16_t()> tcpPort);
    ~DiscoveryEndpoint() override;
    bool open(const DiscoverySpec& spec, std::string& error);
    void setReplyLength(unsigned length) { spec_.replyLength = length > 16 ? 16 : length; }

    void pollFds(std::vector<pollfd>& fds) override;
    void handle(const pollfd& fd, Time now) override;
    Time service(Time) override { return kNever; }
    std::string describe() const override;

    // The 16 bytes of the module's answer.
    std::vector<uint8_t> reply() const;

private:
    ModuleCore& module_;
    Trace& trace_;
    std::function<uint16_t()> tcpPort_;
    DiscoverySpec spec_;
    int listen_ = -1; // joined to the group
    int send_ = -1;   // bound to the interface's address
};

} // namespace modsim
