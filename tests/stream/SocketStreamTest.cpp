// Socket streams against TCP servers on 127.0.0.1.
#include <lumbrixon/kxStream.h>
#include <lumbrixon/kxStreamSocket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// A listening socket on the loopback interface.
class TcpServer
{
public:
    TcpServer()
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
    ~TcpServer()
    {
        for (int fd : accepted)
        {
            close(fd);
        }
        StopListening();
    }
    void StopListening()
    {
        if (listener >= 0)
        {
            close(listener);
            listener = -1;
        }
    }
    // The next connection, or -1 after `timeoutMs`.
    int Accept(int timeoutMs)
    {
        struct pollfd pfd = {listener, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) != 1)
        {
            return -1;
        }
        int fd = accept(listener, nullptr, nullptr);
        if (fd >= 0)
        {
            accepted.push_back(fd);
        }
        return fd;
    }
    // Closes a connection so that the peer sees it reset.
    static void Reset(int fd)
    {
        struct linger reset = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        shutdown(fd, SHUT_RD);
        close(fd);
    }
    void ResetAccepted(int fd)
    {
        std::erase(accepted, fd);
        Reset(fd);
    }
    static Bytes Receive(int fd, size_t count, int timeoutMs)
    {
        Bytes bytes;
        auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (bytes.size() < count && Clock::now() < end)
        {
            struct pollfd pfd = {fd, POLLIN, 0};
            if (poll(&pfd, 1, 10) != 1)
            {
                continue;
            }
            uint8_t buffer[256];
            ssize_t got = recv(fd, buffer, std::min(sizeof(buffer), count - bytes.size()), 0);
            if (got <= 0)
            {
                break;
            }
            bytes.insert(bytes.end(), buffer, buffer + got);
        }
        return bytes;
    }
    // Up to `count` bytes, until none has come for `quietMs` or `timeoutMs`
    // have passed.
    static Bytes ReceiveUntilQuiet(int fd, size_t count, int quietMs, int timeoutMs)
    {
        Bytes bytes;
        std::vector<uint8_t> buffer(64 * 1024);
        auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        auto quiet = Clock::now() + std::chrono::milliseconds(quietMs);
        while (bytes.size() < count && Clock::now() < end && Clock::now() < quiet)
        {
            struct pollfd pfd = {fd, POLLIN, 0};
            if (poll(&pfd, 1, 10) != 1)
            {
                continue;
            }
            ssize_t got = recv(fd, buffer.data(), std::min(buffer.size(), count - bytes.size()), 0);
            if (got <= 0)
            {
                break;
            }
            bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + got);
            quiet = Clock::now() + std::chrono::milliseconds(quietMs);
        }
        return bytes;
    }
    static void Send(int fd, const Bytes& bytes)
    {
        ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

    int listener = -1;
    uint16_t port = 0;
    std::vector<int> accepted;
};

uint32_t Loopback()
{
    return htonl(INADDR_LOOPBACK);
}

// Polls `get` for `count` bytes within `timeoutMs`.
Bytes GetBytes(kxStream* stream, size_t count, int timeoutMs)
{
    Bytes bytes;
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (bytes.size() < count && Clock::now() < end)
    {
        uint8_t byte = 0;
        kxErr err = kxStream_Read(stream, &byte, 1);
        if (err == kxErrNone)
        {
            bytes.push_back(byte);
        }
        else if (err == kxErrNotReady)
        {
            usleep(500);
        }
        else
        {
            ADD_FAILURE() << "get failed: " << err;
            break;
        }
    }
    return bytes;
}
} // namespace

TEST(SocketStream, ConnectionRefusedGivesNoStream)
{
    TcpServer server;
    uint16_t port = server.port;
    server.StopListening();
    kxStream* stream = nullptr;
    EXPECT_EQ(kxStream_CreateSocket(Loopback(), port, &stream), kxErrResource);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(kxStream_CreateSocket(Loopback(), port, nullptr), kxErrResource);
}

TEST(SocketStream, ConnectGetAndWrite)
{
    TcpServer server;
    kxStream* stream = nullptr;
    ASSERT_EQ(kxStream_CreateSocket(Loopback(), server.port, &stream), kxErrNone);
    int peer = server.Accept(1000);
    ASSERT_GE(peer, 0);

    uint8_t byte = 0;
    EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrNotReady);
    TcpServer::Send(peer, {0x04, 0x00, 0xAF});
    EXPECT_EQ(GetBytes(stream, 3, 1000), Bytes({0x04, 0x00, 0xAF}));

    const uint8_t packet[4] = {0x04, 0x02, 0x00, 0x03};
    EXPECT_EQ(kxStream_Write(stream, packet, 4), kxErrNone);
    EXPECT_EQ(kxStream_Write(stream, packet, 1), kxErrNone);
    EXPECT_EQ(TcpServer::Receive(peer, 5, 1000), Bytes({0x04, 0x02, 0x00, 0x03, 0x04}));

    // The peer closing its side in order ends the stream: the module went
    // away, and neither reads nor writes pretend otherwise.
    shutdown(peer, SHUT_WR);
    usleep(20000);
    EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrConnection);
    EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrConnection);
    EXPECT_EQ(kxStream_Write(stream, packet, 4), kxErrConnection);
    EXPECT_EQ(server.Accept(100), -1);
    EXPECT_EQ(kxStream_Destroy(&stream), kxErrNone);
}

TEST(SocketStream, BytesSentBeforeAnOrderlyCloseAreReadFirst)
{
    TcpServer server;
    kxStream* stream = nullptr;
    ASSERT_EQ(kxStream_CreateSocket(Loopback(), server.port, &stream), kxErrNone);
    int peer = server.Accept(1000);
    ASSERT_GE(peer, 0);
    TcpServer::Send(peer, {0x04, 0x01, 0x07});
    shutdown(peer, SHUT_WR);
    usleep(20000);
    EXPECT_EQ(GetBytes(stream, 3, 1000), Bytes({0x04, 0x01, 0x07}));
    uint8_t byte = 0;
    EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrConnection);
    kxStream_Destroy(&stream);
}

TEST(SocketStream, AnIdleReadWaitsBriefly)
{
    TcpServer server;
    kxStream* stream = nullptr;
    ASSERT_EQ(kxStream_CreateSocket(Loopback(), server.port, &stream), kxErrNone);
    int peer = server.Accept(1000);
    ASSERT_GE(peer, 0);
    // Nothing waiting: the read waits for the socket, not for ever.
    uint8_t byte = 0;
    auto start = Clock::now();
    EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrNotReady);
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(kxSOCKET_READ_WAIT_MS / 2));
    EXPECT_LT(waited, std::chrono::milliseconds(kxSOCKET_READ_WAIT_MS + 500));
    // A byte arriving during the wait ends it at once.
    std::thread sender(
        [&]
        {
            usleep(10000);
            TcpServer::Send(peer, {0x5A});
        });
    start = Clock::now();
    kxErr err = kxStream_Read(stream, &byte, 1);
    waited = Clock::now() - start;
    sender.join();
    EXPECT_EQ(err, kxErrNone);
    EXPECT_EQ(byte, 0x5A);
    EXPECT_LT(waited, std::chrono::milliseconds(kxSOCKET_READ_WAIT_MS));
    kxStream_Destroy(&stream);
}

TEST(SocketStream, AResetSeenByTheReaderEndsTheStream)
{
    TcpServer server;
    kxStream* stream = nullptr;
    ASSERT_EQ(kxStream_CreateSocket(Loopback(), server.port, &stream), kxErrNone);
    int first = server.Accept(1000);
    ASSERT_GE(first, 0);
    server.ResetAccepted(first);
    usleep(20000);

    // The reader reports the lost connection; nobody connects again.
    uint8_t byte = 0;
    EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrConnection);
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(kxStream_Write(stream, data, 3), kxErrConnection);
    EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrConnection);
    EXPECT_EQ(server.Accept(200), -1);
    kxStream_Destroy(&stream);
}

TEST(SocketStream, TheWriterReconnectsAfterAReset)
{
    TcpServer server;
    kxStream* stream = nullptr;
    ASSERT_EQ(kxStream_CreateSocket(Loopback(), server.port, &stream), kxErrNone);
    int first = server.Accept(1000);
    ASSERT_GE(first, 0);
    server.ResetAccepted(first);
    usleep(20000);

    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(kxStream_Write(stream, data, 3), kxErrNone);
    int second = server.Accept(1000);
    ASSERT_GE(second, 0);
    EXPECT_EQ(TcpServer::Receive(second, 3, 1000), Bytes({1, 2, 3}));
    // The reader goes on with the new connection.
    TcpServer::Send(second, {0x42});
    EXPECT_EQ(GetBytes(stream, 1, 1000), Bytes({0x42}));
    kxStream_Destroy(&stream);
}

TEST(SocketStream, LostConnectionErrors)
{
    for (int error : {EPIPE, ECONNRESET, ENOTCONN, ETIMEDOUT})
    {
        EXPECT_TRUE(kxStreamSocket_IsLostConnection(error)) << error;
    }
    for (int error : {0, EAGAIN, EINTR, EINVAL, ECONNREFUSED, EBADF})
    {
        EXPECT_FALSE(kxStreamSocket_IsLostConnection(error)) << error;
    }
}

TEST(SocketStream, ABlockCutByAReconnectArrivesWhole)
{
    TcpServer server;
    kxStream* stream = nullptr;
    ASSERT_EQ(kxStream_CreateSocket(Loopback(), server.port, &stream), kxErrNone);
    int first = server.Accept(1000);
    ASSERT_GE(first, 0);
    // Far more than the socket buffers hold, so that part of it is still to
    // be sent when the first peer goes.
    Bytes block(32 * 1024 * 1024);
    for (size_t i = 0; i < block.size(); i++)
    {
        block[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    std::atomic<kxErr> result{kxErrNotReady};
    std::thread writer([&] { result = kxStream_Write(stream, block.data(), block.size()); });
    // The first peer reads the start of the block, then resets the connection.
    Bytes start = TcpServer::Receive(first, 4096, 2000);
    server.ResetAccepted(first);
    int second = server.Accept(2000);
    Bytes got;
    if (second >= 0)
    {
        got = TcpServer::ReceiveUntilQuiet(second, block.size(), 2000, 20000);
    }
    writer.join();
    EXPECT_EQ(start, Bytes(block.begin(), block.begin() + 4096));
    ASSERT_GE(second, 0);
    EXPECT_EQ(result, kxErrNone);
    // The second peer has the block from its first byte.
    ASSERT_EQ(got.size(), block.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), block.begin()));
    EXPECT_EQ(server.Accept(100), -1);
    kxStream_Destroy(&stream);
}

// A reset met by a reader and a writer at once ends in one of two clear
// states: the reader saw it first and the stream has ended, or the writer saw
// it first and connected again, once.
TEST(SocketStream, ReaderAndWriterMeetingAResetEndInOneClearState)
{
    TcpServer server;
    kxStream* stream = nullptr;
    ASSERT_EQ(kxStream_CreateSocket(Loopback(), server.port, &stream), kxErrNone);
    int first = server.Accept(1000);
    ASSERT_GE(first, 0);

    std::atomic<bool> stop{false};
    std::atomic<int> received{0};
    std::atomic<int> readFailures{0};
    std::atomic<int> writeFailures{0};
    std::thread reader(
        [&]
        {
            while (!stop)
            {
                uint8_t byte = 0;
                kxErr err = kxStream_Read(stream, &byte, 1);
                if (err == kxErrNone)
                {
                    received++;
                }
                else if (err == kxErrConnection)
                {
                    readFailures++;
                    usleep(1000);
                }
            }
        });
    std::thread writer(
        [&]
        {
            const uint8_t packet[2] = {0x04, 0x00};
            for (int i = 0; i < 200 && !stop; i++)
            {
                if (kxStream_Write(stream, packet, 2) != kxErrNone)
                {
                    writeFailures++;
                }
                usleep(2000);
            }
        });
    usleep(50000);
    server.ResetAccepted(first);
    int second = server.Accept(500);
    usleep(200000);
    EXPECT_EQ(server.Accept(100), -1);
    if (second >= 0)
    {
        TcpServer::Send(second, {1, 2, 3});
        EXPECT_FALSE(TcpServer::Receive(second, 2, 1000).empty());
        for (int i = 0; i < 100 && received < 3; i++)
        {
            usleep(10000);
        }
    }
    stop = true;
    reader.join();
    writer.join();
    if (second >= 0)
    {
        EXPECT_EQ(received, 3);
        EXPECT_EQ(writeFailures, 0);
    }
    else
    {
        EXPECT_GT(readFailures, 0);
        EXPECT_GT(writeFailures, 0);
        EXPECT_EQ(received, 0);
    }
    kxStream_Destroy(&stream);
}

TEST(SocketStream, WriteGivesUpWhenTheServerIsGone)
{
    TcpServer server;
    kxStream* stream = nullptr;
    ASSERT_EQ(kxStream_CreateSocket(Loopback(), server.port, &stream), kxErrNone);
    int peer = server.Accept(1000);
    ASSERT_GE(peer, 0);
    server.StopListening();
    server.ResetAccepted(peer);
    usleep(20000);

    const uint8_t data[4] = {1, 2, 3, 4};
    auto start = Clock::now();
    EXPECT_EQ(kxStream_Write(stream, data, 4), kxErrConnection);
    auto elapsed = Clock::now() - start;
    EXPECT_LT(elapsed,
              std::chrono::milliseconds(kxSOCKET_WRITE_ATTEMPTS * (kxSOCKET_RETRY_SLEEP_MS + 40)));
    // The stream stays unconnected, and says so at once.
    uint8_t byte = 0;
    EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrConnection);
    EXPECT_EQ(kxStream_Write(stream, data, 4), kxErrConnection);
    kxStream_Destroy(&stream);
}

TEST(SocketStream, WriteToAPeerThatTakesNothingEnds)
{
    TcpServer server;
    kxStream* stream = nullptr;
    ASSERT_EQ(kxStream_CreateSocket(Loopback(), server.port, &stream), kxErrNone);
    int peer = server.Accept(1000);
    ASSERT_GE(peer, 0);
    Bytes block(32 * 1024 * 1024, 0x5A);
    auto start = Clock::now();
    EXPECT_EQ(kxStream_Write(stream, block.data(), block.size()), kxErrTimeout);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    kxStream_Destroy(&stream);
}
