// The simulator's loop and its test API.
#include "Simulator.h"

#include "LinkLevel.h"
#include "Transports.h"

#ifdef MODSIM_WITH_USB
#include "usb_fake.h"
#endif

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace modsim
{

namespace
{

// The longest the loop sleeps in poll; stop wakes it at once anyway.
constexpr int kMaxPollMs = 500;

} // namespace

// Threads: `control` serialises start and stop, which alone touch `thread`
// and `started`; they take `lock` after it. Everything else is guarded by
// `lock`, taken by the loop thread for each turn and by the test API; the loop
// releases it while it polls and while it calls the trace sink.
struct Simulator::Impl
{
    struct Entry
    {
        ModuleSpec spec;
        std::unique_ptr<ModuleCore> core;
        std::vector<std::unique_ptr<TcpEndpoint>> tcp;
        std::unique_ptr<SerialEndpoint> serial;
        std::unique_ptr<Endpoint> usb;
    };

    std::mutex control;
    std::thread thread;
    bool started = false;

    mutable std::mutex lock;
    mutable std::condition_variable changed;
    uint64_t turns = 0;
    bool stopping = false;
    bool running = false;
    Trace trace;
    std::function<void(const std::string&)> sink;
    std::vector<Entry> modules;
    std::vector<Endpoint*> endpoints;
    std::shared_ptr<Waker> waker = std::make_shared<Waker>();
#ifdef MODSIM_WITH_USB
    std::unique_ptr<usbsim::FakeBus> bus;
#endif

    bool open(std::string& error);
    void closeAll();
    void run();
};

bool Simulator::Impl::open(std::string& error)
{
    for (Entry& e : modules)
    {
        for (const TcpSpec& t : e.spec.tcp)
        {
            auto tcp = std::make_unique<TcpEndpoint>(*e.core, trace);
            if (!tcp->open(t.address, t.port, error))
                return false;
            endpoints.push_back(tcp.get());
            e.tcp.push_back(std::move(tcp));
        }
        if (e.spec.serialLine)
        {
            e.serial = std::make_unique<SerialEndpoint>(*e.core, trace);
            if (!e.serial->open(error))
                return false;
            endpoints.push_back(e.serial.get());
        }
        if (e.spec.usb)
        {
#ifdef MODSIM_WITH_USB
            if (!usbsim::FakeBus::available())
            {
                error = "USB modules need the emulated bus: run under umockdev-wrapper";
                return false;
            }
            try
            {
                if (!bus)
                    bus = std::make_unique<usbsim::FakeBus>();
            }
            catch (const std::exception& ex)
            {
                error = ex.what();
                return false;
            }
            auto usb = std::make_unique<UsbEndpoint>(*e.core, trace, *bus, waker);
            if (!usb->open(e.spec.usb->product, error))
                return false;
            endpoints.push_back(usb.get());
            e.usb = std::move(usb);
#else
            error = "this build has no USB emulation (umockdev was not found)";
            return false;
#endif
        }
    }
    return true;
}

void Simulator::Impl::closeAll()
{
    endpoints.clear();
    for (Entry& e : modules)
    {
        e.tcp.clear();
        e.serial.reset();
        e.usb.reset();
    }
}

void Simulator::Impl::run()
{
    std::vector<pollfd> fds;
    std::vector<std::pair<Endpoint*, size_t>> owners; // endpoint, index of its first fd
    for (;;)
    {
        Time next = kNever;
        Time now;
        std::vector<std::string> lines;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (stopping)
                break;
            now = Clock::now();
            for (Entry& e : modules)
            {
                Time due = e.core->tick(now);
                if (due < next)
                    next = due;
            }
            for (Endpoint* ep : endpoints)
            {
                Time due = ep->service(now);
                if (due < next)
                    next = due;
            }
            fds.assign(1, pollfd{waker->fd(), POLLIN, 0});
            owners.clear();
            for (Endpoint* ep : endpoints)
            {
                owners.emplace_back(ep, fds.size());
                ep->pollFds(fds);
            }
            lines = trace.takeNew();
            turns++;
        }
        changed.notify_all();
        if (sink)
            for (const std::string& line : lines)
                sink(line);

        int timeout = kMaxPollMs;
        if (next != kNever)
        {
            auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
            timeout = ms < 0 ? 0 : ms < kMaxPollMs ? (int)ms : kMaxPollMs;
        }
        int n = poll(fds.data(), fds.size(), timeout);
        if (n <= 0)
            continue;
        if (fds[0].revents & POLLIN)
            waker->drain();
        std::lock_guard<std::mutex> guard(lock);
        now = Clock::now();
        for (size_t o = 0; o < owners.size(); o++)
        {
            size_t end = o + 1 < owners.size() ? owners[o + 1].second : fds.size();
            for (size_t i = owners[o].second; i < end; i++)
                if (fds[i].revents != 0)
                    owners[o].first->handle(fds[i], now);
        }
    }
}

Simulator::Simulator() : impl_(new Impl) {}

Simulator::~Simulator()
{
    stop();
}

size_t Simulator::addModule(const ModuleSpec& spec)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    Impl::Entry e;
    e.spec = spec;
    e.core = std::make_unique<ModuleCore>(spec.module);
    installLinkLevel(*e.core);
    impl_->modules.push_back(std::move(e));
    return impl_->modules.size() - 1;
}

bool Simulator::start(std::string* error)
{
    std::lock_guard<std::mutex> control(impl_->control);
    std::string why;
    if (impl_->started)
        why = "the simulator was started before";
    else
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        impl_->trace.setStart(Clock::now());
        if (!impl_->open(why))
            impl_->closeAll();
    }
    if (!why.empty())
    {
        if (error)
            *error = why;
        return false;
    }
    impl_->started = true;
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        impl_->running = true;
    }
    impl_->thread = std::thread([this] { impl_->run(); });
    return true;
}

void Simulator::stop()
{
    std::lock_guard<std::mutex> control(impl_->control);
    if (!impl_->thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        impl_->stopping = true;
    }
    impl_->waker->wake();
    impl_->thread.join();
#ifdef MODSIM_WITH_USB
    std::unique_ptr<usbsim::FakeBus> bus;
#endif
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        impl_->closeAll();
        impl_->running = false;
        lines = impl_->trace.takeNew();
#ifdef MODSIM_WITH_USB
        bus = std::move(impl_->bus);
#endif
    }
    impl_->changed.notify_all();
    if (impl_->sink)
        for (const std::string& line : lines)
            impl_->sink(line);
}

bool Simulator::running() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->running;
}

size_t Simulator::moduleCount() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->modules.size();
}

uint16_t Simulator::tcpPort(size_t module, size_t index) const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    if (module >= impl_->modules.size() || index >= impl_->modules[module].tcp.size())
        return 0;
    return impl_->modules[module].tcp[index]->port();
}

std::string Simulator::ptyPath(size_t module) const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    if (module >= impl_->modules.size() || !impl_->modules[module].serial)
        return std::string();
    return impl_->modules[module].serial->path();
}

std::vector<std::string> Simulator::endpoints() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    std::vector<std::string> lines;
    for (const Impl::Entry& e : impl_->modules)
    {
        char head[64];
        snprintf(head, sizeof head, "module %08X address %02X ", e.core->config().serial,
                 e.core->config().address);
        for (const auto& t : e.tcp)
            lines.push_back(head + t->describe());
        if (e.serial)
            lines.push_back(head + e.serial->describe());
        if (e.usb)
            lines.push_back(head + e.usb->describe());
    }
    return lines;
}

ModuleStats Simulator::stats(size_t module) const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    if (module >= impl_->modules.size())
        return ModuleStats();
    return impl_->modules[module].core->stats();
}

bool Simulator::waitFor(size_t module, const std::function<bool(const ModuleStats&)>& predicate,
                        int timeoutMs) const
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;)
    {
        ModuleStats snapshot;
        uint64_t turn;
        bool live;
        {
            std::lock_guard<std::mutex> guard(impl_->lock);
            if (module >= impl_->modules.size())
                return false;
            snapshot = impl_->modules[module].core->stats();
            turn = impl_->turns;
            live = impl_->running;
        }
        // The predicate is the caller's: it runs without the lock.
        if (predicate(snapshot))
            return true;
        if (!live || Clock::now() >= deadline)
            return false;
        std::unique_lock<std::mutex> guard(impl_->lock);
        impl_->changed.wait_until(guard, deadline,
                                  [&] { return impl_->turns != turn || !impl_->running; });
    }
}

std::vector<std::string> Simulator::trace() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->trace.lines();
}

void Simulator::clearTrace()
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->trace.clear();
}

void Simulator::setTraceSink(std::function<void(const std::string&)> sink)
{
    std::lock_guard<std::mutex> control(impl_->control);
    if (!impl_->started)
        impl_->sink = std::move(sink);
}

void Simulator::setFaults(size_t module, const Faults& faults)
{
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        if (module >= impl_->modules.size())
            return;
        impl_->modules[module].core->setFaults(faults);
    }
    impl_->waker->wake();
}

Faults Simulator::faults(size_t module) const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    if (module >= impl_->modules.size())
        return Faults();
    return impl_->modules[module].core->faults();
}

void Simulator::setSilent(size_t module, bool silent)
{
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        if (module >= impl_->modules.size())
            return;
        impl_->modules[module].core->setSilent(silent);
    }
    impl_->waker->wake();
}

void Simulator::setHeartbeatMs(size_t module, unsigned ms)
{
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        if (module >= impl_->modules.size())
            return;
        impl_->modules[module].core->setHeartbeatMs(ms);
    }
    impl_->waker->wake();
}

} // namespace modsim
