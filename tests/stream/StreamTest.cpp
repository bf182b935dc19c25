// Generic stream operations and the file streams.
#include <lumbrixon/kxStream.h>
#include "tests/stream/MemoryStream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace
{
using Bytes = std::vector<uint8_t>;

class StreamTest : public ::testing::Test
{
protected:
    void TearDown() override { kxStream_Destroy(&stream); }
    MemoryStream memory;
    kxStream* stream = nullptr;
};

std::string TempPath(const char* name)
{
    return std::string(KX_BINARY_DIR) + "/stream_test_" + std::to_string(getpid()) + "_" + name;
}
} // namespace

TEST_F(StreamTest, CreateAndDestroy)
{
    stream = memory.Stream();
    ASSERT_TRUE(kxVALIDSTREAM(stream));
    EXPECT_FALSE(kxVALIDSTREAM(nullptr));
    EXPECT_EQ(kxStream_Destroy(&stream), kxErrNone);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(memory.deleteCalls, 1);
    EXPECT_EQ(kxStream_Destroy(&stream), kxErrParam);
    EXPECT_EQ(kxStream_Destroy(nullptr), kxErrParam);

    // Garbage behind the pointer: refused, and the caller's pointer cleared.
    alignas(8) uint8_t junk[128] = {};
    kxStream* bogus = reinterpret_cast<kxStream*>(junk);
    EXPECT_EQ(kxStream_Destroy(&bogus), kxErrParam);
    EXPECT_EQ(bogus, nullptr);
}

TEST_F(StreamTest, ReadIsAllOrNothing)
{
    stream = memory.Stream();
    memory.Feed({'a', 'b'});
    memory.FeedResult(kxErrNotReady);
    memory.Feed({'c', 'd', 'e'});
    uint8_t buffer[4] = {};
    EXPECT_EQ(kxStream_Read(stream, buffer, 4), kxErrNotReady);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(kxStream_Read(stream, buffer, 4), kxErrNone);
    EXPECT_EQ(Bytes(buffer, buffer + 4), Bytes({'a', 'b', 'c', 'd'}));

    // The end of the source hands over what was gathered.
    uint8_t rest[3] = {};
    EXPECT_EQ(kxStream_Read(stream, rest, 3), kxErrEOF);
    EXPECT_EQ(rest[0], 'e');

    // Other failures copy nothing.
    memory.Feed({'x'});
    memory.FeedResult(kxErrIO);
    uint8_t two[2] = {};
    EXPECT_EQ(kxStream_Read(stream, two, 2), kxErrIO);
    EXPECT_EQ(two[0], 0);
}

TEST_F(StreamTest, PushBackGrowsBeyondOneChunk)
{
    stream = memory.Stream();
    Bytes big(1500);
    for (size_t i = 0; i < big.size(); i++)
    {
        big[i] = static_cast<uint8_t>(i * 7);
    }
    memory.Feed(big);
    memory.FeedResult(kxErrNotReady);
    Bytes buffer(2000);
    ASSERT_EQ(kxStream_Read(stream, buffer.data(), buffer.size()), kxErrNotReady);
    // Part of it comes out, is returned again, then all of it in order.
    memory.FeedResult(kxErrNotReady);
    ASSERT_EQ(kxStream_Read(stream, buffer.data(), 1600), kxErrNotReady);
    ASSERT_EQ(kxStream_Read(stream, buffer.data(), 1500), kxErrNone);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 1500), big);
}

TEST_F(StreamTest, ReadRefusesWhatItCannotDo)
{
    uint8_t byte = 0;
    EXPECT_EQ(kxStream_Read(nullptr, &byte, 1), kxErrParam);
    stream = kxStream_Create(nullptr, MemoryStream::Put, nullptr, nullptr, &memory);
    EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrMode);
    EXPECT_EQ(kxStream_Read(stream, nullptr, 1), kxErrParam);
}

TEST_F(StreamTest, WriteUsesPutForSingleBytesAndWriteForBlocks)
{
    stream = memory.Stream();
    const uint8_t bytes[3] = {1, 2, 3};
    EXPECT_EQ(kxStream_Write(stream, bytes, 1), kxErrNone);
    EXPECT_EQ(memory.putCalls, 1);
    EXPECT_EQ(memory.writeCalls, 0);
    EXPECT_EQ(kxStream_Write(stream, bytes, 3), kxErrNone);
    EXPECT_EQ(memory.writeCalls, 1);
    EXPECT_EQ(kxStream_Write(stream, bytes, 0), kxErrNone);
    EXPECT_EQ(memory.written, Bytes({1, 1, 2, 3}));
    memory.writeResult = kxErrIO;
    EXPECT_EQ(kxStream_Write(stream, bytes, 2), kxErrIO);
    EXPECT_EQ(kxStream_Write(stream, nullptr, 2), kxErrParam);
    kxStream_Destroy(&stream);

    // Without `write`, every byte goes through `put`.
    stream = memory.Stream(false);
    memory.putCalls = 0;
    EXPECT_EQ(kxStream_Write(stream, bytes, 3), kxErrNone);
    EXPECT_EQ(memory.putCalls, 3);
    kxStream_Destroy(&stream);

    stream = kxStream_Create(MemoryStream::Get, nullptr, nullptr, nullptr, &memory);
    EXPECT_EQ(kxStream_Write(stream, bytes, 3), kxErrMode);
}

TEST_F(StreamTest, ReadRecordMatchesTheTerminatorForwardOnly)
{
    stream = memory.Stream();
    const uint8_t crlf[2] = {'\r', '\n'};
    uint8_t buffer[16] = {};
    size_t size = 99;

    // The match goes on after a byte that breaks it.
    memory.Feed({'a', '\r', 'b', '\n', 'z'});
    EXPECT_EQ(kxStream_ReadRecord(stream, buffer, &size, sizeof(buffer), crlf, 2), kxErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), "ab");

    // A full buffer ends the record without a terminator; the end of the
    // source ends it too.
    memory.Feed({'1', '2', '3', '4'});
    EXPECT_EQ(kxStream_ReadRecord(stream, buffer, &size, 3, crlf, 2), kxErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), "z12");
    EXPECT_EQ(kxStream_ReadRecord(stream, buffer, &size, 3, crlf, 2), kxErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), "34");
    EXPECT_EQ(kxStream_ReadRecord(stream, buffer, &size, 3, crlf, 2), kxErrEOF);
    EXPECT_EQ(size, 0u);

    EXPECT_EQ(kxStream_ReadRecord(stream, nullptr, &size, 3, crlf, 2), kxErrParam);
    EXPECT_EQ(kxStream_ReadRecord(stream, buffer, &size, 3, nullptr, 2), kxErrParam);
    EXPECT_EQ(kxStream_ReadRecord(stream, buffer, &size, 3, crlf, 0), kxErrParam);
    EXPECT_EQ(kxStream_ReadRecord(stream, buffer, &size, 0, crlf, 2), kxErrParam);
}

TEST_F(StreamTest, ReadRecordCutShortKeepsEveryByteForTheNextRead)
{
    stream = memory.Stream();
    const uint8_t crlf[2] = {'\r', '\n'};
    uint8_t buffer[16] = {};
    size_t size = 0;

    memory.FeedResult(kxErrNotReady);
    EXPECT_EQ(kxStream_ReadRecord(stream, buffer, &size, sizeof(buffer), crlf, 2), kxErrNotReady);

    // The line arrives in pieces, the first piece ending inside the terminator.
    memory.Feed({'O', 'K', '\r'});
    memory.FeedResult(kxErrNotReady);
    memory.Feed({'\n', 'N', 'O', '\r', '\n'});
    EXPECT_EQ(kxStream_ReadRecord(stream, buffer, &size, sizeof(buffer), crlf, 2), kxErrNotReady);
    EXPECT_EQ(kxStream_ReadRecord(stream, buffer, &size, sizeof(buffer), crlf, 2), kxErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), "OK");
    EXPECT_EQ(kxStream_ReadRecord(stream, buffer, &size, sizeof(buffer), crlf, 2), kxErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), "NO");
}

TEST_F(StreamTest, CStringsAndRecords)
{
    stream = memory.Stream();
    char text[8] = {};
    memory.Feed({'a', 'b', 'c', 0x00});
    EXPECT_EQ(kxStream_ReadCString(stream, text, sizeof(text)), kxErrNone);
    EXPECT_STREQ(text, "abc");

    // A buffer of 3 takes two characters and leaves the rest.
    memory.Feed({'a', 'b', 'c', 0x00});
    EXPECT_EQ(kxStream_ReadCString(stream, text, 3), kxErrNone);
    EXPECT_STREQ(text, "ab");
    EXPECT_EQ(kxStream_ReadCString(stream, text, sizeof(text)), kxErrNone);
    EXPECT_STREQ(text, "c");

    memory.Feed({'h', 'i', '\r', '\n'});
    EXPECT_EQ(kxStream_ReadCStringRecord(stream, text, sizeof(text), "\r\n"), kxErrNone);
    EXPECT_STREQ(text, "hi");

    EXPECT_EQ(kxStream_WriteCStringRecord(stream, "x", "\r\n"), kxErrNone);
    EXPECT_EQ(memory.written, Bytes({0x78, 0x0D, 0x0A, 0x00}));
    memory.written.clear();
    EXPECT_EQ(kxStream_WriteCString(stream, "ok"), kxErrNone);
    EXPECT_EQ(memory.written, Bytes({'o', 'k', 0x00}));
    memory.written.clear();
    const uint8_t end[1] = {';'};
    EXPECT_EQ(kxStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>("ab"), 2, end, 1),
              kxErrNone);
    EXPECT_EQ(memory.written, Bytes({'a', 'b', ';'}));
    EXPECT_EQ(kxStream_WriteRecord(stream, nullptr, 2, end, 1), kxErrParam);
    EXPECT_EQ(kxStream_WriteRecord(stream, end, 1, end, 0), kxErrParam);
}

TEST_F(StreamTest, FileStreamsAndFlush)
{
    std::string in = TempPath("in"), out = TempPath("out");
    {
        std::ofstream file(in, std::ios::binary);
        file << "line one\nline two\n";
    }
    kxStream* source = nullptr;
    kxStream* destination = nullptr;
    ASSERT_EQ(kxStream_CreateFileInput(in.c_str(), &source), kxErrNone);
    ASSERT_EQ(kxStream_CreateFileOutput(out.c_str(), &destination), kxErrNone);
    char line[32];
    EXPECT_EQ(kxStream_ReadCStringRecord(source, line, sizeof(line), "\n"), kxErrNone);
    EXPECT_STREQ(line, "line one");
    EXPECT_EQ(kxStream_Flush(source, destination), kxErrNone);
    EXPECT_EQ(kxStream_Flush(destination, source), kxErrMode);
    EXPECT_EQ(kxStream_Flush(nullptr, source), kxErrParam);
    EXPECT_EQ(kxStream_Destroy(&source), kxErrNone);
    EXPECT_EQ(kxStream_Destroy(&destination), kxErrNone);
    std::ifstream copied(out, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(copied), {}), "line two\n");

    // Files that cannot be opened give an error and no stream.
    EXPECT_EQ(kxStream_CreateFileInput((in + ".missing").c_str(), &source), kxErrResource);
    EXPECT_EQ(source, nullptr);
    EXPECT_EQ(kxStream_CreateFileOutput("/nonexistent-dir/x", &destination), kxErrResource);
    EXPECT_EQ(destination, nullptr);
    EXPECT_EQ(kxStream_CreateFileInput(nullptr, &source), kxErrResource);
    EXPECT_EQ(kxStream_CreateFileOutput(out.c_str(), nullptr), kxErrResource);
    unlink(in.c_str());
    unlink(out.c_str());
}
