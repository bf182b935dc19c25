// UEI value helpers.
#include "Uei.h"

namespace modsim
{

bool isUeiCommand(uint8_t command)
{
    switch (command)
    {
        case 0:
        case 1:
        case 2:
        case cmdSLOT:
        case cmdI2C:
        case 9:
        case cmdDEBUG:
        case 24:
        case cmdINFO:
        case cmdFACTORY:
        case 95:
        case 173:
        case 175:
            return false;
        default:
            return true;
    }
}

size_t valueSize(ValueType type)
{
    switch (type)
    {
        case ValueType::Byte:
            return 1;
        case ValueType::Short:
            return 2;
        case ValueType::Int:
            return 4;
        default:
            return 0;
    }
}

void putValue(std::vector<uint8_t>& out, ValueType type, uint32_t value)
{
    size_t n = valueSize(type);
    for (size_t i = n; i > 0; i--)
        out.push_back((uint8_t)(value >> (8 * (i - 1))));
}

uint32_t takeValue(const uint8_t* bytes, size_t size)
{
    uint32_t v = 0;
    for (size_t i = 0; i < size; i++)
        v = (v << 8) | bytes[i];
    return v;
}

uint32_t Option::current(int subIndex) const
{
    if (read)
        return read();
    if (!sub.empty())
    {
        auto it = sub.find(subIndex < 0 ? 0 : (uint8_t)subIndex);
        return it == sub.end() ? 0 : it->second;
    }
    return value;
}

std::vector<uint8_t> Option::currentBytes() const
{
    return readBytes ? readBytes() : bytes;
}

std::vector<std::vector<uint8_t>> segmentBytes(const std::vector<uint8_t>& head,
                                               const std::vector<uint8_t>& value, size_t per)
{
    std::vector<std::vector<uint8_t>> out;
    size_t at = 0;
    uint8_t sequence = 0;
    do
    {
        size_t n = value.size() - at < per ? value.size() - at : per;
        std::vector<uint8_t> seg = head;
        seg.insert(seg.end(), value.begin() + (long)at, value.begin() + (long)(at + n));
        at += n;
        bool more = at < value.size();
        seg.push_back((uint8_t)((sequence & 0x7F) | (more ? 0x80 : 0)));
        out.push_back(std::move(seg));
        sequence = (uint8_t)((sequence + 1) & 0x7F);
    } while (at < value.size());
    return out;
}

} // namespace modsim
