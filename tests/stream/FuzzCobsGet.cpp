// The COBS stream's `get` fed arbitrary bytes from an in-memory inner stream.
// Every packet that comes out must be whole and consistent with its length
// byte; nothing may read or write outside the stream's buffers.
#include <lumbrixon/kxStream.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace
{
struct Input
{
    const uint8_t* data;
    size_t size;
    size_t pos;
};

kxErr sInputGet(uint8_t* byte, void* ref)
{
    auto* input = static_cast<Input*>(ref);
    if (input->pos >= input->size)
    {
        return kxErrEOF;
    }
    *byte = input->data[input->pos++];
    return kxErrNone;
}

kxErr sSinkWrite(const uint8_t*, size_t, void*)
{
    return kxErrNone;
}

kxErr sSinkPut(uint8_t, void*)
{
    return kxErrNone;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input input = {data, size, 0};
    kxStream* stream = nullptr;
    if (kxStream_CreateCobsEncoding(sInputGet, sSinkPut, sSinkWrite, nullptr, &input, &stream) !=
        kxErrNone)
    {
        return 0;
    }
    // Each call takes at most one inner byte, and a frame of n bytes yields
    // fewer than n packet bytes: this bound covers every byte.
    std::vector<uint8_t> packet;
    size_t calls = 2 * size + 64;
    for (size_t i = 0; i < calls; i++)
    {
        uint8_t byte = 0;
        kxErr err = kxStream_Read(stream, &byte, 1);
        if (err == kxErrNone)
        {
            packet.push_back(byte);
            if (packet.size() >= 2 && packet.size() == static_cast<size_t>(packet[1]) + 2)
            {
                packet.clear();
            }
            else if (packet.size() > 30)
            {
                abort();
            }
        }
        else if (err == kxErrEOF)
        {
            // The inner stream's end is passed on, and only once it came.
            if (input.pos < input.size)
            {
                abort();
            }
        }
        else if (err != kxErrNotReady && err != kxErrPacket)
        {
            abort();
        }
    }
    // The stream gave out only whole packets.
    if (!packet.empty())
    {
        abort();
    }
    // The same bytes handed to `write` are framed or refused, never overrun.
    kxStream_Write(stream, data, size);
    kxStream_Destroy(&stream);
    return 0;
}
