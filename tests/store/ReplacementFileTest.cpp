#include "app/store/ReplacementFile.h"

#include <lumbrixon/kxDirectory.h>
#include "tests/store/StoreTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>

using storetest::ListNames;
using storetest::ReadText;
using storetest::TempDir;
using storetest::WriteText;

TEST(ReplacementFile, TemporarySiblingIsHiddenAndInTheSameDirectory)
{
    const std::string first = ReplacementFile::TemporaryPathFor("/a/b/1234.bird");
    const std::string second = ReplacementFile::TemporaryPathFor("/a/b/1234.bird");
    EXPECT_EQ(first.rfind("/a/b/.1234.bird.tmp-", 0), 0u) << first;
    EXPECT_NE(first, second);
    EXPECT_EQ(ReplacementFile::TemporaryPathFor("name").rfind(".name.tmp-", 0), 0u);
}

TEST(ReplacementFile, CommitReplacesTheTargetAndLeavesNothingElse)
{
    TempDir dir;
    const std::string path = dir / "target";
    ASSERT_TRUE(WriteText(path, "old contents that are longer"));
    ReplacementFile out(path);
    ASSERT_EQ(out.Open(), kxErrNone);
    ASSERT_EQ(kxFile_Printf(out.File(), "new"), kxErrNone);
    // Until the commit the target keeps its old contents.
    EXPECT_EQ(ReadText(path), "old contents that are longer");
    ASSERT_EQ(out.Commit(), kxErrNone);
    EXPECT_EQ(ReadText(path), "new");
    EXPECT_EQ(ListNames(dir.path()), "target");
}

TEST(ReplacementFile, DiscardOrDestructionKeepsTheTarget)
{
    TempDir dir;
    const std::string path = dir / "target";
    ASSERT_TRUE(WriteText(path, "old"));
    {
        ReplacementFile out(path);
        ASSERT_EQ(out.Open(), kxErrNone);
        ASSERT_EQ(kxFile_Printf(out.File(), "abandoned"), kxErrNone);
        EXPECT_EQ(ListNames(dir.path()).find(".target.tmp-"), 0u);
    }
    EXPECT_EQ(ReadText(path), "old");
    EXPECT_EQ(ListNames(dir.path()), "target");

    ReplacementFile out(path);
    ASSERT_EQ(out.Open(), kxErrNone);
    out.Discard();
    EXPECT_EQ(out.File(), nullptr);
    EXPECT_EQ(out.Commit(), kxErrIO);
    EXPECT_EQ(ReadText(path), "old");
    EXPECT_EQ(ListNames(dir.path()), "target");
}

TEST(ReplacementFile, MissingDirectoryCannotBeOpened)
{
    TempDir dir;
    ReplacementFile out(dir / "missing/target");
    EXPECT_EQ(out.Open(), kxErrNotFound);
    EXPECT_EQ(out.SystemError(), ENOENT);
    EXPECT_EQ(out.Commit(), kxErrIO);
}

TEST(ReplacementFile, RenameOntoADirectoryFailsAndCleansUp)
{
    TempDir dir;
    const std::string path = dir / "occupied";
    ASSERT_TRUE(WriteText(dir / "keep", ""));
    ASSERT_EQ(kxDirectory_Ensure(path.c_str(), 0755), kxErrNone);
    ASSERT_TRUE(WriteText(path + "/inside", "x"));
    ReplacementFile out(path);
    ASSERT_EQ(out.Open(), kxErrNone);
    ASSERT_EQ(kxFile_Printf(out.File(), "data"), kxErrNone);
    EXPECT_EQ(out.Commit(), kxErrIO);
    EXPECT_NE(out.SystemError(), 0);
    EXPECT_EQ(ListNames(dir.path()), "keep occupied");
    EXPECT_EQ(ReadText(path + "/inside"), "x");
}
