#include "app/store/KeyValueStore.h"

#include "app/Log.h"
#include "tests/store/StoreTestSupport.h"
#include "tests/support/LogCapture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using storetest::ListNames;
using storetest::ReadText;
using storetest::TempDir;
using storetest::WriteText;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

namespace
{
// The ctime form: weekday, month, day padded to two places, time, year.
const char* const TIME_TEXT = "[A-Z][a-z][a-z] [A-Z][a-z][a-z] [ 1-3][0-9] "
                              "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9][0-9][0-9][0-9]";

KeyValueStore LoadText(const TempDir& dir, const std::string& text)
{
    const std::string path = dir / "settings";
    EXPECT_TRUE(WriteText(path, text));
    return KeyValueStore(path.c_str());
}
} // namespace

TEST(KeyValueStoreParse, BlanksAroundKeyAndValueAreRemoved)
{
    TempDir dir;
    KeyValueStore store = LoadText(dir, "  name = some value  \n\tother\t=\tx y\t\n");
    EXPECT_STREQ(store["name"], "some value");
    EXPECT_STREQ(store["other"], "x y");
    EXPECT_EQ(store.Entries().size(), 2u);
    EXPECT_FALSE(store.IsModified());
}

TEST(KeyValueStoreParse, LaterEqualsSignsBelongToTheValue)
{
    TempDir dir;
    KeyValueStore store = LoadText(dir, "a=b=c\nurl = http://h/q?x=1\n");
    EXPECT_STREQ(store["a"], "b=c");
    EXPECT_STREQ(store["url"], "http://h/q?x=1");
}

TEST(KeyValueStoreParse, EmptyValueAnswersWithTheDefaultOrEmptyText)
{
    TempDir dir;
    KeyValueStore store = LoadText(dir, "x=\n");
    EXPECT_EQ(store.GetInt("x", 42), 42);
    EXPECT_EQ(store.GetString("x", "default"), "");
    EXPECT_STREQ(store["x"], "");
}

TEST(KeyValueStoreParse, ShortLinesAreSkippedButAFinalEntryWithoutLineFeedIsRead)
{
    TempDir dir;
    KeyValueStore store = LoadText(dir, "\n\r\nk=v\n\nb\na=");
    EXPECT_STREQ(store["k"], "v");
    EXPECT_STREQ(store["a"], "");
    EXPECT_EQ(store["b"], nullptr);
    EXPECT_EQ(store.Entries().size(), 2u);
}

TEST(KeyValueStoreParse, OnlyAHashInTheFirstColumnMakesAComment)
{
    TempDir dir;
    KeyValueStore store = LoadText(dir, "#hidden=1\n #shown=2\n");
    EXPECT_EQ(store["#hidden"], nullptr);
    EXPECT_EQ(store["hidden"], nullptr);
    EXPECT_STREQ(store["#shown"], "2");
}

TEST(KeyValueStoreParse, LastOfRepeatedKeysWinsAndCarriageReturnsAreTrimmed)
{
    TempDir dir;
    KeyValueStore store = LoadText(dir, "k=1\r\nk=2\r\nj=3\r\n");
    EXPECT_STREQ(store["k"], "2");
    EXPECT_STREQ(store["j"], "3");
}

TEST(KeyValueStoreParse, LinesWithoutKeyOrEqualsSignAreIgnored)
{
    TempDir dir;
    KeyValueStore store = LoadText(dir, "no equals here\n = orphan value\nkey=value\n");
    EXPECT_EQ(store.Entries().size(), 1u);
    EXPECT_STREQ(store["key"], "value");
}

TEST(KeyValueStoreParse, ALineTooLongForTheBufferEndsTheLoad)
{
    TempDir dir;
    const std::string longLine = "long=" + std::string(3000, 'x') + "\n";
    KeyValueStore store = LoadText(dir, "first=1\n" + longLine + "after=2\n");
    EXPECT_STREQ(store["first"], "1");
    EXPECT_EQ(store["long"], nullptr);
    EXPECT_EQ(store["after"], nullptr);

    // Writing it back would drop the lines not read: refused, file untouched.
    const std::string path = store.Path();
    const std::string before = ReadText(path);
    store.Add("new", 1);
    EXPECT_FALSE(store.Save());
    EXPECT_NE(store.Problem().find("could not be read whole (a line is longer than 2047"),
              std::string::npos)
        << store.Problem();
    EXPECT_EQ(ReadText(path), before);
    // Another file may still be written.
    EXPECT_TRUE(store.Save((dir / "copy").c_str()));
    EXPECT_TRUE(store.Problem().empty());
}

TEST(KeyValueStoreParse, ALineOfExactlyTheBufferSizeIsRead)
{
    TempDir dir;
    // 2047 characters with the line feed: the longest line that fits.
    const std::string value(2047 - 3, 'v');
    KeyValueStore store = LoadText(dir, "k=" + value + "\nnext=1\n");
    EXPECT_EQ(store.GetString("k", nullptr), value);
    EXPECT_STREQ(store["next"], "1");
}

TEST(KeyValueStoreParse, LoadKeepsEntriesTheFileDoesNotSet)
{
    TempDir dir;
    const std::string path = dir / "settings";
    ASSERT_TRUE(WriteText(path, "shared=file\n"));
    KeyValueStore store;
    store.Add("shared", "memory");
    store.Add("own", "kept");
    store.Load(path.c_str());
    EXPECT_STREQ(store["shared"], "file");
    EXPECT_STREQ(store["own"], "kept");
    EXPECT_FALSE(store.IsModified());
    EXPECT_EQ(store.Path(), path);
}

TEST(KeyValueStoreGetters, HexValuesReadWithOrWithoutPrefixAndWriteEightDigits)
{
    TempDir dir;
    KeyValueStore store = LoadText(dir, "a=0x0000BEEF\nb=beef\nc=0xFFFFFFFF\n");
    EXPECT_EQ(store.GetHex("a", 0), 0xBEEFu);
    EXPECT_EQ(store.GetHex("b", 0), 0xBEEFu);
    EXPECT_EQ(store.GetHex("c", 0), 0xFFFFFFFFu);
    store.AddHex("w", 48879);
    EXPECT_STREQ(store["w"], "0x0000BEEF");
    store.AddHex("w", 0xFFFFFFFFu);
    EXPECT_STREQ(store["w"], "0xFFFFFFFF");
}

TEST(KeyValueStoreGetters, IntegerBooleanAndDoubleFollowTheTextOrTheDefault)
{
    KeyValueStore store;
    store.Add("n", -17);
    store.Add("zero", 0);
    store.Add("seven", "7");
    store.Add("d", 2.5);
    store.Add("big", "99999999999");
    store.Add("word", "abc");
    EXPECT_EQ(store.GetInt("n", 1), -17);
    EXPECT_STREQ(store["d"], "2.500000");
    EXPECT_DOUBLE_EQ(store.GetDouble("d", 0.0), 2.5);
    EXPECT_FALSE(store.GetBOOL("zero", true));
    EXPECT_TRUE(store.GetBOOL("seven", false));
    EXPECT_TRUE(store.GetBOOL("absent", true));
    EXPECT_EQ(store.GetInt("big", 0), INT_MAX);
    // A value that is no number reads as 0, not as the default.
    EXPECT_EQ(store.GetInt("word", 5), 0);
}

TEST(KeyValueStoreGetters, NumericGettersInsertAbsentKeysAndSaveWritesThem)
{
    TempDir dir;
    KeyValueStore store;
    EXPECT_EQ(store.GetInt("i", 3), 3);
    EXPECT_EQ(store.GetHex("h", 0x10), 0x10u);
    EXPECT_TRUE(store.GetBOOL("b", true));
    EXPECT_DOUBLE_EQ(store.GetDouble("d", 1.25), 1.25);
    EXPECT_STREQ(store["i"], "");
    EXPECT_FALSE(store.IsModified());

    // operator[] and GetString leave the set alone.
    EXPECT_EQ(store["s"], nullptr);
    EXPECT_EQ(store.GetString("s", nullptr), "");
    EXPECT_EQ(store.GetString("s", "dflt"), "dflt");
    EXPECT_EQ(store["s"], nullptr);

    const std::string path = dir / "out";
    ASSERT_TRUE(store.Save(path.c_str()));
    EXPECT_EQ(ReadText(path), "b=\nd=\nh=\ni=\n");
}

TEST(KeyValueStoreGetters, NullKeysAreRefused)
{
    KeyValueStore store;
    EXPECT_FALSE(store.Add(nullptr, 1));
    EXPECT_FALSE(store.Add(static_cast<const char*>(nullptr), "x"));
    EXPECT_EQ(store.GetInt(nullptr, 9), 9);
    EXPECT_EQ(store[nullptr], nullptr);
    EXPECT_EQ(store.GetString(nullptr, "d"), "d");
    EXPECT_TRUE(store.Entries().empty());
    EXPECT_TRUE(store.Add("k", static_cast<const char*>(nullptr)));
    EXPECT_STREQ(store["k"], "");
}

TEST(KeyValueStoreModified, OnlyChangingAddsMergesAndClearsMarkTheSet)
{
    TempDir dir;
    KeyValueStore store = LoadText(dir, "n=5\ns=text\n");
    store.Add("n", 5);
    store.Add("s", "text");
    store.Add("e", "");
    EXPECT_FALSE(store.IsModified());
    store.Add("n", 6);
    EXPECT_TRUE(store.IsModified());

    KeyValueStore empty;
    KeyValueStore clean = LoadText(dir, "n=5\n");
    clean.Add(empty);
    EXPECT_FALSE(clean.IsModified());
    KeyValueStore other;
    other.Add("n", "6");
    other.Add("o", "7");
    clean.Add(other);
    EXPECT_TRUE(clean.IsModified());
    EXPECT_STREQ(clean["n"], "6");
    EXPECT_STREQ(clean["o"], "7");

    KeyValueStore cleared = LoadText(dir, "n=5\n");
    cleared.Clear();
    EXPECT_TRUE(cleared.IsModified());
    EXPECT_TRUE(cleared.Entries().empty());
}

TEST(KeyValueStoreFile, MissingFileIsCreatedWithBothTimeStamps)
{
    TempDir dir;
    const std::string path = dir / ".settings";
    LogCapture log(DEBUG_Attributes);
    KeyValueStore store(path.c_str());
    EXPECT_THAT(log.Text(),
                HasSubstr("Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n"));
    EXPECT_FALSE(store.IsModified());
    EXPECT_EQ(store.Path(), path);
    EXPECT_THAT(store.GetString("CREATED_TIME", nullptr), MatchesRegex(TIME_TEXT));
    EXPECT_THAT(store.GetString("UPDATED_TIME", nullptr), MatchesRegex(TIME_TEXT));
    const std::string text = ReadText(path);
    EXPECT_THAT(text, MatchesRegex(std::string("CREATED_TIME=") + TIME_TEXT +
                                   "\nUPDATED_TIME=" + TIME_TEXT + "\n"));
    EXPECT_EQ(ListNames(dir.path()), ".settings");
}

TEST(KeyValueStoreFile, SaveWritesEntriesInByteOrderAndStampsOnlyChangedSets)
{
    TempDir dir;
    const std::string path = dir / "s";
    ASSERT_TRUE(WriteText(path, "b=2\na=1\nB=3\n"));
    KeyValueStore store(path.c_str());
    ASSERT_TRUE(store.Save(nullptr));
    EXPECT_EQ(ReadText(path), "B=3\na=1\nb=2\n");

    store.Add("a", 1);
    ASSERT_TRUE(store.Save(nullptr));
    EXPECT_EQ(ReadText(path), "B=3\na=1\nb=2\n");

    store.Add("a", 10);
    ASSERT_TRUE(store.Save(nullptr));
    EXPECT_FALSE(store.IsModified());
    EXPECT_THAT(ReadText(path),
                MatchesRegex(std::string("B=3\nUPDATED_TIME=") + TIME_TEXT + "\na=10\nb=2\n"));
}

TEST(KeyValueStoreFile, LineBreaksInsideValuesAreWrittenAsBlanks)
{
    TempDir dir;
    const std::string path = dir / "s";
    KeyValueStore store;
    store.Add("k", "one\ntwo=2\rthree");
    ASSERT_TRUE(store.Save(path.c_str()));
    KeyValueStore reloaded(path.c_str());
    EXPECT_STREQ(reloaded["k"], "one two=2 three");
    EXPECT_EQ(reloaded["two"], nullptr);
}

TEST(KeyValueStoreFile, SaveWithoutAnyPathUsesTheDefaultNameInTheWorkingDirectory)
{
    TempDir dir;
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    LogCapture log(DEBUG_Attributes);
    KeyValueStore store;
    store.Add("k", "v");
    const bool saved = store.Save(nullptr);
    EXPECT_EQ(chdir(previous), 0);
    EXPECT_TRUE(saved);
    EXPECT_EQ(store.Path(), ".settings");
    EXPECT_THAT(
        log.Text(),
        HasSubstr("Attibutes: no filename given for attributes, using default:[.settings]\n"));
    EXPECT_THAT(ReadText(dir / ".settings"), HasSubstr("k=v\n"));
}

TEST(KeyValueStoreFile, UnwritablePathFailsAndKeepsTheSet)
{
    TempDir dir;
    ASSERT_TRUE(WriteText(dir / "plain", "not a directory"));
    const std::string path = dir / "plain/.settings";
    KeyValueStore store;
    store.Add("k", "v");
    LogCapture log(DEBUG_Attributes);
    EXPECT_FALSE(store.Save(path.c_str()));
    EXPECT_THAT(log.Text(),
                HasSubstr("Attibutes: Error - cannot open attributes file for writting: '" + path +
                          "' (20)\n"));
    EXPECT_TRUE(store.IsModified());
    EXPECT_STREQ(store["k"], "v");

    // Loading from there cannot create the file either; the stamp stays in memory.
    KeyValueStore unloadable(path.c_str());
    EXPECT_FALSE(unloadable.GetString("CREATED_TIME", nullptr).empty());
    EXPECT_EQ(ListNames(dir.path()), "plain");
}

TEST(KeyValueStoreFile, AFailedWriteLeavesThePreviousFileWhole)
{
    TempDir dir;
    const std::string path = dir / ".settings";
    const std::string previous = "CREATED_TIME=then\nk=old\n";
    ASSERT_TRUE(WriteText(path, previous));

    // The child runs with a file size limit below the new contents, so the
    // write fails half way as on a full disk.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        signal(SIGXFSZ, SIG_IGN);
        KeyValueStore store(path.c_str());
        store.Add("k", std::string(64 * 1024, 'n'));
        const struct rlimit limit = {4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(store.Save(nullptr) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "Save reported success despite the failed write";
    EXPECT_EQ(ReadText(path), previous);
    EXPECT_EQ(ListNames(dir.path()), ".settings") << "temporary file left behind";
}

TEST(KeyValueStoreFile, SavedFileLoadsBackToTheSameSet)
{
    TempDir dir;
    const std::string path = dir / "s";
    KeyValueStore store;
    store.Add("int", -5);
    store.Add("hex", "0xDEADBEEF");
    store.Add("text", "a b = c");
    store.Add("LATEST_DOWNLOAD", "1234.bird");
    ASSERT_TRUE(store.Save(path.c_str()));
    KeyValueStore reloaded(path.c_str());
    EXPECT_EQ(reloaded.Entries(), store.Entries());
    EXPECT_EQ(reloaded.GetInt("LATEST_DOWNLOAD", 0), 1234);
    EXPECT_EQ(reloaded.GetHex("hex", 0), 0xDEADBEEFu);
}
