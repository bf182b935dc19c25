// The transport-independent part of a simulated module.
//
// A ModuleCore holds the module's identity, its fault switches, its
// observations and a table of packet handlers; it does not know how bytes
// travel. Links (Link.h) hand it the packets they receive and send what it
// answers. The module's levels fill the table: the link level (LinkLevel.h)
// answers sync requests, honours route control and sends heartbeats; later
// levels add their commands with onCommand() and their timers with
// addTicker().
//
// Threads: a ModuleCore and its links are used only by the simulator's loop
// thread, with the simulator's lock held (Simulator.h); nothing here locks.
#pragma once

#include "Faults.h"
#include "Packet.h"
#include "Version.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace modsim
{

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;
constexpr Time kNever = Time::max();

class Link;

enum class HeartbeatDirection
{
    Alternate, // down (v = 1) first, then up (v = 0), and so on
    Down,
    Up,
};

// What a module that already has a host does with another TCP/IP connection.
enum class SecondHost
{
    Accept, // takes it as well (every connection is a link of its own)
    Refuse, // stops listening while it has a host: a connect is refused
    Drop,   // accepts it and resets it at once
};

// The module's firmware identity: what it reports about itself. It starts
// from the configuration and may change while the module runs (a name set by
// the host, a new firmware after an upgrade); every handler reads it from
// ModuleCore::identity().
struct Identity
{
    uint32_t serial = 0;
    uint8_t model = 0;
    uint32_t version = 0; // packed (Version.h)
    uint32_t build = 0;
    std::string name;
};

struct ModuleConfig
{
    uint32_t serial = 0x40F5849A;
    uint8_t address = 0x04;      // even, not 0
    unsigned heartbeatMs = 1000; // 0: no heartbeats
    HeartbeatDirection heartbeatDirection = HeartbeatDirection::Alternate;
    Faults faults;

    // The firmware identity the module starts with.
    uint8_t model = 0x10;
    uint32_t version = packVersion(2, 12, 1);
    uint32_t build = 1311;
    std::string name = "Module";
    // The routing module's address the module reports (0: its own address;
    // a module behind a router reports the router's).
    uint8_t router = 0;
    // Data bytes of the answer to the build query (6: the build in full;
    // fewer cut it short, more pad it with zeros).
    unsigned buildReplyLength = 6;
    // TCP/IP: what a second host gets while one is connected, and whether
    // another host holds the module already (a TCP/IP module then treats
    // every connection as a second one, Accept as Drop; a USB module refuses
    // to be claimed).
    SecondHost secondHost = SecondHost::Accept;
    bool occupied = false;
};

// What a test can observe of one module. Counters count from the start.
struct ModuleStats
{
    // Packets received, all kinds, and by kind.
    unsigned packetsReceived = 0;
    unsigned syncRequests = 0;
    unsigned routeOnRequests = 0;
    unsigned routeOffRequests = 0;
    unsigned heartbeatAnswers = 0;           // answers that matched the heartbeat sent
    unsigned unexpectedHeartbeatAnswers = 0; // none outstanding, or the wrong value
    unsigned lateHeartbeatAnswers = 0;       // right answer to one already given up
    unsigned unhandledPackets = 0;           // to the module, no handler at this level
    unsigned foreignPackets = 0;             // to another address (no child there, or
                                             // the router does not route for it)
    unsigned junkBytes = 0;                  // bytes no packet could be made of
    unsigned badFrames = 0;                  // runs of such bytes (bad CRC, bad length...)

    // What the module did.
    unsigned syncAnswered = 0;
    unsigned heartbeatsSent = 0;
    unsigned heartbeatsUnanswered = 0;
    bool routeOn = false;
    std::string routeLink; // the link the module's own traffic goes to

    // What crossed the wire, faults included.
    unsigned packetsSent = 0; // written to the transport (corrupted ones included)
    unsigned packetsDropped = 0;
    unsigned packetsIgnored = 0; // received, thrown away by --drop-in
    unsigned packetsCorrupted = 0;
    unsigned repliesDelayed = 0;
    unsigned garbageSent = 0;
    unsigned suppressed = 0; // not sent because the module was silent

    // The network search (Discovery.h).
    unsigned discoveryRequests = 0;
    unsigned discoveryReplies = 0;
    unsigned discoveryIgnored = 0; // datagrams on the port that are no search

    // UEI traffic and the other commands (Firmware.h).
    unsigned ueiGets = 0;
    unsigned ueiSets = 0;                // calls included
    unsigned errorReplies = 0;           // UEI, slot, factory and I2C error answers
    unsigned requestsWithoutHostBit = 0; // UEI requests whose index byte lacks bit 5
    unsigned segmentsIn = 0;             // segments of byte values received
    unsigned segmentsOut = 0;            // segments of byte values sent
    unsigned repliesWithheld = 0;        // --no-reply
    unsigned repliesMisdirected = 0;     // --wrong-uei
    unsigned segmentsLost = 0;           // --lose-segment
    unsigned streamPackets = 0;
    unsigned streamsEnabled = 0; // stream keys enabled now
    unsigned slotRequests = 0;
    unsigned factoryRequests = 0;
    unsigned infoRequests = 0;

    // A routing module: its I2C bus and the children behind it.
    bool routeToMe = false;
    std::map<uint8_t, unsigned> i2cWrites; // by address (the scan's probe is a write)
    std::map<uint8_t, unsigned> i2cReads;
    unsigned childPackets = 0; // packets for a child handed to it

    // Links.
    unsigned connectionsRefused = 0; // refused or dropped: the module had a host
    unsigned connectionsAccepted = 0;
    unsigned connectionsOpen = 0;
    unsigned closedByHost = 0;
    unsigned closedByModule = 0; // orderly close (FIN), hang-up, unplug
    unsigned resetByModule = 0;  // RST
    bool silent = false;

    // Events seen, by name (a name with its parameters, as fired).
    std::map<std::string, unsigned> events;
};

class ModuleCore
{
public:
    // A handler gets the link the packet came on, the packet and the time.
    using Handler = std::function<void(Link&, const Packet&, Time)>;
    // A ticker runs on every turn of the loop and returns when it wants to
    // run next (kNever: only on the next turn).
    using Ticker = std::function<Time(Time now)>;

    explicit ModuleCore(const ModuleConfig& config);

    // The configuration the module started with (the heartbeat interval and
    // the host switches may change).
    const ModuleConfig& config() const { return config_; }
    void setHeartbeatMs(unsigned ms) { config_.heartbeatMs = ms; }
    void setOccupied(bool occupied) { config_.occupied = occupied; }
    void setSecondHost(SecondHost policy) { config_.secondHost = policy; }
    // What the module is now.
    Identity& identity() { return identity_; }
    const Identity& identity() const { return identity_; }
    uint8_t address() const { return config_.address; }
    // The router address it reports.
    uint8_t router() const { return config_.router != 0 ? config_.router : config_.address; }
    Time started() const { return started_; }
    ModuleStats& stats() { return stats_; }
    const ModuleStats& stats() const { return stats_; }
    std::string serialText() const;

    const Faults& faults() const { return faults_; }
    // Replaces the switches; cut rules count again from nothing, and so do
    // the links (faultsGeneration() tells them).
    void setFaults(const Faults& faults);
    unsigned faultsGeneration() const { return faultsGeneration_; }
    void setSilent(bool silent);
    bool silent() const { return faults_.silent; }
    // Whether cut rule i has fired (rules without `repeat` fire once).
    bool ruleFired(size_t i) const { return i < fired_.size() && fired_[i]; }
    void markRuleFired(size_t i);
    // Counts one more request matching reply rule i; returns the count.
    unsigned countReplyRule(size_t i);

    // Handlers for packets to a link-control address (odd: 0xAD, 0xAF), for
    // packets to the module's own address by command (data[0]), and for
    // packets to any other address. A later registration replaces an earlier.
    void onControl(uint8_t address, Handler handler);
    void onCommand(uint8_t command, Handler handler);
    void onOtherAddress(Handler handler);
    // For packets to the module's address whose command has no handler.
    void onUnknownCommand(Handler handler);
    void addTicker(Ticker ticker);
    // Called whenever one of the module's links ends.
    void onLinkEnded(std::function<void(Link&)> listener);

    // Hands one received packet to its handler.
    void dispatch(Link& link, const Packet& packet, Time now);
    // Runs the tickers; returns the earliest time one wants to run again.
    Time tick(Time now);

    // Route control: the link that gets the module's own traffic (heartbeats,
    // later streamed values), or none. Links are named by their ids.
    void routeTo(Link* link);
    void routeOff(Link& link);
    uint64_t routeLinkId() const { return routeLinkId_; }
    Link* routeLink() const { return routeLink_; }

    // A link of this module ends: it no longer gets the route.
    void linkEnded(Link& link);

    // TCP/IP hosts connected now (for SecondHost).
    unsigned tcpHosts = 0;

private:
    ModuleConfig config_;
    Identity identity_;
    Time started_;
    Faults faults_;
    unsigned faultsGeneration_ = 0;
    std::vector<bool> fired_;
    std::vector<unsigned> replySeen_;
    ModuleStats stats_;
    std::map<uint8_t, Handler> control_;
    std::map<uint8_t, Handler> commands_;
    Handler other_;
    Handler unknown_;
    std::vector<Ticker> tickers_;
    std::vector<std::function<void(Link&)>> linkEnded_;
    Link* routeLink_ = nullptr;
    uint64_t routeLinkId_ = 0;
};

} // namespace modsim
