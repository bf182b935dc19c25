// A host for the simulator's USB mode: run as modsim's child under
// umockdev-wrapper, it finds the module with the serial number given through
// raw libusb, sends the sync request AD 00 on the bulk OUT endpoint and prints
// the bytes of the bulk IN answer ("06 00"). Exit 0 when an answer came.
#include <libusb.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        fprintf(stderr, "usage: modsim_usb_probe SERIAL\n");
        return 2;
    }
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0)
    {
        fprintf(stderr, "libusb_init failed\n");
        return 1;
    }
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle* handle = nullptr;
    for (ssize_t i = 0; i < n && handle == nullptr; i++)
    {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(list[i], &d) != 0 || d.idVendor != 0x5A17)
            continue;
        libusb_device_handle* h = nullptr;
        if (libusb_open(list[i], &h) != 0)
            continue;
        unsigned char serial[64] = {};
        if (libusb_get_string_descriptor_ascii(h, d.iSerialNumber, serial, sizeof serial) > 0 &&
            strcmp((const char*)serial, argv[1]) == 0)
            handle = h;
        else
            libusb_close(h);
    }
    libusb_free_device_list(list, 1);
    int status = 1;
    if (handle == nullptr)
        fprintf(stderr, "no module %s on the bus\n", argv[1]);
    else if (libusb_claim_interface(handle, 0) != 0)
        fprintf(stderr, "cannot claim the interface\n");
    else
    {
        unsigned char sync[2] = {0xAD, 0x00};
        unsigned char answer[64];
        int sent = 0, got = 0;
        if (libusb_bulk_transfer(handle, 0x01, sync, 2, &sent, 1000) == 0 && sent == 2 &&
            libusb_bulk_transfer(handle, 0x81, answer, sizeof answer, &got, 2000) == 0 && got > 0)
        {
            for (int i = 0; i < got; i++)
                printf(i ? " %02X" : "%02X", answer[i]);
            printf("\n");
            status = 0;
        }
        else
            fprintf(stderr, "no answer to the sync request\n");
        libusb_release_interface(handle, 0);
    }
    if (handle)
        libusb_close(handle);
    libusb_exit(ctx);
    return status;
}
