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

struct ModuleConfig
{
    uint32_t serial = 0x40F5849A;
    uint8_t address = 0x04;      // even, not 0
    unsigned heartbeatMs = 1000; // 0: no heartbeats
    HeartbeatDirection heartbeatDirection = HeartbeatDirection::Alternate;
    Faults faults;
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
    unsigned unhandledPackets = 0;           // to the module, no handler at this level
    unsigned foreignPackets = 0;             // to another address
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

    // Links.
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

    const ModuleConfig& config() const { return config_; }
    void setHeartbeatMs(unsigned ms) { config_.heartbeatMs = ms; }
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

    // Handlers for packets to a link-control address (odd: 0xAD, 0xAF), for
    // packets to the module's own address by command (data[0]), and for
    // packets to any other address. A later registration replaces an earlier.
    void onControl(uint8_t address, Handler handler);
    void onCommand(uint8_t command, Handler handler);
    void onOtherAddress(Handler handler);
    void addTicker(Ticker ticker);

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

private:
    ModuleConfig config_;
    Faults faults_;
    unsigned faultsGeneration_ = 0;
    std::vector<bool> fired_;
    ModuleStats stats_;
    std::map<uint8_t, Handler> control_;
    std::map<uint8_t, Handler> commands_;
    Handler other_;
    std::vector<Ticker> tickers_;
    Link* routeLink_ = nullptr;
    uint64_t routeLinkId_ = 0;
};

} // namespace modsim
