// TCP/IP listener, pseudo-terminal serial line and emulated USB device.
#include "Transports.h"

#ifdef MODSIM_WITH_USB
#include "usb_fake.h"
#endif

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace modsim
{

namespace
{

// What a link may hold back when the host does not read.
constexpr size_t kMaxPending = 1 << 20;
// How long an orderly close waits for the host to close its side.
constexpr std::chrono::milliseconds kDrainTime(2000);

void _append(std::vector<uint8_t>& pending, const uint8_t* bytes, size_t n)
{
    if (pending.size() + n <= kMaxPending)
        pending.insert(pending.end(), bytes, bytes + n);
}

Time _earlier(Time a, Time b)
{
    return a < b ? a : b;
}

} // namespace

Waker::Waker() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (fd_ < 0)
        throw std::runtime_error("eventfd failed");
}

Waker::~Waker()
{
    close(fd_);
}

void Waker::wake()
{
    uint64_t one = 1;
    ssize_t ignored = ::write(fd_, &one, sizeof one);
    (void)ignored;
}

void Waker::drain()
{
    uint64_t count;
    ssize_t ignored = ::read(fd_, &count, sizeof count);
    (void)ignored;
}

// ---- TCP/IP ----

struct TcpEndpoint::Connection : public Wire
{
    enum State
    {
        Open,
        Draining, // closed in order by the module: FIN sent, reading to the end
        Gone,
    };

    int fd = -1;
    State state = Open;
    bool failed = false; // a write failed: the host is gone
    Time deadline = kNever;
    std::vector<uint8_t> pending;
    std::unique_ptr<Link> link;

    ~Connection() override
    {
        if (fd >= 0)
            close(fd);
    }

    Framing framing() const override { return Framing::Raw; }

    void write(const std::vector<uint8_t>& bytes) override
    {
        if (state != Open || failed)
            return;
        size_t done = 0;
        if (pending.empty())
        {
            ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            {
                failed = true;
                return;
            }
            done = n > 0 ? (size_t)n : 0;
        }
        _append(pending, bytes.data() + done, bytes.size() - done);
    }

    void writePending()
    {
        while (!pending.empty())
        {
            ssize_t n = send(fd, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0)
            {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    failed = true;
                return;
            }
            pending.erase(pending.begin(), pending.begin() + n);
        }
    }

    void cut(CutKind kind) override
    {
        if (state != Open)
            return;
        if (kind == CutKind::Reset)
        {
            // A close with a zero linger time resets the connection.
            struct linger l = {1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            close(fd);
            fd = -1;
            state = Gone;
            return;
        }
        // Orderly: what is queued goes out, then FIN; the connection is read
        // to its end so that unread bytes never turn the close into a reset.
        writePending();
        pending.clear();
        shutdown(fd, SHUT_WR);
        state = Draining;
        deadline = Clock::now() + kDrainTime;
    }
};

TcpEndpoint::TcpEndpoint(ModuleCore& module, Trace& trace) : module_(module), trace_(trace) {}

TcpEndpoint::~TcpEndpoint()
{
    connections_.clear();
    if (listenFd_ >= 0)
        close(listenFd_);
}

bool TcpEndpoint::open(const std::string& address, uint16_t port, std::string& error)
{
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1)
    {
        error = "not an IPv4 address: " + address;
        return false;
    }
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
    {
        error = std::string("socket: ") + strerror(errno);
        return false;
    }
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listenFd_, (sockaddr*)&sa, sizeof sa) != 0 || listen(listenFd_, 16) != 0)
    {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + strerror(errno);
        close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    socklen_t len = sizeof sa;
    getsockname(listenFd_, (sockaddr*)&sa, &len);
    address_ = address;
    port_ = ntohs(sa.sin_port);
    return true;
}

std::string TcpEndpoint::describe() const
{
    return "tcp " + address_ + " " + std::to_string(port_);
}

void TcpEndpoint::pollFds(std::vector<pollfd>& fds)
{
    if (listenFd_ >= 0)
        fds.push_back({listenFd_, POLLIN, 0});
    for (auto& c : connections_)
        if (c->fd >= 0 && c->state != Connection::Gone)
            fds.push_back({c->fd, (short)(POLLIN | (c->pending.empty() ? 0 : POLLOUT)), 0});
}

void TcpEndpoint::accept(Time now)
{
    for (;;)
    {
        sockaddr_in peer = {};
        socklen_t len = sizeof peer;
        int fd = accept4(listenFd_, (sockaddr*)&peer, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        std::string name = "tcp:" + std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
        c->link = std::make_unique<Link>(module_, *c, trace_, name);
        module_.stats().connectionsAccepted++;
        c->link->note("accepted on port " + std::to_string(port_), now);
        Connection* raw = c.get();
        connections_.push_back(std::move(c));
        raw->link->event("connect", now);
    }
}

void TcpEndpoint::handle(const pollfd& p, Time now)
{
    if (p.fd == listenFd_)
    {
        accept(now);
        return;
    }
    for (auto& c : connections_)
    {
        if (c->fd != p.fd || c->state == Connection::Gone)
            continue;
        if (p.revents & POLLOUT)
            c->writePending();
        if (!(p.revents & (POLLIN | POLLHUP | POLLERR)))
            return;
        // One read a turn: a host that never stops sending cannot keep the
        // loop from its other links, its timers and the test API.
        uint8_t buffer[4096];
        ssize_t n = recv(c->fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
        {
            if (c->state == Connection::Open)
                c->link->receive(buffer, (size_t)n, now);
            return;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        // The end of the connection: the host closed it (0) or reset it.
        if (c->state == Connection::Open)
            c->link->ended(n == 0 ? "closed by host" : "reset by host", true, now);
        close(c->fd);
        c->fd = -1;
        c->state = Connection::Gone;
        return;
    }
}

Time TcpEndpoint::service(Time now)
{
    Time next = kNever;
    for (auto& c : connections_)
    {
        if (c->state == Connection::Open)
        {
            next = _earlier(next, c->link->flush(now));
            if (c->failed && c->state == Connection::Open)
            {
                c->link->ended("write failed", true, now);
                close(c->fd);
                c->fd = -1;
                c->state = Connection::Gone;
            }
        }
        else if (c->state == Connection::Draining)
        {
            if (now >= c->deadline)
            {
                close(c->fd);
                c->fd = -1;
                c->state = Connection::Gone;
            }
            else
                next = _earlier(next, c->deadline);
        }
    }
    for (size_t i = 0; i < connections_.size();)
    {
        if (connections_[i]->state == Connection::Gone)
            connections_.erase(connections_.begin() + (long)i);
        else
            i++;
    }
    return next;
}

// ---- Serial line on a pseudo-terminal ----

SerialEndpoint::SerialEndpoint(ModuleCore& module, Trace& trace) : module_(module), trace_(trace) {}

SerialEndpoint::~SerialEndpoint()
{
    link_.reset();
    hangUp();
}

bool SerialEndpoint::open(std::string& error)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128] = {};
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0)
    {
        error = std::string("cannot open a pseudo-terminal: ") + strerror(errno);
        hangUp();
        return false;
    }
    path_ = name;
    // Held open so that the line stays up between hosts; raw, so that no
    // byte is translated before a host sets its own settings.
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct termios raw;
    if (slave_ < 0 || tcgetattr(slave_, &raw) != 0)
    {
        error = "cannot open " + path_ + ": " + strerror(errno);
        hangUp();
        return false;
    }
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
    link_ = std::make_unique<Link>(module_, static_cast<Wire&>(*this), trace_, "pty:" + path_);
    return true;
}

std::string SerialEndpoint::describe() const
{
    return "serial " + path_;
}

void SerialEndpoint::hangUp()
{
    if (master_ >= 0)
        close(master_);
    if (slave_ >= 0)
        close(slave_);
    master_ = slave_ = -1;
    pending_.clear();
}

void SerialEndpoint::write(const std::vector<uint8_t>& bytes)
{
    if (master_ < 0)
        return;
    size_t done = 0;
    if (pending_.empty())
    {
        ssize_t n = ::write(master_, bytes.data(), bytes.size());
        done = n > 0 ? (size_t)n : 0;
    }
    _append(pending_, bytes.data() + done, bytes.size() - done);
}

void SerialEndpoint::cut(CutKind)
{
    // A serial line has no connection to close: the line is hung up.
    hangUp();
}

void SerialEndpoint::pollFds(std::vector<pollfd>& fds)
{
    if (master_ >= 0)
        fds.push_back({master_, (short)(POLLIN | (pending_.empty() ? 0 : POLLOUT)), 0});
}

void SerialEndpoint::handle(const pollfd& p, Time now)
{
    if (p.fd != master_ || master_ < 0)
        return;
    if ((p.revents & POLLOUT) && !pending_.empty())
    {
        ssize_t n = ::write(master_, pending_.data(), pending_.size());
        if (n > 0)
            pending_.erase(pending_.begin(), pending_.begin() + n);
    }
    if (!(p.revents & POLLIN))
        return;
    uint8_t buffer[4096];
    ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n > 0 && link_)
        link_->receive(buffer, (size_t)n, now);
}

Time SerialEndpoint::service(Time now)
{
    if (!link_ || !link_->alive())
        return kNever;
    return link_->flush(now);
}

// ---- USB on the emulated bus ----

#ifdef MODSIM_WITH_USB

UsbEndpoint::UsbEndpoint(ModuleCore& module, Trace& trace, usbsim::FakeBus& bus,
                         std::shared_ptr<Waker> waker)
    : module_(module), trace_(trace), bus_(bus), waker_(std::move(waker)),
      inbox_(std::make_shared<Inbox>())
{
}

UsbEndpoint::~UsbEndpoint()
{
    if (fake_ != nullptr)
        fake_->setOutListener(nullptr);
}

bool UsbEndpoint::open(uint16_t product, std::string& error)
{
    usbsim::FakeModuleConfig config;
    config.serial = module_.serialText();
    config.product = product;
    try
    {
        fake_ = &bus_.addModule(config);
    }
    catch (const std::exception& e)
    {
        error = e.what();
        return false;
    }
    // The listener runs on umockdev's thread and may outlive this endpoint
    // for a moment: it holds the inbox and the waker itself.
    std::shared_ptr<Inbox> inbox = inbox_;
    std::shared_ptr<Waker> waker = waker_;
    fake_->setOutListener(
        [inbox, waker](const std::vector<uint8_t>& data)
        {
            {
                std::lock_guard<std::mutex> guard(inbox->lock);
                inbox->transfers.push_back(data);
            }
            waker->wake();
        });
    link_ = std::make_unique<Link>(module_, static_cast<Wire&>(*this), trace_,
                                   "usb:" + module_.serialText());
    return true;
}

std::string UsbEndpoint::describe() const
{
    return "usb " + module_.serialText();
}

void UsbEndpoint::write(const std::vector<uint8_t>& bytes)
{
    if (!unplugged_)
        fake_->queueIn(bytes);
}

void UsbEndpoint::cut(CutKind)
{
    // A USB module leaves the bus.
    if (unplugged_)
        return;
    unplugged_ = true;
    bus_.removeModule(*fake_);
}

Time UsbEndpoint::service(Time now)
{
    std::vector<std::vector<uint8_t>> transfers;
    {
        std::lock_guard<std::mutex> guard(inbox_->lock);
        transfers.swap(inbox_->transfers);
    }
    if (!link_ || !link_->alive())
        return kNever;
    for (const auto& t : transfers)
        if (link_->alive())
            link_->receive(t.data(), t.size(), now);
    return link_->flush(now);
}

#endif

} // namespace modsim
