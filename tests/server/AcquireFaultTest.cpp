// The acquisition commands run as the real program against a local update
// server that misbehaves, and against stores that cannot take what they are
// given: every such run ends with status 1, says why, and leaves the store
// whole and without stray files.
#include "tests/cli/ProcessRunner.h"
#include "tests/server/ServerHarness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
const char* const kSerial = "00001A2B";

bool _contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Names in a directory that look like left-over temporary files.
std::vector<std::string> _temporaries(const std::string& directory)
{
    std::vector<std::string> found;
    for (const std::string& name : ListTree(directory))
    {
        if (_contains(name, ".tmp-"))
        {
            found.push_back(name);
        }
    }
    return found;
}

// The id of a process that has ended and been reaped.
pid_t _dead_pid()
{
    pid_t child = fork();
    if (child == 0)
    {
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    return child;
}

class AcquireFaults : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const std::string& d = firmware.path();
        mkdir((d + "/00001A2B").c_str(), 0755);
        b1234 = MakeBird(1234, "2.10.3", kSerial, "ROUTER");
        WriteBytes(d + "/00001A2B/1234.bird", b1234);
        WriteBytes(d + "/devices", "00001A2B ROUTER usb tcp\n");
        root = store.path() + "/updater";
        device = root + "/" + kSerial;
    }

    void Serve(const std::vector<std::string>& faults = {})
    {
        ASSERT_TRUE(server.Start(firmware.path(), faults));
    }

    RunResult Run(std::vector<std::string> args, const std::string& url = "")
    {
        args.insert(args.end(), {"-u", url.empty() ? server.URL() : url, "-i", store.path()});
        RunOptions options;
        options.setEnv = {{"HOME", home.path()}};
        options.timeoutMs = 60000;
        RunResult run = RunProgram(UPDATER_PATH, args, options);
        EXPECT_FALSE(run.setupFailed);
        return run;
    }

    TempDir firmware, store, home;
    LocalServer server;
    std::string root, device, b1234;
};

} // namespace

// A reply that never ends is cut off at its limit, on every question.
TEST_F(AcquireFaults, EndlessRepliesAreBounded)
{
    struct Case
    {
        std::vector<std::string> args;
        const char* fault;
        const char* error;
    };
    const Case cases[] = {
        {{"-B", "-d", kSerial}, "hi", "Server request failed for "},
        {{"-B", "-d", kSerial}, "builds", "Failed to retrieve builds for 00001A2B\n"},
        {{"-J", "-d", kSerial}, "ent_jwt", "Failed to retrieve jwt for 00001A2B\n"},
        {{"-G", "-d", kSerial}, "qu", "No build information for device\n"},
        {{"-G", "-d", kSerial, "-b", "1234"}, "builds", "No valid build 1234\n"},
        {{"-G", "-OVERRIDE", "-d", kSerial, "-b", "1234"}, "bird", "Download failed\n"},
    };
    for (const Case& c : cases)
    {
        Serve({"--endless", c.fault});
        RunResult run = Run(c.args);
        EXPECT_EQ(run.status, 1) << c.fault;
        EXPECT_TRUE(_contains(run.err, c.error)) << c.fault << ": " << run.err;
        EXPECT_TRUE(_contains(run.err, "Cause: the reply is larger than ")) << run.err;
        EXPECT_EQ(access((device + "/1234.bird").c_str(), F_OK), -1) << c.fault;
        server.Stop();
    }
}

// A stray file or directory whose name only contains the serial number is
// not the device's entry.
TEST_F(AcquireFaults, DeviceEntryMatchesTheWholeName)
{
    Serve();
    mkdir(root.c_str(), 0755);
    WriteBytes(root + "/old-00001A2B.txt", "notes");
    mkdir((root + "/00001A2B.old").c_str(), 0755);
    RunResult run = Run({"-G", "-OVERRIDE", "-d", kSerial, "-b", "1234"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadBytes(device + "/1234.bird"), b1234);
    EXPECT_EQ(access((root + "/00001A2B.old/1234.bird").c_str(), F_OK), -1);
    EXPECT_EQ(ReadBytes(root + "/old-00001A2B.txt"), "notes");

    // A file named like the device is no entry either, and cannot become one.
    WriteBytes(root + "/0000ABCD", "not a directory");
    WriteBytes(firmware.path() + "/devices", "00001A2B ROUTER\n0000ABCD ROUTER\n");
    mkdir((firmware.path() + "/0000ABCD").c_str(), 0755);
    WriteBytes(firmware.path() + "/0000ABCD/1234.bird", b1234);
    RunResult file = Run({"-G", "-OVERRIDE", "-d", "0000ABCD", "-b", "1234"});
    EXPECT_EQ(file.status, 1);
    EXPECT_TRUE(_contains(file.err, "Could not create directory for storing BIRD file\n"))
        << file.err;
    EXPECT_TRUE(_contains(file.err, "exists and is a file")) << file.err;
}

// A download that cannot be recorded is a failed download.
TEST_F(AcquireFaults, DownloadThatCannotBeRecordedFails)
{
    Serve();
    mkdir(root.c_str(), 0755);
    mkdir(device.c_str(), 0755);
    mkdir((device + "/.settings").c_str(), 0755);
    RunResult run = Run({"-G", "-d", kSerial, "-b", "1234"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(_contains(run.err, "Could not record download of build 1234 in " + device + "\n"))
        << run.err;
    EXPECT_TRUE(_contains(run.err, "Cause: " + device + "/.settings")) << run.err;
    EXPECT_TRUE(_temporaries(device).empty());
}

// A settings line too long to read stops the reading; the file is then not
// rewritten with less than it held.
TEST_F(AcquireFaults, SettingsReadInPartAreNotRewritten)
{
    Serve();
    mkdir(root.c_str(), 0755);
    mkdir(device.c_str(), 0755);
    const std::string settings =
        "CREATED_TIME=Mon Jan  1 00:00:00 2024\nNOTE=" + std::string(3000, 'x') + "\nZ_KEY=kept\n";
    WriteBytes(device + "/.settings", settings);
    RunResult run = Run({"-G", "-d", kSerial, "-b", "1234"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(_contains(run.err, "Could not record download of build 1234")) << run.err;
    EXPECT_TRUE(_contains(run.err, "could not be read whole (a line is longer than 2047 "
                                   "characters)"))
        << run.err;
    EXPECT_EQ(ReadBytes(device + "/.settings"), settings);
}

// Temporary files that killed runs left behind are removed by the next run;
// those of live processes stay.
TEST_F(AcquireFaults, StaleTemporaryFilesAreRemoved)
{
    Serve();
    mkdir(root.c_str(), 0755);
    mkdir(device.c_str(), 0755);
    const std::string dead = std::to_string(_dead_pid());
    const std::string live = std::to_string(getpid());
    WriteBytes(device + "/.1234.bird.tmp-" + dead + "-0", std::string(100000, 'x'));
    WriteBytes(device + "/.settings.tmp-" + dead + "-3", "half");
    WriteBytes(device + "/.1234.bird.tmp-" + live + "-1", "in use");
    RunResult run = Run({"-G", "-d", kSerial, "-b", "1234"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(_temporaries(device), std::vector<std::string>{".1234.bird.tmp-" + live + "-1"});
    EXPECT_EQ(ReadBytes(device + "/1234.bird"), b1234);
}

// A token that is not printable text is no token.
TEST_F(AcquireFaults, TokenWithZeroBytesFails)
{
    Serve({"--nul", "ent_jwt"});
    RunResult run = Run({"-J", "-d", kSerial});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(_contains(run.err, "Failed to retrieve jwt for 00001A2B\n")) << run.err;
    EXPECT_TRUE(_contains(run.err, "Cause: the server's token is not printable text\n"));
}

// "-u host:port", as the usage text has it, reaches the server's usual path.
TEST_F(AcquireFaults, ServerGivenAsHostAndPort)
{
    Serve();
    const std::string hostPort = "127.0.0.1:" + std::to_string(server.Port());
    RunResult bare = Run({"-B", "-d", kSerial}, hostPort);
    EXPECT_EQ(bare.status, 0) << bare.err;
    EXPECT_TRUE(_contains(bare.out, "1234           \t2.10.3         \n")) << bare.out;
    RunResult scheme = Run({"-B", "-d", kSerial}, "http://" + hostPort);
    EXPECT_EQ(scheme.status, 0) << scheme.err;
    // A URL with a path is used as it stands.
    RunResult other = Run({"-B", "-d", kSerial}, "http://" + hostPort + "/other");
    EXPECT_EQ(other.status, 1);
    EXPECT_TRUE(_contains(other.err, "Server request failed for http://" + hostPort + "/other\n"));
    EXPECT_EQ(server.Requests(),
              (std::vector<std::string>{"/cgi/u?op=hi&rv=2&", "/cgi/u?op=builds&sn=00001A2B&",
                                        "/cgi/u?op=hi&rv=2&", "/cgi/u?op=builds&sn=00001A2B&"}));
}

// Failures say their cause on the line after the message.
TEST_F(AcquireFaults, MessagesSayTheCause)
{
    RunResult refused = Run({"-B", "-d", kSerial}, "http://127.0.0.1:9/cgi/u");
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(_contains(refused.err, "Server request failed for http://127.0.0.1:9/cgi/u\nCause: "
                                       "Failed to connect to 127.0.0.1 port 9"))
        << refused.err;
    EXPECT_TRUE(_contains(refused.err, "(Connection refused)\n")) << refused.err;

    Serve({"--status", "hi=500"});
    RunResult status = Run({"-J", "-d", kSerial});
    EXPECT_EQ(status.status, 1);
    EXPECT_TRUE(_contains(status.err, "Server request failed for " + server.URL() +
                                          "\nCause: the server answered HTTP status 500\n"))
        << status.err;
    server.Stop();

    // The store directory is a file.
    WriteBytes(home.path() + "/plain", "x");
    RunOptions options;
    options.setEnv = {{"HOME", home.path()}};
    RunResult file =
        RunProgram(UPDATER_PATH, {"-L", "-d", kSerial, "-i", home.path() + "/plain"}, options);
    EXPECT_EQ(file.status, 1);
    EXPECT_TRUE(_contains(file.err, "Could not find updater directory at " + home.path() +
                                        "/plain/updater\nCause: " + home.path() +
                                        "/plain exists and is not a directory\n"))
        << file.err;

    // The image cannot be written: the path and the system's reason.
    Serve();
    mkdir(root.c_str(), 0755);
    mkdir(device.c_str(), 0755);
    chmod(device.c_str(), 0555);
    RunResult denied = Run({"-G", "-OVERRIDE", "-d", kSerial, "-b", "1234"});
    chmod(device.c_str(), 0755);
    if (geteuid() != 0)
    {
        EXPECT_EQ(denied.status, 1);
        EXPECT_TRUE(_contains(denied.err, "Failed to write file with 3\nCause: " + device +
                                              "/1234.bird: Permission denied\n"))
            << denied.err;
    }
}

// A store on a small file system: the image does not fit, and the run says so.
TEST_F(AcquireFaults, FullDiskIsReported)
{
    RunResult probe =
        RunProgram("/usr/bin/unshare", {"--user", "--map-root-user", "--mount", "/bin/sh", "-c",
                                        "mount -t tmpfs -o size=64k "
                                        "none /tmp && true"});
    if (probe.setupFailed || probe.status != 0)
    {
        GTEST_SKIP() << "no user and mount namespace with a tmpfs here: " << probe.err;
    }
    WriteBytes(firmware.path() + "/00001A2B/1300.bird",
               MakeBird(1300, "2.11.0", kSerial, "ROUTER", 400000));
    Serve();
    const std::string small = store.path() + "/small";
    mkdir(small.c_str(), 0755);
    const std::string script = "mount -t tmpfs -o size=128k none '" + small + "' && exec '" +
                               UPDATER_PATH + "' -G -d 00001A2B -b 1300 -u '" + server.URL() +
                               "' -i '" + small + "'";
    RunOptions options;
    options.setEnv = {{"HOME", home.path()}};
    options.timeoutMs = 60000;
    RunResult run =
        RunProgram("/usr/bin/unshare",
                   {"--user", "--map-root-user", "--mount", "/bin/sh", "-c", script}, options);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(_contains(run.err, "Failed to write file with ")) << run.err;
    EXPECT_TRUE(_contains(run.err, "/updater/00001A2B/1300.bird: No space left on device\n"))
        << run.err;
}
