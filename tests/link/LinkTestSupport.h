// Far ends for the link tests: a scripted stream the test feeds and reads, a
// TCP listener on 127.0.0.1, and a reader of raw packets on the wire.
#pragma once

#include <lumbrixon/kxLink.h>
#include <lumbrixon/kxLinkManagerInternal.h>
#include <lumbrixon/kxStream.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Polls `done` every millisecond for up to `timeoutMs`; its last answer.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs)
{
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done())
    {
        if (Clock::now() >= end)
        {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Splits a byte sequence into packets (address, length, data), the way the
// module reads what the host sends.
inline std::vector<Bytes> SplitPackets(const Bytes& bytes)
{
    std::vector<Bytes> packets;
    size_t at = 0;
    while (at + 2 <= bytes.size() && at + 2 + bytes[at + 1] <= bytes.size())
    {
        packets.emplace_back(bytes.begin() + at, bytes.begin() + at + 2 + bytes[at + 1]);
        at += 2 + bytes[at + 1];
    }
    return packets;
}

inline size_t CountPacket(const Bytes& bytes, const Bytes& packet)
{
    auto packets = SplitPackets(bytes);
    return static_cast<size_t>(std::count(packets.begin(), packets.end(), packet));
}

inline bool AnyPacket(const kxPacket*, void*)
{
    return true;
}

// Accepts packets whose first data byte equals *(uint8_t*)ref.
inline bool FirstDataByteIs(const kxPacket* packet, void* ref)
{
    return packet->length >= 1 && packet->data[0] == *static_cast<uint8_t*>(ref);
}

inline Bytes WireOf(const kxPacket* packet)
{
    return Bytes(&packet->address, &packet->address + packet->length + 2);
}

// Queues the packet (address, data) on the link.
inline kxErr Put(uint32_t link, uint8_t address, const Bytes& data)
{
    uint8_t none = 0;
    kxPacket* packet = kxPacket_CreateWithData(address, static_cast<uint8_t>(data.size()),
                                               data.empty() ? &none : data.data());
    kxErr err = kxLink_PutPacket(link, packet);
    kxPacket_Destroy(&packet);
    return err;
}

// A caller-supplied stream whose far end is the test. `get` waits up to
// `readWaitMs` for a byte (0: answers at once); the test's Send feeds bytes,
// and everything the link writes is kept with the size of each write. A
// write can be held (Hold) until released. The stream's record belongs to the
// test and must outlive the link.
struct ScriptedPeer
{
    std::mutex lock;
    std::condition_variable changed;
    std::deque<uint8_t> input;
    Bytes written;
    std::vector<size_t> writeSizes;
    int readWaitMs = 5;
    kxErr readFailure = kxErrNone;
    kxErr writeResult = kxErrNone;
    int writeDelayMs = 0;
    bool holding = false;
    std::atomic<int> writesHeld{0};
    std::atomic<int> deleted{0};
    std::atomic<long> gets{0};

    static kxErr Get(uint8_t* byte, void* ref)
    {
        auto* self = static_cast<ScriptedPeer*>(ref);
        self->gets++;
        std::unique_lock<std::mutex> guard(self->lock);
        if (self->readFailure != kxErrNone)
        {
            return self->readFailure;
        }
        if (self->input.empty() && self->readWaitMs > 0)
        {
            self->changed.wait_for(guard, std::chrono::milliseconds(self->readWaitMs));
        }
        if (self->input.empty())
        {
            return kxErrNotReady;
        }
        *byte = self->input.front();
        self->input.pop_front();
        return kxErrNone;
    }
    static kxErr Write(const uint8_t* bytes, size_t n, void* ref)
    {
        auto* self = static_cast<ScriptedPeer*>(ref);
        std::unique_lock<std::mutex> guard(self->lock);
        if (self->holding)
        {
            self->writesHeld++;
            self->changed.wait_for(guard, std::chrono::seconds(5),
                                   [self] { return !self->holding; });
        }
        if (self->writeDelayMs > 0)
        {
            self->changed.wait_for(guard, std::chrono::milliseconds(self->writeDelayMs));
        }
        if (self->writeResult == kxErrNone)
        {
            self->written.insert(self->written.end(), bytes, bytes + n);
            self->writeSizes.push_back(n);
        }
        self->changed.notify_all();
        return self->writeResult;
    }
    static kxErr PutByte(uint8_t byte, void* ref) { return Write(&byte, 1, ref); }
    static kxErr Delete(void* ref)
    {
        static_cast<ScriptedPeer*>(ref)->deleted++;
        return kxErrNone;
    }

    kxStream* Stream() { return kxStream_Create(Get, PutByte, Write, Delete, this); }
    void Send(const Bytes& bytes)
    {
        std::lock_guard<std::mutex> guard(lock);
        input.insert(input.end(), bytes.begin(), bytes.end());
        changed.notify_all();
    }
    Bytes Written()
    {
        std::lock_guard<std::mutex> guard(lock);
        return written;
    }
    std::vector<size_t> WriteSizes()
    {
        std::lock_guard<std::mutex> guard(lock);
        return writeSizes;
    }
    void ClearWritten()
    {
        std::lock_guard<std::mutex> guard(lock);
        written.clear();
        writeSizes.clear();
    }
    size_t Count(const Bytes& packet) { return CountPacket(Written(), packet); }
    bool AwaitCount(const Bytes& packet, size_t count, int timeoutMs)
    {
        return WaitFor([&] { return Count(packet) >= count; }, timeoutMs);
    }
    void Hold(bool on)
    {
        std::lock_guard<std::mutex> guard(lock);
        holding = on;
        changed.notify_all();
    }
    void FailReads(kxErr err)
    {
        std::lock_guard<std::mutex> guard(lock);
        readFailure = err;
    }
    void SetWrites(kxErr result, int delayMs)
    {
        std::lock_guard<std::mutex> guard(lock);
        writeResult = result;
        writeDelayMs = delayMs;
    }
};

// A listening TCP socket on 127.0.0.1 playing the module's end.
class TcpPeer
{
public:
    TcpPeer()
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        EXPECT_EQ(listen(listener, 8), 0);
        socklen_t length = sizeof(address);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~TcpPeer()
    {
        CloseConnection();
        StopListening();
    }
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;

    static uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

    void StopListening()
    {
        if (listener >= 0)
        {
            close(listener);
            listener = -1;
        }
    }
    // Takes the next connection (closing the one before) within `timeoutMs`.
    bool Accept(int timeoutMs)
    {
        struct pollfd pfd = {listener, POLLIN, 0};
        if (listener < 0 || poll(&pfd, 1, timeoutMs) != 1)
        {
            return false;
        }
        CloseConnection();
        fd = accept(listener, nullptr, nullptr);
        received.clear();
        return fd >= 0;
    }
    void CloseConnection()
    {
        if (fd >= 0)
        {
            close(fd);
            fd = -1;
        }
    }
    // Ends the connection in order (FIN).
    void CloseInOrder() { shutdown(fd, SHUT_WR); }
    // Ends the connection with a reset (RST).
    void ResetConnection()
    {
        struct linger reset = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        CloseConnection();
    }
    void Send(const Bytes& bytes)
    {
        ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Reads what has arrived within `waitMs` into `received`.
    void Pump(int waitMs)
    {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (fd < 0 || poll(&pfd, 1, waitMs) != 1)
        {
            return;
        }
        uint8_t buffer[4096];
        ssize_t got = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (got > 0)
        {
            received.insert(received.end(), buffer, buffer + got);
        }
    }
    // Reads until `packet` has arrived `count` times or `timeoutMs` passed.
    bool AwaitCount(const Bytes& packet, size_t count, int timeoutMs)
    {
        auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (CountPacket(received, packet) < count && Clock::now() < end)
        {
            Pump(5);
        }
        return CountPacket(received, packet) >= count;
    }

    int listener = -1;
    int fd = -1;
    uint16_t port = 0;
    Bytes received;
};

// The control packets on the wire.
inline const Bytes kRouteOn = {0xAF, 0x01, 0x01};
inline const Bytes kRouteOff = {0xAF, 0x01, 0x00};
inline const Bytes kSyncRequest = {0xAD, 0x00};
