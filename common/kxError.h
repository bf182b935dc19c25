// Library-wide error codes and the process-wide diagnostic switches.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

    typedef enum
    {
        kxErrNone = 0,
        kxErrMemory = 1,
        kxErrParam = 2,
        kxErrNotFound = 3,
        kxErrFileNameLength = 4,
        kxErrBusy = 5,
        kxErrIO = 6,
        kxErrMode = 7,
        kxErrWrite = 8,
        kxErrRead = 9,
        kxErrEOF = 10,
        kxErrNotReady = 11,
        kxErrPermission = 12,
        kxErrRange = 13,
        kxErrSize = 14,
        kxErrOverrun = 15,
        kxErrParse = 16,
        kxErrConfiguration = 17,
        kxErrTimeout = 18,
        kxErrInitialization = 19,
        kxErrVersion = 20,
        kxErrUnimplemented = 21,
        kxErrDuplicate = 22,
        kxErrCancel = 23,
        kxErrPacket = 24,
        kxErrConnection = 25,
        kxErrIndexRange = 26,
        kxErrShortCommand = 27,
        kxErrInvalidEntity = 28,
        kxErrInvalidOption = 29,
        kxErrResource = 30,
        kxErrMedia = 31,
        kxErrAsyncReturn = 32,
        kxErrStreamStale = 33,
        kxErrUnknown = 34,
    } kxErrCode;

    // An error code travels as an unsigned integer.
    typedef unsigned int kxErr;

    const char* kxError_GetErrorText(kxErr code);
    const char* kxError_GetErrorDescription(kxErr code);

    // Diagnostics are printed only while the flag is exactly 1 and the area bit is set.
    extern uint8_t kxLumbrixonDebuggingEnable;
    extern uint32_t kxLumbrixonDebuggingLevel;

    enum
    {
        kxDebugLink = 0x001,
        kxDebugPackets = 0x002,
        kxDebugServer = 0x004,
        kxDebugMulticast = 0x008,
        kxDebugDiscovery = 0x010,
        kxDebugClientStream = 0x020,
        kxDebugModule = 0x040,
        kxDebugBeacon = 0x200,
        kxDebugUSB = 0x400,
    };

    // Prints one diagnostic line to standard output (and flushes it) when the
    // switches select `area`.
    void kxDebug_Printf(uint32_t area, const char* format, ...)
        __attribute__((format(printf, 2, 3)));

#ifdef __cplusplus
}
#endif
