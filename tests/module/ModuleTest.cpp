// Modules and entities against the module simulator, over TCP/IP and over
// the serial line (every packet here fits its COBS frame): gets and sets of
// every value type, refusals, replies that come late, never or for another
// value, the module-wide queries, the store entity, and a child module
// reached through its router only.
#include "tests/module/ModuleTestSupport.h"

#include <thread>

using namespace moduletest;

namespace
{

class ModuleSim : public ::testing::TestWithParam<bool>
{
};

INSTANTIATE_TEST_SUITE_P(Transports, ModuleSim, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info)
                         { return info.param ? "Serial" : "Tcp"; });

} // namespace

TEST_P(ModuleSim, ConnectsAndTakesTheAddressTheModuleAnswersWith)
{
    SimModule s(GetParam());
    EXPECT_TRUE(s.module.isConnected());
    EXPECT_EQ(s.module.getStatus(), 2u);
    EXPECT_EQ(s.module.getModuleAddress(), kAddress);
    // A second connection while connected is refused.
    EXPECT_EQ(s.module.connectFromSpec(TcpSpec(kSerial, 1)), kxErrBusy);
}

TEST_P(ModuleSim, GetsAndSetsEveryValueType)
{
    SimModule s(GetParam());
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    EXPECT_EQ(s.test.getUEI8(1, &u8), kxErrNone);
    EXPECT_EQ(u8, 0x11);
    EXPECT_EQ(s.test.getUEI16(2, &u16), kxErrNone);
    EXPECT_EQ(u16, 0x2222);
    EXPECT_EQ(s.test.getUEI32(3, &u32), kxErrNone);
    EXPECT_EQ(u32, 0x33333333u);

    EXPECT_EQ(s.test.setUEI8(1, 0xA5), kxErrNone);
    EXPECT_EQ(s.test.setUEI16(2, 0xBEEF), kxErrNone);
    EXPECT_EQ(s.test.setUEI32(3, 0xDEADBEEF), kxErrNone);
    EXPECT_EQ(s.sim.option(s.m, kTestCommand, 0, 1)->value, 0xA5u);
    EXPECT_EQ(s.sim.option(s.m, kTestCommand, 0, 2)->value, 0xBEEFu);
    EXPECT_EQ(s.sim.option(s.m, kTestCommand, 0, 3)->value, 0xDEADBEEFu);
    EXPECT_EQ(s.test.getUEI8(1, &u8), kxErrNone);
    EXPECT_EQ(u8, 0xA5);
    EXPECT_EQ(s.test.getUEI16(2, &u16), kxErrNone);
    EXPECT_EQ(u16, 0xBEEF);
    EXPECT_EQ(s.test.getUEI32(3, &u32), kxErrNone);
    EXPECT_EQ(u32, 0xDEADBEEFu);

    // Values with sub-indices: the sub-index goes as the fourth data byte.
    EXPECT_EQ(s.test.getUEI32(6, 2, &u32), kxErrNone);
    EXPECT_EQ(u32, 0x62u);
    EXPECT_EQ(s.test.getUEI8(11, 3, &u8), kxErrNone);
    EXPECT_EQ(u8, 0x13);
    EXPECT_EQ(s.test.getUEI16(12, 1, &u16), kxErrNone);
    EXPECT_EQ(u16, 0x1201);
    EXPECT_EQ(s.test.setUEI32(6, 3, 0x01020304), kxErrNone);
    EXPECT_EQ(s.test.setUEI8(11, 2, 0x7E), kxErrNone);
    EXPECT_EQ(s.test.setUEI16(12, 0, 0x4321), kxErrNone);
    auto o6 = s.sim.option(s.m, kTestCommand, 0, 6);
    auto o11 = s.sim.option(s.m, kTestCommand, 0, 11);
    auto o12 = s.sim.option(s.m, kTestCommand, 0, 12);
    EXPECT_EQ(o6->sub.at(3), 0x01020304u);
    EXPECT_EQ(o6->sub.at(2), 0x62u);
    EXPECT_EQ(o11->sub.at(2), 0x7Eu);
    EXPECT_EQ(o12->sub.at(0), 0x4321u);
    EXPECT_EQ(s.test.getUEI32(6, 3, &u32), kxErrNone);
    EXPECT_EQ(u32, 0x01020304u);
    // An unknown sub-index is the module's refusal.
    EXPECT_EQ(s.test.getUEI8(11, 9, &u8), kxErrIndexRange);

    // A call answered 300 ms later: counted once.
    uint32_t before = 0, after = 0;
    EXPECT_EQ(s.test.getUEI32(8, &before), kxErrNone);
    EXPECT_EQ(s.test.callUEI(7), kxErrNone);
    EXPECT_EQ(s.test.getUEI32(8, &after), kxErrNone);
    EXPECT_EQ(after, before + 1);

    // A short byte value, one segment either way.
    uint8_t buffer[32];
    size_t received = 0;
    EXPECT_EQ(s.test.getUEIBytes(4, buffer, sizeof buffer, &received), kxErrNone);
    EXPECT_EQ(Bytes(buffer, buffer + received), (Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    Bytes name = Pattern(22, 0x30);
    EXPECT_EQ(s.test.setUEIBytes(4, name.data(), name.size()), kxErrNone);
    EXPECT_EQ(s.ModuleBytes(4), name);

    modsim::ModuleStats st = s.Stats();
    EXPECT_EQ(st.requestsWithoutHostBit, 0u);
    EXPECT_EQ(st.unhandledPackets, 0u);
}

TEST_P(ModuleSim, ModuleRefusalsAreReturnedAndLeaveTheOutputAlone)
{
    SimModule s(GetParam());
    // A set of a read-only value.
    EXPECT_EQ(s.test.setUEI32(5, 0x12345678), kxErrPermission);
    EXPECT_EQ(s.sim.option(s.m, kTestCommand, 0, 5)->value, 0x55555555u);
    uint32_t u32 = 0xCAFE;
    EXPECT_EQ(s.test.getUEI32(5, &u32), kxErrNone);
    EXPECT_EQ(u32, 0x55555555u);
    // A get of an option the entity does not have, and of an entity the
    // module does not have: the output keeps its value.
    u32 = 0xCAFE;
    EXPECT_EQ(s.test.getUEI32(40, &u32), kxErrInvalidOption);
    EXPECT_EQ(u32, 0xCAFEu);
    EntityClass missing;
    missing.init(&s.module, 0x21, 0);
    uint8_t u8 = 0x77;
    EXPECT_EQ(missing.getUEI8(1, &u8), kxErrInvalidEntity);
    EXPECT_EQ(u8, 0x77);
    // A value given with the wrong length is refused by the module.
    EXPECT_EQ(s.test.setUEI8(3, 1), kxErrSize);
    EXPECT_EQ(s.sim.option(s.m, kTestCommand, 0, 3)->value, 0x33333333u);
    EXPECT_GE(s.Stats().errorReplies, 4u);
}

TEST_P(ModuleSim, ALateReplyTimesOutAndIsNotTakenByTheNextRequest)
{
    SimModule s(GetParam());
    // Option 13 answers 1500 ms late: the get gives up after its 1000 ms.
    uint8_t u8 = 0x55;
    auto start = Clock::now();
    EXPECT_EQ(s.test.getUEI8(13, &u8), kxErrTimeout);
    long waited = ElapsedMs(start);
    EXPECT_GE(waited, 990);
    EXPECT_LT(waited, 1400);
    EXPECT_EQ(u8, 0x55);
    // The module's value changes and answers at once from now on; the late
    // answer (0x13) arrives meanwhile and must not pass for the new one.
    modsim::Option now = *s.sim.option(s.m, kTestCommand, 0, 13);
    now.value = 0x31;
    now.delayMs = 0;
    s.sim.setOption(s.m, kTestCommand, 0, 13, now);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(s.test.getUEI8(13, &u8), kxErrNone);
    EXPECT_EQ(u8, 0x31);

    // A reply that never comes.
    s.sim.setFaults(s.m, Switch("--no-reply", "20:42:20"));
    uint16_t u16 = 0x99;
    start = Clock::now();
    EXPECT_EQ(s.test.getUEI16(2, &u16), kxErrTimeout);
    EXPECT_GE(ElapsedMs(start), 990);
    EXPECT_EQ(u16, 0x99);
    EXPECT_EQ(s.Stats().repliesWithheld, 1u);
    // The same for a set: its acknowledgement never comes.
    s.sim.setFaults(s.m, Switch("--no-reply", "20:81:20"));
    EXPECT_EQ(s.test.setUEI8(1, 0x42), kxErrTimeout);
    s.sim.setFaults(s.m, modsim::Faults());
    EXPECT_EQ(s.test.getUEI16(2, &u16), kxErrNone);
    EXPECT_EQ(u16, 0x2222);
}

TEST_P(ModuleSim, AReplyForAnotherValueIsNotTheAnswer)
{
    SimModule s(GetParam());
    // The answer to the get of option 1 names option 2 (with option 1's one
    // byte): the get waits out its time and leaves its output alone.
    s.sim.setFaults(s.m, Switch("--wrong-uei", "20:41:20#1"));
    uint8_t u8 = 0x5A;
    EXPECT_EQ(s.test.getUEI8(1, &u8), kxErrTimeout);
    EXPECT_EQ(u8, 0x5A);
    EXPECT_EQ(s.Stats().repliesMisdirected, 1u);
    // The misdirected answer, still queued, is not taken for option 2's.
    uint16_t u16 = 0;
    EXPECT_EQ(s.test.getUEI16(2, &u16), kxErrNone);
    EXPECT_EQ(u16, 0x2222);
    // Only the first such request was misdirected.
    EXPECT_EQ(s.test.getUEI8(1, &u8), kxErrNone);
    EXPECT_EQ(u8, 0x11);
    // A misdirected acknowledgement of a set is no acknowledgement either.
    s.sim.setFaults(s.m, Switch("--wrong-uei", "20:83:20"));
    EXPECT_EQ(s.test.setUEI32(3, 7), kxErrTimeout);
}

TEST_P(ModuleSim, ModuleWideQueries)
{
    SimModule s(GetParam());
    EXPECT_EQ(s.module.hasUEI(kTestCommand, 1, 0, Module::kDirectionGet), kxErrNone);
    EXPECT_EQ(s.module.hasUEI(kTestCommand, 5, 0, Module::kDirectionSet), kxErrPermission);
    EXPECT_EQ(s.module.hasUEI(kTestCommand, 50, 0, 0), kxErrInvalidOption);
    unsigned infos = s.Stats().infoRequests;
    EXPECT_EQ(s.module.hasUEI(kTestCommand, 1, 0, 0xC0), kxErrParam);
    EXPECT_EQ(s.module.hasUEI(kTestCommand, 1, 0, 0x01), kxErrParam);
    EXPECT_EQ(s.Stats().infoRequests, infos);

    uint8_t count = 0xFF, group = 0xFF;
    EXPECT_EQ(s.module.classQuantity(kTestCommand, &count), kxErrNone);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(s.module.classQuantity(0x21, &count), kxErrNone);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(s.module.subClassQuantity(kTestCommand, 0, &count), kxErrNone);
    EXPECT_EQ(count, 14);
    EXPECT_EQ(s.module.entityGroup(kTestCommand, 0, &group), kxErrNone);
    EXPECT_EQ(group, 0);
    uint32_t build = 0;
    EXPECT_EQ(s.module.getBuild(&build), kxErrNone);
    EXPECT_EQ(build, 1311u);
    const uint8_t echo[] = {1, 2, 3, 0, 0xFF, 0x7E};
    EXPECT_EQ(s.module.debug(echo, sizeof echo), kxErrNone);
    EXPECT_EQ(s.module.debug(nullptr, 0), kxErrNone);
    uint8_t tooLong[28] = {};
    EXPECT_EQ(s.module.debug(tooLong, 28), kxErrParam);
    // No answer: the time-out.
    s.sim.setFaults(s.m, Switch("--no-reply", "49:FF"));
    EXPECT_EQ(s.module.getBuild(&build), kxErrTimeout);
}

TEST_P(ModuleSim, TheStoreEntitySavesLoadsAndResetsAnEntity)
{
    SimModule s(GetParam());
    EXPECT_EQ(s.test.setUEI8(1, 0x21), kxErrNone);
    EXPECT_EQ(s.test.saveEntityToStore(), kxErrNone);
    EXPECT_EQ(s.test.setUEI8(1, 0x22), kxErrNone);
    EXPECT_EQ(s.test.loadEntityFromStore(), kxErrNone);
    uint8_t u8 = 0;
    EXPECT_EQ(s.test.getUEI8(1, &u8), kxErrNone);
    EXPECT_EQ(u8, 0x21);
    EXPECT_EQ(s.test.resetEntityToFactoryDefaults(), kxErrNone);
    EXPECT_EQ(s.test.getUEI8(1, &u8), kxErrNone);
    EXPECT_EQ(u8, 0x11);
    // Nothing saved for this entity: the module's refusal.
    EntityClass system;
    system.init(&s.module, 3, 0);
    EXPECT_EQ(system.loadEntityFromStore(), kxErrNotFound);
}

TEST_P(ModuleSim, AStreamedValueIsReadFromTheCacheWithoutTraffic)
{
    SimModule s(GetParam());
    // Every option of the test entity streams to this link; option 9 (a
    // short) comes every 50 ms, one more each sample.
    ASSERT_EQ(s.test.setStreamEnabled(1), kxErrNone);
    uint16_t first = 0, again = 0, later = 0;
    // Until the link has cached a sample of option 9 (the status does not
    // take its freshness).
    auto cached = [&]
    {
        Link::StreamStatusEntry entry[4];
        size_t n = 0;
        s.module.getLink()->getStreamStatus(kAddress, kTestCommand, 9, 0, Link::kStreamAny, entry,
                                            4, &n);
        return n > 0;
    };
    auto start = Clock::now();
    while (!cached() && ElapsedMs(start) < 2000)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(cached());
    unsigned gets = s.Stats().ueiGets;
    EXPECT_EQ(s.test.getUEI16(9, &first), kxErrNone);
    EXPECT_EQ(s.test.getUEI16(9, &again), kxErrStreamStale);
    EXPECT_EQ(again, first);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(s.test.getUEI16(9, &later), kxErrNone);
    EXPECT_GT(later, first);
    EXPECT_EQ(s.Stats().ueiGets, gets); // all from the cache
    // The cached keys of this entity, one per streamed option.
    Link::StreamStatusEntry entries[16];
    size_t found = 0;
    EXPECT_EQ(s.test.getStreamStatus(entries, 16, &found), kxErrNone);
    bool nine = false;
    for (size_t i = 0; i < found; i++)
        nine = nine || Link::getStreamKeyElement(entries[i].key, Link::STREAM_KEY_OPTION) == 9;
    EXPECT_TRUE(nine);
    // Values that are not streamed still come from the module.
    uint8_t u8 = 0;
    EXPECT_EQ(s.test.getUEI8(1, &u8), kxErrNone);
    EXPECT_EQ(u8, 0x11);
    EXPECT_EQ(s.Stats().ueiGets, gets + 1);
    EXPECT_EQ(s.test.setStreamEnabled(0), kxErrNone);
}

TEST(ModuleAlone, WithoutAModuleOrConnectionNothingIsSent)
{
    EntityClass entity;
    uint8_t u8 = 0x44;
    size_t received = 9;
    uint8_t buffer[4];
    EXPECT_EQ(entity.getUEI8(1, &u8), kxErrResource);
    EXPECT_EQ(u8, 0x44);
    EXPECT_EQ(entity.setUEI32(1, 5), kxErrResource);
    EXPECT_EQ(entity.getUEIBytes(1, buffer, sizeof buffer, &received), kxErrResource);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(entity.getUEIBytes(1, nullptr, 4, &received), kxErrParam);
    EXPECT_EQ(entity.getUEIBytes(1, buffer, 0, &received), kxErrParam);
    EXPECT_EQ(entity.getUEI8(1, nullptr), kxErrParam);

    Module module(0x04, (uint8_t)0);
    entity.init(&module, kTestCommand, 0);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(module.getStatus(), 8u);
    EXPECT_EQ(entity.getUEI8(1, &u8), kxErrConnection);
    EXPECT_EQ(entity.setUEIBytes(4, nullptr, 3), kxErrParam);
    uint8_t count = 3;
    EXPECT_EQ(module.classQuantity(kTestCommand, &count), kxErrConnection);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(module.hasUEI(kTestCommand, 1, 0, 0), kxErrConnection);
    EXPECT_EQ(module.debug(buffer, 1), kxErrConnection);
    EXPECT_EQ(module.connect(kxLinkTypeTCPIP, 0), kxErrParam);

    size_t n = 10;
    EXPECT_EQ(EntityClass::getUEIBytesCheck(&n, 4), kxErrMemory);
    EXPECT_EQ(n, 10u);
    n = 8;
    EXPECT_EQ(EntityClass::getUEIBytesCheck(&n, 4), kxErrNone);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(EntityClass::getUEIBytesCheck(nullptr, 4), kxErrParam);
    EXPECT_EQ(EntityClass::getUEIBytesCheck(&n, 0), kxErrParam);
}

// A router on TCP/IP with a child on its I2C bus: the child has no transport
// and answers only on the router's link once the router routes to it.
TEST(ModuleRouter, AChildIsReachedThroughItsRouterOnly)
{
    constexpr uint32_t kRouterSerial = 0x40F58500, kChildSerial = 0x40F58510;
    constexpr uint8_t kRouterAddress = 0x02, kChildAddress = 0x10;
    modsim::Simulator sim;
    modsim::ModuleSpec r;
    r.module.serial = kRouterSerial;
    r.module.address = kRouterAddress;
    r.module.heartbeatMs = 0;
    r.tcp.push_back(modsim::TcpSpec());
    size_t router = sim.addModule(r);
    modsim::ModuleSpec c;
    c.module.serial = kChildSerial;
    c.module.address = kChildAddress;
    size_t child = sim.addChild(router, c);
    std::string error;
    ASSERT_TRUE(sim.start(&error)) << error;

    Module routerModule(kRouterAddress, (uint8_t)0);
    ASSERT_EQ(routerModule.setConfig(DirectConfig()), kxErrNone);
    ASSERT_EQ(routerModule.connectFromSpec(TcpSpec(kRouterSerial, sim.tcpPort(router))), kxErrNone);
    Module childModule(kChildAddress, (uint8_t)0);
    ASSERT_EQ(childModule.connectThroughLinkModule(&routerModule), kxErrNone);
    EXPECT_TRUE(childModule.isConnected());
    EXPECT_EQ(childModule.getModuleAddress(), kChildAddress);
    // Connected already: nothing to do.
    EXPECT_EQ(childModule.connectThroughLinkModule(&routerModule), kxErrNone);

    EntityClass routerSystem, childSystem;
    routerSystem.init(&routerModule, 3, 0);
    childSystem.init(&childModule, 3, 0);
    uint32_t serial = 0;
    // Before the router routes to this link the child does not answer.
    EXPECT_EQ(childSystem.getUEI32(9, &serial), kxErrTimeout);
    EXPECT_EQ(sim.stats(child).ueiGets, 0u);
    EXPECT_GE(sim.stats(router).foreignPackets, 1u);

    EXPECT_EQ(routerSystem.setUEI8(20, 1), kxErrNone); // route to me
    EXPECT_EQ(childSystem.getUEI32(9, &serial), kxErrNone);
    EXPECT_EQ(serial, kChildSerial);
    EXPECT_EQ(routerSystem.getUEI32(9, &serial), kxErrNone);
    EXPECT_EQ(serial, kRouterSerial);
    uint8_t reported = 0;
    EXPECT_EQ(childSystem.getUEI8(2, &reported), kxErrNone);
    EXPECT_EQ(reported, kRouterAddress);
    uint32_t build = 0;
    EXPECT_EQ(childModule.getBuild(&build), kxErrNone);
    EXPECT_EQ(build, 1311u);
    EXPECT_GE(sim.stats(router).childPackets, 2u);
    EXPECT_EQ(sim.stats(child).ueiGets, 2u);

    EXPECT_EQ(routerSystem.setUEI8(20, 0), kxErrNone);
    EXPECT_EQ(childSystem.getUEI32(9, &serial), kxErrTimeout);
    childModule.disconnect();
    // The router's link stays with the router.
    EXPECT_TRUE(routerModule.isConnected());
    EXPECT_EQ(routerSystem.getUEI32(9, &serial), kxErrNone);
    routerModule.disconnect();
    sim.stop();
}
