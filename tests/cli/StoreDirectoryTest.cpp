// Where a run keeps its store, and that it writes nowhere else.
#include "tests/cli/UpdaterRun.h"

#include <fstream>

using StoreDirectory = UpdaterRun;

TEST_F(StoreDirectory, StoreRootOptionGivesRootSlashUpdater)
{
    std::string root = tmp.sub("deep/er/root");
    RunResult r = run({"-C", "-i", root});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ListTree(root) == std::vector<std::string>{"updater"});
    EXPECT_TRUE(ListTree(home).empty());
}

TEST_F(StoreDirectory, StoreThatCannotBeMadeFailsTheRun)
{
    std::string file = tmp.sub("plain-file");
    std::ofstream(file) << "not a directory";
    RunResult r = run({"-C", "-i", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kVersionLine);
    // The message stays; its cause follows on the next line.
    EXPECT_EQ(r.err, "Could not find updater directory at " + file + "/updater\nCause: " + file +
                         " exists and is not a directory\n");
}

TEST_F(StoreDirectory, NoCommandTouchesAnythingOutsideTheStore)
{
    const std::vector<std::vector<std::string>> lines = {
        {"-C"},
        {"-I", "-k", "run.log", "-l", "history note"},
        {"-Z", "x", "-X", "0xFFFFFFFF"},
        {"-B"},
        {"-G"},
        {"-U"},
        {"-G", "-d", "40F5849A", "-k", "other.log"},
        {"-U", "-d", "40F5849A", "-f", "missing.bird"},
        {"-N", "-s", "no-such-port"},
        {"-B", "-d", "40F5849A"},
        {"-L", "-d", "40F5849A"},
        {"-J", "-d", "40F5849A"},
        {"-D"},
        {"-h"},
        {"-Y"},
    };
    for (const auto& line : lines)
    {
        runInStore(line);
    }
    EXPECT_TRUE(ListTree(home).empty());
    EXPECT_TRUE(ListTree(cwd).empty());
    for (const std::string& path : ListTree(tmp.path()))
    {
        bool allowed = path == "home" || path == "cwd" || path == "store" ||
                       path.rfind("store/updater", 0) == 0;
        EXPECT_TRUE(allowed) << path;
    }
}

namespace
{
// Runs as a user without a user-database entry, so that the home directory
// comes from the environment. Returns false (and skips) when this machine
// cannot do that.
bool _unlisted_user(RunOptions& options)
{
    uint32_t uid = UnlistedUserId();
    if (uid == 0)
    {
        return false;
    }
    options.mapUser = true;
    options.innerUid = uid;
    return true;
}
} // namespace

TEST_F(StoreDirectory, DefaultStoreIsUnderTheHomeDirectory)
{
    RunOptions options;
    if (!_unlisted_user(options))
    {
        GTEST_SKIP() << "no free user id";
    }
    options.isolateNetwork = true;
    options.setEnv.emplace_back("HOME", home);
    options.cwd = cwd;
    RunResult r = RunProgram(KX_BINARY_DIR "/Updater", {"-C"}, options);
    if (r.setupFailed)
    {
        GTEST_SKIP() << "user namespaces are not available: " << r.err;
    }
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ListTree(home), (std::vector<std::string>{".kavrel", ".kavrel/updater"}));
    EXPECT_TRUE(ListTree(cwd).empty());

    // Help and parse failures never prepare a store.
    TempDir other;
    options.setEnv.back().second = other.path();
    EXPECT_EQ(RunProgram(KX_BINARY_DIR "/Updater", {"-h"}, options).status, 0);
    EXPECT_EQ(RunProgram(KX_BINARY_DIR "/Updater", {"-Y", "-C"}, options).status, 1);
    EXPECT_EQ(RunProgram(KX_BINARY_DIR "/Updater", {}, options).status, 0);
    EXPECT_TRUE(ListTree(other.path()).empty());
}

TEST_F(StoreDirectory, UnreadableHomeDirectoryEndsTheRunWithALogLineOnly)
{
    RunOptions options;
    if (!_unlisted_user(options))
    {
        GTEST_SKIP() << "no free user id";
    }
    options.isolateNetwork = true;
    options.cwd = cwd;
    for (bool emptyHome : {false, true})
    {
        options.unsetEnv.clear();
        options.setEnv.clear();
        if (emptyHome)
        {
            options.setEnv.emplace_back("HOME", "");
        }
        else
        {
            options.unsetEnv.push_back("HOME");
        }
        RunResult quiet = RunProgram(KX_BINARY_DIR "/Updater", {"-C"}, options);
        if (quiet.setupFailed)
        {
            GTEST_SKIP() << "user namespaces are not available: " << quiet.err;
        }
        EXPECT_EQ(quiet.status, 1) << emptyHome;
        EXPECT_EQ(quiet.out, kVersionLine);
        EXPECT_EQ(quiet.err, "");

        RunResult logged = RunProgram(KX_BINARY_DIR "/Updater", {"-X", "0x10000", "-C"}, options);
        EXPECT_EQ(logged.status, 1);
        EXPECT_EQ(logged.out, kVersionLine);
        EXPECT_NE(logged.err.find("Updater: FailedkxDirectory_GetHomeDirectory()==> "),
                  std::string::npos)
            << logged.err;
    }
    EXPECT_TRUE(ListTree(cwd).empty());
}
