// Serial port streams over termios (platform interface, implemented in
// unix/unix_streamserial.cpp).
//
// kxStream_CreateSerial and kxStream_CreateSerial_Packetized (declared in
// kxStream.h) open a port in raw mode: no echo, no canonical input, no
// signals, no output processing, modem control lines ignored, and reads that
// return at once with whatever has arrived. The settings found at opening are
// restored when the stream is destroyed.
//
// Opening results: kxErrNotFound (no such port), kxErrPermission (access
// denied), kxErrIO (any other open failure, or the settings cannot be applied),
// kxErrResource (null port or output, a path longer than kxSERIAL_PATH_MAX, a
// baud-rate index above kxSERIAL_MAX_BAUD_INDEX, dataBits or stopBits above 1,
// no memory).
//
// `get` gives kxErrNotReady when no byte has arrived and kxErrIO when the read
// fails or the line has hung up (the far end of a pseudo-terminal closed, an
// adapter unplugged). `write` hands the whole block to the port and waits until it has been
// transmitted. Both steps are bounded in time: the write fails with
// kxErrTimeout when the port takes no byte (or sends none of its queue) for
// kxSERIAL_STALL_MS, or when the whole write lasts longer than
// kxSERIAL_WRITE_MARGIN_MS plus twice the time the bytes take at the port's
// speed.
#pragma once

#include <lumbrixon/kxStream.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxSERIAL_CHECK 0xBEEF
#define kxSERIAL_MAX_BAUD_INDEX 7
#define kxSERIAL_PATH_MAX 1024
#define kxSERIAL_WRITE_MARGIN_MS 1000
#define kxSERIAL_STALL_MS 500

    // Bits per second of a baud-rate index; 0 for an index above 7.
    uint32_t kxStreamSerial_BaudRate(uint32_t baudIndex);

#ifdef __cplusplus
}
#endif
