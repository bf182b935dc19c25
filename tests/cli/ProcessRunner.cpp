#include "tests/cli/ProcessRunner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace
{
constexpr int _SETUP_FAILED = 126;
constexpr char _SETUP_MARK[] = "process-runner: set-up failed\n";

bool _write_file(const char* path, const std::string& text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
    {
        return false;
    }
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

[[noreturn]] void _setup_failed()
{
    ssize_t ignored = write(STDERR_FILENO, _SETUP_MARK, sizeof _SETUP_MARK - 1);
    (void)ignored;
    _exit(_SETUP_FAILED);
}

// Runs in the child between fork and exec.
[[noreturn]] void _child(const std::string& path, const std::vector<std::string>& args,
                         const RunOptions& options, uid_t outerUid, gid_t outerGid)
{
    int flags = 0;
    if (options.isolateNetwork)
    {
        flags |= CLONE_NEWNET;
    }
    if (options.mapUser || (options.isolateNetwork && geteuid() != 0))
    {
        flags |= CLONE_NEWUSER;
    }
    if (flags != 0 && unshare(flags) != 0)
    {
        _setup_failed();
    }
    if (flags & CLONE_NEWUSER)
    {
        uid_t innerUid = options.mapUser ? options.innerUid : outerUid;
        gid_t innerGid = options.mapUser ? options.innerUid : outerGid;
        if (!_write_file("/proc/self/setgroups", "deny") ||
            !_write_file("/proc/self/uid_map",
                         std::to_string(innerUid) + " " + std::to_string(outerUid) + " 1") ||
            !_write_file("/proc/self/gid_map",
                         std::to_string(innerGid) + " " + std::to_string(outerGid) + " 1"))
        {
            _setup_failed();
        }
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
    {
        _setup_failed();
    }
    for (const auto& name : options.unsetEnv)
    {
        unsetenv(name.c_str());
    }
    for (const auto& [name, value] : options.setEnv)
    {
        setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& arg : args)
    {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execve(path.c_str(), argv.data(), environ);
    _setup_failed();
}

void _drain(int& fd, std::string& into)
{
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0)
    {
        into.append(buffer, static_cast<size_t>(n));
        return;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
    {
        return;
    }
    close(fd); // end of file, or EIO once a terminal's far side is gone
    fd = -1;
}
} // namespace

RunResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                     const RunOptions& options)
{
    RunResult result;
    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0)
    {
        result.setupFailed = true;
        return result;
    }
    int outFd = -1;
    pid_t pid;
    uid_t outerUid = geteuid();
    gid_t outerGid = getegid();
    if (options.terminal)
    {
        struct termios raw;
        memset(&raw, 0, sizeof raw);
        cfmakeraw(&raw);
        pid = forkpty(&outFd, nullptr, &raw, nullptr);
    }
    else
    {
        int outPipe[2];
        if (pipe2(outPipe, O_CLOEXEC) != 0)
        {
            close(errPipe[0]);
            close(errPipe[1]);
            result.setupFailed = true;
            return result;
        }
        pid = fork();
        if (pid == 0)
        {
            dup2(outPipe[1], STDOUT_FILENO);
        }
        close(outPipe[1]);
        outFd = outPipe[0];
    }
    if (pid == 0)
    {
        dup2(errPipe[1], STDERR_FILENO);
        _child(path, args, options, outerUid, outerGid);
    }
    close(errPipe[1]);
    int errFd = errPipe[0];
    if (pid < 0)
    {
        close(errFd);
        if (outFd >= 0)
        {
            close(outFd);
        }
        result.setupFailed = true;
        return result;
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
    bool killed = false;
    while (outFd >= 0 || errFd >= 0)
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
        {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
        int ready = poll(fds, 2, static_cast<int>(std::min<long long>(left, 200)));
        if (ready < 0 && errno != EINTR)
        {
            break;
        }
        if (outFd >= 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
        {
            _drain(outFd, result.out);
        }
        if (errFd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
        {
            _drain(errFd, result.err);
        }
    }
    if (outFd >= 0)
    {
        close(outFd);
    }
    if (errFd >= 0)
    {
        close(errFd);
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR)
    {
    }
    if (!killed && WIFEXITED(wstatus))
    {
        result.status = WEXITSTATUS(wstatus);
    }
    if (result.status == _SETUP_FAILED && result.err.find(_SETUP_MARK) != std::string::npos)
    {
        result.setupFailed = true;
    }
    return result;
}

uint32_t UnlistedUserId()
{
    for (uint32_t uid = 23456; uid < 23556; ++uid)
    {
        if (getpwuid(uid) == nullptr)
        {
            return uid;
        }
    }
    return 0;
}

std::vector<std::string> ListTree(const std::string& root)
{
    std::vector<std::string> paths;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(root, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error))
    {
        paths.push_back(std::filesystem::relative(it->path(), root).string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}
