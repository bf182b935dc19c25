// Emulated Lumbrixon USB modules for tests.
//
// A FakeBus is one umockdev testbed; each FakeModule added to it appears to
// libusb as a USB device with the vendor interface and a bulk OUT and a bulk IN
// endpoint, and answers the usbdevfs requests libusb sends. The process must
// run under umockdev-wrapper (LD_PRELOAD of umockdev's preload library).
//
// Threads: the test's own threads call the FakeModule methods; umockdev's
// handler thread answers the device's requests. Both take the module's one
// mutex; no callback runs with it held.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace usbsim
{

struct FakeModuleConfig
{
    uint16_t vendor = 0x5A17;
    uint16_t product = 0x0010;
    std::string serial = "40F5849A";
    uint8_t interfaceClass = 0xFF;
    uint8_t interfaceSubClass = 0x88;
    uint8_t interfaceProtocol = 0x10;
    uint16_t maxPacket = 512;
    uint8_t endpointAttributes = 0x02; // transfer type of both endpoints: 2 bulk, 3 interrupt
    bool withInEndpoint = true;
    bool withOutEndpoint = true;
};

// What the module does with one bulk transfer.
struct FakeTransfer
{
    enum Kind
    {
        Data,  // IN: deliver `data`; OUT: accept up to `limit` bytes (0 = all)
        Stall, // the endpoint halts (-EPIPE)
        Fail,  // the transfer ends with -`error`
    };
    Kind kind = Data;
    std::vector<uint8_t> data;
    int error = 0;
    uint32_t limit = 0;
};

class FakeBus;
struct FakeModuleState;

class FakeModule
{
public:
    // Queues the answer to the next IN transfer. IN transfers without a queued
    // answer wait until one is queued or libusb gives up on them.
    void queueIn(const std::vector<uint8_t>& data);
    void queueInStall();
    void queueInFailure(int error);
    // Queues the handling of the next OUT transfer (by default every OUT
    // transfer is accepted whole).
    void queueOut(const FakeTransfer& transfer);
    // Called on umockdev's handler thread with the data of every accepted OUT
    // transfer, without the module's lock held: a listener may queue answers.
    void setOutListener(std::function<void(const std::vector<uint8_t>& data)> listener);
    // From now on every request to the device fails with ENODEV, as when a
    // module is unplugged or restarts; transfers in flight end with -ENODEV
    // and can still be reaped, as usbfs allows.
    void disconnect();
    // Makes clear-halt requests fail with the given errno (0: succeed).
    void setClearHaltError(int error);
    // Makes claim-interface requests fail with the given errno (0: succeed).
    void setClaimError(int error);

    // The data of every accepted OUT transfer, in order.
    std::vector<std::vector<uint8_t>> outTransfers() const;
    std::vector<uint8_t> outBytes() const;
    // Endpoints whose halt was cleared, in order.
    std::vector<unsigned> clearedHalts() const;
    // How many times the device node was opened.
    int opens() const;
    bool claimed() const;
    const FakeModuleConfig& config() const;

    ~FakeModule();

private:
    friend class FakeBus;
    FakeModule();
    std::unique_ptr<FakeModuleState> state_;
};

class FakeBus
{
public:
    FakeBus();
    ~FakeBus();
    FakeBus(const FakeBus&) = delete;
    FakeBus& operator=(const FakeBus&) = delete;

    // Adds a module; the reference stays valid for the bus's lifetime.
    FakeModule& addModule(const FakeModuleConfig& config);
    // Disconnects the module, announces its removal and takes it off the bus.
    // The reference stays valid (and the module refuses every request).
    void removeModule(FakeModule& module);
    // True when the process runs under umockdev's preload library.
    static bool available();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The hex text of the device and configuration descriptors of a module.
std::string fakeDescriptorsHex(const FakeModuleConfig& config);

} // namespace usbsim
