// Transport adapters: how a module's links reach the host.
//
// - TcpEndpoint listens on an IPv4 address and port and makes a link of every
//   connection it accepts, for as long as the simulator runs (a host that
//   reconnects after a reset is accepted again). Packets travel raw.
// - SerialEndpoint opens a pseudo-terminal; the host opens its slave path as a
//   serial port. Packets travel in COBS frames with a CRC-8. The simulator
//   keeps the slave open itself, so the line stays up while no host has it.
// - UsbEndpoint (with umockdev) puts the module on the emulated USB bus of
//   tools/usbsim; bulk OUT transfers are the bytes from the host, and every
//   frame the module sends answers one bulk IN transfer.
//
// Threads: the simulator's loop thread uses the endpoints with the
// simulator's lock held. The USB OUT listener runs on umockdev's handler
// thread and touches only the endpoint's inbox, under the inbox's own lock;
// the loop takes that lock after the simulator's (never the other way round)
// and umockdev's thread never takes the simulator's.
#pragma once

#include "Link.h"

#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <vector>

namespace usbsim
{
class FakeBus;
class FakeModule;
} // namespace usbsim

namespace modsim
{

// An eventfd that wakes the loop's poll from other threads.
class Waker
{
public:
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    int fd() const { return fd_; }
    void wake();
    void drain();

private:
    int fd_;
};

class Endpoint
{
public:
    virtual ~Endpoint() = default;
    // Appends the descriptors to poll.
    virtual void pollFds(std::vector<pollfd>& fds) = 0;
    // One of them is ready.
    virtual void handle(const pollfd& fd, Time now) = 0;
    // Sends what is due, ends what has to end; returns when it wants to run
    // again (kNever: when a descriptor is ready).
    virtual Time service(Time now) = 0;
    // "tcp 127.0.0.1 40123", "serial /dev/pts/3", "usb 40F5849A".
    virtual std::string describe() const = 0;
};

class TcpEndpoint : public Endpoint
{
public:
    TcpEndpoint(ModuleCore& module, Trace& trace);
    ~TcpEndpoint() override;
    bool open(const std::string& address, uint16_t port, std::string& error);
    uint16_t port() const { return port_; }
    const std::string& address() const { return address_; }

    void pollFds(std::vector<pollfd>& fds) override;
    void handle(const pollfd& fd, Time now) override;
    Time service(Time now) override;
    std::string describe() const override;

private:
    struct Connection;
    void accept(Time now);

    ModuleCore& module_;
    Trace& trace_;
    int listenFd_ = -1;
    std::string address_;
    uint16_t port_ = 0;
    std::vector<std::unique_ptr<Connection>> connections_;
};

class SerialEndpoint : public Endpoint, private Wire
{
public:
    SerialEndpoint(ModuleCore& module, Trace& trace);
    ~SerialEndpoint() override;
    bool open(std::string& error);
    const std::string& path() const { return path_; }

    void pollFds(std::vector<pollfd>& fds) override;
    void handle(const pollfd& fd, Time now) override;
    Time service(Time now) override;
    std::string describe() const override;

private:
    Framing framing() const override { return Framing::Cobs; }
    void write(const std::vector<uint8_t>& bytes) override;
    void cut(CutKind kind) override;
    void hangUp();

    ModuleCore& module_;
    Trace& trace_;
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::vector<uint8_t> pending_;
    std::unique_ptr<Link> link_;
};

#ifdef MODSIM_WITH_USB
class UsbEndpoint : public Endpoint, private Wire
{
public:
    UsbEndpoint(ModuleCore& module, Trace& trace, usbsim::FakeBus& bus,
                std::shared_ptr<Waker> waker);
    ~UsbEndpoint() override;
    bool open(uint16_t product, std::string& error);

    void pollFds(std::vector<pollfd>&) override {}
    void handle(const pollfd&, Time) override {}
    Time service(Time now) override;
    std::string describe() const override;

private:
    struct Inbox
    {
        std::mutex lock;
        std::vector<std::vector<uint8_t>> transfers;
    };

    Framing framing() const override { return Framing::Raw; }
    void write(const std::vector<uint8_t>& bytes) override;
    void cut(CutKind kind) override;

    ModuleCore& module_;
    Trace& trace_;
    usbsim::FakeBus& bus_;
    usbsim::FakeModule* fake_ = nullptr;
    bool unplugged_ = false;
    std::shared_ptr<Waker> waker_;
    std::shared_ptr<Inbox> inbox_;
    std::unique_ptr<Link> link_;
};
#endif

} // namespace modsim
