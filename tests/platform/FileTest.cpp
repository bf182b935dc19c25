#include "tests/support/TempDir.h"
#include <lumbrixon/kxFile.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace
{
void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}
} // namespace

TEST(File, PathLengthLimit)
{
    TempDir dir;
    writeFile(dir / "f", "x");
    // Repeated separators make a real path of any length.
    std::string padded = dir.path() + std::string(1024 - dir.path().size() - 1, '/') + "f";
    ASSERT_EQ(padded.size(), 1024u);
    EXPECT_TRUE(kxFile_Exists(padded.c_str()));
    kxFileRef f = kxFile_Open(padded.c_str(), kxFileRead);
    EXPECT_NE(f, nullptr);
    kxFile_Close(&f);

    std::string longer = dir.path() + "/" + padded.substr(dir.path().size());
    ASSERT_EQ(longer.size(), 1025u);
    EXPECT_FALSE(kxFile_Exists(longer.c_str()));
    EXPECT_EQ(kxFile_Open(longer.c_str(), kxFileRead), nullptr);
    EXPECT_EQ(kxFile_Delete(longer.c_str()), kxErrFileNameLength);
}

TEST(File, OpenRefusals)
{
    TempDir dir;
    EXPECT_EQ(kxFile_Open(nullptr, kxFileRead), nullptr);
    EXPECT_EQ(kxFile_Open("", kxFileRead), nullptr);
    EXPECT_EQ(kxFile_Open((dir / "f").c_str(), kxFileInvalid), nullptr);
    EXPECT_EQ(kxFile_Open((dir / "missing").c_str(), kxFileRead), nullptr);
    EXPECT_FALSE(kxFile_Exists(dir.path().c_str())) << "a directory is not a file";
}

TEST(File, ReadAtEndAndShortRead)
{
    TempDir dir;
    writeFile(dir / "f", "0123456789abcd");
    kxFileRef f = kxFile_Open((dir / "f").c_str(), kxFileRead);
    ASSERT_NE(f, nullptr);
    char buffer[16];
    size_t count = 99;
    EXPECT_EQ(kxFile_Seek(f, 10, 0), kxErrNone);
    EXPECT_EQ(kxFile_Read(f, buffer, 10, &count), kxErrNone);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(kxFile_Read(f, buffer, 10, &count), kxErrEOF);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(kxFile_Read(f, buffer, 0, &count), kxErrNone);
    EXPECT_EQ(kxFile_Write(f, "x", 1, &count), kxErrMode);
    EXPECT_EQ(kxFile_Printf(f, "%d", 1), kxErrMode);
    EXPECT_EQ(kxFile_SetUnbuffered(f), kxErrMode);
    kxFile_Close(&f);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(kxFile_Close(&f), kxErrParam);
}

TEST(File, SeekBoundsAndPosition)
{
    TempDir dir;
    writeFile(dir / "f", "12345");
    kxFileRef f = kxFile_Open((dir / "f").c_str(), kxFileRead);
    uint64_t size = 0, position = 77;
    EXPECT_EQ(kxFile_GetSize(f, &size), kxErrNone);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(kxFile_GetPosition(f, &position), kxErrNone);
    EXPECT_EQ(position, 77u) << "position 0 is not written out";
    EXPECT_EQ(kxFile_Seek(f, 0, 2), kxErrNone);
    EXPECT_EQ(kxFile_Seek(f, 1, 2), kxErrRange);
    EXPECT_EQ(kxFile_Seek(f, -6, 2), kxErrRange);
    EXPECT_EQ(kxFile_Seek(f, 2, 0), kxErrNone);
    EXPECT_EQ(kxFile_Seek(f, 1, 1), kxErrNone);
    EXPECT_EQ(kxFile_GetPosition(f, &position), kxErrNone);
    EXPECT_EQ(position, 3u);
    EXPECT_EQ(kxFile_Seek(f, 3, 9), kxErrNone) << "an unknown origin counts from the start";
    EXPECT_EQ(kxFile_GetSize(f, &size), kxErrNone);
    EXPECT_EQ(kxFile_GetPosition(f, &position), kxErrNone);
    EXPECT_EQ(position, 3u) << "GetSize keeps the position";
    kxFile_Close(&f);
}

TEST(File, ReadLineOverrun)
{
    TempDir dir;
    writeFile(dir / "f", "abcdefghijklmn\n01234567890123456789\n");
    kxFileRef f = kxFile_Open((dir / "f").c_str(), kxFileRead);
    char buffer[16];
    size_t length = 0;
    EXPECT_EQ(kxFile_ReadLine(f, buffer, sizeof buffer, &length), kxErrNone);
    EXPECT_EQ(length, 15u);
    EXPECT_STREQ(buffer, "abcdefghijklmn\n");
    EXPECT_EQ(kxFile_ReadLine(f, buffer, sizeof buffer, &length), kxErrOverrun);
    EXPECT_EQ(length, 15u);
    EXPECT_STREQ(buffer, "012345678901234");
    EXPECT_EQ(kxFile_ReadLine(f, buffer, sizeof buffer, &length), kxErrNone);
    EXPECT_STREQ(buffer, "56789\n");
    EXPECT_EQ(kxFile_ReadLine(f, buffer, sizeof buffer, &length), kxErrEOF);
    EXPECT_EQ(length, 0u);
    EXPECT_STREQ(buffer, "");
    kxFile_Close(&f);
}

TEST(File, AppendWriteDelete)
{
    TempDir dir;
    std::string path = dir / "log";
    kxFileRef f = kxFile_Open(path.c_str(), kxFileWrite);
    EXPECT_EQ(kxFile_Printf(f, "%s=%d\n", "a", 1), kxErrNone);
    EXPECT_EQ(kxFile_Sync(f), kxErrNone);
    kxFile_Close(&f);
    f = kxFile_Open(path.c_str(), kxFileAppend);
    size_t count = 0;
    EXPECT_EQ(kxFile_Write(f, "b=2\n", 4, &count), kxErrNone);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(kxFile_SetUnbuffered(f), kxErrNone);
    kxFile_Close(&f);
    std::ifstream in(path);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all, "a=1\nb=2\n");
    EXPECT_EQ(kxFile_Delete(path.c_str()), kxErrNone);
    EXPECT_EQ(kxFile_Delete(path.c_str()), kxErrNotFound);
    EXPECT_EQ(kxFile_Delete(nullptr), kxErrParam);
}
