#include "app/store/UpdaterStore.h"

#include "app/Log.h"
#include <lumbrixon/kxDirectory.h>
#include "tests/store/StoreTestSupport.h"
#include "tests/support/LogCapture.h"
#include "tools/birdtool/BirdPack.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using storetest::IsDirectory;
using storetest::IsRegularFile;
using storetest::ListNames;
using storetest::ReadText;
using storetest::TempDir;
using storetest::WriteText;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

namespace
{
// The message of the runtime error the call throws, or "" when it throws none.
template <typename F> std::string ErrorText(F&& call)
{
    try
    {
        call();
    }
    catch (const std::runtime_error& error)
    {
        return error.what();
    }
    return std::string();
}

std::vector<std::string> Names(const std::vector<UpdaterStoreItem>& items)
{
    std::vector<std::string> names;
    for (const UpdaterStoreItem& item : items)
        names.push_back(item.name);
    std::sort(names.begin(), names.end());
    return names;
}
} // namespace

TEST(UpdaterStoreRoot, MissingRootIsCreatedWithItsParents)
{
    TempDir dir;
    const std::string root = dir / "home/.kavrel/updater";
    {
        LogCapture log(DEBUG_Updater);
        UpdaterStore store(root.c_str());
        EXPECT_EQ(std::string(store.BasePath()), root);
        EXPECT_THAT(log.Text(), HasSubstr("UpdaterStore: Created directory [" + root + "].\n"));
    }
    EXPECT_TRUE(IsDirectory(root));
    LogCapture log(DEBUG_Updater);
    UpdaterStore again(root.c_str());
    EXPECT_THAT(log.Text(), HasSubstr("UpdaterStore: [" + root + "] already exists.\n"));
}

TEST(UpdaterStoreRoot, RootThatIsAFileOrCannotBeMadeThrows)
{
    TempDir dir;
    const std::string file = dir / "file";
    ASSERT_TRUE(WriteText(file, "x"));
    EXPECT_EQ(ErrorText([&] { UpdaterStore store(file.c_str()); }),
              "UpdaterStore: " + file + " exists and is a file");
    const std::string below = file + "/store";
    EXPECT_THAT(
        ErrorText([&] { UpdaterStore store(below.c_str()); }),
        MatchesRegex("UpdaterStore: Could not create directory " + below + " error [1-9][0-9]*"));
    EXPECT_THAT(ErrorText([] { UpdaterStore store(nullptr); }),
                HasSubstr("UpdaterStore: Could not create directory"));
}

TEST(UpdaterStoreDevices, AddDeviceCreatesTheDirectoryAndItsSettings)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    const UpdaterStoreItem item = store.AddDevice(0x1A2Bu);
    EXPECT_EQ(item.basePath, dir.path());
    EXPECT_EQ(item.name, "00001A2B");
    EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(item.IsValid());
    EXPECT_TRUE(IsDirectory(dir / "00001A2B"));
    const std::string settings = ReadText(dir / "00001A2B/.settings");
    EXPECT_THAT(settings, MatchesRegex("CREATED_TIME=[^\n]+\nUPDATED_TIME=[^\n]+\n"));
    EXPECT_EQ(item.settings.Path(), dir / "00001A2B/.settings");

    // A second AddDevice keeps what is there.
    UpdaterStoreItem again = store.AddDevice("00001A2B");
    EXPECT_EQ(again.settings.Entries(), item.settings.Entries());
}

TEST(UpdaterStoreDevices, AddDeviceRefusesNamesThatLeaveTheStore)
{
    TempDir dir;
    const std::string root = dir / "root";
    UpdaterStore store(root.c_str());
    for (const char* name : {"../outside", "a/b", "..", ".", ""})
        EXPECT_THAT(ErrorText([&] { store.AddDevice(name); }), HasSubstr(name)) << name;
    EXPECT_FALSE(ErrorText([&] { store.AddDevice(nullptr); }).empty());
    EXPECT_EQ(ListNames(dir.path()), "root");
    EXPECT_EQ(ListNames(root), "");

    ASSERT_TRUE(WriteText(root + "/0000BEEF", "file in the way"));
    EXPECT_EQ(ErrorText([&] { store.AddDevice(0xBEEFu); }),
              "UpdaterStore: " + root + "/0000BEEF exists and is a file");
}

TEST(UpdaterStoreDevices, FindDeviceFillsTheItemAndLogsTheOutcome)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem added = store.AddDevice(0x1A2Bu);
    added.settings.Add("LATEST_DOWNLOAD", "1234.bird");
    ASSERT_TRUE(added.settings.Save(nullptr));

    LogCapture log(DEBUG_Updater);
    UpdaterStoreItem found;
    ASSERT_TRUE(store.FindDevice(0x1A2Bu, &found));
    EXPECT_EQ(found.basePath, dir.path());
    EXPECT_EQ(found.name, "00001A2B");
    EXPECT_EQ(found.type, STORE_ITEM_DIRECTORY);
    EXPECT_EQ(found.settings.GetInt("LATEST_DOWNLOAD", 0), 1234);
    EXPECT_THAT(log.Text(), HasSubstr("UpdaterStore: FindDevice Found 00001A2B.\n"));
    EXPECT_THAT(log.Text(), HasSubstr("_find_item([" + dir.path() + "/00001A2B], 1, "));
    EXPECT_TRUE(store.FindDevice("00001A2B", nullptr));

    UpdaterStoreItem untouched;
    EXPECT_FALSE(store.FindDevice(0x40F5849Au, &untouched));
    EXPECT_THAT(log.Text(), HasSubstr("UpdaterStore: FindDevice Not Found 40F5849A.\n"));
    EXPECT_FALSE(untouched.IsValid());
    EXPECT_EQ(untouched.type, STORE_ITEM_NONE);
}

TEST(UpdaterStoreDevices, FindDeviceLooksOnlyAtEntryNames)
{
    TempDir dir;
    // The root's own path holds the serial number searched for.
    const std::string root = dir / "00001A2B-backup";
    UpdaterStore store(root.c_str());
    store.AddDevice(0xFFFFu);
    EXPECT_FALSE(store.FindDevice(0x1A2Bu, nullptr));
    EXPECT_FALSE(store.FindDevice("", nullptr));
    EXPECT_FALSE(store.FindDevice(static_cast<const char*>(nullptr), nullptr));
    // Only the whole name matches, and only a directory is a device entry.
    EXPECT_TRUE(store.FindDevice("0000FFFF", nullptr));
    EXPECT_FALSE(store.FindDevice("FFFF", nullptr));
    ASSERT_TRUE(storetest::WriteText(root + "/00001234", "a file"));
    EXPECT_FALSE(store.FindDevice(0x1234u, nullptr));
}

TEST(UpdaterStoreBuilds, LocalBuildsListVisibleEntriesOnly)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x1A2Bu);
    ASSERT_EQ(device.WriteFile("1234.bird", reinterpret_cast<const unsigned char*>("a"), 1),
              kxErrNone);
    ASSERT_EQ(device.WriteFile("1300.bird", reinterpret_cast<const unsigned char*>("b"), 1),
              kxErrNone);
    ASSERT_TRUE(WriteText(dir / "00001A2B/.1400.bird.tmp-1-0", "partial"));

    LogCapture log(DEBUG_Updater);
    std::vector<UpdaterStoreItem> items;
    EXPECT_TRUE(store.FindLocalBuilds(0x1A2Bu, items));
    ASSERT_EQ(Names(items), (std::vector<std::string>{"1234.bird", "1300.bird"}));
    for (const UpdaterStoreItem& item : items)
    {
        EXPECT_EQ(item.type, STORE_ITEM_FILE);
        EXPECT_EQ(item.basePath, dir / "00001A2B");
        // A file has no settings of its own: only the stamp in memory.
        EXPECT_EQ(item.settings.Entries().count("CREATED_TIME"), 1u);
    }
    EXPECT_THAT(log.Text(), HasSubstr("_find_items([" + dir.path() + "/00001A2B/.settings], 0, "));
    EXPECT_EQ(ListNames(dir / "00001A2B"), ".1400.bird.tmp-1-0 .settings 1234.bird 1300.bird");
}

TEST(UpdaterStoreBuilds, BuildDirectoriesGetTheirOwnSettings)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    store.AddDevice(0x1A2Bu);
    ASSERT_EQ(kxDirectory_Ensure((dir / "00001A2B/beta").c_str(), 0755), kxErrNone);
    std::vector<UpdaterStoreItem> items;
    store.FindLocalBuilds(0x1A2Bu, items);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].name, "beta");
    EXPECT_EQ(items[0].type, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(IsRegularFile(dir / "00001A2B/beta/.settings"));
}

TEST(UpdaterStoreBuilds, AbsentDeviceHasNoBuilds)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    std::vector<UpdaterStoreItem> items(1);
    EXPECT_TRUE(store.FindLocalBuilds(0x1A2Bu, items));
    EXPECT_EQ(items.size(), 1u);
    EXPECT_EQ(ListNames(dir.path()), "");
}

TEST(UpdaterStoreItems, DefaultItemIsEmptyAndTouchesNothing)
{
    TempDir dir;
    UpdaterStoreItem item;
    EXPECT_FALSE(item.IsValid());
    EXPECT_EQ(item.type, STORE_ITEM_NONE);
    EXPECT_TRUE(item.settings.Entries().empty());
    EXPECT_TRUE(item.settings.Path().empty());
    EXPECT_FALSE(item.FileExists("x"));
    EXPECT_EQ(item.WriteFile("x", reinterpret_cast<const unsigned char*>("x"), 1), kxErrNotFound);
    EXPECT_FALSE(UpdaterStoreItem(dir.path().c_str(), "", STORE_ITEM_DIRECTORY).IsValid());
    EXPECT_EQ(ListNames(dir.path()), "");
}

TEST(UpdaterStoreItems, FileExistsSearchesTheItemsDirectory)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x1A2Bu);
    ASSERT_EQ(device.WriteFile("1234.bird", reinterpret_cast<const unsigned char*>("x"), 1),
              kxErrNone);
    LogCapture log(DEBUG_Updater);
    EXPECT_TRUE(device.FileExists("1234.bird"));
    EXPECT_FALSE(device.FileExists("9999.bird"));
    EXPECT_THAT(log.Text(), HasSubstr("UpdaterStore: FindDevice Found 1234.bird.\n"));
    EXPECT_THAT(log.Text(), HasSubstr("UpdaterStore: FindDevice Not Found 9999.bird.\n"));
}

TEST(UpdaterStoreItems, WriteFileReplacesWholeFilesOnly)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x1A2Bu);
    const std::string path = dir / "00001A2B/1234.bird";

    EXPECT_EQ(device.WriteFile("1234.bird", nullptr, 10), kxErrNotFound);
    EXPECT_FALSE(IsRegularFile(path));

    const unsigned char first[] = {1, 2, 3, 4, 5};
    ASSERT_EQ(device.WriteFile("1234.bird", first, sizeof first), kxErrNone);
    EXPECT_EQ(ReadText(path), std::string("\x01\x02\x03\x04\x05"));
    const unsigned char second[] = {9};
    ASSERT_EQ(device.WriteFile("1234.bird", second, sizeof second), kxErrNone);
    EXPECT_EQ(ReadText(path), std::string("\x09"));
    EXPECT_EQ(device.WriteFile("empty.bird", second, 0), kxErrNone);
    EXPECT_EQ(ReadText(dir / "00001A2B/empty.bird"), "");

    for (const char* name :
         {"../escape.bird", "sub/x.bird", "..", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(device.WriteFile(name, first, sizeof first), kxErrParam);
    EXPECT_EQ(ListNames(dir.path()), "00001A2B");
    EXPECT_EQ(ListNames(dir / "00001A2B"), ".settings 1234.bird empty.bird");

    UpdaterStoreItem gone(dir.path().c_str(), "missing", STORE_ITEM_DIRECTORY);
    EXPECT_EQ(gone.WriteFile("1.bird", first, sizeof first), kxErrNotFound);
}

TEST(UpdaterStoreItems, AFailedWriteFileKeepsTheEarlierFile)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x1A2Bu);
    ASSERT_EQ(device.WriteFile("1234.bird", reinterpret_cast<const unsigned char*>("old"), 3),
              kxErrNone);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        signal(SIGXFSZ, SIG_IGN);
        const std::vector<unsigned char> big(256 * 1024, 0xAB);
        const struct rlimit limit = {8192, 8192};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(device.WriteFile("1234.bird", big.data(), big.size()) == kxErrIO ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadText(dir / "00001A2B/1234.bird"), "old");
    EXPECT_EQ(ListNames(dir / "00001A2B"), ".settings 1234.bird");
}

TEST(UpdaterStoreItems, ReadBirdFileChecksTheHeaderFirst)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x1A2Bu);
    const std::string text = "this is no firmware\n";
    ASSERT_EQ(device.WriteFile("text.bird", reinterpret_cast<const unsigned char*>(text.data()),
                               text.size()),
              kxErrNone);
    EXPECT_EQ(ErrorText([&] { device.ReadBirdFile("text.bird"); }),
              "Invalid bird " + dir.path() + "/00001A2B/text.bird");
    EXPECT_EQ(ErrorText([&] { device.ReadBirdFile("absent.bird"); }),
              "Invalid bird " + dir.path() + "/00001A2B/absent.bird");

    // A proper header over a stream that does not inflate: the loader's error.
    const std::string broken = std::string("bird\x01\x01", 6) + "garbage";
    ASSERT_EQ(device.WriteFile("broken.bird", reinterpret_cast<const unsigned char*>(broken.data()),
                               broken.size()),
              kxErrNone);
    EXPECT_EQ(ErrorText([&] { device.ReadBirdFile("broken.bird"); }), "Failed to load bird data");
}

TEST(UpdaterStoreItems, ReadBirdFileLoadsAValidFile)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x1A2Bu);
    BirdManifest manifest;
    manifest.blocks.push_back(BirdPack_InfoBlock(1234, "1.0.0", 0x1A2B, "TESTMODEL"));
    const std::vector<uint8_t> bird = BirdPack_File(manifest);
    ASSERT_EQ(device.WriteFile("1234.bird", bird.data(), bird.size()), kxErrNone);
    BirdFile file = device.ReadBirdFile("1234.bird");
    EXPECT_EQ(file.FindBlocks(BirdFile::BLOCK_INFO).size(), 1u);
    EXPECT_EQ(file.GetBuild(), 1234u);
    EXPECT_EQ(file.GetVersion(), "1.0.0");
}
