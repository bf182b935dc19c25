// The ISP client fed arbitrary bytes as the chip's replies: synchronisation,
// identification, a write with its checksum replies and a read of UU-encoded
// lines. The stream ends (kxErrEOF) where the input does, so no call waits.
// Whatever comes back, the calls return and the read never writes past its
// buffer; a decoded line never claims more bytes than it had room for.
#include "app/recovery/NXPSerialClass.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{
struct Input
{
    const uint8_t* data;
    size_t size;
    size_t at;
};

kxErr sGet(uint8_t* byte, void* ref)
{
    auto* in = static_cast<Input*>(ref);
    if (in->at >= in->size)
    {
        return kxErrEOF;
    }
    *byte = in->data[in->at++];
    return kxErrNone;
}

kxErr sPut(uint8_t, void*)
{
    return kxErrNone;
}

kxErr sWrite(const uint8_t*, size_t, void*)
{
    return kxErrNone;
}

void sRequire(bool condition)
{
    if (!condition)
        abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Each line of the input on its own through the text helpers.
    std::vector<char> text(reinterpret_cast<const char*>(data),
                           reinterpret_cast<const char*>(data) + size);
    text.push_back('\0');
    uint8_t decoded[64];
    for (char* line = text.data(); *line != '\0';)
    {
        char* end = strchr(line, '\n');
        if (end != nullptr)
            *end = '\0';
        uint32_t room = static_cast<uint32_t>(strlen(line) % 64);
        sRequire(NXPSerialClass::uudecode(decoded, room, line) <= room);
        int code = NXPSerialClass::ReturnCode(line);
        sRequire(code >= -1 && code <= NXPSerialClass::MAX_ERROR);
        NXPSerialClass::GetErrorText(line);
        if (end == nullptr)
            break;
        line = end + 1;
    }

    Input in = {data, size, 0};
    NXPSerialClass isp;
    isp.Attach(kxStream_Create(sGet, sPut, sWrite, nullptr, &in), 115200);
    isp.Sync();
    isp.GetDeviceID();
    int64_t part = 0;
    isp.GetPartNumber(&part);
    uint8_t major = 0, minor = 0;
    isp.GetBootLoaderVersion(&major, &minor);
    uint8_t block[100];
    memset(block, 0xA5, sizeof block);
    isp.Write(NXPSerialClass::WRITE_ADDRESS, 96, block);
    std::vector<uint8_t> back(96 + 1, 0x5A);
    isp.Read(0, 96, back.data());
    sRequire(back[96] == 0x5A);
    return 0;
}
