// modsim: plays Lumbrixon modules from the module's side of the wire, over
// TCP/IP, a serial line (pseudo-terminal) and USB (umockdev), with a packet
// trace and fault switches. See --help.
#include "NetLab.h"
#include "Options.h"
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

std::string _serialText(uint32_t serial)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// Starts the command with the signals unblocked and the modules' addresses in
// its environment; returns its pid or -1.
pid_t _spawn(const modsim::ProgramOptions& o, const modsim::Simulator& sim)
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

void _summary(const modsim::Simulator& sim, const modsim::ProgramOptions& o)
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
    modsim::ProgramOptions o;
    std::string error;
    int parsed = modsim::parseArguments(std::vector<std::string>(argv + 1, argv + argc), o, error);
    if (parsed == 2)
    {
        printf(modsim::kUsage, modsim::kFaultOptionsHelp);
        return 0;
    }
    if (parsed == 0)
        parsed = modsim::checkModules(o, error);
    if (parsed != 0)
    {
        fprintf(stderr, "modsim: %s (see --help)\n", error.c_str());
        return 1;
    }
    // Before any thread: a user namespace needs a process with one thread.
    if (o.privateNetwork && (!modsim::enterPrivateNetwork(error) ||
                             !modsim::addVethPair("modsim0", "192.0.2.1/24", "modsim1", "", error)))
    {
        fprintf(stderr, "modsim: --netns: %s\n", error.c_str());
        return 1;
    }

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
    for (size_t i = 0; i < o.modules.size(); i++)
        if (o.routers[i] < 0)
            sim.addModule(o.modules[i]);
        else
            sim.addChild((size_t)o.routers[i], o.modules[i]);
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
