// The device server's handling of client frames, fed arbitrary frames from
// one or two clients: frame checks, route-control blocking, stream
// subscription, UEI byte pooling and the queue of waiting clients.
//
// Input: a sequence of frames, each a length byte (mod 40) and that many
// bytes; a length byte of 39 sends the next frame from the second client, as
// a two-part message when its first byte is odd. A sentinel request follows,
// and the run waits (bounded) for its reply.
//
// The module's end is a stream in this process that answers every request
// needing a reply with 06 01 ADDRESS. Whatever the clients send, the link
// writes to the module only whole packets that a client sent as a frame (or
// nothing else), never a forced route from a client, and the
// sentinel's reply arrives: nothing malformed is forwarded and nothing hangs.
#include <lumbrixon/kxLink.h>
#include <lumbrixon/kxLinkManagerInternal.h>
#include <lumbrixon/kxServer_ZeroMQ.h>
#include "common/kxServer_ZeroMQ_internal.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <czmq.h>
#include <deque>
#include <mutex>
#include <set>
#include <vector>

namespace
{
using Bytes = std::vector<uint8_t>;

void sRequire(bool condition)
{
    if (!condition)
        abort();
}

// The module's end: a stream whose writes are recorded and answered.
struct sModule
{
    std::mutex lock;
    std::condition_variable changed;
    std::deque<uint8_t> input;
    std::vector<Bytes> written;

    static kxErr Get(uint8_t* byte, void* ref)
    {
        auto* self = static_cast<sModule*>(ref);
        std::unique_lock<std::mutex> guard(self->lock);
        if (self->input.empty())
            self->changed.wait_for(guard, std::chrono::milliseconds(5));
        if (self->input.empty())
            return kxErrNotReady;
        *byte = self->input.front();
        self->input.pop_front();
        return kxErrNone;
    }
    static kxErr Write(const uint8_t* bytes, size_t n, void* ref)
    {
        auto* self = static_cast<sModule*>(ref);
        std::lock_guard<std::mutex> guard(self->lock);
        Bytes packet(bytes, bytes + n);
        self->written.push_back(packet);
        self->changed.notify_all();
        if (n >= 2 && n == bytes[1] + 2u && n <= kxPACKET_MAX_WIRE)
        {
            kxPacket* p = kxPacket_CreateWithData(bytes[0], bytes[1], bytes + 2);
            if (kxServer_NeedsReply(p))
            {
                self->input.insert(self->input.end(), {0x06, 0x01, bytes[0]});
                self->changed.notify_all();
            }
            kxPacket_Destroy(&p);
        }
        return kxErrNone;
    }
    static kxErr Put(uint8_t byte, void* ref) { return Write(&byte, 1, ref); }
    static kxErr Delete(void*) { return kxErrNone; }
};

struct sSetup
{
    sModule module;
    uint32_t link = 0;
    kxServer* server = nullptr;
    zsock_t* clients[2] = {};
};

void sTearDown();

sSetup& sGet()
{
    static sSetup* setup = []
    {
        auto* made = new sSetup();
        uint32_t id = kxLinkManagerInternal_Create2(0x12345678, 0x0100007F, 1, kxLINKTYPE_TCPIP);
        kxStream* stream = kxStream_Create(sModule::Get, sModule::Put, sModule::Write,
                                           sModule::Delete, &made->module);
        sRequire(kxLink_Init(id, stream) == id && kxLink_Start(id) == kxErrNone);
        made->link = id;
        // The link's own route-on goes first; from then on the module hears
        // only what the clients sent.
        {
            std::unique_lock<std::mutex> guard(made->module.lock);
            made->module.changed.wait_for(guard, std::chrono::seconds(2),
                                          [made] { return !made->module.written.empty(); });
        }
        made->server = kxServer_Create(id, 0, true);
        sRequire(kxServer_Start(made->server) == kxErrNone);
        kxServer_SetModuleAddress(made->server, 0x06);
        kxServer_SetModel(made->server, 0x10);
        uint16_t port = 0;
        kxServer_GetPort(made->server, &port);
        for (zsock_t*& client : made->clients)
        {
            client = zsock_new(ZMQ_DEALER);
            sRequire(zsock_connect(client, "tcp://127.0.0.1:%u", port) == 0);
            zsock_set_rcvtimeo(client, 100);
        }
        // Runs before CZMQ's own end (registered when the first socket was
        // made), which refuses to end with sockets left open.
        atexit(sTearDown);
        return made;
    }();
    return *setup;
}

void sTearDown()
{
    sSetup& setup = sGet();
    for (zsock_t*& client : setup.clients)
        zsock_destroy(&client);
    kxServer_Destroy(&setup.server);
    kxLink_Destroy(&setup.link);
}

void sSend(zsock_t* client, const Bytes& frame, bool twoParts)
{
    zframe_t* part = zframe_new(frame.data(), frame.size());
    if (twoParts)
    {
        zframe_t* first = zframe_dup(part);
        zframe_send(&first, client, ZFRAME_MORE);
    }
    zframe_send(&part, client, 0);
}

// Reads the first client's frames until the sentinel's reply (06 01 B1).
bool sAwaitSentinel()
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (std::chrono::steady_clock::now() < end)
    {
        zframe_t* frame = zframe_recv(sGet().clients[0]);
        if (frame == nullptr)
            continue;
        bool sentinel = zframe_size(frame) == 3 && zframe_data(frame)[0] == 0x06 &&
                        zframe_data(frame)[1] == 0x01 && zframe_data(frame)[2] == 0xB1;
        zframe_destroy(&frame);
        if (sentinel)
            return true;
    }
    return false;
}

// Takes what has come for the second client, without waiting (its replies
// may still be on their way; the next run takes them).
void sDrainSecond()
{
    zsock_t* second = sGet().clients[1];
    zsock_set_rcvtimeo(second, 0);
    while (zframe_t* frame = zframe_recv(second))
        zframe_destroy(&frame);
}

// Every frame a client has sent as a one-part message, over all runs: a pool
// of byte-value segments begun in one run may be completed, and sent on, in a
// later one.
std::set<Bytes>& sSent()
{
    static std::set<Bytes> sent = {{0xB1, 0x00}};
    return sent;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    sSetup& setup = sGet();
    {
        std::lock_guard<std::mutex> guard(setup.module.lock);
        setup.module.written.clear();
    }
    std::set<Bytes>& sent = sSent();
    const Bytes sentinel = {0xB1, 0x00};
    size_t at = 0;
    int frames = 0;
    while (at < size && frames < 32)
    {
        size_t length = data[at++] % 40;
        bool second = length == 39;
        if (second)
        {
            length = at < size ? data[at++] % 39 : 0;
        }
        length = std::min(length, size - at);
        Bytes frame(data + at, data + at + length);
        at += length;
        bool twoParts = second && !frame.empty() && (frame[0] & 1) != 0;
        sSend(setup.clients[second ? 1 : 0], frame, twoParts);
        if (!twoParts)
            sent.insert(frame);
        frames++;
    }
    sSend(setup.clients[0], sentinel, false);
    sRequire(sAwaitSentinel());
    sDrainSecond();

    std::lock_guard<std::mutex> guard(setup.module.lock);
    for (const Bytes& packet : setup.module.written)
    {
        sRequire(packet.size() >= 2 && packet.size() <= kxPACKET_MAX_WIRE &&
                 packet[1] + 2u == packet.size());
        sRequire(packet[0] != kxLINK_ROUTE_ADDRESS || packet[1] != 1);
        sRequire(sent.count(packet) == 1);
    }
    return 0;
}
