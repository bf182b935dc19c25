#include "app/Log.h"
#include "app/firmware/BirdFile.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"
#include "tools/birdtool/BirdPack.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace
{

// One file with the given bytes in a directory of its own.
struct TempFile
{
    TempDir dir;
    std::string path = dir / "image.bird";
    explicit TempFile(const std::vector<uint8_t>& bytes)
    {
        FILE* f = fopen(path.c_str(), "wb");
        if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
            path.clear();
        if (f != nullptr)
            fclose(f);
    }
};

std::vector<uint8_t> payload(size_t n, uint8_t seed = 0)
{
    std::vector<uint8_t> p(n);
    for (size_t i = 0; i < n; ++i)
        p[i] = uint8_t(seed + i * 7);
    return p;
}

BirdManifest sample()
{
    BirdManifest m;
    m.blocks.push_back(BirdPack_AddressBlock(0, 2, 0x10000000, payload(40, 1)));
    m.blocks.push_back(BirdPack_AddressBlock(1, 0, 0x1000, payload(0x100, 3)));
    m.blocks.push_back(BirdPack_InfoBlock(1234, "2.10.3", 0x0001A2B3, "LX-IO8"));
    m.blocks.push_back(BirdPack_AddressBlock(1, 1, 0x2000, payload(64, 9)));
    return m;
}

BirdFile loadBytes(const std::vector<uint8_t>& bytes, bool* ok = nullptr)
{
    BirdFile bird;
    bool loaded = bird.LoadBytes(bytes.data(), bytes.size());
    if (ok)
        *ok = loaded;
    return bird;
}
} // namespace

TEST(BirdFileLoad, RoundTripThroughFile)
{
    BirdManifest m = sample();
    TempFile f(BirdPack_File(m));
    ASSERT_TRUE(BirdFile::VerifyFile(f.path.c_str()));
    BirdFile bird(f.path.c_str());
    EXPECT_EQ(bird.signature, BirdFile::BIRD_FILE_SIGNATURE);
    EXPECT_EQ(bird.version, 0x0101u);
    ASSERT_EQ(bird.blockCount, 4u);
    ASSERT_EQ(bird.blocks.size(), 4u);
    EXPECT_EQ(bird.blocks[0].type, 0);
    EXPECT_EQ(bird.blocks[0].flags, 2);
    EXPECT_EQ(bird.blocks[0].address, 0x10000000u);
    EXPECT_EQ(bird.blocks[0].length, 44u);
    auto fw = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(fw.size(), 2u);
    EXPECT_EQ(fw[0].address, 0x1000u);
    EXPECT_EQ(fw[1].address, 0x2000u);
    EXPECT_EQ(std::vector<uint8_t>(fw[0].data + 4, fw[0].data + fw[0].length), payload(0x100, 3));
    EXPECT_TRUE(bird.FindBlocks(BirdFile::BLOCK_ENTRY_ADDRESS).empty());
    EXPECT_EQ(bird.GetBuild(), 1234u);
    EXPECT_EQ(bird.GetVersion(), "2.10.3");
    EXPECT_EQ(bird.GetSerialNumber(), 0x0001A2B3u);
    EXPECT_FALSE(bird.personalisable);
    std::vector<uint8_t> image = BirdPack_Image(m);
    EXPECT_EQ(bird.checksum,
              BirdPack_Checksum(std::vector<uint8_t>(image.begin(), image.end() - 4)));

    // A move keeps the blocks pointing into the moved image.
    BirdFile moved;
    moved = std::move(bird);
    EXPECT_EQ(moved.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].data[4], payload(0x100, 3)[0]);
}

TEST(BirdFileLoad, MissingAndHeaderOnlyFilesThrow)
{
    LogCapture log(DEBUG_BirdFile);
    EXPECT_THROW(BirdFile("/nonexistent/x.bird"), std::runtime_error);
    EXPECT_NE(log.Text().find("BIRDFILE: BIRD file not found [/nonexistent/x.bird]"),
              std::string::npos);
    TempFile header(std::vector<uint8_t>{'b', 'i', 'r', 'd', 1, 1});
    try
    {
        BirdFile b(header.path.c_str());
        FAIL() << "a header without a stream loaded";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ(e.what(), "Failed to load bird data");
    }
}

TEST(BirdFileLoad, ALaterLoadKeepsNothingOfTheEarlierImage)
{
    BirdManifest personal;
    personal.blocks.push_back(BirdPack_AddressBlock(1, 0, 0x1000, payload(0x40, 5)));
    personal.blocks.push_back(BirdPack_OffsetsBlock(0x1010, 0x1020));
    BirdFile bird = loadBytes(BirdPack_File(personal));
    ASSERT_TRUE(bird.personalisable);
    ASSERT_EQ(bird.blocks.size(), 2u);

    // A plain image replaces the blocks and the personalisation.
    std::vector<uint8_t> plain = BirdPack_File(sample());
    ASSERT_TRUE(bird.LoadBytes(plain.data(), plain.size()));
    EXPECT_EQ(bird.blocks.size(), 4u);
    EXPECT_EQ(bird.blockCount, 4u);
    EXPECT_FALSE(bird.personalisable);
    EXPECT_EQ(bird.serialNumberOffset, 0u);

    // A stream that does not inflate leaves no blocks into the freed image.
    bird = loadBytes(BirdPack_File(personal));
    std::vector<uint8_t> broken = {'b', 'i', 'r', 'd', 1, 1, 0x78, 0x9C, 0xFF, 0xFF};
    EXPECT_FALSE(bird.LoadBytes(broken.data(), broken.size()));
    EXPECT_TRUE(bird.blocks.empty());
    EXPECT_EQ(bird.blockCount, 0u);
    EXPECT_FALSE(bird.personalisable);
    EXPECT_TRUE(bird.FindBlocks(BirdFile::BLOCK_SERIAL_OFFSETS).empty());
}

TEST(BirdFileLoad, InflationLimitIsEightTimes)
{
    BirdManifest m;
    m.blocks.push_back(BirdPack_AddressBlock(1, 0, 0, std::vector<uint8_t>(64 * 1024, 0)));
    LogCapture log(DEBUG_BirdFile);
    bool ok = true;
    BirdFile b = loadBytes(BirdPack_File(m), &ok);
    EXPECT_FALSE(ok);
    EXPECT_NE(log.Text().find("BIRDFILE: Error (-5) decompressing bird file."), std::string::npos);
    EXPECT_EQ(b.dataSize, 0u);
}

TEST(BirdFileLoad, ZeroBlocksLoads)
{
    BirdManifest m;
    bool ok = false;
    BirdFile b = loadBytes(BirdPack_File(m), &ok);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(b.blocks.empty());
    EXPECT_FALSE(b.personalisable);
}

TEST(BirdFileScan, CountMismatchesBothWays)
{
    for (uint32_t declared : {3u, 1u})
    {
        BirdManifest m;
        m.blocks.push_back(BirdPack_AddressBlock(1, 0, 0, payload(8)));
        m.blocks.push_back(BirdPack_InfoBlock(1, "1", 1, "M"));
        if (declared == 1)
            m.blocks.push_back(BirdPack_EntryBlock(0x20000400));
        m.declaredCount = declared;
        LogCapture log(DEBUG_BirdFile);
        bool ok = false;
        BirdFile b = loadBytes(BirdPack_File(m), &ok);
        EXPECT_TRUE(ok) << "a count mismatch is not fatal";
        size_t real = m.blocks.size();
        EXPECT_EQ(b.blocks.size(), real);
        char expected[96];
        snprintf(expected, sizeof expected,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%zu != %u)", real,
                 declared);
        EXPECT_NE(log.Text().find(expected), std::string::npos) << log.Text();
    }
}

TEST(BirdFileScan, TypeByteSplitsIntoTypeAndFlags)
{
    BirdManifest m;
    m.blocks.push_back(BirdPack_AddressBlock(1, 7, 0x40, payload(4)));
    std::vector<uint8_t> image = BirdPack_Image(m);
    EXPECT_EQ(image[4], 0xE1);
    BirdFile b = loadBytes(BirdPack_FileFromImage(image));
    ASSERT_EQ(b.blocks.size(), 1u);
    EXPECT_EQ(b.blocks[0].type, 1);
    EXPECT_EQ(b.blocks[0].flags, 7);
}

TEST(BirdFileScan, TruncatedBlockIsNotAddedAndNothingIsReadPastTheImage)
{
    BirdManifest m;
    m.blocks.push_back(BirdPack_AddressBlock(1, 0, 0, payload(16)));
    m.blocks.push_back(BirdPack_AddressBlock(1, 0, 0x100, payload(16)));
    std::vector<uint8_t> image = BirdPack_Image(m);
    // The second block claims far more than the image holds.
    size_t second = 4 + 5 + 20;
    image[second + 1] = 0x7F;
    LogCapture log(DEBUG_BirdFile);
    BirdFile b;
    b.data.reset(new unsigned char[image.size()]);
    std::copy(image.begin(), image.end(), b.data.get());
    EXPECT_FALSE(b.ScanBlocks(b.data.get(), unsigned(image.size())));
    EXPECT_EQ(b.blocks.size(), 1u);
    EXPECT_NE(log.Text().find("BIRDFILE: Block parsing mismatch in data size."), std::string::npos);

    // Images too short for a block count, and files too short for a header.
    BirdFile tiny;
    const unsigned char three[3] = {0, 0, 0};
    EXPECT_FALSE(tiny.ScanBlocks(three, 3));
    for (size_t n = 0; n < 6; ++n)
    {
        std::vector<uint8_t> shortFile = {'b', 'i', 'r', 'd', 1};
        shortFile.resize(n);
        bool ok = true;
        loadBytes(shortFile, &ok);
        EXPECT_FALSE(ok) << n;
    }
}

TEST(BirdFileScan, TrailingBytesAreASizeMismatch)
{
    BirdManifest m;
    m.blocks.push_back(BirdPack_AddressBlock(1, 0, 0, payload(8)));
    std::vector<uint8_t> image = BirdPack_Image(m);
    image.push_back(0xAA);
    image.push_back(0xBB);
    LogCapture log(DEBUG_BirdFile);
    bool ok = false;
    BirdFile b = loadBytes(BirdPack_FileFromImage(image), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(b.blocks.size(), 1u) << "the checksum and the extra bytes are no block";
    EXPECT_NE(log.Text().find("BIRDFILE: Block parsing mismatch in data size. (6 bytes remaining)"),
              std::string::npos)
        << log.Text();
}

TEST(BirdFileVerify, HeaderRules)
{
    TempFile good(std::vector<uint8_t>{'b', 'i', 'r', 'd', 1, 1});
    EXPECT_TRUE(BirdFile::VerifyFile(good.path.c_str()));
    TempFile zeroMajor(std::vector<uint8_t>{'b', 'i', 'r', 'd', 0, 1, 9, 9});
    EXPECT_FALSE(BirdFile::VerifyFile(zeroMajor.path.c_str()));
    TempFile five(std::vector<uint8_t>{'b', 'i', 'r', 'd', 1});
    EXPECT_FALSE(BirdFile::VerifyFile(five.path.c_str()));
    TempFile foreign(std::vector<uint8_t>{'B', 'I', 'R', 'D', 1, 1});
    EXPECT_FALSE(BirdFile::VerifyFile(foreign.path.c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile("/nonexistent/file.bird"));
}

TEST(BirdFileIdentity, FieldRules)
{
    BirdManifest m;
    m.blocks.push_back(BirdPack_InfoBlockText("1234", "2.10 beta", "        ", "ABC"));
    BirdFile b = loadBytes(BirdPack_File(m));
    EXPECT_EQ(b.GetBuild(), 1234u);
    EXPECT_EQ(b.GetVersion(), "2.10");
    EXPECT_EQ(b.GetSerialNumber(), 0u);
    EXPECT_TRUE(b.ValidateModel("ABC"));
    EXPECT_TRUE(b.ValidateModel("AB"));
    EXPECT_TRUE(b.ValidateModel(""));
    EXPECT_FALSE(b.ValidateModel("ABCD"));
    EXPECT_TRUE(b.ValidateSerialNumber(0));

    BirdFile none = loadBytes(BirdPack_File(BirdManifest{}));
    EXPECT_EQ(none.GetBuild(), 0u);
    EXPECT_EQ(none.GetVersion(), "");
    EXPECT_FALSE(none.ValidateModel(""));
}

TEST(BirdFileIdentity, BuildReadsFifteenDigits)
{
    BirdManifest m;
    m.blocks.push_back(BirdPack_InfoBlockText("0000000000012349", "1", "0001A2B3", "M"));
    BirdFile b = loadBytes(BirdPack_File(m));
    EXPECT_EQ(b.GetBuild(), 1234u) << "the 16th digit is not read";
    EXPECT_EQ(b.GetSerialNumber(), 0x0001A2B3u);
}

TEST(BirdFilePersonalise, SerialNumberPlacement)
{
    BirdManifest m;
    m.blocks.push_back(BirdPack_AddressBlock(1, 0, 0x1000, std::vector<uint8_t>(0x100, 0xEE)));
    m.blocks.push_back(BirdPack_OffsetsBlock(0x10FC, 0x1010));
    BirdFile b = loadBytes(BirdPack_File(m));
    ASSERT_TRUE(b.personalisable);
    EXPECT_EQ(b.serialNumberOffset, 0x10FCu);
    EXPECT_EQ(b.descriptorOffset, 0x1010u);
    ASSERT_TRUE(b.ReplaceSerialNumber(0x40F5849A));
    const unsigned char* d = b.blocks[0].data;
    EXPECT_EQ(d[4 + 0x100 - 4], 0x9A) << "little-endian word at data index 0x100";
    EXPECT_EQ(d[4 + 0x100 - 1], 0x40);
    // The descriptor's low bytes take the digits, the high bytes stay.
    const char* digits = "40F5849A";
    for (int i = 0; i < 8; ++i)
    {
        EXPECT_EQ(d[4 + 0x10 + 2 * i], digits[i]);
        EXPECT_EQ(d[4 + 0x10 + 2 * i + 1], 0xEE);
    }

    BirdManifest beyond;
    beyond.blocks.push_back(BirdPack_AddressBlock(1, 0, 0x1000, std::vector<uint8_t>(0x100, 0xEE)));
    beyond.blocks.push_back(BirdPack_OffsetsBlock(0x10FD, 0));
    BirdFile c = loadBytes(BirdPack_File(beyond));
    EXPECT_TRUE(c.ReplaceSerialNumber(0x11223344)) << "a serial offset alone makes the result true";
    for (size_t i = 4; i < c.blocks[0].length; ++i)
        ASSERT_EQ(c.blocks[0].data[i], 0xEE) << "nothing written one byte past the payload";

    BirdManifest noOffsets;
    noOffsets.blocks.push_back(BirdPack_AddressBlock(1, 0, 0, payload(32)));
    BirdFile e = loadBytes(BirdPack_File(noOffsets));
    EXPECT_FALSE(e.ReplaceSerialNumber(1));
}

TEST(BirdFilePersonalise, VectorChecksumMakesWordsZeroToSevenSumToZero)
{
    std::vector<uint8_t> words;
    for (uint32_t w = 1; w <= 8; ++w)
        for (int b = 0; b < 4; ++b)
            words.push_back(uint8_t(w >> (8 * b)));
    BirdManifest m;
    m.blocks.push_back(BirdPack_AddressBlock(1, 0, 0, words));
    m.blocks.push_back(BirdPack_AddressBlock(1, 0, 0x100, words));
    BirdFile b = loadBytes(BirdPack_File(m));
    EXPECT_TRUE(b.ReplaceVectorChecksum());
    const unsigned char* w7 = b.blocks[0].data + 4 + 28;
    uint32_t stored = w7[0] | (w7[1] << 8) | (w7[2] << 16) | (uint32_t(w7[3]) << 24);
    EXPECT_EQ(stored, 0xFFFFFFE4u);
    EXPECT_EQ(b.blocks[1].data[4 + 28], 8) << "blocks at other addresses stay";
}

TEST(BirdFilePersonalise, DescrambleRoundTrip)
{
    BirdFile zero;
    BirdManifest z;
    z.blocks.push_back(BirdPack_AddressBlock(1, 0, 0, {0x01, 0x01, 0x01}));
    zero = loadBytes(BirdPack_File(z));
    const unsigned int zeroKey[4] = {0, 0, 0, 0};
    zero.DecodeFirmwareBlocks(zeroKey);
    EXPECT_EQ(zero.blocks[0].data[4], 0x01);
    EXPECT_EQ(zero.blocks[0].data[5], 0x00);
    EXPECT_EQ(zero.blocks[0].data[6], 0x01);

    const std::vector<uint32_t> key = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};
    BirdManifest m = sample();
    m.key = key;
    BirdFile b = loadBytes(BirdPack_File(m));
    auto fw = b.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    EXPECT_NE(std::vector<uint8_t>(fw[0].data + 4, fw[0].data + fw[0].length), payload(0x100, 3));
    EXPECT_EQ(b.blocks[0].data[4], payload(40, 1)[0]) << "loader blocks are not scrambled";
    const unsigned int k[4] = {key[0], key[1], key[2], key[3]};
    b.DecodeFirmwareBlocks(k);
    fw = b.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    EXPECT_EQ(std::vector<uint8_t>(fw[0].data + 4, fw[0].data + fw[0].length), payload(0x100, 3));
    EXPECT_EQ(std::vector<uint8_t>(fw[1].data + 4, fw[1].data + fw[1].length), payload(64, 9));
}

TEST(BirdFileDump, RowsAndTextColumn)
{
    BirdManifest m;
    m.blocks.push_back(BirdPackBlock{3, 0, {0x41, 0x00, 0x42}});
    BirdFile b = loadBytes(BirdPack_File(m));
    b.path = "x.bird";
    testing::internal::CaptureStdout();
    b.DumpBlocks(BirdFile::BLOCK_RESERVED);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "BIRDFILE: BLOCK DUMP [x.bird]\n \r\n000000: 41 00 42  A B\n\n");
}

TEST(BirdFileValidate, PatternSearchInFirmwareBlocks)
{
    BirdManifest m;
    m.blocks.push_back(BirdPack_AddressBlock(1, 0, 0, {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x00}));
    m.blocks.push_back(BirdPack_AddressBlock(0, 0, 0, {0xCA, 0xFE, 0x00, 0x00}));
    BirdFile b = loadBytes(BirdPack_File(m));
    const unsigned char present[] = {0xAD, 0xBE};
    const unsigned char loaderOnly[] = {0xCA, 0xFE};
    EXPECT_TRUE(b.ValidateData(present, 2));
    EXPECT_FALSE(b.ValidateData(loaderOnly, 2));

    // A pattern that ends with the block's last byte is found; one byte
    // longer than the block is not.
    BirdManifest tail;
    tail.blocks.push_back(BirdPack_AddressBlock(1, 0, 0, {0x00, 0x00, 0x12, 0x34}));
    BirdFile t = loadBytes(BirdPack_File(tail));
    const unsigned char last[] = {0x12, 0x34};
    const unsigned char whole[] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34};
    const unsigned char tooLong[] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34, 0x00};
    EXPECT_TRUE(t.ValidateData(last, 2));
    EXPECT_TRUE(t.ValidateData(whole, sizeof whole));
    EXPECT_FALSE(t.ValidateData(tooLong, sizeof tooLong));
}

TEST(BirdFileCheck, AgreesWithTheLoaderWithoutKeepingTheImage)
{
    std::vector<uint8_t> good = BirdPack_File(sample());
    std::string why;
    EXPECT_TRUE(BirdFile::CheckBytes(good.data(), good.size(), &why)) << why;

    // Cut short: the stream does not end.
    std::vector<uint8_t> cut(good.begin(), good.begin() + good.size() / 2);
    EXPECT_FALSE(BirdFile::CheckBytes(cut.data(), cut.size(), &why));
    EXPECT_NE(why.find("does not inflate"), std::string::npos) << why;
    bool loaded = true;
    loadBytes(cut, &loaded);
    EXPECT_FALSE(loaded);

    // Past the loader's limit of eight times the compressed size.
    BirdManifest zeros;
    zeros.blocks.push_back(BirdPack_AddressBlock(1, 0, 0, std::vector<uint8_t>(100000, 0)));
    std::vector<uint8_t> big = BirdPack_File(zeros);
    EXPECT_FALSE(BirdFile::CheckBytes(big.data(), big.size(), &why));
    EXPECT_NE(why.find("more than 8 times"), std::string::npos) << why;
    loadBytes(big, &loaded);
    EXPECT_FALSE(loaded);

    std::vector<uint8_t> header(good.begin(), good.begin() + 5);
    EXPECT_FALSE(BirdFile::CheckBytes(header.data(), header.size(), &why));
    EXPECT_FALSE(BirdFile::CheckBytes(nullptr, 0));
}
