// Library-wide error codes and the process-wide diagnostic switches.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

    // The result of every operation of the library that reports one: 0 is
    // success, every other value a failure. kxErrNotReady means that nothing is
    // available yet and the caller may try again; kxErrParam answers a null or
    // invalid record (see the record rules in lumbrixon.h).
    typedef enum kxErr
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
    } kxErr;

    // The name ("kxErrTimeout") and the description ("Timeout occurred") of a
    // code. They take any number, since codes also travel as plain unsigned
    // integers: above 34 they give those of kxErrUnknown. Constant strings.
    const char* kxError_GetErrorText(unsigned int code);
    const char* kxError_GetErrorDescription(unsigned int code);

    // The diagnostic switches: diagnostics are printed only while the flag is
    // exactly 1 and the area bit is set in the level. Both are 0 at start and
    // nothing in the library sets them.
    // Threads: every thread of the library reads both, without a lock, each
    // time it is about to print. A program sets them before it starts using the
    // library (before any link, server or logger thread runs), never while
    // those threads run.
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
