// One link between a simulated module and a host: a TCP/IP connection, the
// serial line or the USB device. It sits between the module's core and the
// transport: it deframes received bytes into packets for the core, frames
// what the core sends, applies the fault switches on the way out and in, and
// writes the trace.
//
// Threads: used only by the simulator's loop thread with the simulator's lock
// held (see ModuleCore.h).
#pragma once

#include "ModuleCore.h"
#include "Trace.h"

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace modsim
{

// What a link writes to. Implemented by the transport adapters.
class Wire
{
public:
    virtual ~Wire() = default;
    virtual Framing framing() const = 0;
    // Writes bytes without blocking (the transport buffers what it cannot
    // write at once).
    virtual void write(const std::vector<uint8_t>& bytes) = 0;
    // Ends the transport's connection: an orderly close or a reset.
    virtual void cut(CutKind kind) = 0;
};

class Link
{
public:
    // `name` says which transport and peer ("tcp:127.0.0.1:40562").
    Link(ModuleCore& module, Wire& wire, Trace& trace, std::string name);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    ModuleCore& module() { return module_; }
    const std::string& name() const { return name_; }
    uint64_t id() const { return id_; }
    bool alive() const { return alive_; }

    // Bytes from the host.
    void receive(const uint8_t* bytes, size_t n, Time now);
    // A packet answering the one being handled (delay and garbage apply).
    void reply(const Packet& packet, Time now);
    // A packet the module sends of its own accord (a heartbeat).
    void send(const Packet& packet, Time now);
    // Names an event on this link; a cut rule may act on it. Returns false
    // when the module must send nothing for it (the link was cut or the
    // module fell silent).
    bool event(const std::string& name, Time now);

    // Writes what is due; returns when the next queued item is due.
    Time flush(Time now);
    // The transport ended: the host closed it (`byHost`) or it failed. `why`
    // goes into the trace ("closed by host", "reset by host").
    void ended(const std::string& why, bool byHost, Time now);
    // A line about the link itself in the trace ("accepted", ...).
    void note(const std::string& what, Time now);

private:
    struct Out
    {
        enum Kind
        {
            Bytes,   // a packet, or garbage
            Dropped, // a packet that is not sent (traced only)
            Cut,     // a cut rule that waits for the replies before it
        } kind = Bytes;
        std::vector<uint8_t> frame;  // what goes on the wire
        std::vector<uint8_t> packet; // the packet's wire form, for the trace
        bool isPacket = true;
        bool corrupted = false;
        std::string note;
        CutKind cut = CutKind::Close;
    };

    void emit(const Packet& packet, bool isReply, Time now);
    void enqueue(Time due, Out out);
    void checkAfterRules(Time now);
    void fire(size_t rule, CutKind kind, Time now);
    void cutNow(CutKind kind, Time now);
    bool mayFire(size_t rule) const;
    void followFaults();

    ModuleCore& module_;
    Wire& wire_;
    Trace& trace_;
    std::string name_;
    uint64_t id_;
    bool alive_ = true;
    std::unique_ptr<Deframer> deframer_;
    std::multimap<Time, Out> queue_;
    unsigned faultsGeneration_; // the switches the counts below belong to
    // Counted from the link's start or from when the switches were last set.
    unsigned received_ = 0; // packets received on this link
    unsigned sent_ = 0;     // packets the module sent (or meant to) on it
    unsigned replies_ = 0;
    std::map<std::string, unsigned> occurrences_;
    std::set<size_t> firedHere_;
};

} // namespace modsim
