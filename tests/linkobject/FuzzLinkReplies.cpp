// The Link object's readers of module packets, fed arbitrary packets: the UEI
// reply filter, the byte-value filter with its buffer, and the stream-packet
// type, sample and key helpers.
//
// Input: one byte of buffer capacity, then packets as address, length (taken
// modulo 29) and that many data bytes. Whatever arrives, the byte-value
// filter never writes past its buffer or counts more than it holds, takes
// segments only in order, and a sample is exactly what getStreamSample
// reads without error.
#include <lumbrixon/Link.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

using Kavrel::Lumbrixon::Link;

namespace
{
void sRequire(bool condition)
{
    if (!condition)
        abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    size_t capacity = data[0];
    uint8_t buffer[256 + 8];
    std::memset(buffer, 0xA5, sizeof(buffer));
    size_t received = 0;
    uei bytes;
    std::memset(&bytes, 0, sizeof(bytes));
    bytes.module = 0x04;
    bytes.command = 0x20;
    bytes.option = 0x04;
    bytes.value.bytes = buffer;
    bytes.length = capacity;
    bytes.received = &received;
    bool failed = false;

    for (size_t at = 1; at + 2 <= size;)
    {
        uint8_t address = data[at];
        uint8_t length = static_cast<uint8_t>(data[at + 1] % (kxPACKET_MAX_DATA + 1));
        at += 2;
        if (at + length > size)
            break;
        uint8_t none = 0;
        kxPacket* packet = kxPacket_CreateWithData(address, length, length ? data + at : &none);
        at += length;
        if (packet == nullptr)
            continue;

        uei plain;
        std::memset(&plain, 0, sizeof(plain));
        plain.module = address;
        plain.command = length > 0 ? packet->data[0] : 0;
        plain.option = length > 1 ? packet->data[1] : 0;
        plain.index = length > 2 ? (packet->data[2] & kxUEI_INDEX_MASK) : 0;
        bool taken = Link::ueiFilter(packet, &plain);
        sRequire(taken == (length >= 3));

        if (!failed)
        {
            uint8_t sequence = bytes.sequence;
            size_t before = received;
            uint8_t* cursor = bytes.value.bytes;
            if (Link::ueiBytesFilter(packet, &bytes))
            {
                sRequire(length >= 4);
                if ((bytes.index & kxUEI_INDEX_ERROR) != 0)
                {
                    failed = true;
                    sRequire(received == before);
                }
                else
                {
                    sRequire((packet->data[length - 1] & kxUEI_SEQUENCE_MASK) == sequence);
                    sRequire(received == before + (length - 4u));
                    sRequire(bytes.value.bytes == cursor + (length - 4u));
                    bytes.sequence = static_cast<uint8_t>((bytes.sequence + 1) & 0x7F);
                }
            }
            else
            {
                sRequire(received == before);
            }
            sRequire(received <= capacity);
        }

        Link::STREAM_PACKET type = Link::STREAM_PACKET_NONE;
        bool stream = Link::getStreamPacketType(packet, &type);
        sRequire(stream == Link::isStreamPacket(packet));
        uint64_t time = 0;
        uint32_t value = 0;
        uint8_t sub = 0;
        kxErr err = Link::getStreamSample(packet, &time, &value, &sub);
        sRequire((err == kxErrNone) == Link::isStreamSample(packet));
        if (err == kxErrNone)
        {
            sRequire(type != Link::STREAM_PACKET_BYTES);
            sRequire(Link::isSubindexType(type) || sub == 0);
            uint64_t key = Link::createStreamKey(address, packet->data[0], packet->data[1] & 0x3F,
                                                 packet->data[2] & 0x1F, sub);
            sRequire(Link::getStreamKeyElement(key, Link::STREAM_KEY_MODULE) == address);
            sRequire(Link::getStreamKeyElement(key, Link::STREAM_KEY_SUBINDEX) == sub);
        }
        kxPacket_Destroy(&packet);
    }
    for (size_t i = capacity; i < sizeof(buffer); ++i)
        sRequire(buffer[i] == 0xA5);
    return 0;
}
