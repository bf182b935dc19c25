// The Updater's build list, download, store listing and token commands, run as
// the real program against the local update server on loopback.
#include "tests/cli/ProcessRunner.h"
#include "tests/server/ServerHarness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sys/stat.h>

namespace
{
using Outcome = RunResult;

// A server address on loopback where nothing listens, for the runs that must
// fail before they reach any server.
const char* const _noServer = "http://127.0.0.1:9/cgi/u";

// Runs Updater with HOME set to `home`; on a terminal, standard output goes
// to a pseudo-terminal.
Outcome _updater(const std::string& home, const std::vector<std::string>& args,
                 bool terminal = false)
{
    RunOptions options;
    options.setEnv = {{"HOME", home}};
    options.terminal = terminal;
    options.timeoutMs = 30000;
    Outcome run = RunProgram(UPDATER_PATH, args, options);
    EXPECT_FALSE(run.setupFailed);
    return run;
}

bool _contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

size_t _count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    {
        ++n;
    }
    return n;
}

const char* const kSerial = "00001A2B";

// The server offers device 00001A2B builds 1100 (1.9.9), 1234 (2.10.3) and
// 1300 (2.11.0), plus build 5000 that it serves but does not list.
class Acquire : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const std::string& d = firmware.path();
        for (const char* sub : {"/00001A2B", "/00001A2B/unlisted", "/models", "/models/ROUTER"})
        {
            mkdir((d + sub).c_str(), 0755);
        }
        b1234 = MakeBird(1234, "2.10.3", kSerial, "ROUTER");
        b1300 = MakeBird(1300, "2.11.0", "", "ROUTER", 2000);
        b5000 = MakeBird(5000, "3.0.0", kSerial, "ROUTER");
        WriteBytes(d + "/00001A2B/1234.bird", b1234);
        WriteBytes(d + "/models/ROUTER/1300.bird", b1300);
        WriteBytes(d + "/models/ROUTER/1100.bird", MakeBird(1100, "1.9.9", "", "ROUTER"));
        WriteBytes(d + "/00001A2B/unlisted/5000.bird", b5000);
        WriteBytes(d + "/devices", "00001A2B ROUTER usb tcp\n");
        device = store.path() + "/updater/" + kSerial;
    }

    void Serve(const std::vector<std::string>& faults = {})
    {
        ASSERT_TRUE(server.Start(firmware.path(), faults));
    }

    Outcome RunUpdater(std::vector<std::string> args)
    {
        args.insert(args.end(), {"-u", server.URL(), "-i", store.path()});
        return _updater(home.path(), args);
    }

    std::string Settings() { return ReadBytes(device + "/.settings"); }

    TempDir firmware, store, home;
    LocalServer server;
    std::string device;
    std::string b1234, b1300, b5000;
};

} // namespace

TEST_F(Acquire, BuildListNewestFirst)
{
    Serve();
    Outcome run = RunUpdater({"-B", "-d", kSerial});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(_contains(run.out, "Build List for device [00001A2B]:\n"));
    size_t header = run.out.find("Build          \tVersion        \n");
    size_t newest = run.out.find("1300           \t2.11.0         \n");
    size_t middle = run.out.find("1234           \t2.10.3         \n");
    size_t oldest = run.out.find("1100           \t1.9.9          \n");
    ASSERT_NE(oldest, std::string::npos) << run.out;
    EXPECT_LT(header, newest);
    EXPECT_LT(newest, middle);
    EXPECT_LT(middle, oldest);
    EXPECT_FALSE(_contains(run.out, "5000"));
    EXPECT_EQ(server.Requests(),
              (std::vector<std::string>{"/cgi/u?op=hi&rv=2&", "/cgi/u?op=builds&sn=00001A2B&"}));
}

TEST_F(Acquire, BuildListFailures)
{
    Outcome missing = _updater(home.path(), {"-B", "-i", store.path(), "-u", _noServer});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(
        _contains(missing.err, "Error must supply a serial number for the List Builds command"));

    Serve({"--no-ok", "builds"});
    // An unanswered question ends the run with status 1.
    Outcome refused = RunUpdater({"-B", "-d", kSerial});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(_contains(refused.err, "Failed to retrieve builds for 00001A2B\n"));
    EXPECT_TRUE(_contains(refused.out, "No builds found for device [00001A2B]\n"));

    server.Stop();
    Outcome down = RunUpdater({"-B", "-d", kSerial});
    EXPECT_EQ(down.status, 1);
    EXPECT_TRUE(_contains(down.err, "Server request failed for " + server.URL() + "\n"));
    EXPECT_TRUE(_contains(down.out, "No builds found for device [00001A2B]\n"));
}

TEST_F(Acquire, DownloadsLatestIntoNewDeviceEntry)
{
    Serve();
    Outcome run = RunUpdater({"-G", "-d", kSerial});
    EXPECT_EQ(run.status, 0) << run.err;
    for (const char* line :
         {"Retrieving firmware for device with serial number 00001A2B\n", "No build specified\n",
          "Using Latest build\n", "Retrieving build 1300\n", "Validating build 1300 with server\n",
          "Build 1300 is valid\n"})
    {
        EXPECT_TRUE(_contains(run.out, line)) << line << run.out;
    }
    EXPECT_EQ(ReadBytes(device + "/1300.bird"), b1300);
    std::string settings = Settings();
    EXPECT_TRUE(_contains(settings, "LATEST_DOWNLOAD=1300.bird\n")) << settings;
    EXPECT_TRUE(_contains(settings, "LAST_DOWNLOAD_DATE=")) << settings;
    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[3], "/cgi/u?bld=1300&fw=ROUTER&no_cal=false&op=bird&sn=00001A2B&");
}

TEST_F(Acquire, RequestedBuildMustBeListedUnlessOverridden)
{
    Serve();
    Outcome refused = RunUpdater({"-G", "-d", kSerial, "-b", "5000"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(_contains(refused.out, "Retrieving firmware build 5000\n"));
    EXPECT_TRUE(_contains(refused.err, "No valid build 5000\n"));
    EXPECT_NE(access((device + "/5000.bird").c_str(), F_OK), 0);

    Outcome accepted = RunUpdater({"-G", "-OVERRIDE", "-d", kSerial, "-b", "5000"});
    EXPECT_EQ(accepted.status, 0) << accepted.err;
    EXPECT_TRUE(_contains(accepted.out, "Override specified, skipping validation of build 5000\n"));
    EXPECT_EQ(ReadBytes(device + "/5000.bird"), b5000);
    EXPECT_TRUE(_contains(Settings(), "LATEST_DOWNLOAD=5000.bird\n"));

    // A build argument that is no number means the latest build.
    Outcome latest = RunUpdater({"-G", "-d", kSerial, "-b", "12x"});
    EXPECT_EQ(latest.status, 0) << latest.err;
    EXPECT_TRUE(_contains(latest.out, "Build 1300 is valid\n")) << latest.out;
    EXPECT_TRUE(_contains(Settings(), "LATEST_DOWNLOAD=1300.bird\n"));

    // A listed build is accepted after validation.
    Outcome listed = RunUpdater({"-G", "-d", kSerial, "-b", "1234"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_TRUE(_contains(listed.out, "Build 1234 is valid\n"));
    EXPECT_EQ(ReadBytes(device + "/1234.bird"), b1234);
}

TEST_F(Acquire, DownloadFailuresLeaveTheStoreAsItWas)
{
    Serve();
    ASSERT_EQ(RunUpdater({"-G", "-d", kSerial, "-b", "1234"}).status, 0);
    std::string settings = Settings();
    server.Stop();

    struct Case
    {
        std::vector<std::string> faults;
        const char* error;
    };
    const Case cases[] = {
        {{"--bad-base64", "bird"}, "Failed to retrieve a valid BIRD file\n"},
        {{"--truncate", "bird"}, "Failed to retrieve a valid BIRD file\n"},
        {{"--empty", "bird"}, "Failed to retrieve a valid BIRD file\n"},
        {{"--status", "bird=500"}, "Download failed\n"},
        {{"--status", "qu=404"}, "No build information for device\n"},
        {{"--status", "builds=500"}, "No valid build 1234\n"},
    };
    for (const Case& c : cases)
    {
        ASSERT_TRUE(server.Start(firmware.path(), c.faults));
        Outcome run = RunUpdater({"-G", "-d", kSerial, "-b", "1234"});
        EXPECT_EQ(run.status, 1) << c.faults[0];
        EXPECT_TRUE(_contains(run.err, c.error)) << c.faults[0] << ": " << run.err;
        EXPECT_EQ(ReadBytes(device + "/1234.bird"), b1234) << c.faults[0];
        EXPECT_EQ(Settings(), settings) << c.faults[0];
        server.Stop();
    }

    // Not a BIRD file at all, though it decodes.
    WriteBytes(firmware.path() + "/00001A2B/1234.bird", std::string("bird\0\x01", 6) + "junk");
    ASSERT_TRUE(server.Start(firmware.path()));
    Outcome foreign = RunUpdater({"-G", "-OVERRIDE", "-d", kSerial, "-b", "1234"});
    EXPECT_EQ(foreign.status, 1);
    EXPECT_TRUE(_contains(foreign.err, "Failed to retrieve a valid BIRD file\n")) << foreign.err;
    EXPECT_EQ(ReadBytes(device + "/1234.bird"), b1234);
    EXPECT_EQ(Settings(), settings);

    server.Stop();
    Outcome down = RunUpdater({"-G", "-d", kSerial});
    EXPECT_EQ(down.status, 1);
    EXPECT_TRUE(_contains(down.err, "Server request failed for " + server.URL() + "\n"));
}

TEST_F(Acquire, UnwritableImageIsAFailure)
{
    Serve();
    mkdir((store.path() + "/updater").c_str(), 0755);
    mkdir(device.c_str(), 0755);
    // A directory where the image belongs cannot be replaced by a file.
    mkdir((device + "/1300.bird").c_str(), 0755);
    Outcome run = RunUpdater({"-G", "-d", kSerial});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(_contains(run.err, "Failed to write file with ")) << run.err;
    EXPECT_FALSE(_contains(Settings(), "LATEST_DOWNLOAD=1300.bird"));
}

TEST_F(Acquire, GetNeedsADevice)
{
    Outcome run = _updater(home.path(), {"-G", "-i", store.path(), "-u", _noServer});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(_contains(run.err, "-G must specify a specific device via -d\n"));
    EXPECT_TRUE(_contains(run.err, "--help for usage information\n"));
}

TEST_F(Acquire, LocalListReadsVersionsFromFiles)
{
    Serve();
    ASSERT_EQ(RunUpdater({"-G", "-d", kSerial, "-b", "1234"}).status, 0);
    ASSERT_EQ(RunUpdater({"-G", "-d", kSerial}).status, 0);
    WriteBytes(device + "/1300.bird.bak", b1300);
    WriteBytes(device + "/notes.txt", "not firmware");
    server.Stop();

    Outcome run = RunUpdater({"-L", "-d", kSerial});
    EXPECT_EQ(run.status, 0) << run.err;
    size_t newest = run.out.find("1300           \t2.11.0         \n");
    size_t older = run.out.find("1234           \t2.10.3         \n");
    size_t notes = run.out.find("notes.txt      \t               \n");
    ASSERT_NE(newest, std::string::npos) << run.out;
    ASSERT_NE(older, std::string::npos) << run.out;
    ASSERT_NE(notes, std::string::npos) << run.out;
    EXPECT_LT(newest, older);
    EXPECT_LT(older, notes);
    EXPECT_EQ(_count(run.out, "1300     "), 1u);

    Outcome unknown = RunUpdater({"-L", "-d", "0BADF00D"});
    EXPECT_EQ(unknown.status, 0);
    EXPECT_TRUE(_contains(unknown.out, "No builds found for device [0BADF00D]\n"));

    Outcome missing = _updater(home.path(), {"-L", "-i", store.path(), "-u", _noServer});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(_contains(missing.err,
                          "Error must supply a serial number for the List Local Builds command"));
}

TEST_F(Acquire, TokenIsPrinted)
{
    Serve();
    Outcome run = RunUpdater({"-J", "-d", kSerial});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(_contains(run.out, "\neyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9.")) << run.out;

    Outcome unknown = RunUpdater({"-J", "-d", "0BADF00D"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_TRUE(_contains(unknown.err, "Failed to retrieve jwt for 0BADF00D\n"));

    server.Stop();
    Outcome down = RunUpdater({"-J", "-d", kSerial});
    EXPECT_EQ(down.status, 1);
    EXPECT_TRUE(_contains(down.err, "Server request failed for " + server.URL() + "\n"));

    Outcome missing = _updater(home.path(), {"-J", "-i", store.path(), "-u", _noServer});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(
        _contains(missing.err, "Error must supply a serial number for the Get JWT command"));
}

TEST_F(Acquire, SpinnerTurnsDuringSlowDownload)
{
    Serve({"--stall", "bird=2500"});
    auto start = std::chrono::steady_clock::now();
    std::vector<std::string> args = {"-G", "-d", kSerial, "-u", server.URL(), "-i", store.path()};
    Outcome run = _updater(home.path(), args, true);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(run.status, 0) << run.out;
    size_t frames = _count(run.out, "\r (Downloading) ");
    // About ten frames a second over at least 2.5 s.
    EXPECT_GE(frames, 15u) << run.out;
    EXPECT_LE(static_cast<double>(frames), seconds * 10 + 3) << run.out;
    EXPECT_TRUE(_contains(run.out, "\r (Downloading) .      \r"));
    EXPECT_TRUE(_contains(run.out, "\r (Downloading) .....      \r"));
    EXPECT_TRUE(_contains(run.out, "\r" + std::string(88, ' ') + "\r")) << run.out;
    EXPECT_EQ(ReadBytes(device + "/1300.bird"), b1300);
}
