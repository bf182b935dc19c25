// TCP socket streams.
#include <lumbrixon/kxStreamSocket.h>

#include <lumbrixon/kxTime.h>

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
constexpr uint32_t sConnected = 0x1;
// The reader has seen the peer close or reset the connection: the stream is
// finished and nobody connects it again.
constexpr uint32_t sEnded = 0x2;
constexpr const char* sModule = "unix_streamsocket.cpp";

// One connection. Threads: the link's reading thread calls sSocketGet, its
// writing thread sSocketWrite and sSocketPut. Both hold `lock` shared while
// they look at `flags`, `fd` and `generation` and while their recv, send or
// poll runs on `fd`, so they never block each other. A reconnect (sSetUp) and
// the end of the connection (sEndConnection) hold `lock` exclusively and are
// the only code that changes `flags`, `fd` and `generation`, so they never
// run on both threads at once and never close a descriptor that the other
// thread is using. The lock prefers exclusive waiters, so a reconnect is not
// starved by the reader. `lock` is the only lock taken here; nothing else is
// called while it is held. `address` is set at creation and only read
// afterwards. `input`, `inputCount` and `inputPos` (bytes received and not yet
// handed out) belong to the reading thread alone.
struct kxSocketState
{
    uint16_t check;
    struct sockaddr_in address;
    uint32_t flags;
    int fd;
    uint32_t generation;
    pthread_rwlock_t lock;
    size_t inputCount;
    size_t inputPos;
    uint8_t input[kxSOCKET_INPUT_BYTES];
};

void sPrintError(int line, const char* text, int error)
{
    printf("Error in File; %s on line; %d, %s: %d\n", sModule, line, text, error);
    fflush(stdout);
}

kxSocketState* sState(void* ref)
{
    auto* state = static_cast<kxSocketState*>(ref);
    if (state == nullptr || state->check != kxSOCKET_CHECK)
    {
        return nullptr;
    }
    return state;
}

bool sIsWouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

void sCloseSocket(kxSocketState* state)
{
    state->flags &= ~sConnected;
    if (state->fd >= 0)
    {
        close(state->fd);
        state->fd = -1;
    }
}

// Connects (again). The caller holds `lock` exclusively.
kxErr sSetUp(kxSocketState* state)
{
    state->generation++;
    if (state->fd >= 0)
    {
        sCloseSocket(state);
        kxTime_MSSleep(10);
    }
    state->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (state->fd < 0)
    {
        sPrintError(__LINE__, "unable to create socket", errno);
        return kxErrIO;
    }
    // The connection is made without blocking and waited for at most
    // kxSOCKET_CONNECT_TIMEOUT_MS, so that a host that does not answer cannot
    // hold a reconnect (or a link reset) for the system's minutes.
    int one = 1;
    int error = 0;
    if (ioctl(state->fd, FIONBIO, &one) != 0)
    {
        error = errno;
    }
    else if (connect(state->fd, reinterpret_cast<const struct sockaddr*>(&state->address),
                     sizeof(state->address)) != 0)
    {
        error = errno;
        if (error == EINPROGRESS)
        {
            struct pollfd done = {state->fd, POLLOUT, 0};
            int ready = poll(&done, 1, kxSOCKET_CONNECT_TIMEOUT_MS);
            socklen_t length = sizeof(error);
            if (ready == 0)
            {
                error = ETIMEDOUT;
            }
            else if (ready < 0)
            {
                error = errno;
            }
            else if (getsockopt(state->fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            {
                error = errno;
            }
        }
    }
    if (error != 0)
    {
        kxErr err = kxErrConnection;
        if (error != EAGAIN && error != ECONNRESET && error != ETIMEDOUT && error != ECONNREFUSED)
        {
            sPrintError(__LINE__, "Unhandled socket connect error", error);
            err = kxErrIO;
        }
        sCloseSocket(state);
        return err;
    }
    state->flags |= sConnected;

    // A socket that cannot be configured is not used: it would block the
    // threads or keep a dead connection alive.
    if (setsockopt(state->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0)
    {
        printf("setsockopt TCP_NODELAY failed: socket = %d, level = %d errno = %d\n", state->fd,
               IPPROTO_TCP, errno);
        fflush(stdout);
        sCloseSocket(state);
        return kxErrIO;
    }
    struct timeval noTimeout = {0, 0};
    if (setsockopt(state->fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof(noTimeout)) != 0)
    {
        sPrintError(__LINE__, "setsockopt SO_RCVTIMEO failed", errno);
        sCloseSocket(state);
        return kxErrIO;
    }
    struct linger reset = {1, 0};
    if (setsockopt(state->fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset)) != 0)
    {
        sPrintError(__LINE__, "setsockopt SO_LINGER failed", errno);
        sCloseSocket(state);
        return kxErrIO;
    }
    if (ioctl(state->fd, FIONBIO, &one) != 0)
    {
        sPrintError(__LINE__, "unable to ioctl socket for non-blocking", errno);
        sCloseSocket(state);
        return kxErrIO;
    }
    return kxErrNone;
}

// Reconnects unless the other thread already replaced the connection that
// the caller saw fail (its generation `seen`). The caller holds no lock.
kxErr sReconnect(kxSocketState* state, uint32_t seen)
{
    pthread_rwlock_wrlock(&state->lock);
    kxErr err;
    if ((state->flags & sEnded) != 0)
    {
        err = kxErrConnection;
    }
    else if (state->generation != seen)
    {
        err = (state->flags & sConnected) != 0 ? kxErrNone : kxErrConnection;
    }
    else
    {
        state->flags &= ~sConnected;
        err = sSetUp(state);
    }
    pthread_rwlock_unlock(&state->lock);
    return err;
}

// Ends the connection the reader saw closed or reset (its generation
// `seen`), unless it has been replaced meanwhile. The caller holds no lock.
void sEndConnection(kxSocketState* state, uint32_t seen)
{
    pthread_rwlock_wrlock(&state->lock);
    if (state->generation == seen)
    {
        sCloseSocket(state);
        state->flags |= sEnded;
        state->generation++;
    }
    pthread_rwlock_unlock(&state->lock);
}

// Hands out the bytes received, one per call. When none is left it receives
// what is waiting (up to kxSOCKET_INPUT_BYTES in one recv) and, when nothing
// is, waits up to kxSOCKET_READ_WAIT_MS for the socket to become readable.
// A peer that closed its side or reset the connection ends the stream.
kxErr sSocketGet(uint8_t* byte, void* ref)
{
    kxSocketState* state = sState(ref);
    if (state == nullptr || byte == nullptr)
    {
        return kxErrParam;
    }
    if (state->inputPos < state->inputCount)
    {
        *byte = state->input[state->inputPos++];
        return kxErrNone;
    }
    pthread_rwlock_rdlock(&state->lock);
    if ((state->flags & sConnected) == 0)
    {
        pthread_rwlock_unlock(&state->lock);
        return kxErrConnection;
    }
    uint32_t seen = state->generation;
    ssize_t got = recv(state->fd, state->input, sizeof(state->input), 0);
    int error = errno;
    if (got < 0 && sIsWouldBlock(error))
    {
        // Still this connection's descriptor: the lock is held.
        struct pollfd readable = {state->fd, POLLIN, 0};
        if (poll(&readable, 1, kxSOCKET_READ_WAIT_MS) > 0)
        {
            got = recv(state->fd, state->input, sizeof(state->input), 0);
            error = errno;
        }
    }
    pthread_rwlock_unlock(&state->lock);
    if (got > 0)
    {
        state->inputCount = static_cast<size_t>(got);
        state->inputPos = 1;
        *byte = state->input[0];
        return kxErrNone;
    }
    if (got < 0 && sIsWouldBlock(error))
    {
        return kxErrNotReady;
    }
    if (got == 0 || kxStreamSocket_IsLostConnection(error))
    {
        sEndConnection(state, seen);
        return kxErrConnection;
    }
    sPrintError(__LINE__, "Unknown error on recv", error);
    return kxErrIO;
}

// Sends the block in rounds. A round that sends bytes starts the attempt
// count again; one that finds the socket full counts and waits up to
// kxSOCKET_RETRY_SLEEP_MS for room; one that finds the connection lost
// reconnects (the reading thread may do so too) and, like one that meets
// another send error, counts and sleeps that long. The block always reaches
// the peer whole on one connection: when the connection has been replaced
// after part of the block went out, the block is sent again from its start.
// Each such restart raises the count a round with progress starts from, so
// restarts end too.
kxErr sSocketWrite(const uint8_t* bytes, size_t n, void* ref)
{
    kxSocketState* state = sState(ref);
    if (state == nullptr || bytes == nullptr)
    {
        return kxErrParam;
    }
    pthread_rwlock_rdlock(&state->lock);
    bool connected = (state->flags & sConnected) != 0;
    uint32_t generation = state->generation;
    pthread_rwlock_unlock(&state->lock);
    if (!connected)
    {
        return kxErrConnection;
    }
    size_t sent = 0;
    uint32_t attempts = 0;
    uint32_t restarts = 0;
    kxErr failure = kxErrNone;
    while (sent < n)
    {
        bool waitedForRoom = false;
        pthread_rwlock_rdlock(&state->lock);
        uint32_t seen = state->generation;
        if (seen != generation)
        {
            generation = seen;
            if (sent > 0)
            {
                sent = 0;
                restarts++;
            }
        }
        if ((state->flags & sEnded) != 0)
        {
            // The reader has seen the peer go: nothing more reaches it.
            pthread_rwlock_unlock(&state->lock);
            return kxErrConnection;
        }
        if ((state->flags & sConnected) == 0)
        {
            // The last reconnect failed: try once more in this round.
            pthread_rwlock_unlock(&state->lock);
            failure = sReconnect(state, seen);
            attempts++;
        }
        else
        {
            ssize_t wrote = send(state->fd, bytes + sent, n - sent, MSG_NOSIGNAL);
            int error = errno;
            bool lost = false;
            bool full = false;
            if (wrote > 0)
            {
                sent += static_cast<size_t>(wrote);
                attempts = restarts + 1;
                failure = kxErrTimeout;
                full = true;
            }
            else if (wrote < 0 && kxStreamSocket_IsLostConnection(error))
            {
                lost = true;
            }
            else if (wrote < 0 && !sIsWouldBlock(error))
            {
                sPrintError(__LINE__, "Unhandled error occured on socket send", error);
                failure = kxErrIO;
                attempts++;
            }
            else
            {
                failure = kxErrTimeout;
                attempts++;
                full = true;
            }
            if (full && sent < n && attempts < kxSOCKET_WRITE_ATTEMPTS)
            {
                // Still this connection's descriptor: the lock is held.
                struct pollfd room = {state->fd, POLLOUT, 0};
                poll(&room, 1, kxSOCKET_RETRY_SLEEP_MS);
                waitedForRoom = true;
            }
            pthread_rwlock_unlock(&state->lock);
            if (lost)
            {
                kxErr err = sReconnect(state, seen);
                failure = err != kxErrNone ? err : static_cast<kxErr>(kxErrConnection);
                attempts++;
            }
        }
        if (sent == n)
        {
            break;
        }
        if (attempts >= kxSOCKET_WRITE_ATTEMPTS)
        {
            return failure;
        }
        if (!waitedForRoom)
        {
            kxTime_MSSleep(kxSOCKET_RETRY_SLEEP_MS);
        }
    }
    return kxErrNone;
}

kxErr sSocketPut(uint8_t byte, void* ref)
{
    return sSocketWrite(&byte, 1, ref);
}

kxErr sSocketDelete(void* ref)
{
    kxSocketState* state = sState(ref);
    if (state == nullptr)
    {
        return kxErrParam;
    }
    sCloseSocket(state);
    pthread_rwlock_destroy(&state->lock);
    state->check = 0;
    free(state);
    return kxErrNone;
}
} // namespace

bool kxStreamSocket_IsLostConnection(int error)
{
    return error == EPIPE || error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT;
}

kxErr kxStream_CreateSocket(uint32_t address, uint16_t port, kxStream** stream)
{
    if (stream == nullptr)
    {
        return kxErrResource;
    }
    *stream = nullptr;
    auto* state = static_cast<kxSocketState*>(calloc(1, sizeof(kxSocketState)));
    if (state == nullptr)
    {
        return kxErrResource;
    }
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    int rc = pthread_rwlock_init(&state->lock, &attributes);
    pthread_rwlockattr_destroy(&attributes);
    if (rc != 0)
    {
        free(state);
        return kxErrResource;
    }
    state->check = kxSOCKET_CHECK;
    state->address.sin_family = AF_INET;
    state->address.sin_port = htons(port);
    state->address.sin_addr.s_addr = address;
    state->fd = -1;
    pthread_rwlock_wrlock(&state->lock);
    kxErr err = sSetUp(state);
    pthread_rwlock_unlock(&state->lock);
    if (err == kxErrNone)
    {
        *stream = kxStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, state);
    }
    if (*stream == nullptr)
    {
        sSocketDelete(state);
        return kxErrResource;
    }
    return kxErrNone;
}
