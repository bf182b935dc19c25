// The LPC ISP bootloader simulator (tools/lpcsim) run as a child process for
// one test, and a host side on its pseudo-terminal for the tests that speak
// the protocol themselves.
#pragma once

#include "tests/support/TempDir.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

class LpcSim
{
public:
    LpcSim() = default;
    ~LpcSim() { Stop(); }
    LpcSim(const LpcSim&) = delete;
    LpcSim& operator=(const LpcSim&) = delete;

    // Starts `lpcsim ARGS --trace T --flash-out F`; false when it does not
    // print its terminal's path within a few seconds.
    bool Start(const std::vector<std::string>& args = {});
    // Ends it (SIGTERM, then SIGKILL after two seconds); it saves its flash.
    void Stop();

    const std::string& Port() const { return port; }
    std::string Trace() const;
    // The trace without the lines of data groups.
    std::string Commands() const;
    // The flash as last saved (512 KB, or empty before any erase or copy).
    std::vector<uint8_t> Flash() const;

private:
    TempDir dir;
    pid_t pid = -1;
    std::string port;
};

// The host's end of the line: the simulator's terminal opened raw at a speed.
class IspHost
{
public:
    IspHost(const std::string& port, uint32_t baud);
    ~IspHost();
    IspHost(const IspHost&) = delete;
    IspHost& operator=(const IspHost&) = delete;

    bool Open() const { return fd >= 0; }
    void SetBaud(uint32_t baud);
    void Send(const std::string& text);
    // Everything that arrives until `count` bytes are there or `timeoutMs`
    // passed.
    std::string Receive(size_t count, int timeoutMs = 2000);
    // What arrives until the text ends in `end`, or `timeoutMs` passed.
    std::string ReceiveUntil(const std::string& end, int timeoutMs = 2000);
    // Sends text and returns the reply up to and including `end`.
    std::string Ask(const std::string& text, const std::string& end, int timeoutMs = 2000);

private:
    int fd = -1;
};

// A firmware payload of `size` pseudo-random bytes. With `vectorTable` its
// first eight words are a vector table whose checksum word is right.
std::vector<uint8_t> MakeFirmware(size_t size, uint32_t seed, bool vectorTable);
