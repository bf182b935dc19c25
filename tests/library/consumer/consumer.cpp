// A program of the family built against the installed library through its
// CMake package: it puts a packet through a FIFO and writes the packet as a
// COBS frame to a pseudo-terminal, then checks the bytes on the far end.
#include <lumbrixon/lumbrixon.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace
{
bool fail(const char* what)
{
    std::fprintf(stderr, "consumer: %s\n", what);
    return false;
}

bool throughFifo()
{
    const std::array<uint8_t, 3> data = {0x2A, 0x01, 0x02};
    uint64_t fifo = kxPacketFifo_Create();
    kxPacket* sent = kxPacket_CreateWithData(0x06, data.size(), data.data());
    if (fifo == 0 || sent == nullptr || kxPacketFifo_Put(fifo, sent) != kxErrNone)
        return fail("cannot put a packet into a FIFO");
    kxPacket_Destroy(&sent);
    kxPacket* got = kxPacketFifo_AwaitFirst(
        fifo, [](const kxPacket* p, void*) { return p->data[0] == 0x2A; }, nullptr, 1000);
    bool ok = got != nullptr && got->address == 0x06 && got->length == 3;
    kxPacket_Destroy(&got);
    kxPacketFifo_Destroy(&fifo);
    return ok || fail("the packet did not come out of the FIFO");
}

// The empty packet from address 4 travels on a serial link as 02 04 02 3B 00.
bool cobsToTerminal()
{
    const std::vector<uint8_t> packet = {0x04, 0x00};
    const std::vector<uint8_t> frame = {0x02, 0x04, 0x02, 0x3B, 0x00};
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return fail("no pseudo-terminal");
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    kxStream* stream = nullptr;
    kxErr err = kxStream_CreateSerial_Packetized(ptsname(master), 6, 0, 0, 0, &stream);
    if (err == kxErrNone)
        err = kxStream_Write(stream, packet.data(), packet.size());
    std::vector<uint8_t> seen;
    for (int waited = 0; err == kxErrNone && seen.size() < frame.size() && waited < 2000;
         waited += 10)
    {
        pollfd ready = {master, POLLIN, 0};
        uint8_t byte = 0;
        if (poll(&ready, 1, 10) > 0)
            while (seen.size() < frame.size() && read(master, &byte, 1) == 1)
                seen.push_back(byte);
    }
    kxStream_Destroy(&stream);
    close(master);
    if (err != kxErrNone)
        return fail(kxError_GetErrorDescription(err));
    return seen == frame || fail("the terminal did not receive the frame 02 04 02 3B 00");
}
} // namespace

int main()
{
    if (!throughFifo() || !cobsToTerminal())
        return 1;
    std::printf("consumer: library %s, packet through a FIFO, frame on the terminal\n",
                kxVersion_GetString());
    return 0;
}
