// The ROM bootloader of an LPC17xx part in ISP mode, as seen from its UART:
// bytes from the host go in, bytes for the host come out. No I/O and no
// clock here; tools/lpcsim/main.cpp puts it on a pseudo-terminal.
//
// What it does, as the chip's ROM does:
//   - autobaud: waits for "?" and takes the host's line speed at that moment;
//     answers "Synchronized\r\n", expects "Synchronized" back ("OK\r\n"), then
//     the crystal frequency in kHz ("OK\r\n");
//   - echoes every byte it receives while echo is on (the default; "A 0"/"A 1");
//   - the commands U (unlock 23130), P, E, I (sectors 0..29), W (write RAM,
//     UU-encoded lines with a decimal byte sum after every 20 lines and at the
//     end, answered "OK" or "RESEND"), R (read, the same the other way), C
//     (copy RAM to flash), M (compare), G (go), A, B (baud rate), J (part ID),
//     K (boot code version), N (serial number), each answered by a decimal
//     return code line;
//   - flash of 30 sectors (16 of 4 KB from 0, 14 of 32 KB from 0x10000),
//     programmed by AND as NOR flash is, so writing 0xFF leaves it as it is;
//     RAM at 0x10000000 (32 KB) and 0x2007C000 (32 KB).
// Prepare marks sectors for one erase or copy; a successful erase or copy
// protects its sectors again. Erase, copy and go need the unlock first.
//
// Threads: one thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace lpcsim
{

struct IspIdentity
{
    uint32_t partId = 0x26013F37; // LPC1768
    uint32_t serial[4] = {0x1A2B3C4D, 0x11223344, 0x55667788, 0x99AABBCC};
    uint32_t bootMajor = 4;
    uint32_t bootMinor = 1;
};

// Fault switches. Counts of -1 mean "every time".
struct IspFaults
{
    // Hears nothing, says nothing.
    bool silent = false;
    // Every reply line from this one on (1 = the first line sent) is garbled.
    long garbleFrom = 0;
    // Answers RESEND to this many data checksums (W) however right they are.
    long resend = 0;
    // Answers `code` to commands whose line begins with `prefix`, `count` times.
    struct Forced
    {
        std::string prefix;
        int code = 0;
        long count = -1;
    };
    std::vector<Forced> forced;
    // The line goes dead once this many bytes of W data have arrived.
    long dropAfter = -1;
};

class IspChip
{
public:
    static constexpr uint32_t FLASH_SIZE = 0x80000;
    static constexpr uint32_t SECTORS = 30;
    static constexpr uint32_t UNLOCK_CODE = 23130;

    // One byte for the host and the line speed it leaves the chip at.
    struct Out
    {
        uint8_t byte;
        uint32_t rate;
    };

    IspChip(const IspIdentity& identity, const IspFaults& faults);

    // A byte from the host, sent at `hostRate` bits per second. Once the chip
    // has taken a rate, a byte sent at another one arrives garbled.
    void Receive(uint8_t byte, uint32_t hostRate);

    // Bytes waiting to go to the host, oldest first.
    std::deque<Out> output;

    // The rate the chip's UART runs at; 0 while it waits for "?".
    uint32_t Rate() const { return rate; }
    bool Echo() const { return echo; }
    // Set by every erase and copy; the owner clears it once it has saved.
    bool flashChanged = false;
    std::vector<uint8_t> flash;

    // The vector table's checksum word makes words 0..7 sum to 0, so the
    // ROM would start the code after a reset.
    bool UserCodeValid() const;
    // Sector of a flash address, SECTORS when outside the flash.
    static uint32_t Sector(uint32_t address);
    static uint32_t SectorStart(uint32_t sector);
    static uint32_t SectorSize(uint32_t sector);

    // Receives one line of protocol trace (without line end).
    std::function<void(const std::string&)> trace;

private:
    enum class State
    {
        Autobaud,
        SyncString,
        Crystal,
        Command,
        WriteData,
        ReadData,
        Running,
        Dead,
    };

    void _line(const std::string& text);
    void _command(const std::string& text);
    void _write_line(const std::string& text);
    void _read_answer(const std::string& text);
    void _send_read_group();
    void _send(const std::string& text);
    void _reply(int code);
    void _trace(const std::string& text);
    uint8_t* _memory(uint32_t address, uint32_t count, bool writable);
    bool _prepared(uint32_t first, uint32_t last) const;
    void _protect(uint32_t first, uint32_t last);

    IspIdentity identity;
    IspFaults faults;
    State state = State::Autobaud;
    uint32_t rate = 0;
    bool echo = true;
    bool unlocked = false;
    std::vector<bool> prepared;
    std::vector<uint8_t> ram1;
    std::vector<uint8_t> ram2;
    std::string pending;
    long linesSent = 0;
    long dataReceived = 0;

    // A W or R transfer: where it goes, how much is done, and the group
    // since the last accepted checksum.
    uint32_t transferAddress = 0;
    uint32_t transferCount = 0;
    uint32_t transferDone = 0;
    uint32_t groupStart = 0;
    uint32_t groupLines = 0;
    uint32_t groupSum = 0;
};

} // namespace lpcsim
