// A background thread that runs one logging callback against an output file
// (the Link object's packet log uses it).
#pragma once

#include <lumbrixon/kxError.h>
#include <lumbrixon/kxFile.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxLOGGER_CHECK 0xDEED

    typedef struct kxLogger kxLogger;
    // One unit of logging work against the file; it returns promptly and waits
    // itself when there is nothing to write.
    typedef void (*kxLoggerCallback)(kxFileRef file, int32_t value);

    // Opens path for appending, unbuffered. Null when callback is null, or
    // allocation or opening fails. The logger does not run until enabled.
    kxLogger* kxLogger_Create(int32_t value, kxLoggerCallback callback, const char* path);
    // Starts the logging thread, which calls callback(file, value) over and
    // over until disabled. kxErrNone when already running; kxErrResource when
    // the thread cannot be started.
    kxErr kxLogger_Enable(kxLogger* logger);
    // Stops and joins the logging thread. kxErrNone when not running, and,
    // without stopping anything, when called from the logging thread itself;
    // kxErrUnknown when the join fails.
    kxErr kxLogger_Disable(kxLogger* logger);
    // Disables the logger if running, closes the file, frees the record and
    // sets *logger to null. A null or invalid logger is ignored with
    // kxErrNone (*logger is left as it is). When disabling fails, or when
    // called from the logging thread (kxErrBusy), the record is kept.
    kxErr kxLogger_Destroy(kxLogger** logger);

#ifdef __cplusplus
}
#endif
