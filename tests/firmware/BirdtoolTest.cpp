// birdtool run as a user runs it: exit status, output, and the file it makes.
#include "app/firmware/BirdFile.h"
#include "tools/birdtool/BirdPack.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
struct ToolRun
{
    int status = -1;
    std::string out;
};

ToolRun run(const std::string& args)
{
    std::string command = std::string(KX_BINARY_DIR) + "/birdtool " + args + " 2>&1";
    ToolRun r;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return r;
    std::array<char, 4096> buffer;
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        r.out.append(buffer.data(), n);
    int rc = pclose(pipe);
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return r;
}

// A temporary directory with a helper that writes one file into it.
struct Workdir : TempDir
{
    std::string file(const std::string& name, const std::string& text) const
    {
        std::ofstream(sub(name), std::ios::binary) << text;
        return sub(name);
    }
};
} // namespace

TEST(Birdtool, PackInfoAndDump)
{
    Workdir w;
    w.file("fw.bin", std::string("\x10\x20\x30\x40", 4));
    std::string manifest =
        w.file("m.txt", "# a test image\n"
                        "block 0 address=0x10000000 hex=0A0B\n"
                        "block 1 flags=3 address=0x1000 file=fw.bin\n"
                        "info build=77 version=1.2.3 serial=40F5849A model=LX_IO\n"
                        "offsets serial=0x1000 descriptor=0\n"
                        "entry 0x20000400\n");
    std::string out = w.path() + "/t.bird";
    ToolRun pack = run("pack " + manifest + " -o " + out);
    ASSERT_EQ(pack.status, 0) << pack.out;

    BirdFile bird(out.c_str());
    ASSERT_EQ(bird.blocks.size(), 5u);
    EXPECT_EQ(bird.blocks[1].flags, 3);
    EXPECT_EQ(bird.blocks[1].data[4], 0x10);
    EXPECT_EQ(bird.GetBuild(), 77u);
    EXPECT_EQ(bird.GetModel(), "LX IO");
    EXPECT_TRUE(bird.personalisable);

    ToolRun info = run("info " + out);
    EXPECT_EQ(info.status, 0);
    EXPECT_NE(info.out.find("5 blocks"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("type  1  flags 3  length        8  address 00001000"),
              std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("build 77  version 1.2.3  serial 40F5849A  model LX IO"),
              std::string::npos);
    EXPECT_NE(info.out.find("serial number 00001000"), std::string::npos);

    ToolRun dump = run("dump " + out + " 0");
    EXPECT_EQ(dump.status, 0);
    EXPECT_NE(dump.out.find("000000: 10 00 00 00 0A 0B "), std::string::npos) << dump.out;
}

TEST(Birdtool, ScrambledPackDecodesWithTheKey)
{
    Workdir w;
    std::string manifest = w.file("m.txt", "key 0x01020304 0x05060708 0x090A0B0C 0x0D0E0F10\n"
                                           "block 1 address=0 hex=00112233445566778899\n");
    std::string out = w.path() + "/s.bird";
    ASSERT_EQ(run("pack " + manifest + " -o " + out).status, 0);
    BirdFile bird(out.c_str());
    EXPECT_NE(bird.blocks[0].data[5], 0x11);
    const unsigned int key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
    bird.DecodeFirmwareBlocks(key);
    const unsigned char plain[] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99};
    EXPECT_EQ(0, memcmp(bird.blocks[0].data + 4, plain, sizeof plain));
}

TEST(Birdtool, BadInputExitsOneWithAMessage)
{
    Workdir w;
    struct Case
    {
        const char* manifest;
        const char* message;
    } cases[] = {
        {"block 1 hex=ABC\n", "line 1: hex payload"},
        {"\nblock 40 hex=00\n", "line 2: block needs one type"},
        {"block 2 address=4 hex=00\n", "only loader (0) and firmware (1) blocks have an address"},
        {"frobnicate\n", "unknown statement 'frobnicate'"},
        {"key 1 2 3\n", "key needs four 32-bit words"},
        {"block 1 file=missing.bin\n", "cannot read payload file"},
    };
    for (const Case& c : cases)
    {
        std::string manifest = w.file("bad.txt", c.manifest);
        ToolRun r = run("pack " + manifest + " -o " + w.path() + "/x.bird");
        EXPECT_EQ(r.status, 1) << c.manifest;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
        EXPECT_NE(access((w.path() + "/x.bird").c_str(), F_OK), 0)
            << "nothing written for " << c.manifest;
    }
    std::string notBird = w.file("plain.txt", "hello");
    ToolRun info = run("info " + notBird);
    EXPECT_EQ(info.status, 1);
    EXPECT_NE(info.out.find("is not a BIRD file"), std::string::npos);
    EXPECT_EQ(run("dump " + notBird + " x").status, 1);
    EXPECT_EQ(run("").status, 1);
    EXPECT_EQ(run("pack").status, 1);

    ToolRun help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("CRC-32"), std::string::npos) << "the checksum rule is stated";
}

namespace
{
// A file around an image given byte by byte.
std::string fileOf(const std::vector<uint8_t>& image)
{
    std::vector<uint8_t> bytes = BirdPack_FileFromImage(image);
    return std::string(bytes.begin(), bytes.end());
}

std::vector<uint8_t> be32(uint32_t v)
{
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}
} // namespace

TEST(Birdtool, InfoFailsOnBrokenImages)
{
    Workdir w;
    BirdManifest manifest;
    manifest.blocks.push_back(BirdPack_AddressBlock(1, 0, 0x1000, {1, 2, 3, 4, 5, 6, 7, 8}));
    std::vector<uint8_t> good = BirdPack_Image(manifest);

    // One block that claims far more bytes than the image holds.
    std::vector<uint8_t> truncated = be32(1);
    truncated.push_back(0x01);
    for (uint8_t b : be32(0x00FFFFFF))
        truncated.push_back(b);
    truncated.insert(truncated.end(), {0, 0, 0x10, 0, 9, 9, 9, 9});
    // Two blocks declared, one there.
    std::vector<uint8_t> miscounted = good;
    miscounted[3] = 2;
    // Bytes after the checksum.
    std::vector<uint8_t> trailing = good;
    trailing.insert(trailing.end(), {0xAA, 0xBB});
    // Too short for the block count.
    std::vector<uint8_t> tiny = {0, 0};

    struct Case
    {
        std::vector<uint8_t> image;
        const char* problem;
    } cases[] = {
        {truncated, "claims 16777215 bytes, but only"},
        {miscounted, "declares 2 blocks but holds 1"},
        {trailing, "block 1 at image offset 21 claims"},
        {tiny, "too few for its block count"},
    };
    for (const Case& c : cases)
    {
        std::string path = w.file("broken.bird", fileOf(c.image));
        ToolRun r = run("info " + path);
        EXPECT_EQ(r.status, 1) << c.problem << "\n" << r.out;
        EXPECT_NE(r.out.find("birdtool: " + path + " is broken: "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(c.problem), std::string::npos) << r.out;
    }

    // A checksum that does not match is only a warning.
    std::vector<uint8_t> unsummed = good;
    unsummed[unsummed.size() - 1] ^= 0xFF;
    std::string path = w.file("unsummed.bird", fileOf(unsummed));
    ToolRun r = run("info " + path);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("birdtool: warning: " + path + ": file checksum"), std::string::npos)
        << r.out;
    ToolRun clean = run("info " + w.file("good.bird", fileOf(good)));
    EXPECT_EQ(clean.status, 0) << clean.out;
    EXPECT_EQ(clean.out.find("warning"), std::string::npos) << clean.out;
}

TEST(Birdtool, PackRefusesImagesTheLoaderCannotInflate)
{
    Workdir w;
    // A megabyte of zeros shrinks to about a thousandth of its size.
    w.file("zeros.bin", std::string(1 << 20, '\0'));
    std::string manifest = w.file("big.txt", "block 1 address=0 file=zeros.bin\n");
    const std::string out = w.path() + "/big.bird";
    ToolRun r = run("pack " + manifest + " -o " + out);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("more than 8 times its"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("it is not written"), std::string::npos) << r.out;
    EXPECT_NE(access(out.c_str(), F_OK), 0);

    // Bytes that do not compress are packed.
    std::string mixed;
    uint32_t state = 7;
    for (int i = 0; i < 4096; ++i)
    {
        state = state * 1664525u + 1013904223u;
        mixed += char(state >> 24);
    }
    w.file("mixed.bin", mixed);
    std::string fine = w.file("fine.txt", "block 1 address=0 file=mixed.bin\n");
    EXPECT_EQ(run("pack " + fine + " -o " + out).status, 0);
    BirdFile loaded(out.c_str());
    EXPECT_EQ(loaded.blockCount, 1u);
}
