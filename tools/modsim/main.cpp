// modsim: plays Lumbrixon modules from the module's side of the wire, over
// TCP/IP, a serial line (pseudo-terminal) and USB (umockdev), with a packet
// trace and fault switches. See --help.
#include "Simulator.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace
{

const char* const _usage =
    "Usage: modsim [options] [-- COMMAND [ARG...]]\n"
    "\n"
    "Plays Lumbrixon modules from the module's side of the wire: answers sync\n"
    "requests, honours route control and sends heartbeats while routed.\n"
    "Prints one line per transport on standard output, then \"ready\":\n"
    "  module 40F5849A address 04 tcp 127.0.0.1 40123\n"
    "  module 40F5849A address 04 serial /dev/pts/3\n"
    "  module 40F5849A address 04 usb 40F5849A\n"
    "With a COMMAND, runs it once the modules are up and exits with its status\n"
    "(it inherits the environment, so under umockdev-wrapper it sees the USB\n"
    "modules; MODSIM_TCP_PORT and MODSIM_PTY give the first module's port and\n"
    "serial line, MODSIM_TCP_PORT_<SERIAL> and MODSIM_PTY_<SERIAL> each module's).\n"
    "Without one, runs until interrupted or for --duration.\n"
    "\n"
    "Modules (the options after --module apply to it; before the first\n"
    "--module they apply to a module 40F5849A at address 04):\n"
    "  --module SERIAL[:ADDRESS]  serial number (hex) and module address (hex,\n"
    "                           even, 02 to FE) [40F5849A:04]\n"
    "  --tcp [ADDRESS:]PORT     listen on ADDRESS (127.0.0.1) and PORT (0: any free\n"
    "                           port); may be repeated\n"
    "  --serial                 open a pseudo-terminal (COBS frames with CRC-8)\n"
    "  --usb                    appear on the emulated USB bus (run modsim under\n"
    "                           umockdev-wrapper)\n"
    "  --usb-product HEX        USB product identifier [0010]\n"
    "  --heartbeat MS           heartbeat interval while routed, 0 for none [1000]\n"
    "  --heartbeat-direction alternate|down|up  [alternate]\n"
    "\n"
    "%s"
    "\n"
    "Program:\n"
    "  --trace                  print the packet trace on standard output\n"
    "  --trace-file FILE        append the packet trace to FILE\n"
    "  --duration MS            stop after MS milliseconds\n"
    "  --timeout MS             end COMMAND if it runs longer [600000]; status 124\n"
    "  --help                   this text\n";

struct _Options
{
    std::vector<modsim::ModuleSpec> modules;
    bool explicitModule = false;
    bool trace = false;
    std::string traceFile;
    long durationMs = -1;
    long timeoutMs = 600000;
    std::vector<std::string> command;
};

bool _hex(const std::string& text, unsigned long max, unsigned long& value)
{
    std::string t = text;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        t = t.substr(2);
    if (t.empty() || t.size() > 8)
        return false;
    char* end = nullptr;
    value = strtoul(t.c_str(), &end, 16);
    return *end == '\0' && value <= max;
}

bool _decimal(const std::string& text, long max, long& value)
{
    if (text.empty() || text.size() > 10)
        return false;
    char* end = nullptr;
    value = strtol(text.c_str(), &end, 10);
    return *end == '\0' && value >= 0 && value <= max;
}

modsim::ModuleSpec& _current(_Options& o)
{
    if (o.modules.empty())
        o.modules.emplace_back();
    return o.modules.back();
}

// Returns 0 to run, 1 on a usage error (message printed), 2 for --help.
int _parse(int argc, char** argv, _Options& o)
{
    auto fail = [](const std::string& message)
    {
        fprintf(stderr, "modsim: %s (see --help)\n", message.c_str());
        return 1;
    };
    for (int i = 1; i < argc; i++)
    {
        std::string arg = argv[i];
        if (arg == "--")
        {
            for (int j = i + 1; j < argc; j++)
                o.command.push_back(argv[j]);
            if (o.command.empty())
                return fail("no command after --");
            break;
        }
        if (arg == "--help" || arg == "-h")
            return 2;
        bool faultTakesValue = false;
        bool isFault = modsim::isFaultOption(arg, faultTakesValue);
        bool takesValue =
            isFault ? faultTakesValue
                    : (arg == "--module" || arg == "--tcp" || arg == "--usb-product" ||
                       arg == "--heartbeat" || arg == "--heartbeat-direction" ||
                       arg == "--trace-file" || arg == "--duration" || arg == "--timeout");
        std::string value;
        if (takesValue)
        {
            if (i + 1 >= argc)
                return fail(arg + " needs a value");
            value = argv[++i];
        }
        if (isFault)
        {
            std::string error;
            if (!modsim::applyFaultOption(_current(o).module.faults, arg, value, error))
                return fail(error);
            continue;
        }
        unsigned long n = 0;
        long ms = 0;
        if (arg == "--module")
        {
            size_t colon = value.find(':');
            unsigned long serial = 0, address = 0x04;
            if (!_hex(value.substr(0, colon), 0xFFFFFFFFul, serial) || serial == 0)
                return fail("--module " + value + ": bad serial number");
            if (colon != std::string::npos &&
                (!_hex(value.substr(colon + 1), 0xFE, address) || address == 0 || (address & 1)))
                return fail("--module " + value + ": the address must be even, 02 to FE");
            if (o.explicitModule || o.modules.empty())
                o.modules.emplace_back();
            o.explicitModule = true;
            o.modules.back().module.serial = (uint32_t)serial;
            o.modules.back().module.address = (uint8_t)address;
        }
        else if (arg == "--tcp")
        {
            modsim::TcpSpec t;
            size_t colon = value.rfind(':');
            if (colon != std::string::npos)
                t.address = value.substr(0, colon);
            long port = 0;
            if (!_decimal(value.substr(colon == std::string::npos ? 0 : colon + 1), 65535, port))
                return fail("--tcp " + value + ": bad port");
            t.port = (uint16_t)port;
            _current(o).tcp.push_back(t);
        }
        else if (arg == "--serial")
            _current(o).serialLine = true;
        else if (arg == "--usb")
        {
            if (!_current(o).usb)
                _current(o).usb = modsim::UsbSpec();
        }
        else if (arg == "--usb-product")
        {
            if (!_hex(value, 0xFFFF, n))
                return fail("--usb-product " + value + ": bad product identifier");
            if (!_current(o).usb)
                _current(o).usb = modsim::UsbSpec();
            _current(o).usb->product = (uint16_t)n;
        }
        else if (arg == "--heartbeat")
        {
            if (!_decimal(value, 3600000, ms))
                return fail("--heartbeat " + value + ": bad interval");
            _current(o).module.heartbeatMs = (unsigned)ms;
        }
        else if (arg == "--heartbeat-direction")
        {
            modsim::HeartbeatDirection& d = _current(o).module.heartbeatDirection;
            if (value == "alternate")
                d = modsim::HeartbeatDirection::Alternate;
            else if (value == "down")
                d = modsim::HeartbeatDirection::Down;
            else if (value == "up")
                d = modsim::HeartbeatDirection::Up;
            else
                return fail("--heartbeat-direction " + value + ": alternate, down or up");
        }
        else if (arg == "--trace")
            o.trace = true;
        else if (arg == "--trace-file")
            o.traceFile = value;
        else if (arg == "--duration" || arg == "--timeout")
        {
            if (!_decimal(value, 86400000, ms))
                return fail(arg + " " + value + ": bad milliseconds");
            (arg == "--duration" ? o.durationMs : o.timeoutMs) = ms;
        }
        else
            return fail("unknown option " + arg);
    }
    if (o.modules.empty())
        o.modules.emplace_back();
    for (const modsim::ModuleSpec& m : o.modules)
        if (m.tcp.empty() && !m.serialLine && !m.usb)
        {
            char serial[16];
            snprintf(serial, sizeof serial, "%08X", m.module.serial);
            return fail(std::string("module ") + serial +
                        " has no transport (--tcp, --serial, --usb)");
        }
    return 0;
}

std::string _serialText(uint32_t serial)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// Starts the command with the signals unblocked and the modules' addresses in
// its environment; returns its pid or -1.
pid_t _spawn(const _Options& o, const modsim::Simulator& sim)
{
    for (size_t m = 0; m < o.modules.size(); m++)
    {
        std::string serial = _serialText(o.modules[m].module.serial);
        uint16_t port = sim.tcpPort(m);
        std::string pty = sim.ptyPath(m);
        if (port != 0)
        {
            setenv(("MODSIM_TCP_PORT_" + serial).c_str(), std::to_string(port).c_str(), 1);
            if (getenv("MODSIM_TCP_PORT") == nullptr)
                setenv("MODSIM_TCP_PORT", std::to_string(port).c_str(), 1);
        }
        if (!pty.empty())
        {
            setenv(("MODSIM_PTY_" + serial).c_str(), pty.c_str(), 1);
            if (getenv("MODSIM_PTY") == nullptr)
                setenv("MODSIM_PTY", pty.c_str(), 1);
        }
    }
    std::vector<char*> argv;
    for (const std::string& a : o.command)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &pipe);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
    {
        fprintf(stderr, "modsim: cannot run %s: %s\n", argv[0], strerror(rc));
        return -1;
    }
    return pid;
}

int _statusOf(int wstatus)
{
    if (WIFEXITED(wstatus))
        return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus))
        return 128 + WTERMSIG(wstatus);
    return 1;
}

// Ends the child: SIGTERM, then SIGKILL after two seconds.
int _endChild(pid_t pid)
{
    kill(pid, SIGTERM);
    for (int i = 0; i < 200; i++)
    {
        int wstatus = 0;
        if (waitpid(pid, &wstatus, WNOHANG) == pid)
            return _statusOf(wstatus);
        usleep(10000);
    }
    kill(pid, SIGKILL);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    return _statusOf(wstatus);
}

void _summary(const modsim::Simulator& sim, const _Options& o)
{
    for (size_t m = 0; m < o.modules.size(); m++)
    {
        modsim::ModuleStats s = sim.stats(m);
        fprintf(stderr,
                "modsim: %s: %u packets in, %u out; %u sync answered; heartbeats %u sent, %u "
                "answered, %u unanswered; %u connections\n",
                _serialText(o.modules[m].module.serial).c_str(), s.packetsReceived, s.packetsSent,
                s.syncAnswered, s.heartbeatsSent, s.heartbeatAnswers, s.heartbeatsUnanswered,
                s.connectionsAccepted);
    }
}

} // namespace

int main(int argc, char** argv)
{
    _Options o;
    int parsed = _parse(argc, argv, o);
    if (parsed == 2)
    {
        printf(_usage, modsim::kFaultOptionsHelp);
        return 0;
    }
    if (parsed != 0)
        return 1;

    // A reader of the trace that goes away ends nothing but the trace.
    signal(SIGPIPE, SIG_IGN);
    // The signals are taken by sigtimedwait below; every thread started from
    // here on inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGCHLD);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    modsim::Simulator sim;
    for (const modsim::ModuleSpec& m : o.modules)
        sim.addModule(m);
    std::ofstream traceFile;
    if (!o.traceFile.empty())
    {
        traceFile.open(o.traceFile, std::ios::app);
        if (!traceFile)
        {
            fprintf(stderr, "modsim: cannot open %s\n", o.traceFile.c_str());
            return 1;
        }
    }
    if (o.trace || traceFile.is_open())
    {
        bool toStdout = o.trace;
        std::ofstream* file = traceFile.is_open() ? &traceFile : nullptr;
        sim.setTraceSink(
            [toStdout, file](const std::string& line)
            {
                if (toStdout)
                {
                    printf("%s\n", line.c_str());
                    fflush(stdout);
                }
                if (file)
                    *file << line << "\n" << std::flush;
            });
    }
    std::string error;
    if (!sim.start(&error))
    {
        fprintf(stderr, "modsim: %s\n", error.c_str());
        return 1;
    }
    for (const std::string& line : sim.endpoints())
        printf("%s\n", line.c_str());
    printf("ready\n");
    fflush(stdout);

    pid_t child = -1;
    if (!o.command.empty())
    {
        child = _spawn(o, sim);
        if (child < 0)
        {
            sim.stop();
            return 127;
        }
    }
    auto started = std::chrono::steady_clock::now();
    int status = 0;
    for (;;)
    {
        timespec tick = {0, 100 * 1000 * 1000};
        int sig = sigtimedwait(&signals, nullptr, &tick);
        long elapsed = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - started)
                           .count();
        if (child > 0)
        {
            int wstatus = 0;
            if (waitpid(child, &wstatus, WNOHANG) == child)
            {
                status = _statusOf(wstatus);
                break;
            }
            if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP)
            {
                status = _endChild(child);
                break;
            }
            if (elapsed >= o.timeoutMs || (o.durationMs >= 0 && elapsed >= o.durationMs))
            {
                bool timedOut = elapsed >= o.timeoutMs;
                if (timedOut)
                    fprintf(stderr, "modsim: %s ran longer than %ld ms; ended\n",
                            o.command[0].c_str(), o.timeoutMs);
                status = _endChild(child);
                if (timedOut)
                    status = 124;
                break;
            }
            continue;
        }
        if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP)
            break;
        if (o.durationMs >= 0 && elapsed >= o.durationMs)
            break;
    }
    sim.stop();
    _summary(sim, o);
    return status;
}
