// The modsim program as a user runs it: its help, the port and serial line it
// prints, a command run beside it, and its USB mode under umockdev-wrapper.
#include "tests/cli/ProcessRunner.h"
#include "tests/modsim/HostEnd.h"

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
