#include "app/recovery/NXPSerialClass.h"

#include "app/Log.h"
#include <lumbrixon/kxTime.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <time.h>

namespace
{
const uint32_t _rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
constexpr uint32_t _RATE_COUNT = sizeof _rates / sizeof _rates[0];
constexpr uint32_t _FALLBACK_RATE_INDEX = 2;

// How long the chip may take to start answering, on top of the time its
// answer takes on the line. The ROM answers within milliseconds; the margin
// is for a busy host.
constexpr uint32_t _REPLY_MS = 2000;
constexpr uint32_t _SYNC_MS = 1500;
constexpr uint32_t _CHECK_MS = 500;
constexpr uint32_t _ECHO_MS = 500;
constexpr uint32_t _CHECKSUM_MS = 3000;
// Erasing the whole flash takes the ROM a few seconds on the slowest parts.
constexpr uint32_t _ERASE_MS = 10000;
constexpr size_t _LINE_MAX = 256;

// Sleeps a little while the port has nothing: short enough that a reply is
// seen well within one character time at 115200 baud.
void _pause()
{
    struct timespec nap = {0, 250000};
    nanosleep(&nap, nullptr);
}

// The printable form of a reply for messages and the log.
std::string _visible(const std::string& text)
{
    std::string out;
    for (unsigned char c : text)
    {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c >= 0x20 && c < 0x7F)
            out += static_cast<char>(c);
        else
        {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out.size() > 80 ? out.substr(0, 80) + "..." : out;
}

// A whole line of one number, as strtoul with base 0 reads it.
bool _whole_number(const std::string& text, uint32_t& value)
{
    if (text.empty() || text.size() > 12 || text[0] == '-' || text[0] == '+' || text[0] == ' ')
    {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull)
    {
        return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

std::string _strip(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    {
        line.pop_back();
    }
    return line;
}

} // namespace

const NXPSerialClass::Sector NXPSerialClass::_NXP_LPC17XX_sectors[] = {
    {0x00000, 0x1000, 0},  {0x01000, 0x1000, 1},  {0x02000, 0x1000, 2},  {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},  {0x05000, 0x1000, 5},  {0x06000, 0x1000, 6},  {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},  {0x09000, 0x1000, 9},  {0x0A000, 0x1000, 10}, {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12}, {0x0D000, 0x1000, 13}, {0x0E000, 0x1000, 14}, {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16}, {0x18000, 0x8000, 17}, {0x20000, 0x8000, 18}, {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20}, {0x38000, 0x8000, 21}, {0x40000, 0x8000, 22}, {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24}, {0x58000, 0x8000, 25}, {0x60000, 0x8000, 26}, {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28}, {0x78000, 0x8000, 29}, {0xFFFFFFFF, 0, 30},
};

const char* const NXPSerialClass::ERROR_TEXT[] = {
    "CMD_SUCCESS",         "INVALID_COMMAND",
    "SRC_ADDR_ERROR",      "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",         "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",       "BUSY",
    "PARAM_ERROR",         "ADDR_ERROR",
    "ADDR_NOT_MAPPED",     "CMD_LOCKED",
    "INVALID_CODE",        "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

NXPSerialClass::~NXPSerialClass()
{
    Disconnect();
}

uint32_t NXPSerialClass::AcceptedRate(uint32_t requested)
{
    for (uint32_t rate : _rates)
    {
        if (rate >= requested)
        {
            return rate;
        }
    }
    return _rates[_FALLBACK_RATE_INDEX];
}

kxErr NXPSerialClass::Connect(const char* port, uint32_t requested)
{
    Disconnect();
    uint32_t index = _FALLBACK_RATE_INDEX;
    for (uint32_t i = 0; i < _RATE_COUNT; ++i)
    {
        if (_rates[i] >= requested)
        {
            index = i;
            break;
        }
    }
    Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%u(%u)\n", port, index,
             _rates[index]);
    kxErr err = kxStream_CreateSerial(port, index, 0, 0, 0, &stream);
    if (err != kxErrNone)
    {
        Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s\n", port,
                 kxError_GetErrorText(err));
        stream = nullptr;
        return _fail(err, std::string("the serial port could not be opened (") +
                              kxError_GetErrorText(err) + ")");
    }
    baud = _rates[index];
    snprintf(port_name, sizeof port_name, "%s", port);
    return kxErrNone;
}

void NXPSerialClass::Attach(kxStream* opened, uint32_t rate)
{
    Disconnect();
    stream = opened;
    baud = rate;
}

kxErr NXPSerialClass::Disconnect()
{
    if (stream != nullptr)
    {
        kxStream_Destroy(&stream);
    }
    return kxErrNone;
}

kxErr NXPSerialClass::_fail(kxErr err, const std::string& what)
{
    problem = what;
    Log::log(DEBUG_NXPSerial, "NXPSerial: %s\n", what.c_str());
    return err;
}

uint32_t NXPSerialClass::_char_ms(uint32_t characters) const
{
    uint32_t rate = baud != 0 ? baud : 115200;
    return static_cast<uint32_t>((static_cast<uint64_t>(characters) * 10 * 1000 + rate - 1) / rate);
}

kxErr NXPSerialClass::_read_byte(uint8_t& byte, uint64_t deadline)
{
    if (stream == nullptr)
    {
        return kxErrMode;
    }
    for (;;)
    {
        kxErr err = kxStream_Read(stream, &byte, 1);
        if (err != kxErrNotReady)
        {
            return err;
        }
        if (kxTime_GetMSTicks() >= deadline)
        {
            return kxErrTimeout;
        }
        _pause();
    }
}

kxErr NXPSerialClass::_send(const std::string& text, bool consumeEcho)
{
    if (stream == nullptr)
    {
        return _fail(kxErrMode, "the serial port is not open");
    }
    if (Log::package_bitmask & DEBUG_NXPSerial_E)
    {
        std::string hex;
        for (size_t i = 0; i < text.size() && i < 64; ++i)
        {
            char b[4];
            snprintf(b, sizeof b, "%s%02X", i == 0 ? "" : " ", static_cast<uint8_t>(text[i]));
            hex += b;
        }
        Log::log(DEBUG_NXPSerial_E, "Sending:[%s] [%s]\n", hex.c_str(), _visible(text).c_str());
    }
    kxErr err = kxStream_Write(stream, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    if (err != kxErrNone)
    {
        Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", kxError_GetErrorText(err));
        return _fail(err, std::string("writing to the serial port failed (") +
                              kxError_GetErrorText(err) + ")");
    }
    if (consumeEcho && echo && text.size() > 1)
    {
        return _get_echo(text.substr(0, text.size() - 1));
    }
    return kxErrNone;
}

kxErr NXPSerialClass::_get_echo(const std::string& expected)
{
    uint64_t deadline =
        kxTime_GetMSTicks() + _ECHO_MS + _char_ms(static_cast<uint32_t>(expected.size()));
    size_t matched = 0;
    while (matched < expected.size())
    {
        uint8_t byte = 0;
        kxErr err = _read_byte(byte, deadline);
        if (err == kxErrTimeout)
        {
            Log::log(DEBUG_NXPSerial, "Error SendCommand() bad echo [%zu!=%zu]\n", matched,
                     expected.size());
            return _fail(kxErrTimeout, "the chip did not echo [" + _visible(expected) + "]");
        }
        if (err != kxErrNone)
        {
            return _fail(err, std::string("reading the serial port failed (") +
                                  kxError_GetErrorText(err) + ")");
        }
        if (byte == static_cast<uint8_t>(expected[matched]))
        {
            ++matched;
        }
        else
        {
            Log::log(DEBUG_NXPSerial_SR, " %02X!=%02X", byte,
                     static_cast<uint8_t>(expected[matched]));
        }
    }
    return kxErrNone;
}

kxErr NXPSerialClass::_get_line(std::string& line, uint32_t timeoutMs)
{
    line.clear();
    uint64_t deadline = kxTime_GetMSTicks() + timeoutMs;
    while (line.size() < _LINE_MAX)
    {
        uint8_t byte = 0;
        kxErr err = _read_byte(byte, deadline);
        if (err != kxErrNone)
        {
            if (err == kxErrTimeout)
            {
                return _fail(kxErrTimeout, line.empty() ? "no answer from the chip"
                                                        : "the chip's answer stopped short [" +
                                                              _visible(line) + "]");
            }
            return _fail(err, std::string("reading the serial port failed (") +
                                  kxError_GetErrorText(err) + ")");
        }
        // Line ends left over from an echo or an earlier line start nothing.
        if (line.empty() && (byte == '\n' || byte == '\r'))
        {
            continue;
        }
        line += static_cast<char>(byte);
        if (byte == '\n')
        {
            break;
        }
    }
    Log::log(DEBUG_NXPSerial_SR, "Received:[%s]\n", _visible(line).c_str());
    return kxErrNone;
}

int NXPSerialClass::ReturnCode(const std::string& text)
{
    std::string line = _strip(text);
    size_t start = line.size();
    while (start > 0 && line[start - 1] >= '0' && line[start - 1] <= '9')
    {
        --start;
    }
    size_t digits = line.size() - start;
    if (digits == 0 || digits > 3)
    {
        return -1;
    }
    int code = atoi(line.c_str() + start);
    return code > MAX_ERROR ? -1 : code;
}

const char* NXPSerialClass::GetErrorText(const char* line)
{
    int code = line != nullptr ? ReturnCode(line) : -1;
    return code < 0 || code > MAX_ERROR ? ERROR_TEXT[MAX_ERROR] : ERROR_TEXT[code];
}

kxErr NXPSerialClass::_status(const char* command, uint32_t timeoutMs)
{
    std::string line;
    kxErr err = _get_line(line, timeoutMs);
    if (err != kxErrNone)
    {
        problem = std::string(command) + ": " + problem;
        return err;
    }
    int code = ReturnCode(line);
    if (code < 0)
    {
        return _fail(kxErrIO, std::string(command) + ": unexpected reply [" + _visible(line) + "]");
    }
    if (code != 0)
    {
        Log::log(DEBUG_NXPSerial, "Error response ==>[%s]\n", ERROR_TEXT[code]);
        char text[160];
        snprintf(text, sizeof text, "%s: the chip answered %d %s", command, code, ERROR_TEXT[code]);
        return _fail(kxErrParam, text);
    }
    return kxErrNone;
}

kxErr NXPSerialClass::_number_lines(const char* command, uint32_t count, uint32_t* values)
{
    for (uint32_t i = 0; i < count; ++i)
    {
        std::string line;
        kxErr err = _get_line(line, _REPLY_MS + _char_ms(12));
        if (err != kxErrNone)
        {
            problem = std::string(command) + ": " + problem;
            return err;
        }
        if (!_whole_number(_strip(line), values[i]))
        {
            return _fail(kxErrIO,
                         std::string(command) + ": unexpected reply [" + _visible(line) + "]");
        }
    }
    return kxErrNone;
}

kxErr NXPSerialClass::Sync()
{
    kxErr err = _send("?", false);
    if (err != kxErrNone)
    {
        return err;
    }
    // Up to "Synchronized\r\n"; a chip that is synchronised already echoes
    // the "?" (or says nothing with its echo off) and waits for a line end.
    std::string reply;
    uint64_t deadline = kxTime_GetMSTicks() + _SYNC_MS + _char_ms(14);
    while (reply.size() < 14)
    {
        uint8_t byte = 0;
        err = _read_byte(byte, deadline);
        if (err == kxErrTimeout)
        {
            break;
        }
        if (err != kxErrNone)
        {
            Log::log(DEBUG_NXPSerial,
                     "Did not receive correct response to opening sync command: [%s]. "
                     "Response: [%s]\n",
                     "?", _visible(reply).c_str());
            return _fail(err, std::string("reading the serial port failed (") +
                                  kxError_GetErrorText(err) + ")");
        }
        reply += static_cast<char>(byte);
        if (byte == '\n')
        {
            break;
        }
        // Once the answer has begun, the rest follows at line speed.
        deadline = kxTime_GetMSTicks() + _ECHO_MS + _char_ms(14);
    }
    if (reply.empty() || reply == "?")
    {
        bool echoing = reply == "?";
        err = _send("\r\n", false);
        std::string line;
        if (err == kxErrNone)
        {
            err = _get_line(line, _CHECK_MS + _char_ms(5));
        }
        if (err != kxErrNone || ReturnCode(line) < 0)
        {
            return _fail(err != kxErrNone ? err : static_cast<kxErr>(kxErrIO),
                         "no answer to the synchronisation");
        }
        echo = echoing;
        Log::log(DEBUG_NXPSerial, "The chip is synchronised already (echo %s)\n",
                 echo ? "on" : "off");
        return kxErrNone;
    }
    if (reply != "Synchronized\r\n")
    {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n",
                 _visible(reply).c_str());
    }
    // The bootloader starts with its echo on.
    echo = true;
    std::string line;
    err = _send("Synchronized\r\n", true);
    if (err == kxErrNone)
    {
        err = _get_line(line, _REPLY_MS + _char_ms(4));
    }
    if (err != kxErrNone)
    {
        problem = "synchronisation: " + problem;
        return err;
    }
    if (line.compare(0, 2, "OK") != 0)
    {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n",
                 _visible(line).c_str(), "OK\\r\\n");
        return _fail(kxErrIO, "synchronisation: unexpected reply [" + _visible(line) + "]");
    }
    char crystal[16];
    snprintf(crystal, sizeof crystal, "%d\r\n",
             static_cast<int>(std::lround(CRYSTAL_DEFAULT * 1000.0f)));
    err = _send(crystal, true);
    if (err == kxErrNone)
    {
        err = _get_line(line, _REPLY_MS + _char_ms(4));
    }
    if (err != kxErrNone)
    {
        problem = "crystal frequency: " + problem;
        return err;
    }
    if (line.compare(0, 2, "OK") != 0)
    {
        return _fail(kxErrIO, "crystal frequency: unexpected reply [" + _visible(line) + "]");
    }
    return kxErrNone;
}

kxErr NXPSerialClass::GetDeviceID()
{
    kxErr err = _send("N\r\n", true);
    if (err == kxErrNone)
    {
        err = _status("serial number", _REPLY_MS);
    }
    uint32_t words[4];
    if (err == kxErrNone)
    {
        err = _number_lines("serial number", 4, words);
    }
    if (err == kxErrNone)
    {
        memcpy(device_id, words, sizeof device_id);
    }
    return err;
}

kxErr NXPSerialClass::GetBootLoaderVersion(uint8_t* major, uint8_t* minor)
{
    kxErr err = _send("K\r\n", true);
    if (err == kxErrNone)
    {
        err = _status("boot code version", _REPLY_MS);
    }
    uint32_t values[2];
    if (err == kxErrNone)
    {
        err = _number_lines("boot code version", 2, values);
    }
    if (err != kxErrNone)
    {
        return err;
    }
    if (major != nullptr)
        *major = static_cast<uint8_t>(values[0]);
    if (minor != nullptr)
        *minor = static_cast<uint8_t>(values[1]);
    Log::log(DEBUG_NXPSerial, "Device responded with version: %u.%u\n", values[0], values[1]);
    return kxErrNone;
}

kxErr NXPSerialClass::GetPartNumber(int64_t* part)
{
    kxErr err = _send("J\r\n", true);
    if (err == kxErrNone)
    {
        err = _status("part ID", _REPLY_MS);
    }
    uint32_t value = 0;
    if (err == kxErrNone)
    {
        err = _number_lines("part ID", 1, &value);
    }
    if (err != kxErrNone)
    {
        return err;
    }
    if (part != nullptr)
        *part = value;
    Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n",
             static_cast<long long>(value));
    return kxErrNone;
}

kxErr NXPSerialClass::ExecuteFrom(uint32_t address)
{
    return _send("G " + std::to_string(address) + " T\r\n", true);
}

kxErr NXPSerialClass::SetEcho(bool on)
{
    kxErr err = _send(on ? "A 1\r\n" : "A 0\r\n", true);
    if (err == kxErrNone)
    {
        err = _status(on ? "echo on" : "echo off", _REPLY_MS);
    }
    if (err == kxErrNone)
    {
        echo = on;
    }
    return err;
}

kxErr NXPSerialClass::SetBaudRate(uint32_t rate)
{
    if (AcceptedRate(rate) != rate)
    {
        return _fail(kxErrParam, "baud rate " + std::to_string(rate) + " is not supported");
    }
    if (rate == baud)
    {
        return kxErrNone;
    }
    kxErr err = _send("B " + std::to_string(rate) + " 1\r\n", true);
    if (err == kxErrNone)
    {
        err = _status("baud rate", _REPLY_MS);
    }
    if (err != kxErrNone)
    {
        return err;
    }
    // The chip changes its rate once the return code is out; the port follows.
    std::string port = port_name;
    if (port.empty())
    {
        return _fail(kxErrMode, "baud rate: the port cannot be opened again");
    }
    return Connect(port.c_str(), rate);
}

kxErr NXPSerialClass::Unlock()
{
    kxErr err = _send("U " + std::to_string(UNLOCK_CODE) + "\r\n", true);
    return err != kxErrNone ? err : _status("unlock", _REPLY_MS);
}

kxErr NXPSerialClass::Prepare(uint32_t first, uint32_t last)
{
    if (last < first)
    {
        return _fail(kxErrParam, "prepare: sector range refused");
    }
    kxErr err = _send("P " + std::to_string(first) + " " + std::to_string(last) + "\r\n", true);
    return err != kxErrNone ? err : _status("prepare", _REPLY_MS);
}

kxErr NXPSerialClass::Erase(uint32_t first, uint32_t last)
{
    if (last < first)
    {
        return _fail(kxErrParam, "erase: sector range refused");
    }
    kxErr err = _send("E " + std::to_string(first) + " " + std::to_string(last) + "\r\n", true);
    return err != kxErrNone ? err : _status("erase", _ERASE_MS);
}

kxErr NXPSerialClass::CopyToFlash(uint32_t flash, uint32_t ram, uint32_t count)
{
    if (flash % 256 != 0 || (count != 256 && count != 512 && count != 1024 && count != 4096))
    {
        return _fail(kxErrParam, "copy to flash: address or count refused");
    }
    kxErr err = _send("C " + std::to_string(flash) + " " + std::to_string(ram) + " " +
                          std::to_string(count) + "\r\n",
                      true);
    return err != kxErrNone ? err : _status("copy to flash", _REPLY_MS);
}

kxErr NXPSerialClass::Write(uint32_t ram, uint32_t count, const uint8_t* data)
{
    if (count == 0 || count % 4 != 0 || data == nullptr)
    {
        return _fail(kxErrParam, "write: count refused");
    }
    kxErr err = _send("W " + std::to_string(ram) + " " + std::to_string(count) + "\r\n", true);
    if (err == kxErrNone)
    {
        err = _status("write", _REPLY_MS);
    }
    if (err != kxErrNone)
    {
        Log::log(DEBUG_NXPSerial_SR, "Write() Error response ==>[%s]\n", problem.c_str());
        return err;
    }
    uint32_t checkpoint = 0;
    uint32_t resends = 0;
    while (checkpoint < count)
    {
        // One group: up to 20 lines, then the byte sum. Without echo the
        // group goes out in one piece.
        std::string group;
        uint32_t at = checkpoint;
        for (uint32_t lines = 0; lines < LINES_PER_CHECKSUM && at < count; ++lines)
        {
            uint32_t n = count - at < MAX_BYTES_PER_LINE ? count - at : MAX_BYTES_PER_LINE;
            char line[2 + 4 * (MAX_BYTES_PER_LINE / 3) + 1];
            uuencode(line, data + at, n);
            at += n;
            if (echo)
            {
                err = _send(std::string(line) + "\r\n", true);
                if (err != kxErrNone)
                {
                    return err;
                }
            }
            else
            {
                group += line;
                group += "\r\n";
            }
        }
        uint32_t groupSum = sum(data + checkpoint, at - checkpoint);
        Log::log(DEBUG_NXPSerial_SR, "Write() Checksum: %08X (%u)\n", groupSum, groupSum);
        group += std::to_string(groupSum) + "\r\n";
        err = _send(group, true);
        std::string reply;
        uint64_t asked = kxTime_GetMSTicks();
        if (err == kxErrNone)
        {
            err = _get_line(reply, _CHECKSUM_MS);
        }
        Log::log(DEBUG_NXPSerial_SR, "Write() waited for checksum %llu ms\n",
                 static_cast<unsigned long long>(kxTime_GetMSTicks() - asked));
        if (err != kxErrNone)
        {
            problem = "write: data checksum: " + problem;
            return err;
        }
        if (reply == "OK\r\n")
        {
            checkpoint = at;
            Log::log(DEBUG_NXPSerial_SR, "Write() valid transfer of %u of %u (%.0f%%) bytes\n",
                     checkpoint, count, 100.0 * checkpoint / count);
        }
        else if (reply == "RESEND\r\n")
        {
            if (++resends >= MAX_READ_RETRY)
            {
                Log::log(DEBUG_NXPSerial_SR, "Write() exceeded retries\n");
                return _fail(kxErrTimeout, "write: the chip refused the data checksum " +
                                               std::to_string(resends) + " times");
            }
        }
        else
        {
            Log::log(DEBUG_NXPSerial_SR, "Write() unexpected response [%s]\n",
                     _visible(reply).c_str());
            return _fail(kxErrIO,
                         "write: unexpected reply to the data checksum [" + _visible(reply) + "]");
        }
    }
    return kxErrNone;
}

kxErr NXPSerialClass::Read(uint32_t address, uint32_t count, uint8_t* data)
{
    if (count == 0 || count % 4 != 0 || data == nullptr)
    {
        return _fail(kxErrParam, "read: count refused");
    }
    kxErr err = _send("R " + std::to_string(address) + " " + std::to_string(count) + "\r\n", true);
    if (err == kxErrNone)
    {
        err = _status("read", _REPLY_MS);
    }
    if (err != kxErrNone)
    {
        return err;
    }
    uint32_t checkpoint = 0;
    uint32_t mismatches = 0;
    while (checkpoint < count)
    {
        uint32_t at = checkpoint;
        for (uint32_t lines = 0; lines < LINES_PER_CHECKSUM && at < count; ++lines)
        {
            std::string line;
            err = _get_line(line, _REPLY_MS + _char_ms(63));
            if (err != kxErrNone)
            {
                problem = "read: " + problem;
                return err;
            }
            uint32_t n = uudecode(data + at, count - at, _strip(line).c_str());
            if (n == 0)
            {
                return _fail(kxErrIO, "read: unexpected data line [" + _visible(line) + "]");
            }
            at += n;
        }
        uint32_t chipSum = 0;
        err = _number_lines("read checksum", 1, &chipSum);
        if (err != kxErrNone)
        {
            return err;
        }
        if (chipSum == sum(data + checkpoint, at - checkpoint))
        {
            err = _send("OK\r\n", true);
            if (err != kxErrNone)
            {
                return err;
            }
            checkpoint = at;
            Log::log(DEBUG_NXPSerial_SR, "valid receipt of %u of %u (%.0f%%) bytes\n", checkpoint,
                     count, 100.0 * checkpoint / count);
            continue;
        }
        if (++mismatches >= MAX_READ_RETRY)
        {
            return _fail(kxErrTimeout, "read: the data checksum did not match " +
                                           std::to_string(mismatches) + " times");
        }
        err = _send("RESEND\r\n", true);
        if (err != kxErrNone)
        {
            return err;
        }
    }
    return kxErrNone;
}

uint32_t NXPSerialClass::CopyLength(uint32_t n)
{
    for (uint32_t length : {256u, 512u, 1024u, 4096u})
    {
        if (n <= length)
        {
            return length;
        }
    }
    Log::log(DEBUG_NXPSerial, "Copy length is too large. %u > 4096.\n", n);
    return n;
}

uint32_t NXPSerialClass::SectorFromAddress(uint32_t address)
{
    for (const Sector* s = _NXP_LPC17XX_sectors; s->start != 0xFFFFFFFF; ++s)
    {
        if (address >= s->start && address - s->start < s->size)
        {
            return s->sector;
        }
    }
    return SECTOR_COUNT;
}

uint32_t NXPSerialClass::sum(const uint8_t* data, uint32_t count)
{
    uint32_t total = 0;
    for (uint32_t i = 0; i < count; ++i)
    {
        total += data[i];
    }
    return total;
}

char NXPSerialClass::uuchar(uint32_t value)
{
    value &= 0x3F;
    return value == 0 ? '`' : static_cast<char>(0x20 + value);
}

void NXPSerialClass::uuencode(char* out, const uint8_t* data, uint32_t n)
{
    if (n > MAX_BYTES_PER_LINE)
    {
        n = MAX_BYTES_PER_LINE;
    }
    char* o = out;
    *o++ = uuchar(n);
    for (uint32_t i = 0; i < n; i += 3)
    {
        uint32_t b0 = data[i];
        uint32_t b1 = i + 1 < n ? data[i + 1] : 0;
        uint32_t b2 = i + 2 < n ? data[i + 2] : 0;
        *o++ = uuchar(b0 >> 2);
        *o++ = uuchar((b0 << 4) | (b1 >> 4));
        *o++ = uuchar((b1 << 2) | (b2 >> 6));
        *o++ = uuchar(b2);
    }
    *o = '\0';
}

uint32_t NXPSerialClass::uudecode(uint8_t* out, uint32_t room, const char* line)
{
    if (line == nullptr || line[0] == '\0')
    {
        return 0;
    }
    uint32_t count = (static_cast<uint8_t>(line[0]) - 0x20) & 0x3F;
    if (count > room)
    {
        return 0;
    }
    size_t length = strlen(line);
    uint32_t done = 0;
    for (size_t at = 1; done < count; at += 4)
    {
        if (at + 4 > length)
        {
            Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
            break;
        }
        uint32_t v = 0;
        for (size_t k = 0; k < 4; ++k)
        {
            v = (v << 6) | ((static_cast<uint8_t>(line[at + k]) - 0x20) & 0x3F);
        }
        for (int k = 2; k >= 0 && done < count; --k)
        {
            out[done++] = static_cast<uint8_t>(v >> (8 * k));
        }
    }
    return done;
}
