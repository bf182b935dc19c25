// The TCP/IP search's reply parser and the specifier's wire bytes fed
// arbitrary datagrams: no crash, a reply under 8 bytes is never listed, every
// listed field comes from its place in the reply, and 128 bytes decode to a
// specifier that encodes back to the same bytes (its port name terminated).
#include <lumbrixon/discover.h>

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    linkSpec spec;
    memset(&spec, 0xA5, sizeof spec);
    const uint32_t sender = 0x0102000Au;
    bool listed = kxDiscovery_ParseSearchReply(data, size, sender, &spec);
    if (listed != (size >= kxDISCOVERY_REPLY_MIN))
    {
        abort();
    }
    if (listed)
    {
        uint32_t serial = data[4] | data[5] << 8 | data[6] << 16 | (uint32_t)data[7] << 24;
        uint32_t model = size > 12 ? data[12] : 0xFF;
        if (spec.type != kxLinkTypeTCPIP || spec.serialNumber != serial ||
            spec.routerSerialNumber != serial || spec.module != data[1] || spec.router != data[1] ||
            spec.model != model || spec.address != sender ||
            spec.port != (uint32_t)(data[2] | data[3] << 8))
        {
            abort();
        }
        const uint8_t* tail = reinterpret_cast<const uint8_t*>(&spec) + 32;
        for (int i = 0; i < 96; i++)
        {
            if (tail[i] != 0)
            {
                abort();
            }
        }
    }

    linkSpec decoded;
    if (kxLinkSpec_Decode(data, size, &decoded) != (size == kxLINKSPEC_SIZE))
    {
        abort();
    }
    if (size == kxLINKSPEC_SIZE)
    {
        uint8_t again[kxLINKSPEC_SIZE];
        kxLinkSpec_Encode(&decoded, again);
        size_t compared = decoded.type == kxLinkTypeSerial ? kxLINKSPEC_SIZE - 1 : kxLINKSPEC_SIZE;
        if (memcmp(again, data, compared) != 0)
        {
            abort();
        }
        if (decoded.type == kxLinkTypeSerial &&
            strnlen(decoded.portName, kxLINKSPEC_PORTNAME_SIZE) >= kxLINKSPEC_PORTNAME_SIZE)
        {
            abort();
        }
    }
    return 0;
}
