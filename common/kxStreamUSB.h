// USB module streams: a thin adapter over the USB driver (lxusb_driver.h),
// implemented in unix/unix_streamusb.cpp.
//
// kxStream_CreateUSB (declared in kxStream.h) opens the module with the
// given serial number: through its kernel device file when one is installed
// for it, through libusb otherwise. `get` takes one byte from the driver,
// `write` hands the block to the driver, `put` is `write` of one byte, and
// destroying the stream closes the module and frees the driver record.
//
// Results of kxStream_CreateUSB: kxErrParam for serial number 0 or a null
// output, kxErrMemory when the driver record or the stream cannot be
// allocated, otherwise the driver's open result.
#pragma once

#include <lumbrixon/kxStream.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxUSBSTREAM_CHECK 0xDEAD

#ifdef __cplusplus
}
#endif
