// USB driver for Lumbrixon modules: libusb bulk transfers or the kernel's device file.
#include <lumbrixon/lxusb_driver.h>
#include <lumbrixon/kxFile.h>

#include <lumbrixon/kxMutex.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libusb.h>
#include <new>
#include <poll.h>
#include <unistd.h>
#define lxusbMAX_WRITE_FAILURES 10
#define lxusbFAILURES_TO_FAIL 5
#define lxusbMAX_KERNEL_WRITES 1000

// One driver record.
// Threads: the link's reader thread calls lxusb_get_from_device (readBuffer,
// available, readPointer, state, errorCount); its writer thread calls
// lxusb_write_to_device (state, errorCount). `state` and `errorCount` are
// shared by both and are atomics; the record takes no lock. Every other field
// is written only by create, open, close and destroy, which run while neither
// thread uses the record. Both modes hand out bytes from readBuffer.
struct lxusb_device
{
    uint16_t check;
    uint32_t mode; // set by create, never changed
    int fd;
    libusb_device_handle* handle;
    std::atomic<uint32_t> state;
    uint8_t interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    uint8_t readBuffer[lxusbREAD_BUFFER_SIZE];
    uint32_t available;
    uint32_t readPointer;
    std::atomic<uint8_t> errorCount;
    uint16_t inMaxPacket;
    uint16_t outMaxPacket;
};

// The process-wide libusb context and the function that creates it.
// Threads: any thread that opens a record, enumerates or ends the context.
// Both variables are read and written only under sContextLock(), the only
// lock of this module. The context is created and ended under it, so that two
// threads never create two contexts; the creating function is libusb_init or a
// test's stand-in for it, which must not call back into this module. The lock
// is made on first use and never destroyed.
static kxMutex* sContextLock()
{
    static kxMutex* lock = kxMutex_Create("lxusb context");
    return lock;
}
[[maybe_unused]] static kxMutex* sContextLockAtStart = sContextLock();
static libusb_context* sContext = nullptr;
static lxusb_init_function sInitFunction = nullptr;

// Holds the context lock for the life of the object.
namespace
{
class ContextHeld
{
public:
    ContextHeld() { kxMutex_Lock(sContextLock()); }
    ~ContextHeld() { kxMutex_Unlock(sContextLock()); }
    ContextHeld(const ContextHeld&) = delete;
    ContextHeld& operator=(const ContextHeld&) = delete;
};
} // namespace

static bool sValid(const lxusb_device* usb)
{
    return usb != nullptr && usb->check == lxusbCHECK;
}

static int sDefaultInit(libusb_context** context)
{
    return libusb_init(context);
}

libusb_context* Lumbrixon_libusb_context(void)
{
    ContextHeld guard;
    if (sContext == nullptr)
    {
        libusb_context* context = nullptr;
        lxusb_init_function init = sInitFunction ? sInitFunction : sDefaultInit;
        int rc = init(&context);
        if (rc == LIBUSB_SUCCESS && context != nullptr)
            sContext = context;
        else
            kxDebug_Printf(kxDebugUSB, "libusb init error: %d\n", rc);
    }
    return sContext;
}

libusb_context* Lumbrixon_libusb_init(void)
{
    return Lumbrixon_libusb_context();
}

void Lumbrixon_libusb_exit(void)
{
    ContextHeld guard;
    if (sContext != nullptr)
    {
        libusb_exit(sContext);
        sContext = nullptr;
    }
}

void Lumbrixon_libusb_set_init_function(lxusb_init_function function)
{
    ContextHeld guard;
    sInitFunction = function;
}

static const char* sDeviceDirectory()
{
    const char* dir = getenv(lxusbDEVICE_DIR_ENV);
    return (dir != nullptr && dir[0] != '\0') ? dir : lxusbDEFAULT_DEVICE_DIR;
}

static kxErr sDevicePath(const char* serialString, char* buffer, size_t size)
{
    int n = snprintf(buffer, size, "%s/lumbrixon.%s", sDeviceDirectory(), serialString);
    if (n < 0 || (size_t)n >= size)
        return kxErrFileNameLength;
    return kxErrNone;
}

kxErr lxusb_kernel_device_path(uint32_t serialNumber, char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return kxErrParam;
    char serial[16];
    snprintf(serial, sizeof serial, "%08X", (unsigned)serialNumber);
    return sDevicePath(serial, buffer, size);
}

bool lxusb_is_kernel_driver_installed(uint32_t serialNumber)
{
    char path[kxFILE_MAX_PATH];
    if (lxusb_kernel_device_path(serialNumber, path, sizeof path) != kxErrNone)
        return false;
    return kxFile_Exists(path);
}

lxusb_device* lxusb_create_usb(uint32_t useLibusb)
{
    lxusb_device* usb = new (std::nothrow) lxusb_device();
    if (usb == nullptr)
        return nullptr;
    usb->check = lxusbCHECK;
    usb->mode = useLibusb;
    usb->fd = -1;
    usb->handle = nullptr;
    usb->state = lxusbStateCreated;
    usb->errorCount = 0;
    if (useLibusb == lxusbModeLibusb)
        (void)Lumbrixon_libusb_context();
    return usb;
}

// Outcome of a failed transfer: the first four consecutive failures look like
// the absence of data, the fifth puts the record into the failed state.
static kxErr sFailure(lxusb_device* usb)
{
    uint8_t count = usb->errorCount.load();
    while (count < 0xFF && !usb->errorCount.compare_exchange_weak(count, (uint8_t)(count + 1)))
    {
    }
    if (usb->state == lxusbStateFailed || count + 1 >= lxusbFAILURES_TO_FAIL)
    {
        usb->state = lxusbStateFailed;
        return kxErrIO;
    }
    return kxErrNotReady;
}

static kxErr sSuccess(lxusb_device* usb, kxErr result)
{
    usb->errorCount = 0;
    return result;
}

// The result of a transfer asked of a record that is not ready: a closed
// record has lost its connection, one still opening has nothing yet, and any
// other state counts as a failure.
static kxErr sNotReadyResult(lxusb_device* usb, uint32_t state, const char* direction)
{
    if (state == lxusbStateClosed)
        return sSuccess(usb, kxErrConnection);
    if (state == lxusbStateCreated || state == lxusbStateOpened)
        return sSuccess(usb, kxErrNotReady);
    kxDebug_Printf(kxDebugUSB, "libusb %s error dev state: %d\n", direction, (int)state);
    return sFailure(usb);
}

static void sForgetInterface(lxusb_device* usb)
{
    usb->interfaceNumber = 0;
    usb->inEndpoint = 0;
    usb->outEndpoint = 0;
    usb->inMaxPacket = 0;
    usb->outMaxPacket = 0;
    usb->available = 0;
    usb->readPointer = 0;
}

// Finds the module with the serial string among the devices and opens it.
static kxErr sFindAndOpen(libusb_context* context, const char* serialString,
                          libusb_device_handle** found)
{
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    if (count <= 0)
    {
        if (list != nullptr)
            libusb_free_device_list(list, 1);
        return kxErrNotFound;
    }
    kxErr result = kxErrNotFound;
    for (ssize_t i = 0; i < count && result != kxErrNone; i++)
    {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS)
            continue;
        if (descriptor.idVendor != lxusbVENDOR_ID || descriptor.idProduct >= lxusbPRODUCT_LIMIT)
            continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) != LIBUSB_SUCCESS)
            continue;
        unsigned char serial[lxusbSERIAL_MAX + 1] = {0};
        int n = 0;
        if (descriptor.iSerialNumber != 0)
            n = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, serial,
                                                   lxusbSERIAL_MAX);
        if (n > 0 && strcmp((const char*)serial, serialString) == 0)
        {
            *found = handle;
            result = kxErrNone;
        }
        else
            libusb_close(handle);
    }
    libusb_free_device_list(list, 1);
    return result;
}

static uint16_t sMaxPacket(libusb_device* device, const libusb_endpoint_descriptor* endpoint)
{
    int size = libusb_get_max_packet_size(device, endpoint->bEndpointAddress);
    if (size <= 0)
        size = endpoint->wMaxPacketSize & 0x7FF;
    return (uint16_t)size;
}

// Looks for the vendor interface and its IN and OUT endpoints.
static kxErr sFindInterface(lxusb_device* usb)
{
    libusb_device* device = libusb_get_device(usb->handle);
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS)
        return kxErrConfiguration;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS || config == nullptr)
        return kxErrConfiguration;
    bool haveIn = false, haveOut = false;
    for (int i = 0; i < config->bNumInterfaces && !(haveIn && haveOut); i++)
    {
        const libusb_interface* interface = &config->interface[i];
        for (int a = 0; a < interface->num_altsetting && !(haveIn && haveOut); a++)
        {
            const libusb_interface_descriptor* alt = &interface->altsetting[a];
            if (alt->bInterfaceClass != lxusbINTERFACE_CLASS ||
                alt->bInterfaceSubClass != lxusbINTERFACE_SUBCLASS ||
                alt->bInterfaceProtocol != lxusbINTERFACE_PROTOCOL)
                continue;
            usb->interfaceNumber = alt->bInterfaceNumber;
            haveIn = haveOut = false;
            for (int e = 0; e < alt->bNumEndpoints; e++)
            {
                const libusb_endpoint_descriptor* endpoint = &alt->endpoint[e];
                if ((endpoint->bmAttributes & 0x02) == 0)
                    continue; // neither bulk nor interrupt
                uint16_t size = sMaxPacket(device, endpoint);
                if (size == 0)
                    continue;
                if (endpoint->bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK)
                {
                    if (haveIn)
                        continue;
                    usb->inEndpoint = endpoint->bEndpointAddress;
                    usb->inMaxPacket = size;
                    haveIn = true;
                    kxDebug_Printf(kxDebugUSB, "In Endpoint Max packet: %d\n", size);
                }
                else
                {
                    if (haveOut)
                        continue;
                    usb->outEndpoint = endpoint->bEndpointAddress;
                    usb->outMaxPacket = size;
                    haveOut = true;
                    kxDebug_Printf(kxDebugUSB, "Out Endpoint Max packet: %d\n", size);
                }
            }
        }
    }
    libusb_free_config_descriptor(config);
    return (haveIn && haveOut) ? kxErrNone : kxErrConfiguration;
}

static kxErr sOpenLibusb(lxusb_device* usb, const char* serialString)
{
    libusb_context* context = Lumbrixon_libusb_context();
    if (context == nullptr)
        return kxErrInitialization;
    libusb_device_handle* handle = nullptr;
    kxErr result = sFindAndOpen(context, serialString, &handle);
    if (result != kxErrNone)
        return result;

    usb->handle = handle;
    usb->state = lxusbStateOpened;

    result = sFindInterface(usb);
    if (result == kxErrNone)
    {
        int rc = libusb_claim_interface(handle, usb->interfaceNumber);
        if (rc == LIBUSB_SUCCESS)
        {
            usb->available = 0;
            usb->readPointer = 0;
            usb->errorCount = 0;
            usb->state = lxusbStateReady;
            return kxErrNone;
        }
        if (rc == LIBUSB_ERROR_BUSY || rc == LIBUSB_ERROR_NO_DEVICE)
            result = kxErrBusy;
        else if (rc == LIBUSB_ERROR_ACCESS)
            result = kxErrPermission;
        else
            result = kxErrUnknown;
    }
    libusb_close(handle);
    usb->handle = nullptr;
    sForgetInterface(usb);
    usb->state = lxusbStateClosed;
    return result;
}

static kxErr sOpenKernel(lxusb_device* usb, const char* serialString)
{
    char path[kxFILE_MAX_PATH];
    if (sDevicePath(serialString, path, sizeof path) != kxErrNone)
        return kxErrFileNameLength;
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY ? kxErrBusy : kxErrIO;
    usb->fd = fd;
    usb->available = 0;
    usb->readPointer = 0;
    usb->errorCount = 0;
    usb->state = lxusbStateReady;
    return kxErrNone;
}

kxErr lxusb_open_lumbrixon_device(lxusb_device* usb, const char* serialString)
{
    if (!sValid(usb) || serialString == nullptr)
        return kxErrParam;
    if (usb->handle != nullptr || usb->fd >= 0)
        return kxErrDuplicate;
    if (usb->mode == lxusbModeLibusb)
        return sOpenLibusb(usb, serialString);
    if (usb->mode == lxusbModeKernel)
        return sOpenKernel(usb, serialString);
    return kxErrMode;
}

kxErr lxusb_write_to_device(lxusb_device* usb, const uint8_t* bytes, uint32_t n)
{
    if (!sValid(usb))
        return kxErrParam;
    if (usb->mode == lxusbModeKernel)
        return lxusb_write_to_kernel_device(usb, bytes, n);
    if (usb->mode != lxusbModeLibusb)
        return kxErrMode;
    if (bytes == nullptr && n > 0)
        return kxErrParam;

    uint32_t state = usb->state;
    if (state != lxusbStateReady)
        return sNotReadyResult(usb, state, "WRITE");

    uint32_t sent = 0;
    int failures = 0;
    bool ioFailure = false;
    while (sent < n && failures < lxusbMAX_WRITE_FAILURES && !ioFailure)
    {
        uint32_t chunk = n - sent;
        if (chunk > usb->outMaxPacket)
            chunk = usb->outMaxPacket;
        if (chunk == 512)
            chunk = 511; // keeps a full high-speed packet from needing a zero-length packet
        int transferred = 0;
        int rc = libusb_bulk_transfer(usb->handle, usb->outEndpoint, (unsigned char*)bytes + sent,
                                      (int)chunk, &transferred, lxusbWRITE_TIMEOUT_MS);
        if (transferred > 0)
            sent += (uint32_t)transferred;
        if (rc != LIBUSB_SUCCESS || transferred <= 0)
        {
            failures++;
            if (rc == LIBUSB_ERROR_PIPE)
            {
                int clear = libusb_clear_halt(usb->handle, usb->outEndpoint);
                if (clear != LIBUSB_SUCCESS)
                {
                    kxDebug_Printf(kxDebugUSB, "libusb WRITE error clearing halt: %d\n", clear);
                    ioFailure = true;
                }
            }
        }
    }
    if (ioFailure)
        return sFailure(usb);
    if (sent < n)
        return sSuccess(usb, kxErrWrite);
    return sSuccess(usb, kxErrNone);
}

kxErr lxusb_write_to_kernel_device(lxusb_device* usb, const uint8_t* bytes, uint32_t n)
{
    if (!sValid(usb))
        return kxErrParam;
    if (usb->mode != lxusbModeKernel || usb->fd < 0)
        return kxErrMode;
    if (bytes == nullptr && n > 0)
        return kxErrParam;
    uint32_t written = 0;
    for (int calls = 0; written < n && calls < lxusbMAX_KERNEL_WRITES; calls++)
    {
        ssize_t rc = write(usb->fd, bytes + written, n - written);
        if (rc < 0)
        {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return kxErrIO;
        }
        written += (uint32_t)rc;
    }
    return written == n ? kxErrNone : kxErrIO;
}

kxErr lxusb_get_from_device(lxusb_device* usb, uint8_t* byte)
{
    if (!sValid(usb) || byte == nullptr)
        return kxErrParam;
    if (usb->mode == lxusbModeKernel)
        return lxusb_get_from_kernel_device(usb, byte);
    if (usb->mode != lxusbModeLibusb)
        return kxErrMode;

    if (usb->available > 0)
    {
        *byte = usb->readBuffer[usb->readPointer++];
        usb->available--;
        return kxErrNone;
    }
    uint32_t state = usb->state;
    if (state != lxusbStateReady)
        return sNotReadyResult(usb, state, "READ");

    int received = 0;
    int rc = libusb_bulk_transfer(usb->handle, usb->inEndpoint, usb->readBuffer,
                                  lxusbREAD_BUFFER_SIZE, &received, lxusbREAD_TIMEOUT_MS);
    if ((rc == LIBUSB_SUCCESS || rc == LIBUSB_ERROR_TIMEOUT) && received > 0)
    {
        usb->available = (uint32_t)received - 1;
        usb->readPointer = 1;
        *byte = usb->readBuffer[0];
        return sSuccess(usb, kxErrNone);
    }
    if (rc == LIBUSB_SUCCESS || rc == LIBUSB_ERROR_TIMEOUT)
        return sSuccess(usb, kxErrNotReady);
    if (rc == LIBUSB_ERROR_PIPE)
    {
        int clear = libusb_clear_halt(usb->handle, usb->inEndpoint);
        if (clear == LIBUSB_SUCCESS)
            return sSuccess(usb, kxErrNotReady);
        // A halt that cannot be cleared is a failing device, not an empty one.
        kxDebug_Printf(kxDebugUSB, "libusb READ error clearing halt: %d\n", clear);
        return sFailure(usb);
    }
    kxDebug_Printf(kxDebugUSB, "libusb READ error bulk transfer: %d\n", rc);
    return sFailure(usb);
}

kxErr lxusb_get_from_kernel_device(lxusb_device* usb, uint8_t* byte)
{
    if (!sValid(usb) || byte == nullptr)
        return kxErrParam;
    if (usb->mode != lxusbModeKernel || usb->fd < 0)
        return kxErrMode;
    if (usb->available > 0)
    {
        *byte = usb->readBuffer[usb->readPointer++];
        usb->available--;
        return kxErrNone;
    }
    // Wait for bytes as long as a bulk read would, so the reading thread
    // still notices a stop request; then take what is there in one read.
    struct pollfd waiter = {usb->fd, POLLIN, 0};
    int ready = poll(&waiter, 1, lxusbREAD_TIMEOUT_MS);
    if (ready == 0 || (ready < 0 && errno == EINTR))
        return kxErrNotReady;
    ssize_t rc = read(usb->fd, usb->readBuffer, lxusbREAD_BUFFER_SIZE);
    if (rc > 0)
    {
        usb->available = (uint32_t)rc - 1;
        usb->readPointer = 1;
        *byte = usb->readBuffer[0];
        return kxErrNone;
    }
    if (rc == 0)
    {
        // Nothing to read from a device that has hung up: it is gone, and
        // reporting "not ready" would keep the reader polling it forever.
        if (ready > 0 && (waiter.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            return kxErrIO;
        return kxErrNotReady;
    }
    if (errno == EFAULT || errno == EAGAIN || errno == EINTR)
        return kxErrNotReady;
    return kxErrIO;
}

kxErr lxusb_close_lumbrixon_device(lxusb_device* usb)
{
    if (!sValid(usb))
        return kxErrParam;
    if (usb->mode == lxusbModeLibusb)
    {
        if (usb->handle == nullptr)
            return kxErrMode;
        if (usb->state == lxusbStateReady || usb->state == lxusbStateFailed)
            (void)libusb_release_interface(usb->handle, usb->interfaceNumber);
        libusb_close(usb->handle);
        usb->handle = nullptr;
        usb->state = lxusbStateClosed;
        sForgetInterface(usb);
        return kxErrNone;
    }
    if (usb->mode == lxusbModeKernel)
    {
        if (usb->fd < 0)
            return kxErrMode;
        int rc = close(usb->fd);
        usb->fd = -1;
        usb->available = 0;
        usb->readPointer = 0;
        usb->state = lxusbStateClosed;
        return rc == 0 ? kxErrNone : kxErrCancel;
    }
    return kxErrMode;
}

kxErr lxusb_destroy(lxusb_device** usb)
{
    if (usb == nullptr)
        return kxErrParam;
    lxusb_device* record = *usb;
    *usb = nullptr;
    if (!sValid(record))
        return kxErrParam;
    // Only a record's own mode ever opens a handle or a device file, so the
    // close of that mode finds whatever is still open (and refuses, harmlessly,
    // when nothing is).
    (void)lxusb_close_lumbrixon_device(record);
    record->check = 0;
    delete record;
    return kxErrNone;
}

uint32_t lxusb_get_state(const lxusb_device* usb)
{
    return sValid(usb) ? usb->state.load() : 0;
}

uint32_t lxusb_get_mode(const lxusb_device* usb)
{
    return sValid(usb) ? usb->mode : 0;
}

uint16_t lxusb_get_in_max_packet(const lxusb_device* usb)
{
    return sValid(usb) ? usb->inMaxPacket : 0;
}

uint16_t lxusb_get_out_max_packet(const lxusb_device* usb)
{
    return sValid(usb) ? usb->outMaxPacket : 0;
}
