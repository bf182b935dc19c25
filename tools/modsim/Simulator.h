// The module simulator: plays one or more Lumbrixon modules from the module's
// side of the wire, over TCP/IP, a serial line (pseudo-terminal) and USB
// (umockdev), for tests and for the `modsim` program.
//
//   modsim::Simulator sim;
//   modsim::ModuleSpec spec;
//   spec.module.serial = 0x40F5849A;
//   spec.module.address = 0x06;
//   spec.tcp.push_back({});        // 127.0.0.1, any free port
//   spec.serialLine = true;        // a pseudo-terminal
//   size_t m = sim.addModule(spec);
//   std::string error;
//   if (!sim.start(&error)) ...
//   connect to 127.0.0.1:sim.tcpPort(m), or open sim.ptyPath(m)
//   sim.waitFor(m, [](const modsim::ModuleStats& s) { return s.syncAnswered > 0; }, 2000);
//   sim.stop();
//
// Threads: one loop thread runs every module and transport; it polls with a
// bounded time-out and never blocks otherwise. The test API may be called from
// any thread; it takes the simulator's lock, as the loop does for each turn.
// The trace sink and waitFor's predicate run without the lock held.
#pragma once

#include "Faults.h"
#include "ModuleCore.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace modsim
{

struct TcpSpec
{
    std::string address = "127.0.0.1";
    uint16_t port = 0; // 0: any free port
};

struct UsbSpec
{
    uint16_t product = 0x0010;
};

struct ModuleSpec
{
    ModuleConfig module;
    std::vector<TcpSpec> tcp;
    bool serialLine = false;
    std::optional<UsbSpec> usb; // needs the process to run under umockdev-wrapper
};

class Simulator
{
public:
    Simulator();
    ~Simulator(); // stops
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Before start: adds a module and returns its index.
    size_t addModule(const ModuleSpec& spec);
    // Opens every transport and starts the loop. False, with the reason in
    // `error`, when a transport cannot be opened (nothing is left open) or
    // when the simulator was started before (it runs once).
    bool start(std::string* error = nullptr);
    // Ends the loop and closes every transport; returns within about a
    // second whatever the hosts do. Observations stay readable.
    void stop();
    bool running() const;

    size_t moduleCount() const;
    // The port the module's `index`th TCP/IP listener got (0: none).
    uint16_t tcpPort(size_t module, size_t index = 0) const;
    // The path of the module's serial line ("" when it has none).
    std::string ptyPath(size_t module) const;
    // One line per transport of every module, as the program prints them:
    // "module 40F5849A address 04 tcp 127.0.0.1 40123".
    std::vector<std::string> endpoints() const;

    ModuleStats stats(size_t module) const;
    // Waits until `predicate` holds for the module's observations, at most
    // `timeoutMs`; returns whether it held.
    bool waitFor(size_t module, const std::function<bool(const ModuleStats&)>& predicate,
                 int timeoutMs) const;
    std::vector<std::string> trace() const;
    void clearTrace();
    // Before start: every trace line also goes to `sink` (on the loop thread).
    void setTraceSink(std::function<void(const std::string&)> sink);

    // Fault switches, at any time.
    void setFaults(size_t module, const Faults& faults);
    Faults faults(size_t module) const;
    void setSilent(size_t module, bool silent);
    void setHeartbeatMs(size_t module, unsigned ms);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace modsim
