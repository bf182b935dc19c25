// Emulated Lumbrixon USB modules: sysfs entries and usbdevfs answers through umockdev.
#include "usb_fake.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

namespace usbsim
{

namespace
{

const uint8_t _outEndpoint = 0x01;
const uint8_t _inEndpoint = 0x81;
const uint8_t _serialIndex = 3;

// One submitted URB that has not been reaped yet.
struct _Urb
{
    UMockdevIoctlData* urb = nullptr; // the usbdevfs_urb (a reference is held)
    UMockdevIoctlData* buffer = nullptr;
    bool done = false;
};

void _unref(_Urb& u)
{
    if (u.buffer)
        umockdev_ioctl_data_unref(u.buffer);
    if (u.urb)
        umockdev_ioctl_data_unref(u.urb);
    u.buffer = u.urb = nullptr;
}

void _put16(std::vector<uint8_t>& v, uint16_t x)
{
    v.push_back((uint8_t)(x & 0xFF));
    v.push_back((uint8_t)(x >> 8));
}

std::vector<uint8_t> _descriptors(const FakeModuleConfig& c)
{
    std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 0, 0, 0, 64};
    _put16(d, c.vendor);
    _put16(d, c.product);
    _put16(d, 0x0100);
    d.insert(d.end(), {1, 2, _serialIndex, 1});
    uint8_t endpoints = (uint8_t)((c.withInEndpoint ? 1 : 0) + (c.withOutEndpoint ? 1 : 0));
    uint16_t total = (uint16_t)(9 + 9 + 7 * endpoints);
    d.insert(d.end(), {9, 2});
    _put16(d, total);
    d.insert(d.end(), {1, 1, 0, 0x80, 50});
    d.insert(d.end(), {9, 4, 0, 0, endpoints, c.interfaceClass, c.interfaceSubClass,
                       c.interfaceProtocol, 0});
    if (c.withOutEndpoint)
    {
        d.insert(d.end(), {7, 5, _outEndpoint, c.endpointAttributes});
        _put16(d, c.maxPacket);
        d.push_back(0);
    }
    if (c.withInEndpoint)
    {
        d.insert(d.end(), {7, 5, _inEndpoint, c.endpointAttributes});
        _put16(d, c.maxPacket);
        d.push_back(0);
    }
    return d;
}

} // namespace

// One emulated module.
// Threads: the test's threads (FakeModule methods) and umockdev's handler
// thread (_handleIoctl) both touch every field under `lock`, the only lock; the
// OUT listener is called after it is released.
struct FakeModuleState
{
    mutable std::mutex lock;
    FakeModuleConfig config;
    std::string devnode;
    UMockdevIoctlBase* handler = nullptr;
    std::deque<FakeTransfer> inQueue;
    std::deque<FakeTransfer> outQueue;
    std::vector<std::vector<uint8_t>> outTransfers;
    std::vector<unsigned> clearedHalts;
    std::deque<_Urb> urbs;
    int clearHaltError = 0;
    int claimError = 0;
    int opens = 0;
    bool claimed = false;
    bool disconnected = false;
    std::string syspath;
    std::function<void(const std::vector<uint8_t>&)> outListener;
    // Accepted OUT data not yet handed to the listener.
    std::vector<std::vector<uint8_t>> toListener;
};

namespace
{

void _complete(UMockdevIoctlClient* client, long result, int error)
{
    umockdev_ioctl_client_complete(client, result, error);
}

// Answers a control transfer on endpoint 0: only string descriptors are asked.
void _control(FakeModuleState* s, usbdevfs_urb* urb, UMockdevIoctlData* buffer)
{
    if (buffer == nullptr || buffer->data_len < 8)
    {
        urb->status = -EPIPE;
        return;
    }
    const uint8_t* setup = buffer->data;
    uint8_t request = setup[1];
    uint8_t type = setup[3], index = setup[2];
    uint16_t length = (uint16_t)(setup[6] | (setup[7] << 8));
    std::vector<uint8_t> reply;
    if (request == 6 && type == 3 && index == 0)
        reply = {4, 3, 0x09, 0x04};
    else if (request == 6 && type == 3 && index == _serialIndex)
    {
        reply = {(uint8_t)(2 + 2 * s->config.serial.size()), 3};
        for (char ch : s->config.serial)
        {
            reply.push_back((uint8_t)ch);
            reply.push_back(0);
        }
    }
    else
    {
        urb->status = -EPIPE;
        return;
    }
    size_t n = reply.size();
    if (n > length)
        n = length;
    if (n > (size_t)buffer->data_len - 8)
        n = (size_t)buffer->data_len - 8;
    umockdev_ioctl_data_update(buffer, 8, reply.data(), (int)n);
    urb->actual_length = (int)n;
    urb->status = 0;
}

void _out(FakeModuleState* s, usbdevfs_urb* urb, UMockdevIoctlData* buffer)
{
    FakeTransfer t;
    if (!s->outQueue.empty())
    {
        t = s->outQueue.front();
        s->outQueue.pop_front();
    }
    if (t.kind == FakeTransfer::Stall)
    {
        urb->status = -EPIPE;
        urb->actual_length = 0;
        return;
    }
    if (t.kind == FakeTransfer::Fail)
    {
        urb->status = -t.error;
        urb->actual_length = 0;
        return;
    }
    size_t n = buffer ? (size_t)buffer->data_len : 0;
    if (t.limit != 0 && n > t.limit)
        n = t.limit;
    s->outTransfers.emplace_back(buffer ? buffer->data : nullptr,
                                 buffer ? buffer->data + n : nullptr);
    if (s->outListener)
        s->toListener.push_back(s->outTransfers.back());
    urb->actual_length = (int)n;
    urb->status = 0;
}

// Gives a pending IN transfer its queued answer; false when there is none yet.
bool _in(FakeModuleState* s, usbdevfs_urb* urb, UMockdevIoctlData* buffer)
{
    if (s->inQueue.empty())
        return false;
    FakeTransfer t = s->inQueue.front();
    s->inQueue.pop_front();
    urb->actual_length = 0;
    if (t.kind == FakeTransfer::Stall)
        urb->status = -EPIPE;
    else if (t.kind == FakeTransfer::Fail)
        urb->status = -t.error;
    else
    {
        size_t n = t.data.size();
        if (buffer == nullptr)
            n = 0;
        else if (n > (size_t)buffer->data_len)
            n = (size_t)buffer->data_len;
        if (n > 0)
            umockdev_ioctl_data_update(buffer, 0, t.data.data(), (int)n);
        urb->actual_length = (int)n;
        urb->status = 0;
    }
    return true;
}

void _submit(FakeModuleState* s, UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    GError* error = nullptr;
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
    if (urbData == nullptr)
    {
        g_clear_error(&error);
        _complete(client, -1, EFAULT);
        return;
    }
    usbdevfs_urb* urb = (usbdevfs_urb*)urbData->data;
    UMockdevIoctlData* buffer = nullptr;
    if (urb->buffer_length > 0)
    {
        buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                             (gsize)urb->buffer_length, &error);
        if (buffer == nullptr)
        {
            g_clear_error(&error);
            umockdev_ioctl_data_unref(urbData);
            _complete(client, -1, EFAULT);
            return;
        }
    }
    _Urb entry;
    entry.urb = urbData;
    entry.buffer = buffer;
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL)
    {
        _control(s, urb, buffer);
        entry.done = true;
    }
    else if (urb->endpoint == _outEndpoint)
    {
        _out(s, urb, buffer);
        entry.done = true;
    }
    else if (urb->endpoint != _inEndpoint)
    {
        _unref(entry);
        _complete(client, -1, EINVAL);
        return;
    }
    s->urbs.push_back(entry);
    _complete(client, 0, 0);
}

// Hands back one finished URB; false when none has finished.
bool _reapFinished(FakeModuleState* s, UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    for (auto it = s->urbs.begin(); it != s->urbs.end(); ++it)
    {
        if (!it->done)
            continue;
        GError* error = nullptr;
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
        if (slot == nullptr)
        {
            g_clear_error(&error);
            _complete(client, -1, EFAULT);
            return true;
        }
        _Urb u = *it;
        s->urbs.erase(it);
        umockdev_ioctl_data_set_ptr(slot, 0, u.urb);
        umockdev_ioctl_data_unref(slot);
        _complete(client, 0, 0);
        _unref(u);
        return true;
    }
    return false;
}

void _reap(FakeModuleState* s, UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    for (auto& u : s->urbs)
        if (!u.done)
            u.done = _in(s, (usbdevfs_urb*)u.urb->data, u.buffer);
    if (!_reapFinished(s, client, arg))
        _complete(client, -1, EAGAIN);
}

void _discard(FakeModuleState* s, UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    gulong address = 0;
    if (arg != nullptr && arg->data_len >= (gint)sizeof(gulong))
        memcpy(&address, arg->data, sizeof address);
    for (auto& u : s->urbs)
    {
        if (u.urb->client_addr == address && !u.done)
        {
            usbdevfs_urb* urb = (usbdevfs_urb*)u.urb->data;
            urb->status = -ENOENT;
            urb->actual_length = 0;
            u.done = true;
            _complete(client, 0, 0);
            return;
        }
    }
    _complete(client, -1, EINVAL);
}

void _answer(FakeModuleState* s, UMockdevIoctlClient* client);

gboolean _handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    FakeModuleState* s = (FakeModuleState*)user;
    std::function<void(const std::vector<uint8_t>&)> listener;
    std::vector<std::vector<uint8_t>> pending;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        _answer(s, client);
        if (!s->toListener.empty())
        {
            listener = s->outListener;
            pending.swap(s->toListener);
        }
    }
    for (const auto& data : pending)
        listener(data);
    return TRUE;
}

void _answer(FakeModuleState* s, UMockdevIoctlClient* client)
{
    gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (s->disconnected)
    {
        // Reaping still works after a disconnect, so that the transfers in
        // flight end (with -ENODEV) instead of waiting for ever.
        if ((request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) &&
            _reapFinished(s, client, arg))
            return;
        _complete(client, -1, ENODEV);
        return;
    }
    switch (request)
    {
        case USBDEVFS_GET_CAPABILITIES:
        {
            GError* error = nullptr;
            UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &error);
            if (caps == nullptr)
            {
                g_clear_error(&error);
                _complete(client, -1, EFAULT);
                break;
            }
            uint32_t value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                             USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
            umockdev_ioctl_data_update(caps, 0, (guint8*)&value, sizeof value);
            umockdev_ioctl_data_unref(caps);
            _complete(client, 0, 0);
            break;
        }
        case USBDEVFS_CLAIMINTERFACE:
            if (s->claimError != 0)
                _complete(client, -1, s->claimError);
            else
            {
                s->claimed = true;
                _complete(client, 0, 0);
            }
            break;
        case USBDEVFS_RELEASEINTERFACE:
            s->claimed = false;
            _complete(client, 0, 0);
            break;
        case USBDEVFS_CLEAR_HALT:
        {
            GError* error = nullptr;
            UMockdevIoctlData* ep = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), &error);
            if (ep == nullptr)
            {
                g_clear_error(&error);
                _complete(client, -1, EFAULT);
                break;
            }
            unsigned endpoint = 0;
            memcpy(&endpoint, ep->data, sizeof endpoint);
            umockdev_ioctl_data_unref(ep);
            s->clearedHalts.push_back(endpoint);
            if (s->clearHaltError != 0)
                _complete(client, -1, s->clearHaltError);
            else
                _complete(client, 0, 0);
            break;
        }
        case USBDEVFS_RESETEP:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_DISCONNECT_CLAIM:
            _complete(client, 0, 0);
            break;
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            _complete(client, -1, ENODATA);
            break;
        case USBDEVFS_SUBMITURB:
            _submit(s, client, arg);
            break;
        case USBDEVFS_REAPURBNDELAY:
        case USBDEVFS_REAPURB:
            _reap(s, client, arg);
            break;
        case USBDEVFS_DISCARDURB:
            _discard(s, client, arg);
            break;
        default:
            _complete(client, -1, ENOTTY);
            break;
    }
}

void _clientConnected(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer user)
{
    FakeModuleState* s = (FakeModuleState*)user;
    std::lock_guard<std::mutex> guard(s->lock);
    s->opens++;
}

} // namespace

FakeModule::FakeModule() : state_(new FakeModuleState) {}

FakeModule::~FakeModule()
{
    for (auto& u : state_->urbs)
        _unref(u);
}

void FakeModule::queueIn(const std::vector<uint8_t>& data)
{
    FakeTransfer t;
    t.data = data;
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->inQueue.push_back(t);
}

void FakeModule::queueInStall()
{
    FakeTransfer t;
    t.kind = FakeTransfer::Stall;
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->inQueue.push_back(t);
}

void FakeModule::queueInFailure(int error)
{
    FakeTransfer t;
    t.kind = FakeTransfer::Fail;
    t.error = error;
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->inQueue.push_back(t);
}

void FakeModule::queueOut(const FakeTransfer& transfer)
{
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->outQueue.push_back(transfer);
}

void FakeModule::setOutListener(std::function<void(const std::vector<uint8_t>& data)> listener)
{
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->outListener = std::move(listener);
}

void FakeModule::disconnect()
{
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->disconnected = true;
    // The transfers still waiting end with -ENODEV, which libusb reports as
    // LIBUSB_ERROR_NO_DEVICE once it reaps them.
    for (auto& u : state_->urbs)
    {
        if (u.done)
            continue;
        usbdevfs_urb* urb = (usbdevfs_urb*)u.urb->data;
        urb->status = -ENODEV;
        urb->actual_length = 0;
        u.done = true;
    }
}

void FakeModule::setClearHaltError(int error)
{
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->clearHaltError = error;
}

void FakeModule::setClaimError(int error)
{
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->claimError = error;
}

std::vector<std::vector<uint8_t>> FakeModule::outTransfers() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->outTransfers;
}

std::vector<uint8_t> FakeModule::outBytes() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    std::vector<uint8_t> all;
    for (const auto& t : state_->outTransfers)
        all.insert(all.end(), t.begin(), t.end());
    return all;
}

std::vector<unsigned> FakeModule::clearedHalts() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->clearedHalts;
}

int FakeModule::opens() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->opens;
}

bool FakeModule::claimed() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->claimed;
}

const FakeModuleConfig& FakeModule::config() const
{
    return state_->config;
}

struct FakeBus::Impl
{
    UMockdevTestbed* testbed = nullptr;
    std::vector<std::unique_ptr<FakeModule>> modules;
    int nextNumber = 2; // device 1 is the root hub
};

FakeBus::FakeBus() : impl_(new Impl)
{
    impl_->testbed = umockdev_testbed_new();
    if (impl_->testbed == nullptr)
        throw std::runtime_error("umockdev testbed could not be created");
}

FakeBus::~FakeBus()
{
    for (auto& m : impl_->modules)
    {
        GError* error = nullptr;
        umockdev_testbed_detach_ioctl(impl_->testbed, m->state_->devnode.c_str(), &error);
        g_clear_error(&error);
        if (m->state_->handler)
            g_object_unref(m->state_->handler);
        m->state_->handler = nullptr;
    }
    impl_->modules.clear();
    g_object_unref(impl_->testbed);
}

void FakeBus::removeModule(FakeModule& module)
{
    // The handler stays attached and the module's state alive until the bus
    // ends: open descriptors still reach it, and every request now fails.
    module.disconnect();
    FakeModuleState* s = module.state_.get();
    umockdev_testbed_uevent(impl_->testbed, s->syspath.c_str(), "remove");
    umockdev_testbed_remove_device(impl_->testbed, s->syspath.c_str());
}

bool FakeBus::available()
{
    const char* preload = getenv("LD_PRELOAD");
    return preload != nullptr && strstr(preload, "umockdev") != nullptr;
}

std::string fakeDescriptorsHex(const FakeModuleConfig& config)
{
    std::string hex;
    char two[3];
    for (uint8_t b : _descriptors(config))
    {
        snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

FakeModule& FakeBus::addModule(const FakeModuleConfig& config)
{
    int number = impl_->nextNumber++;
    char text[2048];
    snprintf(text, sizeof text,
             "P: /devices/pci0000:00/0000:00:14.0/usb1/1-%d\n"
             "N: bus/usb/001/%03d\n"
             "E: DEVNAME=/dev/bus/usb/001/%03d\n"
             "E: DEVTYPE=usb_device\n"
             "E: SUBSYSTEM=usb\n"
             "E: PRODUCT=%x/%x/100\n"
             "E: BUSNUM=001\n"
             "E: DEVNUM=%03d\n"
             "E: MAJOR=189\n"
             "E: MINOR=%d\n"
             "A: busnum=1\\n\n"
             "A: devnum=%d\\n\n"
             "A: dev=189:%d\\n\n"
             "A: speed=480\\n\n"
             "A: idVendor=%04x\\n\n"
             "A: idProduct=%04x\\n\n"
             "A: serial=%s\\n\n"
             "A: bConfigurationValue=1\\n\n"
             "A: bNumConfigurations=1\\n\n"
             "H: descriptors=%s\n",
             number - 1, number, number, config.vendor, config.product, number, number - 1, number,
             number - 1, config.vendor, config.product, config.serial.c_str(),
             fakeDescriptorsHex(config).c_str());
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(impl_->testbed, text, &error))
    {
        std::string message = error ? error->message : "unknown";
        g_clear_error(&error);
        throw std::runtime_error("umockdev device could not be added: " + message);
    }
    std::unique_ptr<FakeModule> module(new FakeModule);
    FakeModuleState* s = module->state_.get();
    s->config = config;
    char devnode[64];
    snprintf(devnode, sizeof devnode, "/dev/bus/usb/001/%03d", number);
    s->devnode = devnode;
    char syspath[96];
    snprintf(syspath, sizeof syspath, "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%d", number - 1);
    s->syspath = syspath;
    s->handler = umockdev_ioctl_base_new();
    g_signal_connect(s->handler, "handle-ioctl", G_CALLBACK(_handleIoctl), s);
    g_signal_connect(s->handler, "client-connected", G_CALLBACK(_clientConnected), s);
    if (!umockdev_testbed_attach_ioctl(impl_->testbed, devnode, s->handler, &error))
    {
        std::string message = error ? error->message : "unknown";
        g_clear_error(&error);
        throw std::runtime_error("umockdev ioctl handler could not be attached: " + message);
    }
    impl_->modules.push_back(std::move(module));
    return *impl_->modules.back();
}

} // namespace usbsim
