// Parsing of the fault switches.
#include "Faults.h"

#include <cctype>
#include <cstdlib>

namespace modsim
{

const char* const kFaultOptionsHelp =
    "Faults (for the module they follow; \"every Nth\" counts per connection):\n"
    "  --drop N                 do not send every Nth packet\n"
    "  --drop-in N              ignore every Nth packet received\n"
    "  --corrupt N[:BYTE[:MASK]]  XOR byte BYTE (0 address, 1 length, 2.. data; default 0)\n"
    "                           of every Nth packet sent with hex MASK (default 01)\n"
    "  --delay MS               send every reply MS milliseconds late\n"
    "  --garbage N              send raw garbage bytes before every Nth reply\n"
    "  --garbage-bytes HEX      the garbage (default 05FF00)\n"
    "  --close-after N[,every]  orderly close (FIN) after N packets received\n"
    "  --reset-after N[,every]  reset (RST) after N packets received\n"
    "  --silent-after N[,every] stop answering after N packets received\n"
    "  --close-on EVENT[#K][,every]  orderly close on the (Kth) event\n"
    "  --reset-on EVENT[#K][,every]  reset on the (Kth) event\n"
    "  --silent-on EVENT[#K][,every] stop answering on the (Kth) event\n"
    "  --silent                 never answer\n"
    "  A cut fires once, or with \",every\" once on every connection.\n"
    "  Events: connect, sync, route-on, route-off, heartbeat, heartbeat-answer,\n"
    "  heartbeat-missed.\n";

namespace
{

bool _number(const std::string& text, unsigned& value, bool allowZero = false)
{
    if (text.empty() || text.size() > 9)
        return false;
    for (char c : text)
        if (!isdigit((unsigned char)c))
            return false;
    value = (unsigned)strtoul(text.c_str(), nullptr, 10);
    return allowZero || value > 0;
}

// Splits off a trailing ",every".
std::string _every(const std::string& value, bool& repeat)
{
    const std::string suffix = ",every";
    repeat = value.size() > suffix.size() &&
             value.compare(value.size() - suffix.size(), suffix.size(), suffix) == 0;
    return repeat ? value.substr(0, value.size() - suffix.size()) : value;
}

struct _Option
{
    const char* name;
    bool value;
};

const _Option _options[] = {
    {"--drop", true},        {"--drop-in", true},     {"--corrupt", true},
    {"--delay", true},       {"--garbage", true},     {"--garbage-bytes", true},
    {"--close-after", true}, {"--reset-after", true}, {"--silent-after", true},
    {"--close-on", true},    {"--reset-on", true},    {"--silent-on", true},
    {"--silent", false},
};

CutKind _kindOf(const std::string& name)
{
    if (name.rfind("--reset", 0) == 0)
        return CutKind::Reset;
    if (name.rfind("--silent", 0) == 0)
        return CutKind::Silence;
    return CutKind::Close;
}

} // namespace

bool isFaultOption(const std::string& name, bool& takesValue)
{
    for (const _Option& o : _options)
        if (name == o.name)
        {
            takesValue = o.value;
            return true;
        }
    return false;
}

bool parseEventName(const std::string& text, std::string& event, unsigned& occurrence)
{
    size_t hash = text.find('#');
    event = text.substr(0, hash);
    occurrence = 1;
    if (event.empty())
        return false;
    for (char c : event)
        if (!(isalnum((unsigned char)c) || c == '-' || c == ':' || c == '_'))
            return false;
    return hash == std::string::npos || _number(text.substr(hash + 1), occurrence);
}

bool parseHexBytes(const std::string& text, std::vector<uint8_t>& bytes)
{
    bytes.clear();
    std::string digits;
    for (size_t i = 0; i < text.size(); i++)
    {
        char c = text[i];
        if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X'))
        {
            if (digits.size() % 2 != 0)
                return false;
            i++;
            continue;
        }
        if (c == ' ' || c == ',' || c == ':')
        {
            if (digits.size() % 2 != 0)
                return false;
            continue;
        }
        if (!isxdigit((unsigned char)c))
            return false;
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back((uint8_t)strtoul(digits.substr(i, 2).c_str(), nullptr, 16));
    return true;
}

bool applyFaultOption(Faults& faults, const std::string& name, const std::string& value,
                      std::string& error)
{
    auto bad = [&](const char* what)
    {
        error = name + " " + value + ": " + what;
        return false;
    };
    unsigned n = 0;
    if (name == "--drop" || name == "--drop-in" || name == "--garbage")
    {
        if (!_number(value, n))
            return bad("expected a count of at least 1");
        (name == "--drop"      ? faults.dropEvery
         : name == "--drop-in" ? faults.dropInEvery
                               : faults.garbageEvery) = n;
        return true;
    }
    if (name == "--delay")
    {
        if (!_number(value, n, true))
            return bad("expected milliseconds");
        faults.delayMs = n;
        return true;
    }
    if (name == "--garbage-bytes")
    {
        if (!parseHexBytes(value, faults.garbage))
            return bad("expected hex bytes");
        return true;
    }
    if (name == "--corrupt")
    {
        size_t c1 = value.find(':');
        size_t c2 = c1 == std::string::npos ? c1 : value.find(':', c1 + 1);
        unsigned byte = 0;
        std::vector<uint8_t> mask = {0x01};
        if (!_number(value.substr(0, c1), n))
            return bad("expected N[:BYTE[:MASK]]");
        if (c1 != std::string::npos &&
            (!_number(value.substr(c1 + 1, c2 - c1 - 1), byte, true) || byte > 29))
            return bad("BYTE must be 0 to 29");
        if (c2 != std::string::npos &&
            (!parseHexBytes(value.substr(c2 + 1), mask) || mask.size() != 1 || mask[0] == 0))
            return bad("MASK must be one non-zero hex byte");
        faults.corruptEvery = n;
        faults.corruptByte = byte;
        faults.corruptMask = mask[0];
        return true;
    }
    if (name == "--silent")
    {
        faults.silent = true;
        return true;
    }
    CutRule rule;
    rule.kind = _kindOf(name);
    std::string text = _every(value, rule.repeat);
    if (name == "--close-after" || name == "--reset-after" || name == "--silent-after")
    {
        if (!_number(text, rule.afterPackets))
            return bad("expected a count of at least 1");
    }
    else if (name == "--close-on" || name == "--reset-on" || name == "--silent-on")
    {
        if (!parseEventName(text, rule.onEvent, rule.occurrence))
            return bad("expected EVENT or EVENT#K");
    }
    else
    {
        error = "unknown fault switch " + name;
        return false;
    }
    faults.cuts.push_back(rule);
    return true;
}

} // namespace modsim
