// The Link object's stream subscriptions: streamed UEI values taken out of
// the link's inbound traffic, the latest value of every streamed key, and
// the subscribers' callbacks on a worker thread of the Link.
#include "Link_internal.h"

#include <lumbrixon/kxTime.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace Kavrel::Lumbrixon
{

namespace
{

constexpr uint64_t kFieldMask = 0xFF;
// Every non-empty combination of the index, option, command and sub-index
// fields, in the order the filter looks them up.
constexpr uint64_t kWildcardMasks[] = {
    0xFF,         0xFF00,       0xFFFF,       0xFF0000,     0xFF00FF,
    0xFFFF00,     0xFFFFFF,     0xFF00000000, 0xFF000000FF, 0xFF0000FF00,
    0xFF0000FFFF, 0xFF00FF0000, 0xFF00FF00FF, 0xFF00FFFF00, 0xFF00FFFFFF,
};
constexpr uint8_t kStreamEnable = 0x81;
constexpr uint8_t kStreamDisable = 0x82;
constexpr uint8_t kStreamStatus = 0x41;

uint8_t sSampleLength(Link::STREAM_PACKET type)
{
    switch (type)
    {
        case Link::STREAM_PACKET_BYTE:
            return 14;
        case Link::STREAM_PACKET_SHORT:
        case Link::STREAM_PACKET_BYTE_SUBINDEX:
            return 15;
        case Link::STREAM_PACKET_SHORT_SUBINDEX:
            return 16;
        case Link::STREAM_PACKET_INT:
            return 17;
        case Link::STREAM_PACKET_INT_SUBINDEX:
            return 18;
        default:
            return 0;
    }
}

// Whether the key's fields match the pattern's (0xFF in the pattern's
// command, option, index or sub-index matches anything).
bool sMatches(uint64_t pattern, uint64_t key)
{
    for (int shift : {0, 8, 16, 24, 32})
    {
        uint64_t want = (pattern >> shift) & kFieldMask;
        if (shift != 24 && want == kFieldMask)
        {
            continue;
        }
        if (want != ((key >> shift) & kFieldMask))
        {
            return false;
        }
    }
    return true;
}

bool sHasWildcard(uint64_t key)
{
    for (int shift : {0, 8, 16, 32})
    {
        if (((key >> shift) & kFieldMask) == kFieldMask)
        {
            return true;
        }
    }
    return false;
}

void sQueueCallback(Link::impl& d, const StreamEntry& entry, const kxPacket* packet)
{
    if (!entry.callback)
    {
        return;
    }
    asyncPacket item{entry.callback, entry.context, kxPacket_Copy(packet)};
    if (item.packet == nullptr || !d.ring.push(item))
    {
        // The ring is full (or no memory): the sample's callback is dropped,
        // the reader thread is not held up.
        kxPacket_Destroy(&item.packet);
        d.droppedCallbacks.fetch_add(1, std::memory_order_relaxed);
    }
}

// The user packet filter: on the link's reader thread, for every packet.
bool sStreamFilter(const kxPacket* packet, void* ref)
{
    Link::STREAM_PACKET type = Link::STREAM_PACKET_NONE;
    if (!Link::getStreamPacketType(packet, &type))
    {
        return false;
    }
    auto& d = *static_cast<Link::impl*>(ref);
    uint8_t subindex = Link::isSubindexType(type) ? packet->data[4] : 0;
    uint64_t key =
        Link::createStreamKey(packet->address, packet->data[0], packet->data[1] & kxUEI_OPTION_MASK,
                              packet->data[2] & kxUEI_INDEX_MASK, subindex);
    bool sample = Link::isStreamSample(packet);
    uint64_t timestamp = 0;
    uint32_t value = 0;
    uint8_t sub = 0;
    if (sample)
    {
        Link::getStreamSample(packet, &timestamp, &value, &sub);
    }
    LinkLock guard(d.streamLock);
    auto exact = d.streams.find(key);
    if (exact != d.streams.end())
    {
        sQueueCallback(d, exact->second, packet);
        if (sample)
        {
            exact->second.value = value;
            exact->second.fresh = 1;
        }
    }
    bool wildcard = false;
    for (uint64_t mask : kWildcardMasks)
    {
        if ((key | mask) == key)
        {
            continue;
        }
        auto found = d.streams.find(key | mask);
        if (found != d.streams.end())
        {
            wildcard = true;
            sQueueCallback(d, found->second, packet);
        }
    }
    if (exact == d.streams.end() && wildcard && sample)
    {
        StreamEntry entry;
        entry.fresh = 1;
        entry.value = value;
        d.streams.emplace(key, std::move(entry));
    }
    return true;
}

int sWorkerMain(void* argument);

} // namespace

// One worker thread and its stop signal.
struct LinkStreamWorker
{
    Link::impl* d = nullptr;
    std::atomic<bool> stop{false};
    kxThread* thread = nullptr;
};

namespace
{

int sWorkerMain(void* argument)
{
    auto* w = static_cast<LinkStreamWorker*>(argument);
    while (!w->stop.load(std::memory_order_acquire))
    {
        asyncPacket item;
        if (w->d->ring.pop(item))
        {
            item.callback(item.packet, item.context);
            kxPacket_Destroy(&item.packet);
            continue;
        }
        kxTime_MSSleep(1);
    }
    return 0;
}

// Takes out of `retired` every worker not running the calling thread.
std::vector<LinkStreamWorker*> sTakeJoinable(std::vector<LinkStreamWorker*>& retired)
{
    std::vector<LinkStreamWorker*> joinable;
    for (auto it = retired.begin(); it != retired.end();)
    {
        if (kxThread_IsCurrent((*it)->thread))
        {
            ++it;
            continue;
        }
        joinable.push_back(*it);
        it = retired.erase(it);
    }
    return joinable;
}

void sJoin(std::vector<LinkStreamWorker*>& workers)
{
    for (LinkStreamWorker* w : workers)
    {
        kxThread_Destroy(&w->thread);
        delete w;
    }
    workers.clear();
}

void sDrainRing(Link::impl& d)
{
    asyncPacket item;
    while (d.ring.pop(item))
    {
        kxPacket_Destroy(&item.packet);
    }
}

} // namespace

// The worker: started with the filter, stopped and joined when the filter
// goes. A worker stopped from its own callback cannot join itself: it ends
// when the callback returns, and the next start or stop (or the destructor)
// joins it.

void Link::impl::stopWorker()
{
    std::vector<LinkStreamWorker*> joinable;
    {
        LinkLock guard(workerLock);
        if (worker != nullptr)
        {
            worker->stop.store(true, std::memory_order_release);
            retired.push_back(worker);
            worker = nullptr;
        }
        joinable = sTakeJoinable(retired);
    }
    // Joined without the lock: a callback still running may call in.
    sJoin(joinable);
    LinkLock guard(workerLock);
    if (worker == nullptr && retired.empty())
    {
        // No consumer is left: what still waits is dropped.
        sDrainRing(*this);
    }
}

kxErr Link::impl::installStreamFilter(bool on)
{
    if (on)
    {
        if (linkId == 0)
        {
            return kxErrConnection;
        }
        if (!filterInstalled)
        {
            kxErr err = kxLink_InstallUserPacketFilter(linkId, sStreamFilter, this);
            if (err != kxErrNone)
            {
                return err;
            }
            filterInstalled = true;
        }
        std::vector<LinkStreamWorker*> joinable;
        {
            LinkLock guard(workerLock);
            if (worker != nullptr)
            {
                return kxErrNone;
            }
            // A retired worker has its stop signal and pops nothing more; it
            // is joined first unless it is the caller.
            joinable = sTakeJoinable(retired);
        }
        sJoin(joinable);
        LinkLock guard(workerLock);
        if (worker == nullptr)
        {
            auto* w = new LinkStreamWorker;
            w->d = this;
            w->thread = kxThread_Create(sWorkerMain, w);
            if (w->thread == nullptr)
            {
                delete w;
                return kxErrResource;
            }
            worker = w;
        }
        return kxErrNone;
    }
    if (filterInstalled)
    {
        // Returns once the filter is not running on the reader thread.
        kxLink_InstallUserPacketFilter(linkId, nullptr, nullptr);
        filterInstalled = false;
    }
    {
        LinkLock guard(streamLock);
        streams.clear();
    }
    stopWorker();
    return linkId == 0 ? kxErrConnection : kxErrNone;
}

// Subscriptions.

kxErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                   bool enable, StreamCallback callback, void* context)
{
    if ((module & 1) != 0)
    {
        return kxErrParam;
    }
    uint64_t key = createStreamKey(module, command, option, index, kStreamAny);
    auto removeMatching = [&]()
    {
        LinkLock guard(impl_->streamLock);
        for (auto it = impl_->streams.begin(); it != impl_->streams.end();)
        {
            it = sMatches(key, it->first) ? impl_->streams.erase(it) : std::next(it);
        }
        return impl_->streams.empty();
    };
    bool empty = false;
    if (!enable)
    {
        empty = removeMatching();
    }
    else
    {
        LinkLock guard(impl_->streamLock);
        StreamEntry& entry = impl_->streams[key];
        entry.callback = std::move(callback);
        entry.context = context;
        empty = false;
    }
    kxErr err = empty ? impl_->installStreamFilter(false) : impl_->installStreamFilter(true);
    if (err == kxErrNone)
    {
        uei record{};
        record.module = module;
        record.command = cmdSTREAM;
        record.option = enable ? kStreamEnable : kStreamDisable;
        record.index = kxUEI_INDEX_REQUEST;
        record.type = ueiTypeInt;
        record.value.u32 = (static_cast<uint32_t>(module) << 24) |
                           (static_cast<uint32_t>(command) << 16) |
                           (static_cast<uint32_t>(option) << 8) | index;
        err = sendUEI(record);
        if (err == kxErrNone)
        {
            record.option = static_cast<uint8_t>(kxUEI_OPTION_ACK | (enable ? 1 : 2));
            record.index = 0;
            err = receiveUEI(module, cmdSTREAM, record.option, 0, &record);
            if (err == kxErrNone && (record.index & kxUEI_INDEX_ERROR) != 0)
            {
                err = static_cast<kxErr>(record.value.u8);
            }
        }
    }
    if (err != kxErrNone)
    {
        if (removeMatching() && impl_->filterInstalled)
        {
            impl_->installStreamFilter(false);
        }
    }
    return err;
}

kxErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                         bool enable)
{
    return registerStreamCallback(module, command, option, index, enable, StreamCallback(),
                                  nullptr);
}

kxErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                           uint8_t subindex, uint32_t* value)
{
    if (value == nullptr)
    {
        return kxErrParam;
    }
    LinkLock guard(impl_->streamLock);
    auto found = impl_->streams.find(createStreamKey(module, command, option, index, subindex));
    if (found == impl_->streams.end())
    {
        return kxErrNotFound;
    }
    *value = found->second.value;
    if (found->second.fresh == 0)
    {
        return kxErrStreamStale;
    }
    found->second.fresh = 0;
    return kxErrNone;
}

kxErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                            uint8_t subindex, StreamStatusEntry* entries, size_t capacity,
                            size_t* found)
{
    if (!isConnected())
    {
        return kxErrConnection;
    }
    if (entries == nullptr || found == nullptr || capacity == 0)
    {
        return kxErrParam;
    }
    uint64_t pattern = createStreamKey(module, command, option, index, subindex);
    size_t count = 0;
    LinkLock guard(impl_->streamLock);
    for (const auto& [key, entry] : impl_->streams)
    {
        if (!sMatches(pattern, key) || sHasWildcard(key))
        {
            continue;
        }
        if (count < capacity)
        {
            entries[count] = StreamStatusEntry{key, entry.value};
        }
        ++count;
    }
    *found = count;
    return count > capacity ? kxErrSize : kxErrNone;
}

kxErr Link::isLinkStreaming(uint8_t module, uint8_t* streaming)
{
    if (streaming == nullptr)
    {
        return kxErrParam;
    }
    uei record{};
    record.module = module;
    record.command = cmdSTREAM;
    record.option = kStreamStatus;
    record.index = kxUEI_INDEX_REQUEST;
    record.type = ueiTypeVoid;
    kxErr err = sendUEI(record);
    if (err != kxErrNone)
    {
        return err;
    }
    record.option = 1;
    record.index = 0;
    err = receiveUEI(module, cmdSTREAM, 1, 0, &record);
    if (err != kxErrNone)
    {
        return err;
    }
    if ((record.index & kxUEI_INDEX_ERROR) != 0)
    {
        return static_cast<kxErr>(record.value.u8);
    }
    *streaming = record.value.u8;
    return kxErrNone;
}

// Streamed packets and keys.

bool Link::getStreamPacketType(const kxPacket* packet, STREAM_PACKET* type)
{
    if (!kxUEI_isStreamPacket(packet) || packet->length < 4)
    {
        return false;
    }
    uint8_t last = packet->data[packet->length - 1];
    STREAM_PACKET found = STREAM_PACKET_BYTES;
    if (last == 0)
    {
        uint8_t code = packet->data[3];
        if (code == 0 || code > STREAM_PACKET_INT_SUBINDEX)
        {
            return false;
        }
        found = static_cast<STREAM_PACKET>(code);
    }
    if (type != nullptr)
    {
        *type = found;
    }
    return true;
}

bool Link::isSubindexType(STREAM_PACKET type)
{
    return type >= STREAM_PACKET_BYTE_SUBINDEX && type <= STREAM_PACKET_INT_SUBINDEX;
}

bool Link::isStreamPacket(const kxPacket* packet)
{
    return getStreamPacketType(packet, nullptr);
}

bool Link::isStreamSample(const kxPacket* packet)
{
    STREAM_PACKET type = STREAM_PACKET_NONE;
    return getStreamPacketType(packet, &type) && type != STREAM_PACKET_BYTES &&
           packet->data[packet->length - 1] == 0 && packet->length == sSampleLength(type);
}

kxErr Link::getStreamSample(const kxPacket* packet, uint64_t* timestamp, uint32_t* value,
                            uint8_t* subindex)
{
    STREAM_PACKET type = STREAM_PACKET_NONE;
    if (!getStreamPacketType(packet, &type))
    {
        return kxErrPacket;
    }
    if (type == STREAM_PACKET_BYTES)
    {
        return kxErrSize;
    }
    if (!isStreamSample(packet))
    {
        return kxErrPacket;
    }
    size_t at = 4;
    uint8_t sub = 0;
    if (isSubindexType(type))
    {
        sub = packet->data[at++];
    }
    uint64_t upper = kxUEI_RetrieveInt(&packet->data[at]);
    uint64_t lower = kxUEI_RetrieveInt(&packet->data[at + 4]);
    at += 8;
    uint32_t v = 0;
    switch (type)
    {
        case STREAM_PACKET_BYTE:
        case STREAM_PACKET_BYTE_SUBINDEX:
            v = packet->data[at];
            break;
        case STREAM_PACKET_SHORT:
        case STREAM_PACKET_SHORT_SUBINDEX:
            v = kxUEI_RetrieveShort(&packet->data[at]);
            break;
        default:
            v = kxUEI_RetrieveInt(&packet->data[at]);
            break;
    }
    if (timestamp != nullptr)
    {
        *timestamp = (upper << 32) | lower;
    }
    if (value != nullptr)
    {
        *value = v;
    }
    if (subindex != nullptr)
    {
        *subindex = sub;
    }
    return kxErrNone;
}

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                               uint8_t subindex)
{
    return static_cast<uint64_t>(index) | (static_cast<uint64_t>(option) << 8) |
           (static_cast<uint64_t>(command) << 16) | (static_cast<uint64_t>(module) << 24) |
           (static_cast<uint64_t>(subindex) << 32);
}

uint8_t Link::getStreamKeyElement(uint64_t key, STREAM_KEY element)
{
    switch (element)
    {
        case STREAM_KEY_MODULE:
            return static_cast<uint8_t>(key >> 24);
        case STREAM_KEY_COMMAND:
            return static_cast<uint8_t>(key >> 16);
        case STREAM_KEY_OPTION:
            return static_cast<uint8_t>(key >> 8);
        case STREAM_KEY_INDEX:
            return static_cast<uint8_t>(key);
        case STREAM_KEY_SUBINDEX:
            return static_cast<uint8_t>(key >> 32);
    }
    std::fprintf(stderr, "getStreamKeyElement: no stream key element %d\n",
                 static_cast<int>(element));
    std::abort();
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* upper, uint32_t* lower)
{
    if (upper != nullptr)
    {
        *upper = static_cast<uint32_t>(timestamp >> 32);
    }
    if (lower != nullptr)
    {
        *lower = static_cast<uint32_t>(timestamp);
    }
}

} // namespace Kavrel::Lumbrixon
