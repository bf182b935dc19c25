// COBS framing streams.
#include <lumbrixon/kxStream_CobsEncoding.h>

#include <lumbrixon/cobs.h>
#include <lumbrixon/crc8.h>
#include <lumbrixon/kxPacket.h>

#include <stdlib.h>
#include <string.h>

namespace
{
// Wire bytes of a packet header: address and length.
constexpr size_t sHeaderBytes = 2;

static_assert(kxCOBS_MAX_ENCODED_FRAME_BYTES == COBS_ENCODED_MAX(MAX_PACKET_WITH_CHECKSUM_BYTES),
              "the incoming buffer holds the longest frame in its encoded form");
static_assert(MAX_PACKET_WITH_CHECKSUM_BYTES == kxPACKET_MAX_WIRE + 1,
              "the longest frame carries the longest packet and its CRC");
static_assert(COBS_ENCODED_MAX(kxCOBS_MAX_WRITE_PACKET_BYTES + 1) + 1 <= kxCOBS_OUT_FRAME_BYTES,
              "the longest packet written, its CRC and the delimiter fit the outgoing buffer");
static_assert(COBS_ENCODED_MAX(kxCOBS_MAX_WRITE_PACKET_BYTES + 1) <= kxCOBS_MAX_ENCODED_FRAME_BYTES,
              "every frame written is one the reader accepts");

// One COBS stream. Threads: the reading thread alone touches the incoming
// side (`in`, `inCount`, `inOverflow`, `ready`, `readPos`, `packet`,
// `packetLength`) through sCobsStreamGet; the writing thread alone touches the
// outgoing side (`out`, `outLength`) through sCobsStreamWrite and
// sCobsStreamPut. The inner operations and reference are set at creation and
// only read afterwards. No locks.
struct kxCobsState
{
    uint16_t check;
    kxStreamGetFunction innerGet;
    kxStreamPutFunction innerPut;
    kxStreamWriteFunction innerWrite;
    kxStreamDeleteFunction innerDelete;
    void* innerRef;
    // The encoded bytes of the frame being received, delimiter not included.
    uint8_t in[kxCOBS_MAX_ENCODED_FRAME_BYTES];
    uint32_t inCount;
    bool inOverflow;
    bool ready;
    uint8_t readPos;
    uint8_t packet[kxPACKET_MAX_WIRE];
    uint8_t packetLength;
    uint8_t out[kxCOBS_OUT_FRAME_BYTES];
    uint32_t outLength;
};

kxCobsState* sState(void* ref)
{
    auto* state = static_cast<kxCobsState*>(ref);
    if (state == nullptr || state->check != kxCOBS_CHECK)
    {
        return nullptr;
    }
    return state;
}

// Checks and unpacks the frame gathered in `in`. A frame of at most
// kxCOBS_MAX_ENCODED_FRAME_BYTES decodes to at most
// MAX_PACKET_WITH_CHECKSUM_BYTES, so the packet fits `packet`.
kxErr sCobsStreamEndFrame(kxCobsState* state)
{
    uint32_t count = state->inCount;
    bool overflow = state->inOverflow;
    state->inCount = 0;
    state->inOverflow = false;
    if (overflow)
    {
        return kxErrPacket;
    }
    size_t length = cobs_decode_inplace(state->in, count);
    if (length < sHeaderBytes + 1 || length > MAX_PACKET_WITH_CHECKSUM_BYTES ||
        length != static_cast<size_t>(state->in[1]) + 3 ||
        !crc8_check(state->in, length - 1, state->in[length - 1]))
    {
        return kxErrPacket;
    }
    memcpy(state->packet, state->in, length - 1);
    state->packetLength = static_cast<uint8_t>(length - 1);
    state->readPos = 0;
    state->ready = true;
    return kxErrNotReady;
}

kxErr sCobsStreamGet(uint8_t* byte, void* ref)
{
    kxCobsState* state = sState(ref);
    if (state == nullptr || byte == nullptr)
    {
        return kxErrParam;
    }
    if (state->ready)
    {
        *byte = state->packet[state->readPos++];
        if (state->readPos >= state->packetLength)
        {
            state->ready = false;
        }
        return kxErrNone;
    }
    uint8_t received = 0;
    if (state->innerGet == nullptr)
    {
        return kxErrNotReady;
    }
    // The inner stream's own failures (a hung-up line) reach the reader: only
    // "nothing yet" reads as nothing yet. A frame under way stays.
    kxErr err = state->innerGet(&received, state->innerRef);
    if (err != kxErrNone)
    {
        return err;
    }
    if (received != 0)
    {
        if (state->inCount < sizeof(state->in))
        {
            state->in[state->inCount++] = received;
        }
        else
        {
            state->inOverflow = true;
        }
        return kxErrNotReady;
    }
    if (state->inCount == 0 && !state->inOverflow)
    {
        return kxErrNotReady;
    }
    return sCobsStreamEndFrame(state);
}

// Checks that the bytes are a sequence of whole, well-formed packets that fit
// a frame, before any of them is written.
kxErr sCobsStreamCheckPackets(const uint8_t* bytes, size_t n)
{
    size_t i = 0;
    while (i < n)
    {
        if (n - i < sHeaderBytes || bytes[i] == 0)
        {
            return kxErrPacket;
        }
        size_t length = bytes[i + 1];
        if (length > kxPACKET_MAX_DATA)
        {
            return kxErrPacket;
        }
        if (length + sHeaderBytes > kxCOBS_MAX_WRITE_PACKET_BYTES)
        {
            return kxErrSize;
        }
        if (n - i - sHeaderBytes < length)
        {
            return kxErrPacket;
        }
        i += sHeaderBytes + length;
    }
    return kxErrNone;
}

kxErr sCobsStreamSendFrame(kxCobsState* state)
{
    if (state->innerWrite != nullptr)
    {
        return state->innerWrite(state->out, state->outLength, state->innerRef);
    }
    if (state->innerPut == nullptr)
    {
        return kxErrMode;
    }
    for (uint32_t i = 0; i < state->outLength; i++)
    {
        kxErr err = state->innerPut(state->out[i], state->innerRef);
        if (err != kxErrNone)
        {
            return err;
        }
    }
    return kxErrNone;
}

// Frames one checked packet of `size` bytes and sends it: wire form, CRC-8,
// COBS, 0x00. The size limit keeps every step within `out`.
kxErr sCobsStreamFramePacket(kxCobsState* state, const uint8_t* packet, size_t size)
{
    memcpy(state->out, packet, size);
    state->out[size] = crc8_create(state->out, size);
    size_t encoded = cobs_encode_inplace(state->out, size + 1);
    state->out[encoded] = 0;
    state->outLength = static_cast<uint32_t>(encoded + 1);
    return sCobsStreamSendFrame(state);
}

kxErr sCobsStreamWrite(const uint8_t* bytes, size_t n, void* ref)
{
    kxCobsState* state = sState(ref);
    if (state == nullptr || bytes == nullptr)
    {
        return kxErrParam;
    }
    kxErr err = sCobsStreamCheckPackets(bytes, n);
    if (err != kxErrNone)
    {
        return err;
    }
    // Every packet is sent even after a failed one; the result reports the
    // last failure.
    kxErr result = kxErrNone;
    size_t i = 0;
    while (i < n)
    {
        size_t size = sHeaderBytes + bytes[i + 1];
        err = sCobsStreamFramePacket(state, bytes + i, size);
        if (err != kxErrNone)
        {
            result = err;
        }
        i += size;
    }
    return result;
}

kxErr sCobsStreamPut(uint8_t byte, void* ref)
{
    kxCobsState* state = sState(ref);
    if (state == nullptr)
    {
        return kxErrParam;
    }
    if (state->innerPut == nullptr)
    {
        return kxErrMode;
    }
    return state->innerPut(byte, state->innerRef);
}

kxErr sCobsStreamDelete(void* ref)
{
    kxCobsState* state = sState(ref);
    if (state == nullptr)
    {
        return kxErrParam;
    }
    kxErr err = kxErrNone;
    if (state->innerDelete != nullptr)
    {
        err = state->innerDelete(state->innerRef);
    }
    state->check = 0;
    free(state);
    return err;
}
} // namespace

kxErr kxStream_CreateCobsEncoding(kxStreamGetFunction get, kxStreamPutFunction put,
                                  kxStreamWriteFunction write, kxStreamDeleteFunction del,
                                  void* ref, kxStream** stream)
{
    if (stream == nullptr)
    {
        return kxErrParam;
    }
    *stream = nullptr;
    auto* state = static_cast<kxCobsState*>(calloc(1, sizeof(kxCobsState)));
    if (state == nullptr)
    {
        return kxErrMemory;
    }
    state->check = kxCOBS_CHECK;
    state->innerGet = get;
    state->innerPut = put;
    state->innerWrite = write;
    state->innerDelete = del;
    state->innerRef = ref;
    *stream =
        kxStream_Create(sCobsStreamGet, sCobsStreamPut, sCobsStreamWrite, sCobsStreamDelete, state);
    if (*stream == nullptr)
    {
        free(state);
        return kxErrResource;
    }
    return kxErrNone;
}
