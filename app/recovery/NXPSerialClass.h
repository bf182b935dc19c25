// The in-system-programming (ISP) protocol of the NXP LPC17xx ROM bootloader
// over a serial port: ASCII command lines answered by a decimal return-code
// line, binary data as UU-encoded lines in groups of 20 closed by a decimal
// byte sum that the far end answers "OK" or "RESEND".
//
// Every reply is awaited with a time-out; nothing here waits without bound.
// Operations return a kxErr: kxErrParam for an argument refused before
// sending or a non-zero ISP return code, kxErrIO for a reply that is not
// what the protocol allows, kxErrTimeout when the chip did not answer in
// time or refused a data group three times, or the stream's own error.
// LastProblem() says in words what went wrong with the last failed call.
//
// Threads: one thread at a time uses an object.
#pragma once

#include <lumbrixon/kxError.h>
#include <lumbrixon/kxStream.h>

#include <cstdint>
#include <string>

class NXPSerialClass
{
public:
    static constexpr float CRYSTAL_DEFAULT = 14.7456f; // MHz
    static constexpr const char* CRYSTAL_KEY = "Crystal";
    static constexpr uint32_t MAX_BYTES_PER_LINE = 45;
    static constexpr uint32_t LINES_PER_CHECKSUM = 20;
    static constexpr uint32_t MAX_READ_RETRY = 3;
    static constexpr uint32_t WRITE_ADDRESS = 0x10001000; // RAM staging area
    static constexpr int MAX_ERROR = 20;
    static constexpr uint32_t UNLOCK_CODE = 23130;
    static constexpr uint32_t SECTOR_COUNT = 30;

    // Flash sectors: start, size, number; the last row (start 0xFFFFFFFF,
    // sector 30) ends the table.
    struct Sector
    {
        uint32_t start;
        uint32_t size;
        uint32_t sector;
    };
    static const Sector _NXP_LPC17XX_sectors[];
    static const char* const ERROR_TEXT[];

    NXPSerialClass() = default;
    ~NXPSerialClass();
    NXPSerialClass(const NXPSerialClass&) = delete;
    NXPSerialClass& operator=(const NXPSerialClass&) = delete;

    // Opens the port at the first rate the client knows (2400 ... 230400)
    // that is not below `baud`; a request above 230400 opens at 9600.
    kxErr Connect(const char* port, uint32_t baud);
    // Takes an already open stream (owned from now on) as if connected at `baud`.
    void Attach(kxStream* stream, uint32_t baud);
    kxErr Disconnect();

    // "?", "Synchronized", the crystal frequency. A chip that is still
    // synchronised from an earlier session answers the probe with a return
    // code instead; that is accepted as it is (the rate it runs at is then
    // the one it took at the time).
    kxErr Sync();
    kxErr GetDeviceID();
    const uint32_t* DeviceID() const { return device_id; }
    kxErr GetBootLoaderVersion(uint8_t* major, uint8_t* minor);
    kxErr GetPartNumber(int64_t* part);
    // "G address T"; no reply is read (the chip leaves its bootloader).
    kxErr ExecuteFrom(uint32_t address);
    kxErr SetEcho(bool on);
    // Switches the chip to `baud` (one of the rates the client opens at and
    // the chip accepts), then opens the port again at that rate.
    kxErr SetBaudRate(uint32_t baud);
    kxErr Unlock();
    kxErr Prepare(uint32_t first, uint32_t last);
    kxErr Erase(uint32_t first, uint32_t last);
    // Refused unless flash is a multiple of 256 and count 256, 512, 1024 or 4096.
    kxErr CopyToFlash(uint32_t flash, uint32_t ram, uint32_t count);
    // count must be non-zero and a multiple of 4.
    kxErr Write(uint32_t ram, uint32_t count, const uint8_t* data);
    kxErr Read(uint32_t address, uint32_t count, uint8_t* data);

    bool Echo() const { return echo; }
    uint32_t Baud() const { return baud; }
    const std::string& LastProblem() const { return problem; }

    // The rate Connect opens at for a requested one.
    static uint32_t AcceptedRate(uint32_t baud);
    // 256, 512, 1024 or 4096: the smallest not below n (n itself above 4096).
    static uint32_t CopyLength(uint32_t n);
    // The sector holding the address; 30 outside the flash.
    static uint32_t SectorFromAddress(uint32_t address);
    // The text of the return code a line ends in; "Unknown error" otherwise.
    static const char* GetErrorText(const char* line);
    static uint32_t sum(const uint8_t* data, uint32_t count);
    // Writes uuchar(n) and 4 characters per 3 bytes (n <= 45), NUL-ended.
    static void uuencode(char* out, const uint8_t* data, uint32_t n);
    // Decodes one line into out (room bytes); returns the byte count, 0 when
    // the line's count exceeds room.
    static uint32_t uudecode(uint8_t* out, uint32_t room, const char* line);
    static char uuchar(uint32_t value);
    // The return code a reply line ends in (digits before the line end),
    // -1 when it ends in none or in a number above MAX_ERROR.
    static int ReturnCode(const std::string& line);

private:
    kxErr _send(const std::string& text, bool consumeEcho);
    kxErr _get_echo(const std::string& expected);
    kxErr _read_byte(uint8_t& byte, uint64_t deadline);
    kxErr _get_line(std::string& line, uint32_t timeoutMs);
    kxErr _status(const char* command, uint32_t timeoutMs);
    kxErr _number_lines(const char* command, uint32_t count, uint32_t* values);
    kxErr _fail(kxErr err, const std::string& what);
    uint32_t _char_ms(uint32_t characters) const;

    kxStream* stream = nullptr;
    bool echo = true;
    uint32_t baud = 0;
    char port_name[2048] = {};
    uint32_t device_id[4] = {0, 0, 0, 0};
    std::string problem;
};
