// The Link object against the module simulator: UEI values of every type,
// refusals, lost and misdirected replies, byte values in segments, raw
// packets, store slots, factory data, the packet log, and the settings and
// connection rules.
#include "tests/linkobject/LinkObjectSupport.h"

#include <fstream>
#include <sstream>

using namespace linkobject;

namespace
{

class LinkUei : public ::testing::TestWithParam<Transport>
{
};

} // namespace

TEST_P(LinkUei, GetsAndSetsEveryValueType)
{
    SimModule s(GetParam());
    ASSERT_EQ(s.connected, kxErrNone);
    EXPECT_TRUE(s.link.isConnected());

    uei r{};
    ASSERT_EQ(Get(s.link, 1, &r), kxErrNone);
    EXPECT_EQ(r.type, ueiTypeByte);
    EXPECT_EQ(r.value.u8, s.Value(1));
    ASSERT_EQ(Get(s.link, 2, &r), kxErrNone);
    EXPECT_EQ(r.type, ueiTypeShort);
    EXPECT_EQ(r.value.u16, s.Value(2));
    ASSERT_EQ(Get(s.link, 3, &r), kxErrNone);
    EXPECT_EQ(r.type, ueiTypeInt);
    EXPECT_EQ(r.value.u32, s.Value(3));

    uei v = Record(0);
    v.type = ueiTypeByte;
    v.value.u8 = 0xA5;
    ASSERT_EQ(Set(s.link, 1, v, &r), kxErrNone);
    EXPECT_EQ(r.index & kxUEI_INDEX_ERROR, 0);
    EXPECT_EQ(s.Value(1), 0xA5u);
    v.type = ueiTypeShort;
    v.value.u16 = 0xBEEF;
    ASSERT_EQ(Set(s.link, 2, v, &r), kxErrNone);
    EXPECT_EQ(s.Value(2), 0xBEEFu);
    v.type = ueiTypeInt;
    v.value.u32 = 0x12345678;
    ASSERT_EQ(Set(s.link, 3, v, &r), kxErrNone);
    EXPECT_EQ(s.Value(3), 0x12345678u);
    ASSERT_EQ(Get(s.link, 3, &r), kxErrNone);
    EXPECT_EQ(r.value.u32, 0x12345678u);

    // With a sub-index: set sub-index 2 of the int option 6, then read it.
    v.value.u32 = 0xCAFEF00D;
    ASSERT_EQ(Set(s.link, 6, v, &r, 2), kxErrNone);
    EXPECT_EQ(s.sim.option(s.m, kTest, 0, 6)->sub.at(2), 0xCAFEF00Du);
    uei g = Record(kxUEI_OPTION_GET | 6, kxUEI_INDEX_REQUEST);
    ASSERT_EQ(s.link.sendUEI(g, 2), kxErrNone);
    g.option = 6;
    g.index = 0;
    ASSERT_EQ(s.link.receiveUEI(kAddress, kTest, 6, 0, &g), kxErrNone);
    EXPECT_EQ(g.value.u32, 0xCAFEF00Du);

    // A call (void set), answered late by the module but within the wait.
    uei call = Record(0);
    ASSERT_EQ(Set(s.link, 7, call, &r), kxErrNone);
    EXPECT_EQ(r.type, ueiTypeVoid);
    EXPECT_EQ(s.Value(8), 1u);
}

TEST_P(LinkUei, ARefusedSetReturnsTheModulesCodeInTheRecord)
{
    SimModule s(GetParam());
    uint32_t before = s.Value(5);
    uei v = Record(0);
    v.type = ueiTypeInt;
    v.value.u32 = 1;
    uei r{};
    ASSERT_EQ(Set(s.link, 5, v, &r), kxErrNone); // the reply came
    EXPECT_NE(r.index & kxUEI_INDEX_ERROR, 0);
    EXPECT_EQ(r.value.u8, kxErrPermission);
    EXPECT_EQ(s.Value(5), before);
}

TEST_P(LinkUei, AMissingReplyTimesOutAfterTheWaitAndAWrongUeiIsNotTheAnswer)
{
    SimModule s(GetParam());
    uei r{};
    s.sim.setFaults(s.m, Withhold({kTest, 0x43}));
    auto start = Clock::now();
    EXPECT_EQ(Get(s.link, 3, &r), kxErrTimeout);
    int waited = ElapsedMs(start);
    EXPECT_GE(waited, 950);
    EXPECT_LT(waited, 2500);

    modsim::Faults wrong;
    modsim::ReplyRule rule;
    rule.kind = modsim::ReplyFault::WrongUei;
    rule.pattern = {kTest, 0x42};
    wrong.replies.push_back(rule);
    s.sim.setFaults(s.m, wrong);
    EXPECT_EQ(Get(s.link, 2, &r), kxErrTimeout);
    EXPECT_TRUE(s.sim.waitFor(
        s.m, [](const modsim::ModuleStats& st) { return st.repliesMisdirected == 1; }, 1000));

    // The answer went out under option 3 and waits in the queue as such:
    // option 2's value in a report of option 3.
    uei stray = Record(3);
    ASSERT_EQ(s.link.receiveUEI(kAddress, kTest, 3, 0, &stray), kxErrNone);
    EXPECT_EQ(stray.type, ueiTypeShort);
    EXPECT_EQ(stray.value.u16, s.Value(2));

    // Without the faults both are answered again; the late answers of the
    // requests that timed out are dropped first.
    s.sim.setFaults(s.m, modsim::Faults());
    EXPECT_EQ(s.link.dropMatchingUEIPackets(kAddress, kTest, 3, 0), kxErrNone);
    EXPECT_EQ(s.link.dropMatchingUEIPackets(kAddress, kTest, 2, 0), kxErrNone);
    ASSERT_EQ(Get(s.link, 2, &r), kxErrNone);
    EXPECT_EQ(r.value.u16, s.Value(2));
    ASSERT_EQ(Get(s.link, 3, &r), kxErrNone);
    EXPECT_EQ(r.value.u32, s.Value(3));
}

TEST_P(LinkUei, ChecksConnectionModuleAddressAndPacketLength)
{
    SimModule s(GetParam());
    uei r = Record(kxUEI_OPTION_GET | 1, kxUEI_INDEX_REQUEST, 0x07);
    EXPECT_EQ(s.link.sendUEI(r), kxErrPacket);
    r.module = 0;
    EXPECT_EQ(s.link.sendUEI(r), kxErrPacket);
    EXPECT_EQ(s.link.receiveUEI(5, kTest, 1, 0, &r), kxErrPacket);

    uint8_t data[28] = {};
    EXPECT_EQ(s.link.sendPacket(kAddress, 23, 28, data), kxErrParam);
    // An echo of the debug command: command and data come back.
    for (uint8_t i = 0; i < 27; ++i)
    {
        data[i] = static_cast<uint8_t>(i + 1);
    }
    uint8_t length = GetParam() == Transport::Serial ? 25 : 27;
    ASSERT_EQ(s.link.sendPacket(kAddress, 23, length, data), kxErrNone);
    uint8_t match[] = {23};
    uint8_t got = 1;
    uint8_t reply[28] = {};
    ASSERT_EQ(s.link.receivePacket(kAddress, match, &got, reply), kxErrNone);
    EXPECT_EQ(got, length + 1);
    EXPECT_EQ(reply[0], 23);
    EXPECT_EQ(0, std::memcmp(&reply[1], data, length));
    got = 1;
    EXPECT_EQ(s.link.receivePacket(kAddress, match, &got, reply), kxErrTimeout);

    uint8_t address = 0;
    EXPECT_EQ(s.link.getModuleAddress(&address), kxErrNone);
    EXPECT_EQ(address, kAddress);

    // Settings are refused while connected; after disconnect nothing is sent.
    EXPECT_EQ(s.link.setConfig(kxEtherConfig()), kxErrMode);
    linkSpec spec;
    ASSERT_EQ(s.link.getLinkSpecifier(&spec), kxErrNone);
    EXPECT_EQ(s.link.setLinkSpecifier(spec), kxErrBusy);
    EXPECT_EQ(s.link.connect(), kxErrConnection);
    EXPECT_EQ(s.link.disconnect(), kxErrNone);
    EXPECT_FALSE(s.link.isConnected());
    EXPECT_EQ(s.link.getStatus(), static_cast<uint32_t>(kLinkStatusError));
    EXPECT_EQ(s.link.sendUEI(Record(1)), kxErrConnection);
    EXPECT_EQ(s.link.getModuleAddress(&address), kxErrNotReady);
    EXPECT_EQ(s.link.enablePacketLog("/dev/null"), kxErrConfiguration);
    // And connects again.
    EXPECT_EQ(s.link.connect(), kxErrNone);
    ASSERT_EQ(Get(s.link, 1, &r), kxErrNone);
}

// Byte values whose segments fit the serial line's frames go both ways;
// longer ones travel over TCP/IP.
TEST_P(LinkUei, ByteValuesInSegments)
{
    SimModule s(GetParam());
    std::vector<size_t> sizes = {0, 1, 22};
    if (GetParam() != Transport::Serial)
    {
        sizes.insert(sizes.end(), {24, 25, 48, 49, 300, 1000, 1001});
    }
    for (size_t size : sizes)
    {
        SCOPED_TRACE(size);
        std::vector<uint8_t> value(size);
        for (size_t i = 0; i < size; ++i)
        {
            value[i] = static_cast<uint8_t>(i * 7 + size);
        }
        uei v = Record(0);
        v.type = ueiTypeBytes;
        v.value.bytes = value.data();
        v.length = size;
        uei r{};
        ASSERT_EQ(Set(s.link, 4, v, &r), kxErrNone);
        EXPECT_EQ(r.index & kxUEI_INDEX_ERROR, 0);
        EXPECT_EQ(s.sim.option(s.m, kTest, 0, 4)->bytes, value);
        if (GetParam() != Transport::Serial)
        {
            std::vector<uint8_t> back(size + 8, 0xEE);
            size_t received = 0;
            ASSERT_EQ(GetBytes(s.link, 4, back.data(), back.size(), &received), kxErrNone);
            EXPECT_EQ(received, size);
            back.resize(received);
            EXPECT_EQ(back, value);
        }
    }
}

TEST_P(LinkUei, ALostSegmentIsAnErrorNeverAShortValue)
{
    if (GetParam() == Transport::Serial)
    {
        GTEST_SKIP() << "full segments do not fit the serial line's frames";
    }
    SimModule s(GetParam());
    std::vector<uint8_t> buffer(200);
    size_t received = 0;
    ASSERT_EQ(GetBytes(s.link, 10, buffer.data(), buffer.size(), &received), kxErrNone);
    EXPECT_EQ(received, 100u);

    modsim::Faults lose;
    modsim::ReplyRule rule;
    rule.kind = modsim::ReplyFault::LoseSegment;
    rule.pattern = {kTest, 0x40 | 10};
    lose.replies.push_back(rule);
    s.sim.setFaults(s.m, lose);
    EXPECT_EQ(GetBytes(s.link, 10, buffer.data(), buffer.size(), &received), kxErrTimeout);
    EXPECT_LT(received, 100u);
    EXPECT_EQ(s.sim.stats(s.m).segmentsLost, 1u);

    // Too small a buffer: the segment that does not fit is an error.
    s.sim.setFaults(s.m, modsim::Faults());
    s.link.dropMatchingUEIPackets(kAddress, kTest, 10, 0);
    EXPECT_EQ(GetBytes(s.link, 10, buffer.data(), 30, &received), kxErrMemory);
    EXPECT_EQ(received, 24u);
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkUei,
                         ::testing::Values(Transport::Tcp, Transport::Serial, Transport::Served),
                         [](const ::testing::TestParamInfo<Transport>& info)
                         { return TransportName(info.param); });

TEST(LinkFilters, TheBytesFilterRefusesPacketsWithoutValueAndSequenceBytes)
{
    uint8_t buffer[8] = {};
    size_t received = 0;
    uei r = Record(4);
    r.value.bytes = buffer;
    r.length = sizeof(buffer);
    r.received = &received;
    const uint8_t three[] = {kTest, 4, 0};
    kxPacket* p = kxPacket_CreateWithData(kAddress, 3, three);
    EXPECT_FALSE(Link::ueiBytesFilter(p, &r));
    kxPacket_Destroy(&p);
    const uint8_t empty[] = {kTest, 4, 0, 0x00};
    p = kxPacket_CreateWithData(kAddress, 4, empty);
    EXPECT_TRUE(Link::ueiBytesFilter(p, &r));
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(r.more, 0);
    kxPacket_Destroy(&p);
    // Out of order: stays queued.
    const uint8_t later[] = {kTest, 4, 0, 9, 0x05};
    p = kxPacket_CreateWithData(kAddress, 5, later);
    EXPECT_FALSE(Link::ueiBytesFilter(p, &r));
    kxPacket_Destroy(&p);
    // An error reply of three bytes has no code: refused by both filters.
    const uint8_t error3[] = {kTest, 4, 0x80};
    p = kxPacket_CreateWithData(kAddress, 3, error3);
    EXPECT_FALSE(Link::ueiBytesFilter(p, &r));
    uei plain = Record(4);
    EXPECT_TRUE(Link::ueiFilter(p, &plain));
    EXPECT_EQ(plain.value.u8, kxErrUnknown);
    kxPacket_Destroy(&p);
}

namespace
{

class LinkStore : public ::testing::TestWithParam<Transport>
{
};

} // namespace

TEST_P(LinkStore, SlotsLoadUnloadAndReportTheirSizes)
{
    SimModule s(GetParam());
    size_t value = 0;
    ASSERT_EQ(s.link.storeSlotCapacity(kAddress, 0, 1, &value), kxErrNone);
    EXPECT_EQ(value, 1024u);
    ASSERT_EQ(s.link.storeSlotSize(kAddress, 0, 0, &value), kxErrNone);
    EXPECT_EQ(value, 40u);
    EXPECT_EQ(s.link.storeSlotSize(kAddress, 0, 9, &value), kxErrNotFound);
    EXPECT_EQ(s.link.storeSlotSize(kAddress, 0, 0, nullptr), kxErrParam);

    std::vector<uint8_t> buffer(64, 0xEE);
    size_t unloaded = 0;
    ASSERT_EQ(s.link.unloadStoreSlot(kAddress, 0, 0, buffer.data(), buffer.size(), &unloaded),
              kxErrNone);
    EXPECT_EQ(unloaded, 40u);
    for (size_t i = 0; i < 40; ++i)
    {
        EXPECT_EQ(buffer[i], i);
    }
    EXPECT_EQ(buffer[40], 0xEE);
    // A buffer smaller than the slot is filled and reported as an overrun.
    ASSERT_EQ(s.link.unloadStoreSlot(kAddress, 0, 0, buffer.data(), 30, &unloaded), kxErrOverrun);
    EXPECT_EQ(unloaded, 30u);

    // Length 0 opens and closes the slot: it is empty then.
    uint8_t none = 0;
    ASSERT_EQ(s.link.loadStoreSlot(kAddress, 0, 2, &none, 0), kxErrNone);
    EXPECT_EQ(s.sim.slotData(s.m, 0, 2)->size(), 0u);

    if (GetParam() != Transport::Serial)
    {
        std::vector<uint8_t> data(260);
        for (size_t i = 0; i < data.size(); ++i)
        {
            data[i] = static_cast<uint8_t>(255 - i);
        }
        ASSERT_EQ(s.link.loadStoreSlot(kAddress, 0, 3, data.data(), data.size()), kxErrNone);
        EXPECT_EQ(*s.sim.slotData(s.m, 0, 3), data);
        std::vector<uint8_t> back(300);
        ASSERT_EQ(s.link.unloadStoreSlot(kAddress, 0, 3, back.data(), back.size(), &unloaded),
                  kxErrNone);
        back.resize(unloaded);
        EXPECT_EQ(back, data);
    }
}

TEST_P(LinkStore, SlotRepliesThatDoNotComeAreErrors)
{
    SimModule s(GetParam());
    size_t value = 7;
    s.sim.setFaults(s.m, Withhold({4, 1}));
    EXPECT_EQ(s.link.storeSlotCapacity(kAddress, 0, 0, &value), kxErrTimeout);
    s.sim.setFaults(s.m, Withhold({4, 2}));
    EXPECT_EQ(s.link.storeSlotSize(kAddress, 0, 0, &value), kxErrTimeout);
    EXPECT_EQ(value, 7u);

    // The close is not confirmed.
    s.sim.setFaults(s.m, Withhold({4, 8}));
    uint8_t small[] = {1, 2, 3};
    EXPECT_EQ(s.link.loadStoreSlot(kAddress, 0, 1, small, sizeof(small)), kxErrTimeout);

    // The second read is not answered: only what came is counted.
    s.sim.setFaults(s.m, Withhold({4, 6}, 2));
    std::vector<uint8_t> buffer(64, 0xEE);
    size_t unloaded = 99;
    EXPECT_EQ(s.link.unloadStoreSlot(kAddress, 0, 0, buffer.data(), buffer.size(), &unloaded),
              kxErrTimeout);
    EXPECT_EQ(unloaded, 25u);
    EXPECT_EQ(buffer[25], 0xEE);

    // A slot that cannot be opened.
    s.sim.setFaults(s.m, modsim::Faults());
    EXPECT_EQ(s.link.loadStoreSlot(kAddress, 7, 0, small, sizeof(small)), kxErrMedia);
}

TEST_P(LinkStore, FactoryDataReadWriteAndLostConfirmation)
{
    SimModule s(GetParam());
    std::vector<uint8_t> buffer(128, 0);
    size_t length = 0;
    ASSERT_EQ(s.link.getFactoryData(kAddress, 0, buffer.data(), buffer.size(), &length), kxErrNone);
    ASSERT_EQ(length, 60u);
    for (size_t i = 0; i < length; ++i)
    {
        EXPECT_EQ(buffer[i], 0xA0 + i);
    }
    // One full answer, then an empty one; a buffer of exactly that size.
    ASSERT_EQ(s.link.getFactoryData(kAddress, 1, buffer.data(), 26, &length), kxErrNone);
    EXPECT_EQ(length, 26u);
    EXPECT_EQ(s.link.getFactoryData(kAddress, 0, buffer.data(), 30, &length), kxErrOverrun);
    EXPECT_EQ(s.link.getFactoryData(kAddress, 9, buffer.data(), buffer.size(), &length),
              kxErrNotFound);

    std::vector<uint8_t> data(GetParam() == Transport::Serial ? 20 : 70);
    for (size_t i = 0; i < data.size(); ++i)
    {
        data[i] = static_cast<uint8_t>(i ^ 0x5A);
    }
    ASSERT_EQ(s.link.setFactoryData(kAddress, 2, data.data(), data.size()), kxErrNone);
    EXPECT_EQ(*s.sim.factoryData(s.m, 2), data);
    ASSERT_EQ(s.link.getFactoryData(kAddress, 2, buffer.data(), buffer.size(), &length), kxErrNone);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + length), data);

    s.sim.setFaults(s.m, Withhold({0x5E, 0x20}));
    EXPECT_EQ(s.link.setFactoryData(kAddress, 3, data.data(), 10), kxErrTimeout);
    EXPECT_EQ(s.link.getFactoryData(kAddress, 0, buffer.data(), buffer.size(), &length),
              kxErrTimeout);
    EXPECT_EQ(length, 0u);
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkStore,
                         ::testing::Values(Transport::Tcp, Transport::Serial),
                         [](const ::testing::TestParamInfo<Transport>& info)
                         { return TransportName(info.param); });

TEST(LinkObject, NetworkingModeFillsInTheServersPortAndSharesTheDevice)
{
    SimModule s(Transport::Served);
    kxEtherConfig config;
    ASSERT_EQ(s.link.getConfig(&config), kxErrNone);
    EXPECT_NE(config.serverPort, 0);
    EXPECT_EQ(s.link.getConfig(nullptr), kxErrParam);

    // A second object reaches the module as a client of that server.
    Link client("client");
    linkSpec spec;
    std::memset(&spec, 0, sizeof(spec));
    spec.type = kxLinkTypeClient;
    spec.address = config.interfaceAddress;
    spec.port = config.serverPort;
    ASSERT_EQ(client.setLinkSpecifier(spec), kxErrNone);
    ASSERT_EQ(client.connect(), kxErrNone);
    uei r{};
    ASSERT_EQ(Get(client, 3, &r), kxErrNone);
    EXPECT_EQ(r.value.u32, s.Value(3));

    // Without networking mode a client specifier is a configuration error.
    Link plain("plain");
    kxEtherConfig off;
    off.serverMode = 0;
    ASSERT_EQ(plain.setConfig(off), kxErrNone);
    ASSERT_EQ(plain.setLinkSpecifier(spec), kxErrNone);
    EXPECT_EQ(plain.connect(), kxErrConfiguration);
    EXPECT_EQ(plain.getLinkId(), 0u);
}

TEST(LinkObject, NamesSpecifiersAndUnknownTypes)
{
    std::string longName(2000, 'x');
    Link named(longName.c_str());
    EXPECT_EQ(std::strlen(named.getName()), 1024u);
    linkSpec spec;
    EXPECT_EQ(named.getLinkSpecifier(&spec), kxErrNotFound);
    EXPECT_EQ(named.connect(), kxErrConfiguration);
    std::memset(&spec, 0, sizeof(spec));
    spec.type = 9;
    Link odd(spec, "odd");
    EXPECT_EQ(odd.connect(), kxErrMode);
    EXPECT_EQ(odd.isConnected(), false);
}

TEST(LinkObject, ThePacketLogRecordsTheTraffic)
{
    SimModule s(Transport::Tcp);
    std::string path = ::testing::TempDir() + "link_object_packets.log";
    std::remove(path.c_str());
    ASSERT_EQ(s.link.enablePacketLog(path.c_str()), kxErrNone);
    uei r{};
    ASSERT_EQ(Get(s.link, 3, &r), kxErrNone);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(s.link.disablePacketLog(), kxErrNone);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::string log = text.str();
    EXPECT_NE(log.find("START"), std::string::npos) << log;
    // The get request as written (address, length 3, command, option, index).
    EXPECT_NE(log.find("> 0x6 0x3 0x20 0x43 0x20"), std::string::npos) << log;
    // The answer as received.
    EXPECT_NE(log.find("< 0x6 0x7 0x20 0x3 0x0"), std::string::npos) << log;
    std::remove(path.c_str());
}
