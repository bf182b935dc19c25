// The client stream over CZMQ.
#include <lumbrixon/kxStream_ZeroMQClient.h>

#include <lumbrixon/kxProcess.h>
#include <lumbrixon/kxTime.h>

#include <czmq.h>
#include <stdio.h>
#include <stdlib.h>

namespace
{
// Threads: the creating thread makes everything before the broker starts. The
// broker actor alone uses `frontend`, `outgoingRead` and `incomingWrite`; the
// stream's reader alone uses `incomingRead`, `poller` and the pending frame
// (`frame`, `position`); the writer alone uses `outgoingWrite`. The thread
// that destroys the stream does so after both have stopped, and stops the
// broker first. No locks. `brokerExited` is the broker's last write
// (release), read (acquire) by the destroying thread once zactor_destroy has
// returned: the actor's end reaches that thread through CZMQ's pipe, which
// ThreadSanitizer cannot see into, so the flag makes the order visible.
struct kxClientState
{
    uint16_t check;
    zsock_t* frontend;
    zsock_t* outgoingWrite;
    zsock_t* outgoingRead;
    zsock_t* incomingRead;
    zsock_t* incomingWrite;
    zpoller_t* poller;
    zactor_t* broker;
    zframe_t* frame;
    size_t position;
    uint8_t brokerExited;
};

kxClientState* sState(void* ref)
{
    auto* state = static_cast<kxClientState*>(ref);
    if (state == nullptr || state->check != kxCLIENT_CHECK)
    {
        return nullptr;
    }
    return state;
}

// Sends without blocking, `attempts` times 1 ms apart; the frame is consumed
// either way. True when it went.
bool sSend(zframe_t** frame, zsock_t* socket, int attempts)
{
    for (int i = 0; i < attempts; i++)
    {
        if (zframe_send(frame, socket, ZFRAME_DONTWAIT) == 0)
        {
            return true;
        }
        if (i + 1 < attempts)
        {
            kxTime_MSSleep(1);
        }
    }
    zframe_destroy(frame);
    return false;
}

// Hands a Ctrl+C that CZMQ caught to the handlers that were in place before.
void sForwardInterrupt()
{
    zsys_handler_set(nullptr);
    kxErr err = kxProcess_Interrupt();
    kxDebug_Printf(kxDebugClientStream, "Ctrl+C signal for pid: %d Success: %d\n",
                   static_cast<int>(kxProcess_Id()), err == kxErrNone);
    zsys_handler_reset();
}

void sBroker(zsock_t* pipe, void* args)
{
    auto* state = static_cast<kxClientState*>(args);
    zpoller_t* poller = zpoller_new(pipe, state->frontend, state->outgoingRead, nullptr);
    zsock_signal(pipe, 0);
    if (poller == nullptr)
    {
        __atomic_store_n(&state->brokerExited, 1, __ATOMIC_RELEASE);
        return;
    }
    bool forwarded = false;
    for (;;)
    {
        void* which = zpoller_wait(poller, kxCLIENT_BROKER_WAIT_MS);
        if (zsys_interrupted && !forwarded)
        {
            forwarded = true;
            sForwardInterrupt();
        }
        if (which == pipe || zpoller_terminated(poller))
        {
            break;
        }
        if (which == state->frontend)
        {
            zframe_t* frame = zframe_recv(state->frontend);
            if (frame != nullptr && !sSend(&frame, state->incomingWrite, kxCLIENT_WRITE_ATTEMPTS))
            {
                kxDebug_Printf(kxDebugClientStream, "Client send error Frontend->incomming: %d\n",
                               zmq_errno());
            }
        }
        else if (which == state->outgoingRead)
        {
            zframe_t* frame = zframe_recv(state->outgoingRead);
            if (frame != nullptr && !sSend(&frame, state->frontend, 1))
            {
                kxDebug_Printf(kxDebugClientStream, "Client send error Frontend->client: %d\n",
                               zmq_errno());
            }
        }
    }
    zpoller_destroy(&poller);
    kxDebug_Printf(kxDebugClientStream, "Client task exit\n");
    __atomic_store_n(&state->brokerExited, 1, __ATOMIC_RELEASE);
}

kxErr sClientGet(uint8_t* byte, void* ref)
{
    kxClientState* state = sState(ref);
    if (state == nullptr || byte == nullptr)
    {
        return kxErrParam;
    }
    if (state->frame == nullptr)
    {
        void* which = zpoller_wait(state->poller, kxCLIENT_READ_WAIT_MS);
        if (which == nullptr)
        {
            return zpoller_expired(state->poller) ? kxErrNotReady : kxErrUnknown;
        }
        state->frame = zframe_recv(state->incomingRead);
        if (state->frame == nullptr)
        {
            return kxErrIO;
        }
        state->position = 0;
        if (zframe_size(state->frame) == 0)
        {
            zframe_destroy(&state->frame);
            return kxErrIndexRange;
        }
    }
    *byte = zframe_data(state->frame)[state->position++];
    if (state->position >= zframe_size(state->frame))
    {
        zframe_destroy(&state->frame);
    }
    return kxErrNone;
}

kxErr sClientPut(uint8_t, void*)
{
    return kxErrUnimplemented;
}

kxErr sClientWrite(const uint8_t* bytes, size_t n, void* ref)
{
    kxClientState* state = sState(ref);
    if (state == nullptr || bytes == nullptr)
    {
        return kxErrParam;
    }
    zframe_t* frame = zframe_new(bytes, n);
    if (frame == nullptr)
    {
        return kxErrMemory;
    }
    for (int i = 0; i < kxCLIENT_WRITE_ATTEMPTS; i++)
    {
        if (zframe_send(&frame, state->outgoingWrite, ZFRAME_DONTWAIT) == 0)
        {
            return kxErrNone;
        }
        kxDebug_Printf(kxDebugClientStream, "--Client send error outgoing->frontend: %d\n",
                       zmq_errno());
        kxTime_MSSleep(1);
    }
    zframe_destroy(&frame);
    return kxErrWrite;
}

void sRelease(kxClientState* state)
{
    if (state->broker != nullptr)
    {
        zactor_destroy(&state->broker);
        (void)__atomic_load_n(&state->brokerExited, __ATOMIC_ACQUIRE);
    }
    zpoller_destroy(&state->poller);
    zsock_destroy(&state->frontend);
    zsock_destroy(&state->outgoingWrite);
    zsock_destroy(&state->outgoingRead);
    zsock_destroy(&state->incomingRead);
    zsock_destroy(&state->incomingWrite);
    zframe_destroy(&state->frame);
    state->check = 0;
    free(state);
}

kxErr sClientDelete(void* ref)
{
    kxClientState* state = sState(ref);
    if (state == nullptr)
    {
        return kxErrIO;
    }
    sRelease(state);
    return kxErrNone;
}

// Binds `bound` to an ephemeral loopback port and connects `partner` to it.
bool sMakePair(zsock_t* bound, zsock_t* partner, const char* what)
{
    int port = zsock_bind(bound, "tcp://127.0.0.1:*");
    if (port < 0 || zsock_connect(partner, "tcp://127.0.0.1:%d", port) != 0)
    {
        kxDebug_Printf(kxDebugClientStream, "client: %s connecting fail\n", what);
        return false;
    }
    kxDebug_Printf(kxDebugClientStream, "%s connected to port: %d\n", what, port);
    return true;
}
} // namespace

kxErr kxStream_CreateClient(uint32_t address, uint16_t port, kxStream** stream)
{
    if (stream == nullptr)
    {
        return kxErrParam;
    }
    *stream = nullptr;
    auto* state = static_cast<kxClientState*>(calloc(1, sizeof(kxClientState)));
    if (state == nullptr)
    {
        return kxErrMemory;
    }
    state->check = kxCLIENT_CHECK;
    state->outgoingWrite = zsock_new(ZMQ_DEALER);
    state->outgoingRead = zsock_new(ZMQ_DEALER);
    state->incomingRead = zsock_new(ZMQ_DEALER);
    state->incomingWrite = zsock_new(ZMQ_DEALER);
    state->frontend = zsock_new(ZMQ_DEALER);
    if (state->outgoingWrite == nullptr || state->outgoingRead == nullptr ||
        state->incomingRead == nullptr || state->incomingWrite == nullptr ||
        state->frontend == nullptr)
    {
        sRelease(state);
        return kxErrMemory;
    }
    if (!sMakePair(state->outgoingWrite, state->outgoingRead, "outgoing") ||
        !sMakePair(state->incomingRead, state->incomingWrite, "incoming"))
    {
        sRelease(state);
        return kxErrConnection;
    }
    // The address is in network byte order: its first byte in memory is the
    // first number of the dotted form.
    const auto* octets = reinterpret_cast<const uint8_t*>(&address);
    char dotted[16] = {};
    snprintf(dotted, sizeof(dotted), "%u.%u.%u.%u", octets[0], octets[1], octets[2], octets[3]);
    kxDebug_Printf(kxDebugClientStream, "kxStream_CreateClient address: %s\n", dotted);
    int rc = zsock_connect(state->frontend, "tcp://%s:%d", dotted, static_cast<int>(port));
    if (rc != 0)
    {
        kxDebug_Printf(kxDebugClientStream, "Error connecting to socket: %d(rc)\n", rc);
        sRelease(state);
        return kxErrConnection;
    }
    kxDebug_Printf(kxDebugClientStream, "Client connected to port: %d - rc: %d\n",
                   static_cast<int>(port), rc);
    state->poller = zpoller_new(state->incomingRead, nullptr);
    if (state->poller == nullptr)
    {
        sRelease(state);
        return kxErrMemory;
    }
    state->broker = zactor_new(sBroker, state);
    if (state->broker != nullptr)
    {
        *stream = kxStream_Create(sClientGet, sClientPut, sClientWrite, sClientDelete, state);
    }
    if (*stream == nullptr)
    {
        sRelease(state);
        return kxErrResource;
    }
    return kxErrNone;
}
