// lpcsim: an LPC17xx ISP bootloader on a pseudo-terminal, for the recovery
// tests and anyone without a board at hand (see tools/lpcsim/IspChip.h for
// what the chip answers).
#include "IspChip.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace
{
const char* const _usage =
    "Usage: lpcsim [options]\n"
    "\n"
    "An LPC17xx ISP bootloader (ROM version 4.1, 512 KB flash in 30 sectors) on a\n"
    "pseudo-terminal. The terminal's path is printed on the first line of standard\n"
    "output. The chip takes the line speed the host uses when it sends \"?\" and\n"
    "keeps it until the B command changes it; bytes sent at another speed arrive\n"
    "garbled, both ways.\n"
    "\n"
    "Options:\n"
    "  --link PATH           also make PATH a symbolic link to the terminal\n"
    "  --part-id N           part ID answered to J [0x26013F37, LPC1768]\n"
    "  --serial W0,W1,W2,W3  serial number words answered to N\n"
    "                        [0x1A2B3C4D,0x11223344,0x55667788,0x99AABBCC]\n"
    "  --boot-version M.N    boot code version answered to K [4.1]\n"
    "  --pace                receive and send one character per character time of\n"
    "                        the line speed (10 bits), as the chip's UART does\n"
    "  --flash-in FILE       start with this flash content (up to 512 KB)\n"
    "  --flash-out FILE      write the whole flash to FILE after every erase or\n"
    "                        copy (before the return code goes out) and at exit\n"
    "  --trace FILE          protocol trace, one line per command, reply and data\n"
    "                        group (\"-\": standard error)\n"
    "  --idle-exit SECONDS   exit after this long without a byte from the host\n"
    "  --help                this text\n"
    "Faults:\n"
    "  --silent              never answer anything\n"
    "  --garble-from N       garble every reply line from the Nth on (1 = the\n"
    "                        first line the chip sends)\n"
    "  --resend N|all        answer RESEND to the first N data checksums, or all\n"
    "  --fail PREFIX=CODE[xCOUNT]\n"
    "                        answer return code CODE to commands whose line begins\n"
    "                        with PREFIX, COUNT times (default every time); for\n"
    "                        example --fail E=9, --fail C=10x1, --fail 'A 1=12'\n"
    "  --drop-after BYTES    the line goes dead once BYTES bytes of W data arrived\n"
    "\n"
    "Numbers may be decimal or 0x-prefixed hexadecimal. SIGTERM or SIGINT ends it.\n";

volatile sig_atomic_t _stop = 0;

void _on_signal(int)
{
    _stop = 1;
}

uint64_t _now_ns()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000ull + static_cast<uint64_t>(t.tv_nsec);
}

uint32_t _rate_of(speed_t speed)
{
    static const struct
    {
        speed_t speed;
        uint32_t rate;
    } rates[] = {{B1200, 1200},     {B2400, 2400},     {B4800, 4800},    {B9600, 9600},
                 {B19200, 19200},   {B38400, 38400},   {B57600, 57600},  {B115200, 115200},
                 {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    for (const auto& r : rates)
    {
        if (r.speed == speed)
        {
            return r.rate;
        }
    }
    return 0;
}

uint64_t _char_ns(uint32_t rate)
{
    return rate == 0 ? 0 : 10ull * 1000000000ull / rate;
}

bool _number(const char* text, long long& value)
{
    char* end = nullptr;
    errno = 0;
    value = strtoll(text, &end, 0);
    return errno == 0 && end != text && *end == '\0';
}

[[noreturn]] void _bad(const char* what, const char* value)
{
    fprintf(stderr, "lpcsim: bad %s: %s\nTry 'lpcsim --help'.\n", what, value);
    exit(2);
}

struct Settings
{
    std::string link;
    std::string flashIn;
    std::string flashOut;
    std::string trace;
    bool pace = false;
    long idleExitSeconds = 0;
    lpcsim::IspIdentity identity;
    lpcsim::IspFaults faults;
};

void _parse(int argc, char** argv, Settings& s)
{
    for (int i = 1; i < argc; ++i)
    {
        std::string arg = argv[i];
        auto value = [&]() -> const char*
        {
            if (i + 1 >= argc)
            {
                _bad("option without value", arg.c_str());
            }
            return argv[++i];
        };
        long long n = 0;
        if (arg == "--help" || arg == "-h")
        {
            fputs(_usage, stdout);
            exit(0);
        }
        else if (arg == "--link")
            s.link = value();
        else if (arg == "--flash-in")
            s.flashIn = value();
        else if (arg == "--flash-out")
            s.flashOut = value();
        else if (arg == "--trace")
            s.trace = value();
        else if (arg == "--pace")
            s.pace = true;
        else if (arg == "--silent")
            s.faults.silent = true;
        else if (arg == "--part-id" || arg == "--idle-exit" || arg == "--garble-from" ||
                 arg == "--drop-after")
        {
            const char* v = value();
            if (!_number(v, n) || n < 0 || n > 0xFFFFFFFFll)
            {
                _bad(arg.c_str(), v);
            }
            if (arg == "--part-id")
                s.identity.partId = static_cast<uint32_t>(n);
            else if (arg == "--idle-exit")
                s.idleExitSeconds = static_cast<long>(n);
            else if (arg == "--garble-from")
                s.faults.garbleFrom = static_cast<long>(n);
            else
                s.faults.dropAfter = static_cast<long>(n);
        }
        else if (arg == "--resend")
        {
            const char* v = value();
            if (strcmp(v, "all") == 0)
                s.faults.resend = -1;
            else if (_number(v, n) && n >= 0)
                s.faults.resend = static_cast<long>(n);
            else
                _bad("--resend", v);
        }
        else if (arg == "--serial")
        {
            const char* v = value();
            std::string text = v;
            for (int w = 0; w < 4; ++w)
            {
                size_t comma = text.find(',');
                if ((w < 3) != (comma != std::string::npos) ||
                    !_number(text.substr(0, comma).c_str(), n) || n < 0 || n > 0xFFFFFFFFll)
                {
                    _bad("--serial", v);
                }
                s.identity.serial[w] = static_cast<uint32_t>(n);
                text = comma == std::string::npos ? "" : text.substr(comma + 1);
            }
        }
        else if (arg == "--boot-version")
        {
            const char* v = value();
            unsigned major = 0, minor = 0;
            char extra = 0;
            if (sscanf(v, "%u.%u%c", &major, &minor, &extra) != 2 || major > 255 || minor > 255)
            {
                _bad("--boot-version", v);
            }
            s.identity.bootMajor = major;
            s.identity.bootMinor = minor;
        }
        else if (arg == "--fail")
        {
            const char* v = value();
            std::string text = v;
            size_t equals = text.rfind('=');
            if (equals == std::string::npos || equals == 0)
            {
                _bad("--fail", v);
            }
            lpcsim::IspFaults::Forced forced;
            forced.prefix = text.substr(0, equals);
            std::string code = text.substr(equals + 1);
            size_t times = code.find('x');
            if (times != std::string::npos)
            {
                if (!_number(code.substr(times + 1).c_str(), n) || n < 1)
                {
                    _bad("--fail", v);
                }
                forced.count = static_cast<long>(n);
                code = code.substr(0, times);
            }
            if (!_number(code.c_str(), n) || n < 0 || n > 255)
            {
                _bad("--fail", v);
            }
            forced.code = static_cast<int>(n);
            s.faults.forced.push_back(forced);
        }
        else
        {
            _bad("option", arg.c_str());
        }
    }
}

bool _load_flash(const std::string& path, std::vector<uint8_t>& flash)
{
    FILE* in = fopen(path.c_str(), "rb");
    if (in == nullptr)
    {
        return false;
    }
    size_t got = fread(flash.data(), 1, flash.size(), in);
    fclose(in);
    return got > 0 || flash.empty();
}

// Writes the flash beside the file and renames it into place, so a reader
// never sees half of it.
bool _save_flash(const std::string& path, const std::vector<uint8_t>& flash)
{
    std::string partial = path + ".partial";
    FILE* out = fopen(partial.c_str(), "wb");
    if (out == nullptr)
    {
        return false;
    }
    bool ok = fwrite(flash.data(), 1, flash.size(), out) == flash.size();
    ok = fclose(out) == 0 && ok;
    return ok && rename(partial.c_str(), path.c_str()) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    Settings settings;
    _parse(argc, argv, settings);

    FILE* trace = nullptr;
    if (settings.trace == "-")
        trace = stderr;
    else if (!settings.trace.empty() && (trace = fopen(settings.trace.c_str(), "w")) == nullptr)
    {
        fprintf(stderr, "lpcsim: cannot write %s\n", settings.trace.c_str());
        return 1;
    }
    if (trace != nullptr)
        setvbuf(trace, nullptr, _IOLBF, 0);

    lpcsim::IspChip chip(settings.identity, settings.faults);
    if (!settings.flashIn.empty() && !_load_flash(settings.flashIn, chip.flash))
    {
        fprintf(stderr, "lpcsim: cannot read %s\n", settings.flashIn.c_str());
        return 1;
    }
    uint64_t start = _now_ns();
    chip.trace = [&](const std::string& line)
    {
        if (trace != nullptr)
        {
            double seconds = static_cast<double>(_now_ns() - start) / 1e9;
            fprintf(trace, "[%10.6f] %s\n", seconds, line.c_str());
        }
    };

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr)
    {
        perror("lpcsim: pseudo-terminal");
        return 1;
    }
    std::string path = ptsname(master);
    // Holding the terminal open keeps it in place between the host's sessions
    // (the chip stays synchronised when a port is closed and opened again).
    int keep = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios raw;
    if (keep < 0 || tcgetattr(keep, &raw) != 0)
    {
        perror("lpcsim: terminal");
        return 1;
    }
    cfmakeraw(&raw);
    cfsetispeed(&raw, B115200);
    cfsetospeed(&raw, B115200);
    tcsetattr(keep, TCSANOW, &raw);
    if (!settings.link.empty())
    {
        unlink(settings.link.c_str());
        if (symlink(path.c_str(), settings.link.c_str()) != 0)
        {
            perror("lpcsim: --link");
            return 1;
        }
    }

    struct sigaction action = {};
    action.sa_handler = _on_signal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    printf("%s\n", path.c_str());
    fflush(stdout);

    // Bytes from the host wait until their character time has passed (when
    // paced); bytes for the host go out when theirs has.
    struct Timed
    {
        uint8_t byte;
        uint64_t due;
        uint32_t rate;
    };
    std::deque<Timed> in, out;
    uint64_t inDone = 0, outDone = 0;
    uint64_t lastInput = _now_ns();
    int status = 0;

    while (!_stop)
    {
        uint64_t now = _now_ns();
        struct termios line;
        uint32_t hostRate = tcgetattr(master, &line) == 0 ? _rate_of(cfgetospeed(&line)) : 0;

        uint8_t buffer[4096];
        ssize_t got;
        while ((got = read(master, buffer, sizeof buffer)) > 0)
        {
            lastInput = now;
            for (ssize_t i = 0; i < got; ++i)
            {
                uint64_t due = now;
                if (settings.pace)
                {
                    uint32_t r = chip.Rate() != 0 ? chip.Rate() : hostRate;
                    inDone = std::max(inDone, now) + _char_ns(r);
                    due = inDone;
                }
                in.push_back({buffer[i], due, hostRate});
            }
        }
        while (!in.empty() && in.front().due <= now)
        {
            chip.Receive(in.front().byte, in.front().rate);
            in.pop_front();
        }
        if (chip.flashChanged && !settings.flashOut.empty())
        {
            if (!_save_flash(settings.flashOut, chip.flash))
            {
                fprintf(stderr, "lpcsim: cannot write %s\n", settings.flashOut.c_str());
            }
        }
        chip.flashChanged = false;
        for (const lpcsim::IspChip::Out& o : chip.output)
        {
            uint64_t due = now;
            if (settings.pace)
            {
                outDone = std::max(outDone, now) + _char_ns(o.rate);
                due = outDone;
            }
            out.push_back({o.byte, due, o.rate});
        }
        chip.output.clear();

        std::string batch;
        for (const Timed& t : out)
        {
            if (t.due > now)
                break;
            // The host's UART at another speed makes something else of it.
            batch += static_cast<char>(t.rate == hostRate ? t.byte : (t.byte ^ 0xA5) | 0x80);
        }
        if (!batch.empty())
        {
            ssize_t wrote = write(master, batch.data(), batch.size());
            for (ssize_t i = 0; i < wrote; ++i)
            {
                out.pop_front();
            }
        }

        if (settings.idleExitSeconds > 0 &&
            now - lastInput > static_cast<uint64_t>(settings.idleExitSeconds) * 1000000000ull)
        {
            chip.trace("idle: exiting");
            break;
        }
        uint64_t wake = now + 50000000ull; // 50 ms without anything to do
        if (!in.empty())
            wake = std::min(wake, in.front().due);
        if (!out.empty())
            wake = std::min(wake, std::max<uint64_t>(out.front().due, now + 200000ull));
        uint64_t wait = wake > now ? wake - now : 0;
        struct timespec timeout = {static_cast<time_t>(wait / 1000000000ull),
                                   static_cast<long>(wait % 1000000000ull)};
        struct pollfd pfd = {master, POLLIN, 0};
        if (ppoll(&pfd, 1, &timeout, nullptr) < 0 && errno != EINTR)
        {
            perror("lpcsim: poll");
            status = 1;
            break;
        }
    }

    if (!settings.flashOut.empty() && !_save_flash(settings.flashOut, chip.flash))
    {
        status = 1;
    }
    if (!settings.link.empty())
    {
        unlink(settings.link.c_str());
    }
    close(keep);
    close(master);
    if (trace != nullptr && trace != stderr)
        fclose(trace);
    return status;
}
