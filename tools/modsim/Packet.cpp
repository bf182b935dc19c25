// The module's receivers and frame encoders for raw and COBS-framed transports.
#include "Packet.h"

#include <lumbrixon/cobs.h>
#include <lumbrixon/crc8.h>

#include <cstdio>

namespace modsim
{

std::vector<uint8_t> Packet::wire() const
{
    std::vector<uint8_t> w;
    w.reserve(data.size() + 2);
    w.push_back(address);
    w.push_back((uint8_t)data.size());
    w.insert(w.end(), data.begin(), data.end());
    return w;
}

std::string hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char two[4];
    for (size_t i = 0; i < bytes.size(); i++)
    {
        snprintf(two, sizeof two, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += two;
    }
    return text;
}

namespace
{

void _junk(std::vector<Received>& out, const std::vector<uint8_t>& bytes, const char* why)
{
    // Consecutive rejected bytes of the same kind make one entry.
    if (!out.empty() && !out.back().isPacket && out.back().why == why)
    {
        out.back().bytes.insert(out.back().bytes.end(), bytes.begin(), bytes.end());
        return;
    }
    Received r;
    r.bytes = bytes;
    r.why = why;
    out.push_back(std::move(r));
}

void _packet(std::vector<Received>& out, const std::vector<uint8_t>& wire)
{
    Received r;
    r.isPacket = true;
    r.bytes = wire;
    r.packet.address = wire[0];
    r.packet.data.assign(wire.begin() + 2, wire.end());
    out.push_back(std::move(r));
}

// Packets back to back: an address byte (never 0), a length byte (at most
// 28), the data. A zero address or an over-long length is thrown away and the
// next byte is taken as an address again.
class RawDeframer : public Deframer
{
public:
    void feed(const uint8_t* bytes, size_t n, std::vector<Received>& out) override
    {
        for (size_t i = 0; i < n; i++)
        {
            uint8_t b = bytes[i];
            if (pending_.empty())
            {
                if (b == 0)
                    _junk(out, {b}, "zero address");
                else
                    pending_.push_back(b);
                continue;
            }
            if (pending_.size() == 1 && b > kMaxData)
            {
                pending_.push_back(b);
                _junk(out, pending_, "length over 28");
                pending_.clear();
                continue;
            }
            pending_.push_back(b);
            if (pending_.size() == (size_t)pending_[1] + 2)
            {
                _packet(out, pending_);
                pending_.clear();
            }
        }
    }

private:
    std::vector<uint8_t> pending_;
};

// Frames ended by 0x00: COBS-decoded, they hold the packet and its CRC-8.
class CobsDeframer : public Deframer
{
public:
    void feed(const uint8_t* bytes, size_t n, std::vector<Received>& out) override
    {
        for (size_t i = 0; i < n; i++)
        {
            uint8_t b = bytes[i];
            if (b != 0)
            {
                frame_.push_back(b);
                continue;
            }
            if (!frame_.empty())
                finish(out);
            frame_.clear();
        }
    }

private:
    static constexpr size_t kMaxFrame = 64;

    void finish(std::vector<Received>& out)
    {
        if (frame_.size() > kMaxFrame)
        {
            _junk(out, frame_, "frame too long");
            return;
        }
        std::vector<uint8_t> decoded(frame_.size());
        size_t n = cobs_decode(frame_.data(), frame_.size(), decoded.data());
        decoded.resize(n);
        if (n < 3 || decoded[1] > kMaxData || n != (size_t)decoded[1] + 3)
            _junk(out, frame_, "bad frame length");
        else if (!crc8_check(decoded.data(), n - 1, decoded[n - 1]))
            _junk(out, frame_, "bad CRC");
        else if (decoded[0] == 0)
            _junk(out, frame_, "zero address");
        else
        {
            decoded.pop_back();
            _packet(out, decoded);
        }
    }

    std::vector<uint8_t> frame_;
};

} // namespace

std::unique_ptr<Deframer> makeDeframer(Framing framing)
{
    if (framing == Framing::Cobs)
        return std::make_unique<CobsDeframer>();
    return std::make_unique<RawDeframer>();
}

std::vector<uint8_t> corrupted(const std::vector<uint8_t>& wire, const Corruption& corruption)
{
    std::vector<uint8_t> bytes = wire;
    if (corruption.active && !bytes.empty())
    {
        size_t i = corruption.index < bytes.size() ? corruption.index : bytes.size() - 1;
        bytes[i] ^= corruption.mask;
    }
    return bytes;
}

std::vector<uint8_t> encodeFrame(Framing framing, const std::vector<uint8_t>& wire,
                                 const Corruption& corruption)
{
    if (framing == Framing::Raw)
        return corrupted(wire, corruption);
    std::vector<uint8_t> plain = corrupted(wire, corruption);
    plain.push_back(crc8_create(wire.data(), wire.size()));
    std::vector<uint8_t> frame(COBS_ENCODED_MAX(plain.size()) + 1);
    size_t n = cobs_encode(plain.data(), plain.size(), frame.data());
    frame.resize(n);
    frame.push_back(0x00);
    return frame;
}

} // namespace modsim
