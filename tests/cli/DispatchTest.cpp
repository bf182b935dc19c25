// The order in which a run carries out its commands, their preconditions and
// the exit status of the run.
#include "tests/cli/UpdaterRun.h"

namespace
{
const char* const kSerial = "40F5849A";
}

using Dispatch = UpdaterRun;

TEST_F(Dispatch, CommandsWithoutActionPrepareTheStoreAndSucceed)
{
    for (const std::vector<std::string>& line :
         {std::vector<std::string>{"-C"}, {"-I"}, {"-Z", "anything"}, {"-C", "-I", "-OVER"}})
    {
        RunResult r = runInStore(line);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, kVersionLine); // no notice, no usage
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(ListTree(store), std::vector<std::string>{"updater"});
}

TEST_F(Dispatch, ListCommandsNeedASerialNumber)
{
    struct Case
    {
        const char* option;
        const char* message;
    };
    const Case cases[] = {
        {"-B", "Error must supply a serial number for the List Builds command\n"},
        {"-L", "Error must supply a serial number for the List Local Builds command\n"},
        {"-J", "Error must supply a serial number for the Get JWT command\n"},
    };
    for (const Case& c : cases)
    {
        RunResult r = runInStore({c.option});
        EXPECT_EQ(r.status, 1) << c.option;
        EXPECT_EQ(r.out, kVersionLine);
        EXPECT_EQ(r.err, c.message + shortUsage());
    }
    // The first in order wins: list builds, then local builds, then the token.
    EXPECT_EQ(runInStore({"-J", "-L", "-B"}).err, std::string(cases[0].message) + shortUsage());
    EXPECT_EQ(runInStore({"-J", "-L"}).err, std::string(cases[1].message) + shortUsage());
}

TEST_F(Dispatch, GetBuildNeedsASerialNumberAndStopsTheRun)
{
    RunResult r = runInStore({"-G", "-U", "-d=0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Invalid serial number obtained from argument [0]\n" + shortUsage());

    r = runInStore({"-G", "-U"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kVersionLine);
    EXPECT_EQ(r.err, "-G must specify a specific device via -d\n--help for usage information\n");
}

TEST_F(Dispatch, GetBuildAnnouncesTheDeviceAndBuild)
{
    RunResult latest = runInStore({"-G", "-d", kSerial});
    EXPECT_TRUE(InOrder(latest.out, {kVersionLine,
                                     "Retrieving firmware for device with serial number 40F5849A\n",
                                     "No build specified\n", "Using Latest build\n"}))
        << latest.out;
    // Nothing can be downloaded from an unreachable server.
    EXPECT_EQ(latest.status, 1);

    RunResult given = runInStore({"-G", "-d", "0x40f5849a", "-b", "0099"});
    EXPECT_TRUE(InOrder(given.out, {"Retrieving firmware for device with serial number 40F5849A\n",
                                    "Retrieving firmware build 99\n"}))
        << given.out;
    EXPECT_EQ(given.out.find("No build specified"), std::string::npos);

    // A non-numeric build is stored as "0".
    RunResult odd = runInStore({"-G", "-d", kSerial, "-b", "12x"});
    EXPECT_NE(odd.out.find("Retrieving firmware build 0\n"), std::string::npos) << odd.out;
}

TEST_F(Dispatch, SerialNumberPrefixIsLoggedWhenTheMaskAsksForIt)
{
    RunResult r = runInStore({"-X", "1", "-d", "0x40F5849A", "-G"});
    EXPECT_NE(r.err.find("Discarding '0x' serial number prefix\n"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("serial number 40F5849A"), std::string::npos);

    RunResult quiet = runInStore({"-d", "0x40F5849A", "-G"});
    EXPECT_EQ(quiet.err.find("Discarding"), std::string::npos);
}

TEST_F(Dispatch, FingerprintNeedsASerialPortAndEndsTheRunAtOnce)
{
    RunResult r = runInStore({"-N", "-G", "-d", kSerial});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kVersionLine);
    EXPECT_EQ(r.err, "Must specify the serial port used for connecting\n");
}

TEST_F(Dispatch, SilentChipFailsTheRunButLaterCommandsStillRun)
{
    std::string port = tmp.sub("no-such-port");
    RunResult alone = runInStore({"-N", "-s", port, "-C"});
    EXPECT_EQ(alone.status, 1);
    EXPECT_NE(alone.err.find("Got no response from chip\n"), std::string::npos) << alone.err;

    RunResult then = runInStore({"-N", "-s", port, "-G", "-d", kSerial});
    EXPECT_EQ(then.status, 1);
    EXPECT_NE(then.err.find("Got no response from chip\n"), std::string::npos);
    EXPECT_NE(then.out.find("Retrieving firmware for device with serial number 40F5849A"),
              std::string::npos);

    // The device list is still shown, but the failed fingerprint is not forgotten.
    RunResult listed = runInStore({"-N", "-s", port, "-D"});
    EXPECT_NE(listed.out.find("Searching for Lumbrixon devices\n"), std::string::npos);
    EXPECT_EQ(listed.status, 1);

    // A store listing succeeds on its own; after the failed fingerprint the
    // run still fails.
    RunResult local = runInStore({"-L", "-d", kSerial});
    EXPECT_EQ(local.status, 0) << local.err;
    RunResult afterChip = runInStore({"-N", "-s", port, "-L", "-d", kSerial});
    EXPECT_NE(afterChip.out.find("No builds found for device [40F5849A]"), std::string::npos)
        << afterChip.out;
    EXPECT_EQ(afterChip.status, 1);
}

TEST_F(Dispatch, DiscoverWinsOverTheOtherCommands)
{
    RunResult r = runInStore({"-U", "-B", "-D"});
    EXPECT_NE(r.out.find("Searching for Lumbrixon devices\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("Must specify the specific device to be updated"), std::string::npos);
    EXPECT_EQ(r.err.find("Error must supply"), std::string::npos);

    RunResult routed = runInStore({"-D", "-r", "D272031D", "-t", "RECOVER"});
    EXPECT_NE(routed.out.find("Searching for Lumbrixon Network devices connected to D272031D\n"),
              std::string::npos)
        << routed.out;
}

TEST_F(Dispatch, UpdateNeedsADeviceUnlessRecovering)
{
    RunResult r = runInStore({"-U", "-B", "-L"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kVersionLine);
    EXPECT_EQ(r.err, "Must specify the specific device to be updated\n");

    // Recovery runs without a serial number (and fails here: no port).
    RunResult recover = runInStore({"-U", "-t", "RECOVER", "-s", tmp.sub("no-such-port")});
    EXPECT_EQ(recover.status, 1);
    EXPECT_EQ(recover.err.find("Must specify the specific device"), std::string::npos);
}

TEST_F(Dispatch, FailedUpdateFailsTheRun)
{
    const char* updateFailed = "Updater: updating firmware is not available in this build\n";
    RunResult r = runInStore({"-U", "-d", kSerial, "-f", tmp.sub("missing.bird")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(updateFailed), std::string::npos) << r.err;

    // The download comes first; the update follows it in the same run.
    RunResult both = runInStore({"-U", "-G", "-d", kSerial});
    EXPECT_EQ(both.status, 1);
    EXPECT_NE(both.out.find("Retrieving firmware for device with serial number 40F5849A"),
              std::string::npos);
    EXPECT_TRUE(InOrder(
        both.err, {std::string("Server request failed for ") + kNoServer + "\n", updateFailed}))
        << both.err;
}

TEST_F(Dispatch, TransportIsCaseSensitive)
{
    RunResult r = runInStore({"-D", "-t", "tcp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("Searching"), std::string::npos);
    EXPECT_TRUE(InOrder(r.err, {"Invalid transport type:[tcp]\n", "Application Usage:"}));
}
