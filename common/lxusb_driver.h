// USB driver for Lumbrixon modules (platform interface, implemented in
// unix/lxusb_driver.cpp over libusb-1.0).
//
// A driver record reaches one module and moves bytes to and from it, in one of
// two modes:
//   - libusb mode (1): the module is found among the USB devices by vendor
//     identifier and serial-number string, its vendor interface is claimed and
//     its bulk (or interrupt) endpoints carry the data;
//   - kernel mode (0): where a kernel driver exposes the module as the device
//     file "lumbrixon.%08X" in the device directory, that file is opened and
//     used with plain reads and writes.
//
// The device directory is "/dev". The environment variable LUMBRIXON_DEVICE_DIR,
// when set and not empty, names another directory instead (tests use it to put
// a pseudo-terminal in place of the kernel's device file). It is read on every
// call that builds a device-file path.
//
// The driver also owns the process-wide libusb context that enumeration shares.
//
// Threads: a record is used by exactly two threads, one that only reads
// (lxusb_get_from_device) and one that only writes (lxusb_write_to_device);
// opening, closing and destroying happen while neither of them runs.
#pragma once

#include <lumbrixon/kxError.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

    // libusb's context, the one type of libusb this interface hands out.
    struct libusb_context;

#define lxusbCHECK 0x05B0

// Module identification on the bus.
#define lxusbVENDOR_ID 0x5A17
#define lxusbPRODUCT_LIMIT 0x8000 // product identifiers at or above are not modules
#define lxusbINTERFACE_CLASS 0xFF
#define lxusbINTERFACE_SUBCLASS 0x88
#define lxusbINTERFACE_PROTOCOL 0x10
#define lxusbSERIAL_MAX 256
#define lxusbREAD_BUFFER_SIZE 1024
#define lxusbREAD_TIMEOUT_MS 1000
#define lxusbWRITE_TIMEOUT_MS 50
#define lxusbDEVICE_DIR_ENV "LUMBRIXON_DEVICE_DIR"
#define lxusbDEFAULT_DEVICE_DIR "/dev"

    // Driver modes.
    enum
    {
        lxusbModeKernel = 0,
        lxusbModeLibusb = 1,
    };

    // Driver states.
    enum
    {
        lxusbStateCreated = 1,
        lxusbStateClosed = 2,
        lxusbStateOpened = 3,
        lxusbStateReady = 4, // interface claimed
        lxusbStateFailed = 5,
    };

    typedef struct lxusb_device lxusb_device;

    // The shared libusb context, created with libusb_init on first use. Null when
    // libusb_init fails; the next call tries again.
    struct libusb_context* Lumbrixon_libusb_context(void);
    // The same as Lumbrixon_libusb_context().
    struct libusb_context* Lumbrixon_libusb_init(void);
    // Ends the shared context; the next use creates a fresh one. Must not be called
    // while driver records hold open handles.
    void Lumbrixon_libusb_exit(void);

    // Replaces the function used to create the context (null restores libusb_init).
    // Lets tests make context creation fail.
    typedef int (*lxusb_init_function)(struct libusb_context** context);
    void Lumbrixon_libusb_set_init_function(lxusb_init_function function);

    // Writes the device-file path of a serial number ("<dir>/lumbrixon.%08X").
    kxErr lxusb_kernel_device_path(uint32_t serialNumber, char* buffer, size_t size);
    // True when the device file of the serial number exists and is not a directory.
    bool lxusb_is_kernel_driver_installed(uint32_t serialNumber);

    // A new record in the given mode (lxusbModeLibusb or lxusbModeKernel), state
    // lxusbStateCreated. In libusb mode the shared context is created if needed.
    // Null when memory runs out.
    lxusb_device* lxusb_create_usb(uint32_t useLibusb);

    // Finds and opens the module whose serial-number string equals serialString
    // exactly (eight upper-case hex digits). In kernel mode opens the device file
    // "lumbrixon.<serialString>" in the device directory.
    //   kxErrParam          null or invalid record, null serial string
    //   kxErrMode           a mode other than kernel or libusb
    //   kxErrDuplicate      the record is already open
    //   kxErrInitialization no libusb context could be created
    //   kxErrNotFound       no such module
    //   kxErrConfiguration  descriptors unreadable, or no vendor interface with an
    //                       IN and an OUT endpoint
    //   kxErrBusy           the interface or device file is in use, or the device
    //                       went away
    //   kxErrPermission     no access to the device
    //   kxErrIO, kxErrUnknown other failures
    kxErr lxusb_open_lumbrixon_device(lxusb_device* usb, const char* serialString);

    // Writes n bytes. In libusb mode they go out in chunks of at most the OUT
    // endpoint's maximum packet size (a 512-byte chunk is cut to 511), each one
    // bulk transfer with a 50 ms time-out. A record in kernel mode is passed to
    // lxusb_write_to_kernel_device.
    //   kxErrConnection  closed; kxErrNotReady  not yet ready;
    //   kxErrWrite       bytes left unsent after repeated failed transfers;
    //   kxErrNotReady    also for one of the first four consecutive failures;
    //   kxErrIO          the fifth consecutive failure and every transfer after it.
    kxErr lxusb_write_to_device(lxusb_device* usb, const uint8_t* bytes, uint32_t n);
    // Kernel mode: plain writes until every byte is written (kxErrIO otherwise);
    // kxErrMode for a record not in kernel mode or without an open device file.
    kxErr lxusb_write_to_kernel_device(lxusb_device* usb, const uint8_t* bytes, uint32_t n);

    // Reads one byte. In libusb mode bytes arrive in bulk transfers of up to 1024
    // bytes (1000 ms time-out) and are handed out from a buffer. kxErrNotReady when
    // no byte is available (a time-out, a cleared stall, or one of the first four
    // consecutive failures); kxErrIO once the record has failed. A record in kernel
    // mode is passed to lxusb_get_from_kernel_device.
    kxErr lxusb_get_from_device(lxusb_device* usb, uint8_t* byte);
    // Kernel mode: bytes left from the last read first; otherwise waits up to
    // 1000 ms for the device file to be readable and reads what is there (up to
    // 1024 bytes) in one read, handing out the first. kxErrNotReady when nothing
    // was read; kxErrIO when the device has hung up or the read fails.
    kxErr lxusb_get_from_kernel_device(lxusb_device* usb, uint8_t* byte);

    // Releases the interface and closes the handle (libusb mode) or closes the
    // device file (kernel mode); state lxusbStateClosed.
    kxErr lxusb_close_lumbrixon_device(lxusb_device* usb);

    // Closes whatever is still open, frees the record and sets *usb to null.
    // kxErrParam for a null or invalid record (*usb is set to null all the
    // same, and nothing is freed).
    kxErr lxusb_destroy(lxusb_device** usb);

    // The record's state and mode (0 for an invalid record).
    uint32_t lxusb_get_state(const lxusb_device* usb);
    uint32_t lxusb_get_mode(const lxusb_device* usb);
    // The endpoints' maximum packet sizes once opened (0 otherwise).
    uint16_t lxusb_get_in_max_packet(const lxusb_device* usb);
    uint16_t lxusb_get_out_max_packet(const lxusb_device* usb);

#ifdef __cplusplus
}
#endif
