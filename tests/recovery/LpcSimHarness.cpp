#include "tests/recovery/LpcSimHarness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace
{
speed_t _speed(uint32_t baud)
{
    switch (baud)
    {
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 230400:
            return B230400;
        default:
            return B115200;
    }
}
} // namespace

bool LpcSim::Start(const std::vector<std::string>& args)
{
    int out[2];
    if (pipe(out) != 0)
    {
        return false;
    }
    std::vector<std::string> all = {LPCSIM_PATH};
    all.insert(all.end(), args.begin(), args.end());
    all.insert(all.end(), {"--trace", dir.sub("trace"), "--flash-out", dir.sub("flash"),
                           "--idle-exit", "120"});
    pid = fork();
    if (pid == 0)
    {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (std::string& arg : all)
        {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline)
    {
        struct pollfd pfd = {out[0], POLLIN, 0};
        if (poll(&pfd, 1, 100) > 0)
        {
            char c;
            if (read(out[0], &c, 1) != 1)
            {
                break;
            }
            line += c;
        }
    }
    close(out[0]);
    if (line.find('\n') == std::string::npos)
    {
        Stop();
        return false;
    }
    port = line.substr(0, line.find('\n'));
    return true;
}

void LpcSim::Stop()
{
    if (pid <= 0)
    {
        return;
    }
    kill(pid, SIGTERM);
    for (int waited = 0; waited < 200; ++waited)
    {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
        {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

std::string LpcSim::Trace() const
{
    std::ifstream in(dir.sub("trace"));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string LpcSim::Commands() const
{
    std::istringstream in(Trace());
    std::string out;
    for (std::string line; std::getline(in, line);)
    {
        // "[   0.123456] < W 268439552 4096" -> "< W 268439552 4096"
        std::string text = line.size() > 13 ? line.substr(13) : line;
        if (text.find("data lines") == std::string::npos && text != "> OK")
        {
            out += text + "\n";
        }
    }
    return out;
}

std::vector<uint8_t> LpcSim::Flash() const
{
    std::ifstream in(dir.sub("flash"), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

IspHost::IspHost(const std::string& port, uint32_t baud)
{
    fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
    {
        SetBaud(baud);
    }
}

IspHost::~IspHost()
{
    if (fd >= 0)
    {
        close(fd);
    }
}

void IspHost::SetBaud(uint32_t baud)
{
    struct termios raw;
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    cfsetispeed(&raw, _speed(baud));
    cfsetospeed(&raw, _speed(baud));
    tcsetattr(fd, TCSANOW, &raw);
}

void IspHost::Send(const std::string& text)
{
    size_t sent = 0;
    for (int tries = 0; sent < text.size() && tries < 1000; ++tries)
    {
        ssize_t n = write(fd, text.data() + sent, text.size() - sent);
        if (n > 0)
        {
            sent += static_cast<size_t>(n);
        }
        else
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

std::string IspHost::Receive(size_t count, int timeoutMs)
{
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < count && std::chrono::steady_clock::now() < deadline)
    {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 5) > 0)
        {
            char c;
            while (got.size() < count && read(fd, &c, 1) == 1)
            {
                got += c;
            }
        }
    }
    return got;
}

std::string IspHost::ReceiveUntil(const std::string& end, int timeoutMs)
{
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline &&
           (got.size() < end.size() || got.compare(got.size() - end.size(), end.size(), end) != 0))
    {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 5) > 0)
        {
            char c;
            if (read(fd, &c, 1) == 1)
            {
                got += c;
            }
        }
    }
    return got;
}

std::string IspHost::Ask(const std::string& text, const std::string& end, int timeoutMs)
{
    Send(text);
    return ReceiveUntil(end, timeoutMs);
}

std::vector<uint8_t> MakeFirmware(size_t size, uint32_t seed, bool vectorTable)
{
    std::vector<uint8_t> bytes(size);
    uint32_t state = seed * 2654435761u + 7;
    for (uint8_t& b : bytes)
    {
        state = state * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(state >> 24);
    }
    if (vectorTable && size >= 32)
    {
        uint32_t total = 0;
        for (int w = 0; w < 7; ++w)
        {
            uint32_t word;
            memcpy(&word, bytes.data() + 4 * w, 4);
            total += word;
        }
        uint32_t check = 0u - total;
        memcpy(bytes.data() + 28, &check, 4);
    }
    return bytes;
}
