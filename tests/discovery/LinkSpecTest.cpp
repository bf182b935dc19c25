// Link specifiers, their wire bytes, the TCP/IP search's reply format, the
// dotted text of an address and the searches that find nothing by their
// type, without any network or USB.
#include <lumbrixon/discover.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <vector>

using Bytes = std::vector<uint8_t>;

namespace
{
uint32_t Address(const char* text)
{
    in_addr address = {};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

int gCalls = 0;

bool Count(const linkSpec*, uint8_t* success, void*)
{
    gCalls++;
    *success = 1;
    return true;
}
} // namespace

TEST(LinkSpec, CreateCopyAndDestroy)
{
    linkSpec* spec = kxLinkSpec_Create(kxLinkTypeTCPIP);
    ASSERT_NE(spec, nullptr);
    Bytes zero(kxLINKSPEC_SIZE, 0);
    zero[0] = 2;
    EXPECT_EQ(Bytes(reinterpret_cast<uint8_t*>(spec), reinterpret_cast<uint8_t*>(spec) + 128),
              zero);
    spec->serialNumber = 0x40F5849A;
    spec->port = 4000;
    linkSpec* copy = kxLinkSpec_Copy(*spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, spec);
    EXPECT_EQ(memcmp(copy, spec, sizeof(linkSpec)), 0);
    EXPECT_TRUE(kxLinkSpec_SameModule(copy, spec));
    copy->port = 4001;
    EXPECT_FALSE(kxLinkSpec_SameModule(copy, spec));
    copy->port = 4000;
    copy->model = 12; // not part of the module's identity
    EXPECT_TRUE(kxLinkSpec_SameModule(copy, spec));
    copy->type = kxLinkTypeServedTCPIP;
    EXPECT_FALSE(kxLinkSpec_SameModule(copy, spec));
    EXPECT_FALSE(kxLinkSpec_SameModule(nullptr, spec));

    EXPECT_EQ(kxLinkSpec_Destroy(&copy), kxErrNone);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(kxLinkSpec_Destroy(&copy), kxErrParam);
    EXPECT_EQ(kxLinkSpec_Destroy(nullptr), kxErrParam);
    EXPECT_EQ(kxLinkSpec_Destroy(&spec), kxErrNone);
}

TEST(LinkSpec, WireBytesAreLittleEndianWithTheAddressInNetworkOrder)
{
    linkSpec spec = {};
    spec.type = kxLinkTypeServedUSB;
    spec.serialNumber = 0x40F5849A;
    spec.module = 0x06;
    spec.router = 0x04;
    spec.routerSerialNumber = 0x40F58400;
    spec.model = 0x12;
    spec.address = Address("127.0.0.1");
    spec.port = 9001;
    uint8_t bytes[kxLINKSPEC_SIZE];
    kxLinkSpec_Encode(&spec, bytes);
    Bytes expected(kxLINKSPEC_SIZE, 0);
    Bytes head = {0x05, 0,    0,    0,    0x9A, 0x84, 0xF5, 0x40, 0x06, 0, 0, 0, 0x04, 0,    0, 0,
                  0x00, 0x84, 0xF5, 0x40, 0x12, 0,    0,    0,    127,  0, 0, 1, 0x29, 0x23, 0, 0};
    std::copy(head.begin(), head.end(), expected.begin());
    EXPECT_EQ(Bytes(bytes, bytes + 128), expected);

    linkSpec back;
    memset(&back, 0xEE, sizeof back);
    ASSERT_TRUE(kxLinkSpec_Decode(bytes, sizeof bytes, &back));
    EXPECT_EQ(memcmp(&back, &spec, sizeof spec), 0);
    linkSpec untouched = back;
    EXPECT_FALSE(kxLinkSpec_Decode(bytes, 127, &back));
    EXPECT_FALSE(kxLinkSpec_Decode(bytes, 129, &back));
    EXPECT_EQ(memcmp(&back, &untouched, sizeof back), 0);
}

TEST(LinkSpec, ASerialPortNameIsAlwaysTerminated)
{
    Bytes bytes(kxLINKSPEC_SIZE, 'x');
    bytes[0] = 3;
    bytes[1] = bytes[2] = bytes[3] = 0;
    bytes[24] = 0x00; // 115200 little-endian
    bytes[25] = 0xC2;
    bytes[26] = 0x01;
    bytes[27] = 0x00;
    linkSpec spec;
    ASSERT_TRUE(kxLinkSpec_Decode(bytes.data(), bytes.size(), &spec));
    EXPECT_EQ(spec.type, 3u);
    EXPECT_EQ(spec.baudRate, 115200u);
    EXPECT_EQ(strlen(spec.portName), 99u);
}

TEST(SearchReply, FieldsOfSixteenTwelveAndEightBytesAndShorterIgnored)
{
    const Bytes reply = {0x00, 0x06, 0xA0, 0x0F, 0x9A, 0x84, 0xF5, 0x40,
                         0x00, 0x00, 0x00, 0x00, 0x12, 0x00, 0x00, 0x00};
    uint32_t sender = Address("192.0.2.1");
    linkSpec spec;
    ASSERT_TRUE(kxDiscovery_ParseSearchReply(reply.data(), 16, sender, &spec));
    EXPECT_EQ(spec.type, 2u);
    EXPECT_EQ(spec.serialNumber, 0x40F5849Au);
    EXPECT_EQ(spec.routerSerialNumber, 0x40F5849Au);
    EXPECT_EQ(spec.module, 6u);
    EXPECT_EQ(spec.router, 6u);
    EXPECT_EQ(spec.model, 0x12u);
    EXPECT_EQ(spec.address, sender);
    EXPECT_EQ(spec.port, 4000u);
    const uint8_t* tail = reinterpret_cast<const uint8_t*>(&spec) + 32;
    EXPECT_EQ(Bytes(tail, tail + 96), Bytes(96, 0));

    ASSERT_TRUE(kxDiscovery_ParseSearchReply(reply.data(), 13, sender, &spec));
    EXPECT_EQ(spec.model, 0x12u);
    ASSERT_TRUE(kxDiscovery_ParseSearchReply(reply.data(), 12, sender, &spec));
    EXPECT_EQ(spec.model, 255u);
    EXPECT_EQ(spec.serialNumber, 0x40F5849Au);
    ASSERT_TRUE(kxDiscovery_ParseSearchReply(reply.data(), 8, sender, &spec));
    EXPECT_EQ(spec.model, 255u);
    EXPECT_EQ(spec.port, 4000u);

    linkSpec before = spec;
    EXPECT_FALSE(kxDiscovery_ParseSearchReply(reply.data(), 7, sender, &spec));
    EXPECT_FALSE(kxDiscovery_ParseSearchReply(reply.data(), 0, sender, &spec));
    EXPECT_FALSE(kxDiscovery_ParseSearchReply(nullptr, 16, sender, &spec));
    EXPECT_EQ(memcmp(&before, &spec, sizeof spec), 0);
    EXPECT_FALSE(kxDiscovery_ParseSearchReply(reply.data(), 16, sender, nullptr));
}

TEST(Interfaces, DottedTextNeedsSixteenBytesAndTheListNeedsAnArray)
{
    char text[16];
    memset(text, 'z', sizeof text);
    EXPECT_EQ(kxDiscovery_ConvertIPv4Interface(Address("192.0.2.1"), text, 15), 0);
    EXPECT_EQ(text[0], 'z') << "nothing is written";
    EXPECT_EQ(kxDiscovery_ConvertIPv4Interface(Address("255.255.255.255"), text, 16), 15);
    EXPECT_STREQ(text, "255.255.255.255");
    EXPECT_EQ(kxDiscovery_ConvertIPv4Interface(Address("192.0.2.1"), text, 16), 9);
    EXPECT_STREQ(text, "192.0.2.1");
    EXPECT_EQ(kxDiscovery_ConvertIPv4Interface(0, text, 16), 7);
    EXPECT_STREQ(text, "0.0.0.0");
    EXPECT_EQ(kxDiscovery_ConvertIPv4Interface(Address("10.0.0.5"), nullptr, 16), 0);

    EXPECT_EQ(kxDiscovery_GetIPv4Interfaces(nullptr, 10), 0);
    uint32_t one[1] = {0xDEADBEEF};
    EXPECT_EQ(kxDiscovery_GetIPv4Interfaces(one, 0), 0);
    EXPECT_EQ(one[0], 0xDEADBEEFu);
}

TEST(Enumerate, SerialAndUnknownTypesAndANullCallbackFindNothing)
{
    gCalls = 0;
    EXPECT_EQ(kxDiscovery_EnumerateModules(kxLinkTypeSerial, Count, nullptr, 0), 0);
    EXPECT_EQ(kxDiscovery_EnumerateModules(0, Count, nullptr, 0), 0);
    EXPECT_EQ(kxDiscovery_EnumerateModules(8, Count, nullptr, 0), 0);
    EXPECT_EQ(gCalls, 0);
    EXPECT_EQ(kxDiscovery_EnumerateModules(kxLinkTypeUSB, nullptr, nullptr, 0), 0);
    EXPECT_EQ(kxDiscovery_EnumerateModules(kxLinkTypeTCPIP, nullptr, nullptr, 0), 0);
    EXPECT_EQ(kxDiscovery_FindModule(kxLinkTypeSerial, 0x40F5849A, 0), nullptr);
    EXPECT_EQ(kxDiscovery_FindFirstModule(kxLinkTypeSerial, 0), nullptr);
}
