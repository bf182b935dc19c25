// The own process (platform interface, implemented in unix/unix_process.cpp).
#pragma once

#include <lumbrixon/kxError.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

    // The process identifier.
    uint32_t kxProcess_Id(void);
    // Sends the interrupt signal (the one Ctrl+C sends) to the own process;
    // kxErrNone when it was sent, kxErrUnknown otherwise.
    kxErr kxProcess_Interrupt(void);

#ifdef __cplusplus
}
#endif
