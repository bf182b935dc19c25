// The host's end of the wire for the simulator tests: a plain TCP socket and a
// pseudo-terminal opened as a serial port, with bounded reads. Nothing here
// knows the link protocol; the tests write the packets' bytes by hand.
#pragma once

#include "tools/modsim/Simulator.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<uint8_t>;

// How a read ended.
enum class End
{
    Count,   // the bytes asked for arrived
    Timeout, // the connection is open, nothing more came
    Fin,     // the far end closed in order
    Reset,   // the far end reset the connection (or hung up the line)
};

class HostFd
{
public:
    HostFd() = default;
    explicit HostFd(int fd) : fd_(fd) {}
    ~HostFd() { closeFd(); }
    HostFd(const HostFd&) = delete;
    HostFd& operator=(const HostFd&) = delete;

    int fd() const { return fd_; }
    void closeFd()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

    void write(const Bytes& bytes)
    {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), (ssize_t)bytes.size())
            << strerror(errno);
    }

    // Reads until `count` bytes came, the far end ended, or `timeoutMs` passed.
    Bytes read(size_t count, int timeoutMs, End* how = nullptr)
    {
        Bytes bytes;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        End end = End::Timeout;
        while (bytes.size() < count)
        {
            int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                           deadline - std::chrono::steady_clock::now())
                           .count();
            if (left <= 0)
                break;
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, left) <= 0)
                continue;
            uint8_t buffer[256];
            size_t want =
                count - bytes.size() < sizeof buffer ? count - bytes.size() : sizeof buffer;
            ssize_t n = ::read(fd_, buffer, want);
            if (n > 0)
            {
                bytes.insert(bytes.end(), buffer, buffer + n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            end = n == 0 ? End::Fin : End::Reset;
            break;
        }
        if (bytes.size() >= count)
            end = End::Count;
        if (how)
            *how = end;
        return bytes;
    }

    // Waits for the end of the connection, throwing away what arrives.
    End waitForEnd(int timeoutMs)
    {
        End how = End::Timeout;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline)
        {
            read(1 << 20, 50, &how);
            if (how == End::Fin || how == End::Reset)
                return how;
        }
        return End::Timeout;
    }

protected:
    int fd_ = -1;
};

// A TCP/IP connection from the host to the simulator on loopback.
class TcpHost : public HostFd
{
public:
    explicit TcpHost(uint16_t port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, (sockaddr*)&sa, sizeof sa) != 0)
        {
            ADD_FAILURE() << "connect to port " << port << ": " << strerror(errno);
            closeFd();
        }
    }
    // Ends the connection with a reset, as the host's socket stream does.
    void reset()
    {
        struct linger l = {1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        closeFd();
    }
};

// The simulator's pseudo-terminal opened as a raw serial port.
class SerialHost : public HostFd
{
public:
    explicit SerialHost(const std::string& path)
    {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
        {
            ADD_FAILURE() << "open " << path << ": " << strerror(errno);
            return;
        }
        termios raw;
        tcgetattr(fd_, &raw);
        cfmakeraw(&raw);
        tcsetattr(fd_, TCSANOW, &raw);
    }
    void write(const Bytes& bytes)
    {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    }
};

// Nothing arrives for `ms`.
inline bool Quiet(HostFd& host, int ms)
{
    return host.read(1, ms).empty();
}

// A module on TCP/IP and/or a serial line, started.
inline size_t StartModule(modsim::Simulator& sim, uint8_t address, unsigned heartbeatMs,
                          bool tcp = true, bool serialLine = false,
                          const modsim::Faults& faults = modsim::Faults())
{
    modsim::ModuleSpec spec;
    spec.module.address = address;
    spec.module.heartbeatMs = heartbeatMs;
    spec.module.faults = faults;
    if (tcp)
        spec.tcp.push_back(modsim::TcpSpec());
    spec.serialLine = serialLine;
    size_t m = sim.addModule(spec);
    std::string error;
    EXPECT_TRUE(sim.start(&error)) << error;
    return m;
}

// Whether some trace line holds every one of the texts.
inline bool Traced(const modsim::Simulator& sim, const std::vector<std::string>& texts)
{
    for (const std::string& line : sim.trace())
    {
        bool all = true;
        for (const std::string& t : texts)
            all = all && line.find(t) != std::string::npos;
        if (all)
            return true;
    }
    return false;
}
