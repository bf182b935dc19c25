// USB module streams.
#include <lumbrixon/kxStreamUSB.h>

#include <lumbrixon/lxusb_driver.h>

#include <stdio.h>
#include <stdlib.h>

namespace
{
// One open module. Threads: the fields are set at creation and only read
// afterwards; the reading thread calls sUsbGet and the writing thread sUsbWrite
// and sUsbPut on the one driver record, whose own rules allow exactly that.
// No locks.
struct kxUsbState
{
    uint16_t check;
    lxusb_device* usb;
};

kxUsbState* sState(void* ref)
{
    auto* state = static_cast<kxUsbState*>(ref);
    if (state == nullptr || state->check != kxUSBSTREAM_CHECK)
    {
        return nullptr;
    }
    return state;
}

kxErr sUsbGet(uint8_t* byte, void* ref)
{
    kxUsbState* state = sState(ref);
    if (state == nullptr || byte == nullptr)
    {
        return kxErrParam;
    }
    return lxusb_get_from_device(state->usb, byte);
}

kxErr sUsbWrite(const uint8_t* bytes, size_t n, void* ref)
{
    kxUsbState* state = sState(ref);
    if (state == nullptr || bytes == nullptr || n > UINT32_MAX)
    {
        return kxErrParam;
    }
    return lxusb_write_to_device(state->usb, bytes, static_cast<uint32_t>(n));
}

kxErr sUsbPut(uint8_t byte, void* ref)
{
    return sUsbWrite(&byte, 1, ref);
}

kxErr sUsbDelete(void* ref)
{
    kxUsbState* state = sState(ref);
    if (state == nullptr)
    {
        return kxErrParam;
    }
    kxErr err = lxusb_close_lumbrixon_device(state->usb);
    lxusb_destroy(&state->usb);
    state->check = 0;
    free(state);
    return err;
}
} // namespace

kxErr kxStream_CreateUSB(uint32_t serialNumber, kxStream** stream)
{
    if (stream == nullptr || serialNumber == 0)
    {
        return kxErrParam;
    }
    *stream = nullptr;
    auto* state = static_cast<kxUsbState*>(calloc(1, sizeof(kxUsbState)));
    if (state == nullptr)
    {
        return kxErrMemory;
    }
    state->check = kxUSBSTREAM_CHECK;
    bool kernel = lxusb_is_kernel_driver_installed(serialNumber);
    state->usb = lxusb_create_usb(kernel ? lxusbModeKernel : lxusbModeLibusb);
    if (state->usb == nullptr)
    {
        free(state);
        return kxErrMemory;
    }
    char serial[16];
    snprintf(serial, sizeof(serial), "%08X", static_cast<unsigned>(serialNumber));
    kxErr err = lxusb_open_lumbrixon_device(state->usb, serial);
    if (err != kxErrNone)
    {
        lxusb_destroy(&state->usb);
        free(state);
        return err;
    }
    *stream = kxStream_Create(sUsbGet, sUsbPut, sUsbWrite, sUsbDelete, state);
    if (*stream == nullptr)
    {
        sUsbDelete(state);
        return kxErrMemory;
    }
    return kxErrNone;
}
