// Segmented byte values against the module simulator: empty, one byte,
// exactly one segment, one more, many segments (past the 128 sequence
// numbers) in both directions over TCP/IP (full segments do not fit the
// serial line's frame from the host), gets over the serial line, a buffer
// that is too small, and lost segments in either direction reported as
// errors, never as short values.
#include "tests/module/ModuleTestSupport.h"

using namespace moduletest;

namespace
{

// The test entity with option 4 (bytes, read and write) able to hold
// `capacity` bytes.
modsim::FirmwareSpec Capacity(size_t capacity)
{
    modsim::FirmwareSpec firmware;
    modsim::EntitySpec e;
    e.command = kTestCommand;
    e.index = 0;
    modsim::Option o;
    o.type = modsim::ValueType::Bytes;
    o.writable = true;
    o.capacity = capacity;
    e.options[4] = o;
    firmware.entities.push_back(e);
    return firmware;
}

size_t Segments(size_t length)
{
    return length == 0 ? 1 : (length + 23) / 24;
}

} // namespace

TEST(ModuleSegments, ValuesOfEveryLengthGoBothWays)
{
    SimModule s(false, Capacity(4000));
    // 3500 bytes are 146 segments: the sequence numbers wrap after 127.
    for (size_t length : {0u, 1u, 23u, 24u, 25u, 48u, 100u, 1000u, 1001u, 3500u})
    {
        SCOPED_TRACE("length " + std::to_string(length));
        Bytes value = Pattern(length, (uint8_t)length);
        unsigned in = s.Stats().segmentsIn, out = s.Stats().segmentsOut;
        EXPECT_EQ(s.test.setUEIBytes(4, value.data(), value.size()), kxErrNone);
        EXPECT_EQ(s.ModuleBytes(4), value);
        EXPECT_EQ(s.Stats().segmentsIn - in, Segments(length));

        Bytes buffer(4096, 0xEE);
        size_t received = 77;
        EXPECT_EQ(s.test.getUEIBytes(4, buffer.data(), buffer.size(), &received), kxErrNone);
        EXPECT_EQ(received, length);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + (long)received), value);
        EXPECT_EQ(buffer[received], 0xEE); // nothing written past the value
        EXPECT_EQ(s.Stats().segmentsOut - out, Segments(length));
    }
    // A buffer of exactly the value's length takes it.
    Bytes value = Pattern(48, 3);
    ASSERT_EQ(s.test.setUEIBytes(4, value.data(), value.size()), kxErrNone);
    Bytes exact(48);
    size_t received = 0;
    EXPECT_EQ(s.test.getUEIBytes(4, exact.data(), exact.size(), &received), kxErrNone);
    EXPECT_EQ(exact, value);
    // A value longer than the module holds is refused after its last segment.
    Bytes tooLong(4001, 1);
    EXPECT_EQ(s.test.setUEIBytes(4, tooLong.data(), tooLong.size()), kxErrSize);
    EXPECT_EQ(s.ModuleBytes(4), value);
}

TEST(ModuleSegments, ATooSmallBufferIsAMemoryErrorCountingWhatFitted)
{
    SimModule s(false);
    // Option 10: 100 bytes in segments of 24, 24, 24, 24, 4.
    Bytes buffer(50, 0xEE);
    size_t received = 0;
    EXPECT_EQ(s.test.getUEIBytes(10, buffer.data(), buffer.size(), &received), kxErrMemory);
    EXPECT_EQ(received, 48u);
    EXPECT_EQ(buffer[48], 0xEE);
    for (size_t i = 0; i < received; i++)
        EXPECT_EQ(buffer[i], (uint8_t)(3 * i));
    // The rest of that value does not pass for the next answer.
    Bytes whole(100);
    EXPECT_EQ(s.test.getUEIBytes(10, whole.data(), whole.size(), &received), kxErrNone);
    EXPECT_EQ(received, 100u);
    for (size_t i = 0; i < whole.size(); i++)
        EXPECT_EQ(whole[i], (uint8_t)(3 * i));
    // One byte short of the whole value.
    Bytes almost(99);
    EXPECT_EQ(s.test.getUEIBytes(10, almost.data(), almost.size(), &received), kxErrMemory);
    EXPECT_EQ(received, 96u);
}

TEST(ModuleSegments, ALostSegmentFromTheModuleIsAnError)
{
    SimModule s(false);
    Bytes buffer(200);
    // Of five segments the middle or the first is lost: the next one comes
    // out of order, a parse error at once. The last one lost: its wait ends.
    // Each only for the first get after the switch.
    struct Case
    {
        const char* rule;
        kxErr result;
        size_t received;
    };
    for (const Case& c : {Case{"20:4A:20#1", kxErrParse, 48}, Case{"20:4A:20@0#1", kxErrParse, 0},
                          Case{"20:4A:20@4#1", kxErrTimeout, 96}})
    {
        SCOPED_TRACE(c.rule);
        s.sim.setFaults(s.m, Switch("--lose-segment", c.rule));
        size_t received = 0;
        auto start = Clock::now();
        EXPECT_EQ(s.test.getUEIBytes(10, buffer.data(), buffer.size(), &received), c.result);
        EXPECT_EQ(received, c.received);
        long waited = ElapsedMs(start);
        if (c.result == kxErrTimeout)
        {
            EXPECT_GE(waited, 990);
        }
        EXPECT_LT(waited, 1600);
        // The next get has the whole value, none of the lost one's segments.
        EXPECT_EQ(s.test.getUEIBytes(10, buffer.data(), buffer.size(), &received), kxErrNone);
        EXPECT_EQ(received, 100u);
        for (size_t i = 0; i < received; i++)
            ASSERT_EQ(buffer[i], (uint8_t)(3 * i));
    }
    EXPECT_EQ(s.Stats().segmentsLost, 3u);
}

TEST(ModuleSegments, ALostSegmentOfALongValueIsNotReplacedBySequenceNumberWrap)
{
    // 150 segments: a lost segment 5 has a namesake 128 segments later.
    SimModule s(false, Capacity(4000));
    Bytes value = Pattern(3600, 11);
    ASSERT_EQ(s.test.setUEIBytes(4, value.data(), value.size()), kxErrNone);
    ASSERT_EQ(s.ModuleBytes(4), value);
    s.sim.setFaults(s.m, Switch("--lose-segment", "20:44:20@5#1"));
    Bytes buffer(4000);
    size_t received = 0;
    EXPECT_EQ(s.test.getUEIBytes(4, buffer.data(), buffer.size(), &received), kxErrParse);
    EXPECT_EQ(received, 5u * 24u);
    EXPECT_EQ(s.test.getUEIBytes(4, buffer.data(), buffer.size(), &received), kxErrNone);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + (long)received), value);
}

TEST(ModuleSegments, ALostSegmentToTheModuleIsAnError)
{
    SimModule s(false);
    Bytes old = s.ModuleBytes(4);
    Bytes value = Pattern(100, 9); // five segments
    // The module ignores the third packet it receives from now on: the
    // third segment. It refuses the value at the fourth.
    modsim::Faults faults;
    faults.dropInEvery = 3;
    s.sim.setFaults(s.m, faults);
    EXPECT_EQ(s.test.setUEIBytes(4, value.data(), value.size()), kxErrParse);
    EXPECT_EQ(s.ModuleBytes(4), old);
    EXPECT_EQ(s.Stats().packetsIgnored, 1u);
    // The last segment lost: no acknowledgement comes.
    s.sim.setFaults(s.m, faults); // counts from here
    Bytes three = Pattern(60, 1); // three segments, the third one lost
    EXPECT_EQ(s.test.setUEIBytes(4, three.data(), three.size()), kxErrTimeout);
    EXPECT_EQ(s.ModuleBytes(4), old);
    // Without the fault the value goes through, and no refusal left from
    // before passes for its acknowledgement.
    s.sim.setFaults(s.m, modsim::Faults());
    EXPECT_EQ(s.test.setUEIBytes(4, value.data(), value.size()), kxErrNone);
    EXPECT_EQ(s.ModuleBytes(4), value);
}

TEST(ModuleSegments, GetsOverTheSerialLine)
{
    SimModule s(true);
    Bytes buffer(128, 0xEE);
    size_t received = 0;
    EXPECT_EQ(s.test.getUEIBytes(10, buffer.data(), buffer.size(), &received), kxErrNone);
    ASSERT_EQ(received, 100u);
    for (size_t i = 0; i < received; i++)
        EXPECT_EQ(buffer[i], (uint8_t)(3 * i));
    // Values whose segments fit the host's frame (at most 22 bytes each
    // way): empty, one byte, 22 bytes.
    for (size_t length : {0u, 1u, 22u})
    {
        SCOPED_TRACE("length " + std::to_string(length));
        Bytes value = Pattern(length, 5);
        EXPECT_EQ(s.test.setUEIBytes(4, value.data(), value.size()), kxErrNone);
        EXPECT_EQ(s.ModuleBytes(4), value);
        EXPECT_EQ(s.test.getUEIBytes(4, buffer.data(), buffer.size(), &received), kxErrNone);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + (long)received), value);
    }
    s.sim.setFaults(s.m, Switch("--lose-segment", "20:4A:20"));
    EXPECT_EQ(s.test.getUEIBytes(10, buffer.data(), buffer.size(), &received), kxErrParse);
    EXPECT_EQ(received, 48u);
}
