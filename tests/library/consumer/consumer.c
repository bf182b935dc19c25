/* A program of the family built against the installed library through
 * pkg-config: it puts a packet through a FIFO and writes the packet as a COBS
 * frame to a pseudo-terminal, then checks the bytes on the far end. Exit
 * status 0 when all went as expected. */
#define _GNU_SOURCE
#include <lumbrixon/lumbrixon.h>

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int fail(const char* what)
{
    fprintf(stderr, "consumer: %s\n", what);
    return 1;
}

static int throughFifo(void)
{
    const uint8_t data[2] = {0x11, 0x22};
    uint64_t fifo = kxPacketFifo_Create();
    kxPacket* sent = kxPacket_CreateWithData(0x04, 2, data);
    if (fifo == 0 || sent == NULL || kxPacketFifo_Put(fifo, sent) != kxErrNone)
        return fail("cannot put a packet into a FIFO");
    kxPacket_Destroy(&sent);
    kxPacket* got = kxPacketFifo_Await(fifo, 1000);
    int ok =
        got != NULL && got->address == 0x04 && got->length == 2 && memcmp(got->data, data, 2) == 0;
    kxPacket_Destroy(&got);
    if (kxPacketFifo_Destroy(&fifo) != kxErrNone || fifo != 0)
        return fail("cannot destroy the FIFO");
    return ok ? 0 : fail("the packet did not come out of the FIFO");
}

/* The empty packet from address 4 travels on a serial link as 02 04 02 3B 00. */
static int cobsToTerminal(void)
{
    const uint8_t packet[2] = {0x04, 0x00};
    const uint8_t frame[5] = {0x02, 0x04, 0x02, 0x3B, 0x00};
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return fail("no pseudo-terminal");
    kxStream* stream = NULL;
    kxErr err = kxStream_CreateSerial_Packetized(ptsname(master), 6, 0, 0, 0, &stream);
    if (err != kxErrNone)
    {
        fprintf(stderr, "consumer: open failed: %s\n", kxError_GetErrorText(err));
        close(master);
        return 1;
    }
    err = kxStream_Write(stream, packet, sizeof packet);
    uint8_t seen[16];
    size_t count = 0;
    for (int waited = 0; err == kxErrNone && count < sizeof frame && waited < 2000; waited += 10)
    {
        struct pollfd ready = {master, POLLIN, 0};
        if (poll(&ready, 1, 10) > 0)
        {
            ssize_t n = read(master, seen + count, sizeof seen - count);
            if (n > 0)
                count += (size_t)n;
        }
    }
    kxStream_Destroy(&stream);
    close(master);
    if (err != kxErrNone)
        return fail(kxError_GetErrorDescription(err));
    if (count != sizeof frame || memcmp(seen, frame, sizeof frame) != 0)
        return fail("the terminal did not receive the frame 02 04 02 3B 00");
    return 0;
}

int main(void)
{
    if (throughFifo() != 0 || cobsToTerminal() != 0)
        return 1;
    printf("consumer: library %s, packet through a FIFO, frame on the terminal\n",
           kxVersion_GetString());
    return 0;
}
