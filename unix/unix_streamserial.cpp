// Serial port streams.
#include <lumbrixon/kxStreamSerial.h>

#include <lumbrixon/kxTime.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace
{
// One open port. Threads: every field is set while opening and only read
// afterwards; the reading thread calls sSerialGet, the writing thread
// sSerialWrite and sSerialPut, both on the one descriptor. The saved settings
// are written back by sSerialDelete once neither thread runs. No locks.
struct kxSerialState
{
    uint16_t check;
    uint32_t baudIndex;
    int fd;
    struct termios saved;
    struct termios applied;
};

const speed_t sSpeeds[kxSERIAL_MAX_BAUD_INDEX + 1] = {B2400,  B4800,  B9600,   B19200,
                                                      B38400, B57600, B115200, B230400};
const uint32_t sRates[kxSERIAL_MAX_BAUD_INDEX + 1] = {2400,  4800,  9600,   19200,
                                                      38400, 57600, 115200, 230400};
uint64_t sNowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

kxSerialState* sState(void* ref)
{
    auto* state = static_cast<kxSerialState*>(ref);
    if (state == nullptr || state->check != kxSERIAL_CHECK)
    {
        return nullptr;
    }
    return state;
}

kxErr sSerialGet(uint8_t* byte, void* ref)
{
    kxSerialState* state = sState(ref);
    if (state == nullptr || byte == nullptr)
    {
        return kxErrParam;
    }
    ssize_t got = read(state->fd, byte, 1);
    if (got == 1)
    {
        return kxErrNone;
    }
    if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
    {
        return kxErrIO;
    }
    // An empty read is also what a hung-up line gives (the far end of a
    // pseudo-terminal closed, an adapter unplugged): only poll tells them
    // apart.
    struct pollfd line = {state->fd, POLLIN, 0};
    if (poll(&line, 1, 0) == 1 && (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
    {
        return kxErrIO;
    }
    return kxErrNotReady;
}

// Bits on the line for one character with the applied settings.
uint64_t sBitsPerCharacter(const struct termios* settings)
{
    uint64_t bits = 1 + ((settings->c_cflag & CSIZE) == CS7 ? 7 : 8);
    bits += (settings->c_cflag & PARENB) != 0 ? 1 : 0;
    bits += (settings->c_cflag & CSTOPB) != 0 ? 2 : 1;
    return bits;
}

// Hands the block to the port, then waits until the port's output queue is
// empty. The descriptor is non-blocking so that a port that stops taking
// bytes (a peer that does not read, flow control) cannot hold the writer:
// the write ends when the port makes no progress for kxSERIAL_STALL_MS, and in
// any case after twice the transmission time plus a margin.
kxErr sSerialWrite(const uint8_t* bytes, size_t n, void* ref)
{
    kxSerialState* state = sState(ref);
    if (state == nullptr || bytes == nullptr)
    {
        return kxErrParam;
    }
    uint32_t rate = sRates[state->baudIndex];
    uint64_t start = sNowMs();
    uint64_t deadline = start + kxSERIAL_WRITE_MARGIN_MS +
                        2 * n * sBitsPerCharacter(&state->applied) * 1000u / rate;
    uint64_t progress = start;
    size_t sent = 0;
    while (sent < n)
    {
        ssize_t wrote = write(state->fd, bytes + sent, n - sent);
        uint64_t now = sNowMs();
        if (wrote > 0)
        {
            sent += static_cast<size_t>(wrote);
            progress = now;
            continue;
        }
        if (wrote < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        {
            return kxErrIO;
        }
        if (now >= deadline || now - progress >= kxSERIAL_STALL_MS)
        {
            return kxErrTimeout;
        }
        struct pollfd pfd = {state->fd, POLLOUT, 0};
        poll(&pfd, 1, 10);
    }
    int lastPending = -1;
    for (;;)
    {
        int pending = 0;
        if (ioctl(state->fd, TIOCOUTQ, &pending) != 0 || pending <= 0)
        {
            return kxErrNone;
        }
        uint64_t now = sNowMs();
        if (pending != lastPending)
        {
            lastPending = pending;
            progress = now;
        }
        if (now >= deadline || now - progress >= kxSERIAL_STALL_MS)
        {
            return kxErrTimeout;
        }
        kxTime_MSSleep(1);
    }
}

kxErr sSerialPut(uint8_t byte, void* ref)
{
    return sSerialWrite(&byte, 1, ref);
}

kxErr sSerialDelete(void* ref)
{
    kxSerialState* state = sState(ref);
    if (state == nullptr)
    {
        return kxErrParam;
    }
    kxErr err = kxErrNone;
    if (tcsetattr(state->fd, TCSANOW, &state->saved) != 0)
    {
        err = kxErrIO;
    }
    close(state->fd);
    state->check = 0;
    free(state);
    return err;
}

kxErr sSerialOpen(const char* port, uint32_t baudIndex, uint32_t parity, uint32_t dataBits,
                  uint32_t stopBits, kxSerialState** opened)
{
    *opened = nullptr;
    // An index above the table would set the speed 0, which hangs the line up.
    if (port == nullptr || baudIndex > kxSERIAL_MAX_BAUD_INDEX || dataBits > 1 || stopBits > 1 ||
        strlen(port) > kxSERIAL_PATH_MAX)
    {
        return kxErrResource;
    }
    auto* state = static_cast<kxSerialState*>(calloc(1, sizeof(kxSerialState)));
    if (state == nullptr)
    {
        return kxErrResource;
    }
    state->check = kxSERIAL_CHECK;
    state->baudIndex = baudIndex;
    // Stays non-blocking: reads return at once anyway, and writes must not
    // block without bound.
    state->fd = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (state->fd < 0)
    {
        int error = errno;
        free(state);
        if (error == ENOENT)
        {
            return kxErrNotFound;
        }
        return error == EACCES || error == EPERM ? kxErrPermission : kxErrIO;
    }
    if (tcgetattr(state->fd, &state->saved) != 0)
    {
        close(state->fd);
        free(state);
        return kxErrIO;
    }
    struct termios raw;
    memset(&raw, 0, sizeof(raw));
    raw.c_iflag = IGNBRK;
    if (parity != 0)
    {
        // Parity is checked on input and bytes with parity or framing errors
        // are dropped.
        raw.c_iflag |= IGNPAR | INPCK;
    }
    raw.c_oflag = 0;
    raw.c_lflag = 0;
    raw.c_cflag = CREAD | CLOCAL | (dataBits == 0 ? CS8 : CS7);
    if (parity != 0)
    {
        raw.c_cflag |= PARENB;
    }
    if (stopBits == 1)
    {
        raw.c_cflag |= CSTOPB;
    }
    memcpy(raw.c_cc, state->saved.c_cc, sizeof(raw.c_cc));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    speed_t speed = sSpeeds[baudIndex];
    if (cfsetispeed(&raw, speed) != 0 || cfsetospeed(&raw, speed) != 0 ||
        tcsetattr(state->fd, TCSANOW, &raw) != 0)
    {
        tcsetattr(state->fd, TCSANOW, &state->saved);
        close(state->fd);
        free(state);
        return kxErrIO;
    }
    state->applied = raw;
    tcflush(state->fd, TCIOFLUSH);
    kxTime_MSSleep(200);
    uint8_t discard[64];
    while (read(state->fd, discard, sizeof(discard)) > 0)
    {
    }
    *opened = state;
    return kxErrNone;
}
} // namespace

uint32_t kxStreamSerial_BaudRate(uint32_t baudIndex)
{
    return baudIndex <= kxSERIAL_MAX_BAUD_INDEX ? sRates[baudIndex] : 0;
}

namespace
{
// Opens the port and wraps it in a plain byte stream or, packetized, in a COBS
// stream over the same device functions. The port is closed again on failure.
kxErr sCreateSerialStream(const char* port, uint32_t baudIndex, uint32_t parity, uint32_t dataBits,
                          uint32_t stopBits, bool packetized, kxStream** stream)
{
    if (stream == nullptr)
    {
        return kxErrResource;
    }
    *stream = nullptr;
    kxSerialState* state = nullptr;
    kxErr err = sSerialOpen(port, baudIndex, parity, dataBits, stopBits, &state);
    if (err != kxErrNone)
    {
        return err;
    }
    if (packetized)
    {
        err = kxStream_CreateCobsEncoding(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete,
                                          state, stream);
    }
    else
    {
        *stream = kxStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, state);
        err = *stream == nullptr ? kxErrResource : kxErrNone;
    }
    if (err != kxErrNone)
    {
        sSerialDelete(state);
        *stream = nullptr;
    }
    return err;
}
} // namespace

kxErr kxStream_CreateSerial(const char* port, uint32_t baudIndex, uint32_t parity,
                            uint32_t dataBits, uint32_t stopBits, kxStream** stream)
{
    return sCreateSerialStream(port, baudIndex, parity, dataBits, stopBits, false, stream);
}

kxErr kxStream_CreateSerial_Packetized(const char* port, uint32_t baudIndex, uint32_t parity,
                                       uint32_t dataBits, uint32_t stopBits, kxStream** stream)
{
    return sCreateSerialStream(port, baudIndex, parity, dataBits, stopBits, true, stream);
}
