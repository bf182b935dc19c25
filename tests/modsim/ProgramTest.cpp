// The modsim program as a user runs it: its help, the port and serial line it
// prints, a command run beside it, and its USB mode under umockdev-wrapper.
#include "tests/cli/ProcessRunner.h"
#include "tests/modsim/HostEnd.h"

#include <algorithm>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace
{

// modsim running in the background, its standard output read line by line.
class Running
{
public:
    explicit Running(std::vector<std::string> args)
    {
        args.insert(args.begin(), MODSIM_PATH);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, MODSIM_PATH, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        out_ = out[0];
    }
    ~Running()
    {
        if (pid_ > 0)
        {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }

    // The next line of output ("" when none came within `ms`).
    std::string line(int ms = 5000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (buffer_.find('\n') == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
        {
            pollfd p = {out_, POLLIN, 0};
            char chunk[512];
            if (poll(&p, 1, 50) > 0)
            {
                ssize_t n = read(out_, chunk, sizeof chunk);
                if (n <= 0)
                    break;
                buffer_.append(chunk, (size_t)n);
            }
        }
        size_t nl = buffer_.find('\n');
        if (nl == std::string::npos)
            return std::string();
        std::string l = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return l;
    }

    // Lines up to "ready".
    std::vector<std::string> untilReady()
    {
        std::vector<std::string> lines;
        for (std::string l = line(); !l.empty() && l != "ready"; l = line())
            lines.push_back(l);
        return lines;
    }

    // SIGTERM, then the exit status (-1 when it did not end within 3 s).
    int terminate()
    {
        kill(pid_, SIGTERM);
        for (int i = 0; i < 300; i++)
        {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_)
            {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(10000);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

// The rest of the first line that starts with `prefix` ("" when none does).
std::string _after(const std::vector<std::string>& lines, const std::string& prefix)
{
    for (const std::string& l : lines)
        if (l.compare(0, prefix.size(), prefix) == 0)
            return l.substr(prefix.size());
    return std::string();
}

// Whether a line ends with `text`.
bool _endsWith(const std::vector<std::string>& lines, const std::string& text)
{
    for (const std::string& l : lines)
        if (l.size() >= text.size() && l.compare(l.size() - text.size(), text.size(), text) == 0)
            return true;
    return false;
}

} // namespace

TEST(ModsimProgram, HelpAndBadOptions)
{
    RunResult help = RunProgram(MODSIM_PATH, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: modsim"), std::string::npos);
    EXPECT_NE(help.out.find("--reset-on EVENT"), std::string::npos);
    EXPECT_NE(help.out.find("heartbeat-missed"), std::string::npos);

    RunResult odd = RunProgram(MODSIM_PATH, {"--module", "40F5849A:05", "--tcp", "0"});
    EXPECT_EQ(odd.status, 1);
    EXPECT_NE(odd.err.find("must be even"), std::string::npos) << odd.err;
    RunResult bare = RunProgram(MODSIM_PATH, {});
    EXPECT_EQ(bare.status, 1);
    EXPECT_NE(bare.err.find("has no transport"), std::string::npos) << bare.err;
}

TEST(ModsimProgram, PrintsItsPortAndSerialLineAndAnswersOnThem)
{
    Running sim({"--module", "40F5849A:06", "--tcp", "0", "--serial", "--trace"});
    std::vector<std::string> lines = sim.untilReady();
    std::string port = _after(lines, "module 40F5849A address 06 tcp 127.0.0.1 ");
    std::string pty = _after(lines, "module 40F5849A address 06 serial ");
    ASSERT_FALSE(port.empty());
    ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;

    TcpHost host((uint16_t)std::stoi(port));
    host.write({0xAD, 0x00});
    EXPECT_EQ(host.read(2, 2000), Bytes({0x06, 0x00}));
    SerialHost line(pty);
    line.write({0x02, 0xAD, 0x02, 0x67, 0x00});
    EXPECT_EQ(line.read(5, 2000), Bytes({0x02, 0x06, 0x02, 0xAA, 0x00}));

    // The trace follows on standard output.
    std::vector<std::string> trace;
    for (std::string l = sim.line(2000); !l.empty(); l = sim.line(300))
        trace.push_back(l);
    EXPECT_TRUE(_endsWith(trace, "40F5849A in  pty:" + pty + " len 0: AD 00"));
    bool tcpOut = false;
    for (const std::string& l : trace)
        tcpOut = tcpOut || (l.find("40F5849A out tcp:127.0.0.1:") != std::string::npos &&
                            l.find(" len 0: 06 00") != std::string::npos);
    EXPECT_TRUE(tcpOut);
    EXPECT_EQ(sim.terminate(), 0);
}

TEST(ModsimProgram, RunsACommandBesideTheModulesAndEndsWithItsStatus)
{
    RunResult r = RunProgram(MODSIM_PATH, {"--tcp", "0", "--serial", "--", "/bin/sh", "-c",
                                           "test -n \"$MODSIM_TCP_PORT_40F5849A\" && "
                                           "test -c \"$MODSIM_PTY\" && exit 7"});
    EXPECT_EQ(r.status, 7) << r.err;
    EXPECT_NE(r.err.find("0 connections"), std::string::npos) << r.err;

    // A command that runs too long is ended.
    auto before = std::chrono::steady_clock::now();
    RunResult slow =
        RunProgram(MODSIM_PATH, {"--tcp", "0", "--timeout", "300", "--", "sleep", "30"});
    EXPECT_EQ(slow.status, 124);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    RunResult missing = RunProgram(MODSIM_PATH, {"--tcp", "0", "--", "/nonexistent/command"});
    EXPECT_EQ(missing.status, 127);
}

TEST(ModsimProgram, UsbModeRunsItsChildAgainstTheEmulatedModule)
{
    if (std::string(UMOCKDEV_WRAPPER).empty() || !MODSIM_WITH_USB)
        GTEST_SKIP() << "umockdev-wrapper (or umockdev in this build) is missing: "
                        "the USB mode cannot run here";
    RunResult r = RunProgram(UMOCKDEV_WRAPPER, {MODSIM_PATH, "--module", "40F5849A:06", "--usb",
                                                "--", MODSIM_USB_PROBE, "40F5849A"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("module 40F5849A address 06 usb 40F5849A"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n06 00\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("1 sync answered"), std::string::npos) << r.err;

    // Without the wrapper the USB mode says what it needs.
    RunResult bare = RunProgram(MODSIM_PATH, {"--usb"});
    EXPECT_EQ(bare.status, 1);
    EXPECT_NE(bare.err.find("umockdev-wrapper"), std::string::npos) << bare.err;
}

TEST(ModsimProgram, FirmwareOptionsShowOnTheWire)
{
    Running sim({"--module", "40F5849A:06", "--model", "0x12", "--version", "2.10.3", "--build",
                 "0x01020304", "--build-reply-length", "7", "--heartbeat", "0", "--tcp", "0"});
    std::vector<std::string> lines = sim.untilReady();
    std::string port = _after(lines, "module 40F5849A address 06 tcp 127.0.0.1 ");
    ASSERT_FALSE(port.empty());
    TcpHost host((uint16_t)std::stoi(port));
    EXPECT_EQ(Ask(host, {0x06, 0x03, 0x03, 0x48, 0x20}, 6),
              Bytes({0x06, 0x04, 0x03, 0x08, 0x00, 0x12}));
    EXPECT_EQ(Ask(host, {0x06, 0x03, 0x03, 0x47, 0x20}, 9),
              Bytes({0x06, 0x07, 0x03, 0x07, 0x00, 0x2A, 0x00, 0x00, 0x03}));
    EXPECT_EQ(Ask(host, {0x06, 0x02, 0x49, 0xFF}, 9),
              Bytes({0x06, 0x07, 0x49, 0xFF, 0x01, 0x02, 0x03, 0x04, 0x00}));
    EXPECT_EQ(sim.terminate(), 0);

    RunResult bad = RunProgram(MODSIM_PATH, {"--tcp", "0", "--version", "2.16"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("expected X.Y.Z"), std::string::npos) << bad.err;
    RunResult help = RunProgram(MODSIM_PATH, {"--help"});
    EXPECT_NE(help.out.find("--discovery ADDRESS"), std::string::npos);
    EXPECT_NE(help.out.find("--no-reply PATTERN"), std::string::npos);
}

TEST(ModsimProgram, ChildrenValuesSlotsAndFactoryDataFromTheCommandLine)
{
    Running sim({"--module", "40F58500:02", "--tcp", "0", "--heartbeat", "0", "--uei",
                 "20:00:0F=short:0x1234,rw,delay=100", "--slot", "1:0:8:0102,ro", "--factory",
                 "2:A1A2,locked", "--child", "40F58510:10", "--model", "0x11"});
    std::vector<std::string> lines = sim.untilReady();
    std::string port = _after(lines, "module 40F58500 address 02 tcp 127.0.0.1 ");
    ASSERT_FALSE(port.empty());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "module 40F58510 address 10 behind 40F58500"),
              lines.end());
    TcpHost host((uint16_t)std::stoi(port));
    EXPECT_EQ(Ask(host, {0x02, 0x05, 0x20, 0x8F, 0x20, 0xAB, 0xCD}, 7),
              Bytes({0x02, 0x05, 0x20, 0xCF, 0x00, 0xAB, 0xCD}));
    EXPECT_EQ(Ask(host, {0x02, 0x04, 0x04, 0x02, 0x01, 0x00}, 8),
              Bytes({0x02, 0x06, 0x04, 0x02, 0x01, 0x00, 0x00, 0x02}));
    EXPECT_EQ(Ask(host, {0x02, 0x02, 0x5E, 0x42}, 6), Bytes({0x02, 0x04, 0x5E, 0x02, 0xA1, 0xA2}));
    EXPECT_EQ(Ask(host, {0x02, 0x03, 0x5E, 0x52, 0x00}, 5), Bytes({0x02, 0x03, 0x5E, 0x82, 12}));
    EXPECT_EQ(Ask(host, {0x02, 0x04, 0x03, 0x94, 0x20, 0x01}, 6).size(), 6u);
    EXPECT_EQ(Ask(host, {0x10, 0x03, 0x03, 0x48, 0x20}, 6),
              Bytes({0x10, 0x04, 0x03, 0x08, 0x00, 0x11}));
    EXPECT_EQ(sim.terminate(), 0);

    RunResult orphan = RunProgram(MODSIM_PATH, {"--child", "40F58510:10"});
    EXPECT_EQ(orphan.status, 1);
    EXPECT_NE(orphan.err.find("after the --module of its router"), std::string::npos) << orphan.err;
    RunResult wired =
        RunProgram(MODSIM_PATH, {"--tcp", "0", "--child", "40F58510:10", "--tcp", "0"});
    EXPECT_EQ(wired.status, 1);
    EXPECT_NE(wired.err.find("is behind a router"), std::string::npos) << wired.err;
    RunResult bad = RunProgram(MODSIM_PATH, {"--tcp", "0", "--uei", "20:00:0F=float:1"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("TYPE is byte, short, int, bytes or call"), std::string::npos)
        << bad.err;
}

TEST(ModsimProgram, TheSmallLabRunsInAPrivateNetwork)
{
    if (std::string(UMOCKDEV_WRAPPER).empty() || !MODSIM_WITH_USB)
        GTEST_SKIP() << "umockdev-wrapper is missing: the lab's USB module cannot run here";
    std::string lab = std::string(KX_SOURCE_DIR) + "/tools/modsim/small.lab";
    std::string probes = std::string(MODSIM_SEARCH_PROBE) + " 192.0.2.1 10 12 14 && " +
                         MODSIM_USB_PROBE + " 40F5849D";
    RunResult r = RunProgram(UMOCKDEV_WRAPPER, {MODSIM_PATH, "--netns", "--lab", lab, "--timeout",
                                                "20000", "--", "/bin/sh", "-c", probes});
    if (r.status == 1 && r.err.find("--netns:") != std::string::npos)
        GTEST_SKIP() << "no private network namespace here: " << r.err;
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // Four modules answer the search; the occupied one refuses connections.
    size_t answers = 0;
    for (size_t at = r.out.find("answer 192.0.2.1 00 "); at != std::string::npos;
         at = r.out.find("answer 192.0.2.1 00 ", at + 1))
        answers++;
    EXPECT_EQ(answers, 4u) << r.out;
    for (const char* line :
         {"model 40F5849A 12\n", "model 40F5849B 10\n", "refused 40F5849C\n", "model 40F58500 10\n",
          "child 40F58500 10 40F58510\n", "child 40F58500 14 40F58514\n", "\n04 00\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << " in\n" << r.out;
    EXPECT_EQ(r.out.find("child 40F58500 12"), std::string::npos);
    EXPECT_NE(r.out.find("module 40F58514 address 14 behind 40F58500"), std::string::npos);
}
