// The version line, the notice and the usage texts as the built program
// prints them, compared with the texts kept in tests/data/usage.
#include "tests/cli/UpdaterRun.h"

namespace
{
// Version line, then one notice line in parentheses naming the build year.
void _expectVersionAndNotice(const std::string& out)
{
    ASSERT_EQ(out.rfind(kVersionLine, 0), 0u) << out;
    std::string notice = out.substr(std::string(kVersionLine).size());
    ASSERT_FALSE(notice.empty());
    EXPECT_EQ(notice.front(), '(');
    EXPECT_EQ(notice.substr(notice.size() - 2), ")\n");
    EXPECT_EQ(notice.find('\n'), notice.size() - 1) << "one line";
    EXPECT_NE(notice.find("2026"), std::string::npos);
}
} // namespace

using UsageText = UpdaterRun;

TEST_F(UsageText, HelpPrintsTheFullUsageByteForByte)
{
    for (const char* help : {"-h", "-H", "--help", "--he"})
    {
        RunResult r = run({help});
        EXPECT_EQ(r.status, 0) << help;
        _expectVersionAndNotice(r.out);
        EXPECT_EQ(r.err, fullUsage(false)) << help;
    }
}

TEST_F(UsageText, ExtendedSectionsOnlyWhenTheLogMaskCameFirst)
{
    RunResult before = run({"-X", "0x10000", "-h"});
    EXPECT_EQ(before.status, 0);
    EXPECT_TRUE(endsWith(before.err, fullUsage(true)));
    // The mask is on while the rest of the line is read: its trace precedes the usage.
    EXPECT_TRUE(InOrder(before.err, {"\nApplication parameters:[Updater]\n", "\t[-X]\n",
                                     "\t[0x10000]\n", "\t[-h]\n", "\nApplication Usage:\n"}))
        << before.err;

    RunResult after = run({"-h", "-X", "0x10000"});
    EXPECT_EQ(after.status, 0);
    EXPECT_EQ(after.err, fullUsage(false));

    // A mask with leftover characters still counts as given.
    RunResult invalid = run({"-X", "12abc", "-h"});
    EXPECT_EQ(invalid.status, 0);
    EXPECT_EQ(invalid.err, "Invalid format for \"-X\" parameter, unprocessed characters [abc]\n" +
                               fullUsage(true));
    EXPECT_EQ(invalid.out.rfind(kVersionLine, 0), 0u);
}

TEST_F(UsageText, NoCommandPrintsTheShortUsageAndSucceeds)
{
    for (const std::vector<std::string>& line : {std::vector<std::string>{},
                                                 {"-DU", "-q"},
                                                 {"plain", "words"},
                                                 {"-d", "40F5849A"},
                                                 {"-OVERRIDE", "-e", "-n"},
                                                 {"-D=1"}})
    {
        RunResult r = run(line);
        EXPECT_EQ(r.status, 0);
        _expectVersionAndNotice(r.out);
        EXPECT_EQ(r.err, shortUsage());
    }
    EXPECT_TRUE(ListTree(home).empty());
}

TEST_F(UsageText, UnprocessedLogMaskIsReportedAndTheRunGoesOn)
{
    RunResult r = run({"-X", "12abc"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "Invalid format for \"-X\" parameter, unprocessed characters [abc]\n" + shortUsage());
}

TEST_F(UsageText, ParseFailurePrintsItsMessagesAndTheShortUsage)
{
    struct Case
    {
        std::vector<std::string> line;
        std::string messages;
    };
    const Case cases[] = {
        {{"-Y"}, "Unhandled command: [-Y]\n"},
        {{"-D", "-d", "12G4"}, "Invalid serial number obtained from argument [12G4]\n"},
        {{"-D", "-d", "0x0"}, "Invalid serial number obtained from argument [0]\n"},
        {{"-D", "-r", "0x"}, "Invalid router serial number obtained from argument []\n"},
        {{"-D", "-t", "usb"},
         "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n"},
        {{"-d", "0", "-Y", "-t", "x"},
         "Invalid serial number obtained from argument [0]\nUnhandled command: [-Y]\n"
         "Invalid transport type:[x]\nMust be one of the following: USB, TCPIP, RECOVER\n"},
    };
    for (const Case& c : cases)
    {
        RunResult r = run(c.line);
        EXPECT_EQ(r.status, 1) << c.messages;
        _expectVersionAndNotice(r.out);
        EXPECT_EQ(r.err, c.messages + shortUsage());
    }
    EXPECT_TRUE(ListTree(home).empty());
}

TEST_F(UsageText, HelpAfterAFailedOptionStillShowsTheUsage)
{
    RunResult r = run({"-Y", "-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Unhandled command: [-Y]\n" + fullUsage(false));
}
