#include "IspChip.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace lpcsim
{
namespace
{
// ISP return codes.
enum Code
{
    CMD_SUCCESS = 0,
    INVALID_COMMAND = 1,
    SRC_ADDR_ERROR = 2,
    DST_ADDR_ERROR = 3,
    SRC_ADDR_NOT_MAPPED = 4,
    DST_ADDR_NOT_MAPPED = 5,
    COUNT_ERROR = 6,
    INVALID_SECTOR = 7,
    SECTOR_NOT_BLANK = 8,
    SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION = 9,
    COMPARE_ERROR = 10,
    PARAM_ERROR = 12,
    ADDR_ERROR = 13,
    ADDR_NOT_MAPPED = 14,
    CMD_LOCKED = 15,
    INVALID_CODE = 16,
    INVALID_BAUD_RATE = 17,
    INVALID_STOP_BIT = 18,
};

constexpr uint32_t RAM1_START = 0x10000000;
constexpr uint32_t RAM2_START = 0x2007C000;
constexpr uint32_t RAM_SIZE = 0x8000;
constexpr size_t LINE_MAX = 512;
constexpr uint32_t LINES_PER_GROUP = 20;
constexpr uint32_t BYTES_PER_LINE = 45;

// A byte sent at the wrong speed reaches the UART as some other byte.
uint8_t _garbled(uint8_t byte)
{
    return static_cast<uint8_t>(0x80 | ((byte * 7 + 0x1D) & 0x7F));
}

// The words of a command line; false when one is not a decimal number
// (the letter itself is word 0 and not checked).
bool _numbers(const std::vector<std::string>& words, std::vector<uint32_t>& values)
{
    for (size_t i = 1; i < words.size(); ++i)
    {
        const std::string& w = words[i];
        if (w.empty() || w.size() > 10 || w.find_first_not_of("0123456789") != std::string::npos)
        {
            return false;
        }
        unsigned long long v = strtoull(w.c_str(), nullptr, 10);
        if (v > 0xFFFFFFFFull)
        {
            return false;
        }
        values.push_back(static_cast<uint32_t>(v));
    }
    return true;
}

char _uu(uint32_t v)
{
    v &= 0x3F;
    return v == 0 ? '`' : static_cast<char>(0x20 + v);
}

std::string _uu_line(const uint8_t* data, uint32_t n)
{
    std::string line(1, _uu(n));
    for (uint32_t i = 0; i < n; i += 3)
    {
        uint32_t b0 = data[i];
        uint32_t b1 = i + 1 < n ? data[i + 1] : 0;
        uint32_t b2 = i + 2 < n ? data[i + 2] : 0;
        line += _uu(b0 >> 2);
        line += _uu(((b0 << 4) | (b1 >> 4)) & 0x3F);
        line += _uu(((b1 << 2) | (b2 >> 6)) & 0x3F);
        line += _uu(b2 & 0x3F);
    }
    return line;
}

// Decodes one UU line; the count comes from its first character. Missing
// characters decode as 0, as a sloppy line would on the chip.
std::vector<uint8_t> _uu_decode(const std::string& line)
{
    std::vector<uint8_t> out;
    if (line.empty())
    {
        return out;
    }
    uint32_t count = (static_cast<uint8_t>(line[0]) - 0x20) & 0x3F;
    auto six = [&](size_t at) -> uint32_t
    { return at < line.size() ? (static_cast<uint8_t>(line[at]) - 0x20) & 0x3F : 0; };
    for (size_t at = 1; out.size() < count; at += 4)
    {
        uint32_t v = (six(at) << 18) | (six(at + 1) << 12) | (six(at + 2) << 6) | six(at + 3);
        for (int k = 2; k >= 0 && out.size() < count; --k)
        {
            out.push_back(static_cast<uint8_t>(v >> (8 * k)));
        }
    }
    return out;
}

} // namespace

IspChip::IspChip(const IspIdentity& identity, const IspFaults& faults)
    : flash(FLASH_SIZE, 0xFF), identity(identity), faults(faults), prepared(SECTORS, false),
      ram1(RAM_SIZE, 0), ram2(RAM_SIZE, 0)
{
}

uint32_t IspChip::Sector(uint32_t address)
{
    if (address < 0x10000)
    {
        return address / 0x1000;
    }
    if (address < FLASH_SIZE)
    {
        return 16 + (address - 0x10000) / 0x8000;
    }
    return SECTORS;
}

uint32_t IspChip::SectorStart(uint32_t sector)
{
    return sector < 16 ? sector * 0x1000 : 0x10000 + (sector - 16) * 0x8000;
}

uint32_t IspChip::SectorSize(uint32_t sector)
{
    return sector < 16 ? 0x1000 : 0x8000;
}

bool IspChip::UserCodeValid() const
{
    uint32_t sum = 0;
    for (int w = 0; w < 8; ++w)
    {
        uint32_t word = 0;
        memcpy(&word, flash.data() + 4 * w, 4); // little-endian host, as the chip
        sum += word;
    }
    return sum == 0;
}

void IspChip::_trace(const std::string& text)
{
    if (trace)
    {
        trace(text);
    }
}

void IspChip::_send(const std::string& text)
{
    ++linesSent;
    bool garble = faults.garbleFrom > 0 && linesSent >= faults.garbleFrom;
    _trace("> " + text + (garble ? "   (garbled)" : ""));
    std::string line = text + "\r\n";
    for (size_t i = 0; i < line.size(); ++i)
    {
        char c = line[i];
        if (garble && i + 2 < line.size())
        {
            c = '#';
        }
        output.push_back({static_cast<uint8_t>(c), rate});
    }
}

void IspChip::_reply(int code)
{
    _send(std::to_string(code));
}

void IspChip::Receive(uint8_t byte, uint32_t hostRate)
{
    if (faults.silent || state == State::Running || state == State::Dead)
    {
        return;
    }
    if (state == State::Autobaud)
    {
        // Anything but the sync character is noise to the autobaud routine.
        if (byte == '?')
        {
            rate = hostRate;
            echo = true;
            _trace("autobaud: " + std::to_string(rate) + " baud");
            _send("Synchronized");
            state = State::SyncString;
            pending.clear();
        }
        return;
    }
    if (hostRate != rate)
    {
        byte = _garbled(byte);
    }
    if (echo)
    {
        output.push_back({byte, rate});
    }
    if (byte != '\n')
    {
        if (pending.size() < LINE_MAX)
        {
            pending += static_cast<char>(byte);
        }
        return;
    }
    std::string text = pending;
    pending.clear();
    if (!text.empty() && text.back() == '\r')
    {
        text.pop_back();
    }
    _line(text);
}

void IspChip::_line(const std::string& text)
{
    switch (state)
    {
        case State::SyncString:
            _trace("< " + text);
            if (text == "Synchronized")
            {
                _send("OK");
                state = State::Crystal;
            }
            else
            {
                // Not the answer the autobaud routine waits for: it starts over.
                _trace("sync failed: back to autobaud");
                state = State::Autobaud;
                rate = 0;
            }
            break;
        case State::Crystal:
            _trace("< " + text);
            if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos)
            {
                _send("OK");
                state = State::Command;
            }
            else
            {
                state = State::Autobaud;
                rate = 0;
            }
            break;
        case State::Command:
            _trace("< " + text);
            _command(text);
            break;
        case State::WriteData:
            _write_line(text);
            break;
        case State::ReadData:
            _trace("< " + text);
            _read_answer(text);
            break;
        default:
            break;
    }
}

uint8_t* IspChip::_memory(uint32_t address, uint32_t count, bool writable)
{
    uint64_t end = static_cast<uint64_t>(address) + count;
    if (address >= RAM1_START && end <= RAM1_START + RAM_SIZE)
    {
        return ram1.data() + (address - RAM1_START);
    }
    if (address >= RAM2_START && end <= RAM2_START + RAM_SIZE)
    {
        return ram2.data() + (address - RAM2_START);
    }
    if (!writable && end <= FLASH_SIZE)
    {
        return flash.data() + address;
    }
    return nullptr;
}

bool IspChip::_prepared(uint32_t first, uint32_t last) const
{
    for (uint32_t s = first; s <= last; ++s)
    {
        if (!prepared[s])
        {
            return false;
        }
    }
    return true;
}

void IspChip::_protect(uint32_t first, uint32_t last)
{
    for (uint32_t s = first; s <= last; ++s)
    {
        prepared[s] = false;
    }
}

void IspChip::_command(const std::string& text)
{
    std::vector<std::string> words;
    std::istringstream split(text);
    for (std::string w; split >> w;)
    {
        words.push_back(w);
    }
    if (words.empty())
    {
        return;
    }
    for (IspFaults::Forced& forced : faults.forced)
    {
        if (forced.count != 0 && text.compare(0, forced.prefix.size(), forced.prefix) == 0)
        {
            if (forced.count > 0)
            {
                --forced.count;
            }
            _trace("fault: forced return code " + std::to_string(forced.code));
            _reply(forced.code);
            return;
        }
    }
    std::vector<uint32_t> n;
    const std::string& letter = words[0];
    // G ends in a mode letter, every other command in numbers only.
    bool go = letter == "G" && words.size() == 3 && (words[2] == "T" || words[2] == "A");
    if (letter.size() != 1 ||
        !_numbers(go ? std::vector<std::string>(words.begin(), words.end() - 1) : words, n))
    {
        _reply(letter.size() == 1 && strchr("UPEIWRCMGABJKN", letter[0]) != nullptr
                   ? PARAM_ERROR
                   : INVALID_COMMAND);
        return;
    }
    auto wants = [&](size_t count)
    {
        if (n.size() != count)
        {
            _reply(PARAM_ERROR);
            return false;
        }
        return true;
    };
    switch (letter[0])
    {
        case 'U':
            if (!wants(1))
                return;
            unlocked = n[0] == UNLOCK_CODE;
            _reply(unlocked ? CMD_SUCCESS : INVALID_CODE);
            return;
        case 'A':
            if (!wants(1))
                return;
            if (n[0] > 1)
            {
                _reply(PARAM_ERROR);
                return;
            }
            _reply(CMD_SUCCESS);
            echo = n[0] == 1;
            return;
        case 'B':
        {
            if (!wants(2))
                return;
            static const uint32_t rates[] = {9600, 19200, 38400, 57600, 115200, 230400};
            bool known = false;
            for (uint32_t r : rates)
            {
                known = known || r == n[0];
            }
            if (!known)
            {
                _reply(INVALID_BAUD_RATE);
                return;
            }
            if (n[1] != 1 && n[1] != 2)
            {
                _reply(INVALID_STOP_BIT);
                return;
            }
            // The return code still goes out at the old rate.
            _reply(CMD_SUCCESS);
            rate = n[0];
            _trace("baud rate: " + std::to_string(rate));
            return;
        }
        case 'J':
            if (!wants(0))
                return;
            _reply(CMD_SUCCESS);
            _send(std::to_string(identity.partId));
            return;
        case 'K':
            if (!wants(0))
                return;
            _reply(CMD_SUCCESS);
            _send(std::to_string(identity.bootMajor));
            _send(std::to_string(identity.bootMinor));
            return;
        case 'N':
            if (!wants(0))
                return;
            _reply(CMD_SUCCESS);
            for (uint32_t word : identity.serial)
            {
                _send(std::to_string(word));
            }
            return;
        case 'P':
        case 'E':
        case 'I':
        {
            if (!wants(2))
                return;
            if (n[0] > n[1] || n[1] >= SECTORS)
            {
                _reply(INVALID_SECTOR);
                return;
            }
            if (letter[0] == 'P')
            {
                for (uint32_t s = n[0]; s <= n[1]; ++s)
                {
                    prepared[s] = true;
                }
                _reply(CMD_SUCCESS);
                return;
            }
            if (letter[0] == 'I')
            {
                uint32_t start = SectorStart(n[0]);
                uint32_t end = SectorStart(n[1]) + SectorSize(n[1]);
                for (uint32_t a = start; a < end; a += 4)
                {
                    uint32_t word = 0;
                    memcpy(&word, flash.data() + a, 4);
                    if (word != 0xFFFFFFFF)
                    {
                        _reply(SECTOR_NOT_BLANK);
                        _send(std::to_string(a));
                        _send(std::to_string(word));
                        return;
                    }
                }
                _reply(CMD_SUCCESS);
                return;
            }
            if (!unlocked)
            {
                _reply(CMD_LOCKED);
                return;
            }
            if (!_prepared(n[0], n[1]))
            {
                _reply(SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION);
                return;
            }
            uint32_t start = SectorStart(n[0]);
            uint32_t end = SectorStart(n[1]) + SectorSize(n[1]);
            memset(flash.data() + start, 0xFF, end - start);
            _protect(n[0], n[1]);
            flashChanged = true;
            _reply(CMD_SUCCESS);
            return;
        }
        case 'W':
        case 'R':
        {
            if (!wants(2))
                return;
            if (n[0] % 4 != 0)
            {
                _reply(ADDR_ERROR);
                return;
            }
            if (n[1] % 4 != 0)
            {
                _reply(COUNT_ERROR);
                return;
            }
            if (_memory(n[0], n[1], letter[0] == 'W') == nullptr)
            {
                _reply(ADDR_NOT_MAPPED);
                return;
            }
            _reply(CMD_SUCCESS);
            transferAddress = n[0];
            transferCount = n[1];
            transferDone = groupStart = groupLines = groupSum = 0;
            if (n[1] == 0)
            {
                return;
            }
            if (letter[0] == 'W')
            {
                state = State::WriteData;
            }
            else
            {
                state = State::ReadData;
                _send_read_group();
            }
            return;
        }
        case 'C':
        {
            if (!wants(3))
                return;
            uint32_t dst = n[0], src = n[1], count = n[2];
            if (!unlocked)
            {
                _reply(CMD_LOCKED);
                return;
            }
            if (src % 4 != 0)
            {
                _reply(SRC_ADDR_ERROR);
                return;
            }
            if (dst % 256 != 0)
            {
                _reply(DST_ADDR_ERROR);
                return;
            }
            uint8_t* from = _memory(src, count, true);
            if (from == nullptr)
            {
                _reply(SRC_ADDR_NOT_MAPPED);
                return;
            }
            if (static_cast<uint64_t>(dst) + count > FLASH_SIZE)
            {
                _reply(DST_ADDR_NOT_MAPPED);
                return;
            }
            if (count != 256 && count != 512 && count != 1024 && count != 4096)
            {
                _reply(COUNT_ERROR);
                return;
            }
            uint32_t first = Sector(dst), last = Sector(dst + count - 1);
            if (!_prepared(first, last))
            {
                _reply(SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION);
                return;
            }
            for (uint32_t i = 0; i < count; ++i)
            {
                flash[dst + i] &= from[i];
            }
            _protect(first, last);
            flashChanged = true;
            _reply(CMD_SUCCESS);
            return;
        }
        case 'M':
        {
            if (!wants(3))
                return;
            if (n[0] % 4 != 0 || n[1] % 4 != 0)
            {
                _reply(ADDR_ERROR);
                return;
            }
            if (n[2] % 4 != 0)
            {
                _reply(COUNT_ERROR);
                return;
            }
            const uint8_t* a = _memory(n[0], n[2], false);
            const uint8_t* b = _memory(n[1], n[2], false);
            if (a == nullptr || b == nullptr)
            {
                _reply(ADDR_NOT_MAPPED);
                return;
            }
            for (uint32_t i = 0; i < n[2]; i += 4)
            {
                if (memcmp(a + i, b + i, 4) != 0)
                {
                    _reply(COMPARE_ERROR);
                    _send(std::to_string(i));
                    return;
                }
            }
            _reply(CMD_SUCCESS);
            return;
        }
        case 'G':
        {
            if (!go)
            {
                _reply(PARAM_ERROR);
                return;
            }
            if (!unlocked)
            {
                _reply(CMD_LOCKED);
                return;
            }
            _reply(CMD_SUCCESS);
            _trace(std::string("go: the user code is ") +
                   (UserCodeValid() ? "valid, the chip starts it"
                                    : "not valid, a reset brings back the ROM bootloader"));
            state = State::Running;
            return;
        }
        default:
            _reply(INVALID_COMMAND);
            return;
    }
}

void IspChip::_write_line(const std::string& text)
{
    bool checksumDue = groupLines == LINES_PER_GROUP || transferDone == transferCount;
    if (!checksumDue)
    {
        std::vector<uint8_t> bytes = _uu_decode(text);
        uint32_t room = transferCount - transferDone;
        if (bytes.size() > room)
        {
            bytes.resize(room);
        }
        uint8_t* to =
            _memory(transferAddress + transferDone, static_cast<uint32_t>(bytes.size()), true);
        for (size_t i = 0; i < bytes.size(); ++i)
        {
            to[i] = bytes[i];
            groupSum += bytes[i];
        }
        transferDone += static_cast<uint32_t>(bytes.size());
        ++groupLines;
        dataReceived += static_cast<long>(bytes.size());
        if (faults.dropAfter >= 0 && dataReceived >= faults.dropAfter)
        {
            _trace("fault: the line drops after " + std::to_string(dataReceived) +
                   " bytes of data");
            state = State::Dead;
        }
        return;
    }
    bool number = !text.empty() && text.size() <= 10 &&
                  text.find_first_not_of("0123456789") == std::string::npos;
    uint32_t sum = number ? static_cast<uint32_t>(strtoull(text.c_str(), nullptr, 10)) : 0;
    std::string group = std::to_string(groupLines) + " data lines, " +
                        std::to_string(transferDone - groupStart) + " bytes, sum " +
                        std::to_string(groupSum) + ", host says " + text;
    bool resend = !number || sum != groupSum;
    if (!resend && faults.resend != 0)
    {
        if (faults.resend > 0)
        {
            --faults.resend;
        }
        group += " (fault)";
        resend = true;
    }
    _trace("< " + group);
    groupLines = 0;
    groupSum = 0;
    if (resend)
    {
        transferDone = groupStart;
        _send("RESEND");
        return;
    }
    groupStart = transferDone;
    _send("OK");
    if (transferDone == transferCount)
    {
        state = State::Command;
    }
}

void IspChip::_send_read_group()
{
    const uint8_t* from = _memory(transferAddress, transferCount, false);
    uint32_t at = groupStart;
    uint32_t sum = 0;
    for (uint32_t lines = 0; lines < LINES_PER_GROUP && at < transferCount; ++lines)
    {
        uint32_t n = std::min(BYTES_PER_LINE, transferCount - at);
        for (uint32_t i = 0; i < n; ++i)
        {
            sum += from[at + i];
        }
        ++linesSent;
        std::string line = _uu_line(from + at, n) + "\r\n";
        for (char c : line)
        {
            output.push_back({static_cast<uint8_t>(c), rate});
        }
        at += n;
    }
    transferDone = at;
    _trace("> data lines up to " + std::to_string(at) + " of " + std::to_string(transferCount));
    _send(std::to_string(sum));
}

void IspChip::_read_answer(const std::string& text)
{
    if (text == "OK")
    {
        groupStart = transferDone;
        if (transferDone == transferCount)
        {
            state = State::Command;
            return;
        }
    }
    else if (text != "RESEND")
    {
        // The ROM keeps waiting for one of its two answers.
        return;
    }
    _send_read_group();
}

} // namespace lpcsim
