#include "tests/support/TempDir.h"
#include "app/BuildPath.h"
#include <lumbrixon/kxDirectory.h>
#include "unix/unix_directory_internal.h"
#include <lumbrixon/kxFile.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

TEST(BuildPath, SeparatorRules)
{
    char d[64];
    EXPECT_EQ(kxDirectory_BuildPath(d, sizeof d, "a/", "b", nullptr), kxErrNone);
    EXPECT_STREQ(d, "a/b");
    EXPECT_EQ(kxDirectory_BuildPath(d, sizeof d, "a", "/b", nullptr), kxErrNone);
    EXPECT_STREQ(d, "a/b");
    EXPECT_EQ(kxDirectory_JoinPath(d, sizeof d, "x", "y"), kxErrNone);
    EXPECT_STREQ(d, "x/y");
    EXPECT_EQ(kxDirectory_BuildPath(d, 4, "a", "b", nullptr), kxErrOverrun);
    EXPECT_STREQ(d, "a/");
    EXPECT_EQ(kxDirectory_BuildPath(d, 4, "abc", nullptr), kxErrOverrun);
    EXPECT_EQ(kxDirectory_BuildPath(d, sizeof d, d, "b", nullptr), kxErrParam);
}

TEST(BuildPath, PieceCountLimit)
{
    char d[64];
    EXPECT_EQ(kxDirectory_BuildPath(d, sizeof d, "0", "1", "2", "3", "4", "5", "6", "7", "8", "9",
                                    nullptr),
              kxErrNone);
    EXPECT_STREQ(d, "0/1/2/3/4/5/6/7/8/9");
    EXPECT_EQ(kxDirectory_BuildPath(d, sizeof d, "0", "1", "2", "3", "4", "5", "6", "7", "8", "9",
                                    "10", nullptr),
              kxErrParam);
    EXPECT_STREQ(d, "");
}

TEST(BuildPath, ApplicationHelperAlwaysInsertsSeparator)
{
    EXPECT_EQ(BuildPath("a/", "b", nullptr), "a//b");
    EXPECT_EQ(BuildPath("root", "updater", "40F5849A", "12.bird", nullptr),
              "root/updater/40F5849A/12.bird");
    EXPECT_EQ(BuildPath("only", nullptr), "only");
}

TEST(Directory, EnsureCreatesEveryMissingLevelWithMode)
{
    TempDir dir;
    mode_t old = umask(0);
    std::string deep = dir / "a/b//c/d";
    EXPECT_EQ(kxDirectory_Ensure(deep.c_str(), 0750), kxErrNone);
    umask(old);
    for (const char* level : {"a", "a/b", "a/b//c", "a/b//c/d"})
    {
        struct stat st;
        ASSERT_EQ(stat((dir / level).c_str(), &st), 0) << level;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0750u) << level;
    }
    EXPECT_EQ(chmod(dir.path().c_str(), 0700), 0);
    struct stat before;
    stat(dir.path().c_str(), &before);
    EXPECT_EQ(kxDirectory_Ensure(dir.path().c_str(), 0755), kxErrNone);
    struct stat after;
    stat(dir.path().c_str(), &after);
    EXPECT_EQ(before.st_mode, after.st_mode) << "an existing directory is left alone";
}

TEST(Directory, EnsureWithoutAnyExistingAncestor)
{
    TempDir dir;
    char cwd[2048];
    ASSERT_EQ(kxDirectory_CWD(cwd, sizeof cwd), kxErrNone);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    EXPECT_EQ(kxDirectory_Ensure("x/y/z", 0755), kxErrNone);
    EXPECT_EQ(kxDirectory_Ensure("single", 0755), kxErrNone);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_TRUE(kxDirectory_Exists((dir / "x/y/z").c_str()));
    EXPECT_TRUE(kxDirectory_Exists((dir / "single").c_str()));
}

TEST(Directory, EnsureFailsUnderAFile)
{
    TempDir dir;
    std::ofstream(dir / "file") << "x";
    EXPECT_EQ(kxDirectory_Ensure((dir / "file/sub").c_str(), 0755), kxErrPermission);
    EXPECT_FALSE(kxDirectory_Exists((dir / "file").c_str()));
}

TEST(Directory, ListVisitsEntriesAndStops)
{
    TempDir dir;
    std::ofstream(dir / "one") << "12345";
    kxDirectory_Ensure((dir / "sub").c_str(), 0755);
    struct Seen
    {
        std::set<std::string> names;
        uint32_t oneSize = 0;
        int dirs = 0;
    } seen;
    auto collect = [](const kxDirectoryListData* e, void* ref) -> bool
    {
        auto* s = static_cast<Seen*>(ref);
        std::string p = e->path;
        std::string name = p.substr(p.rfind('/') + 1);
        s->names.insert(name);
        if (name == "one")
            s->oneSize = e->size;
        s->dirs += e->isDirectory ? 1 : 0;
        return true;
    };
    EXPECT_EQ(kxDirectory_List(dir.path().c_str(), collect, &seen), kxErrNone);
    EXPECT_EQ(seen.names, (std::set<std::string>{".", "..", "one", "sub"}));
    EXPECT_EQ(seen.oneSize, 5u);
    EXPECT_EQ(seen.dirs, 3);

    int calls = 0;
    auto stop = [](const kxDirectoryListData*, void* ref) -> bool
    {
        ++*static_cast<int*>(ref);
        return false;
    };
    EXPECT_EQ(kxDirectory_List(dir.path().c_str(), stop, &calls), kxErrNone);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(kxDirectory_List((dir / "missing").c_str(), stop, &calls), kxErrNotFound);
}

TEST(Directory, DeleteTreeAndDelete)
{
    TempDir dir;
    kxDirectory_Ensure((dir / "t/u/v").c_str(), 0755);
    std::ofstream(dir / "t/u/file") << "x";
    std::ofstream(dir / "t/top") << "y";
    EXPECT_EQ(kxDirectory_Delete((dir / "t").c_str()), kxErrUnknown) << "not empty";
    EXPECT_EQ(kxDirectory_DeleteTree((dir / "t").c_str()), kxErrNone);
    EXPECT_FALSE(kxDirectory_Exists((dir / "t").c_str()));
    EXPECT_EQ(kxDirectory_DeleteTree((dir / "t").c_str()), kxErrNotFound);
    kxDirectory_Ensure((dir / "e").c_str(), 0755);
    EXPECT_EQ(kxDirectory_Delete((dir / "e").c_str()), kxErrNone);
}

TEST(Directory, DeleteTreeRemovesLinksNotTheirTargets)
{
    TempDir dir;
    kxDirectory_Ensure((dir / "keep").c_str(), 0755);
    std::ofstream(dir / "keep/precious") << "z";
    kxDirectory_Ensure((dir / "t").c_str(), 0755);
    ASSERT_EQ(symlink((dir / "keep").c_str(), (dir / "t/link").c_str()), 0);
    EXPECT_EQ(kxDirectory_DeleteTree((dir / "t").c_str()), kxErrNone);
    EXPECT_FALSE(kxDirectory_Exists((dir / "t").c_str()));
    EXPECT_TRUE(kxFile_Exists((dir / "keep/precious").c_str()));
}

TEST(Directory, WellKnownPaths)
{
    char buffer[2048];
    EXPECT_EQ(kxDirectory_CWD(buffer, sizeof buffer), kxErrNone);
    EXPECT_EQ(buffer[0], '/');
    EXPECT_EQ(kxDirectory_CWD(buffer, 1), kxErrParam);
    EXPECT_EQ(kxDirectory_ExecutableFilePath(buffer, sizeof buffer), kxErrNone);
    EXPECT_NE(std::string(buffer).find("platform_file_test"), std::string::npos);
    EXPECT_EQ(kxDirectory_ExecutableFilePath(buffer, 4), kxErrRead);
}

TEST(Directory, HomeDirectoryAlwaysTerminated)
{
    char buffer[2048];
    ASSERT_EQ(kxDirectory_GetHomeDirectory(buffer, sizeof buffer), kxErrNone);
    size_t length = strlen(buffer);
    ASSERT_GT(length, 0u);
    char tiny[2] = {'x', 'x'};
    EXPECT_EQ(kxDirectory_GetHomeDirectory(tiny, sizeof tiny),
              length >= 2 ? kxErrOverrun : kxErrNone);
    EXPECT_EQ(tiny[0], length >= 2 ? '\0' : buffer[0]);
}

TEST(Directory, HomeChoiceAndLimits)
{
    char b[8] = "garbage";
    EXPECT_EQ(kxDirectory_ChooseHome("/pw", "/env", b, sizeof b), kxErrNone);
    EXPECT_STREQ(b, "/pw");
    EXPECT_EQ(kxDirectory_ChooseHome("", "/env", b, sizeof b), kxErrNone);
    EXPECT_STREQ(b, "/env");
    EXPECT_EQ(kxDirectory_ChooseHome(nullptr, "/env", b, sizeof b), kxErrNone);
    EXPECT_STREQ(b, "/env");
    EXPECT_EQ(kxDirectory_ChooseHome(nullptr, nullptr, b, sizeof b), kxErrNotFound);
    EXPECT_STREQ(b, "");
    EXPECT_EQ(kxDirectory_ChooseHome("/1234567", nullptr, b, sizeof b), kxErrOverrun);
    EXPECT_STREQ(b, "");
    EXPECT_EQ(kxDirectory_ChooseHome("/123456", nullptr, b, sizeof b), kxErrNone);
    EXPECT_STREQ(b, "/123456");
    EXPECT_EQ(kxDirectory_ChooseHome("/pw", nullptr, b, 0), kxErrParam);
}
