// Recovery throughput at 115200 baud on the paced ISP bootloader simulator:
// `Updater -U -t RECOVER` writing a 64 KB image, against the line limit of
// the protocol's UU-encoded data (45 bytes per 61-character line and its line
// end, 10 bits a character) and against lpc21isp writing the same image to
// the same simulator in the same run.
//
// The data phase runs from the chip's receipt of the first W command to its
// return code for the last C command, as the simulator's trace times them.
//
//   lpc_recovery_bench [KILOBYTES]      (default 64)
#include "tools/birdtool/BirdPack.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{
const uint32_t kKey[4] = {0x1A2B3C4D, 0x11223344, 0x55667788, 0x99AABBCC};
constexpr double kBaud = 115200.0;

double _now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Runs a program with its output thrown away; kills it after `limitSeconds`.
int _run(const std::vector<std::string>& args, int limitSeconds)
{
    pid_t pid = fork();
    if (pid == 0)
    {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    double end = _now() + limitSeconds;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0)
    {
        if (_now() > end)
        {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Sim
{
    pid_t pid = -1;
    std::string port;
    std::string trace;

    bool Start(const std::string& dir, const std::string& name)
    {
        trace = dir + "/" + name + ".trace";
        int out[2];
        if (pipe(out) != 0)
            return false;
        pid = fork();
        if (pid == 0)
        {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            execl(LPCSIM_PATH, LPCSIM_PATH, "--pace", "--trace", trace.c_str(), "--idle-exit", "60",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        char c;
        struct pollfd pfd = {out[0], POLLIN, 0};
        while (poll(&pfd, 1, 5000) > 0 && read(out[0], &c, 1) == 1 && c != '\n')
            port += c;
        close(out[0]);
        return !port.empty();
    }
    void Stop()
    {
        if (pid > 0)
        {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    // Seconds from the first "< W" to the return code of the last "< C".
    double DataPhase() const
    {
        std::ifstream in(trace);
        double first = -1, last = -1;
        bool afterCopy = false;
        for (std::string line; std::getline(in, line);)
        {
            if (line.size() < 14 || line[0] != '[')
                continue;
            double t = atof(line.c_str() + 1);
            std::string text = line.substr(13);
            if (first < 0 && text.compare(0, 3, "< W") == 0)
                first = t;
            if (afterCopy && text.compare(0, 2, "> ") == 0)
                last = t;
            afterCopy = text.compare(0, 3, "< C") == 0;
        }
        return first >= 0 && last > first ? last - first : -1;
    }
};

} // namespace

int main(int argc, char** argv)
{
    size_t kilobytes = argc > 1 ? strtoul(argv[1], nullptr, 10) : 64;
    if (kilobytes == 0 || kilobytes > 480)
    {
        fprintf(stderr, "lpc_recovery_bench: KILOBYTES from 1 to 480\n");
        return 2;
    }
    char pattern[] = "/tmp/lpcbench-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    std::string dir = pattern;

    // A firmware image with a valid vector table, as a BIRD file for this
    // chip and as the plain binary lpc21isp takes.
    std::vector<uint8_t> firmware(kilobytes * 1024);
    uint32_t state = 12345;
    for (uint8_t& b : firmware)
    {
        state = state * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(state >> 24);
    }
    uint32_t total = 0;
    for (int w = 0; w < 7; ++w)
    {
        uint32_t word;
        memcpy(&word, firmware.data() + 4 * w, 4);
        total += word;
    }
    uint32_t check = 0u - total;
    memcpy(firmware.data() + 28, &check, 4);
    BirdManifest manifest;
    manifest.blocks.push_back(BirdPack_InfoBlock(1, "1.0.0", 0, "BENCH"));
    manifest.blocks.push_back(BirdPack_AddressBlock(1, 0, 0, firmware));
    manifest.key = std::vector<uint32_t>(kKey, kKey + 4);
    BirdPack_WriteFile(dir + "/image.bird", BirdPack_File(manifest));
    BirdPack_WriteFile(dir + "/image.bin", firmware);

    double limit = kBaud / 10.0 * 45.0 / 63.0;
    printf("LPC recovery at 115200 baud, %zu KB image, paced simulator\n", kilobytes);
    printf("  UU-encoded line limit              %8.0f bytes/s\n", limit);

    Sim ours;
    if (!ours.Start(dir, "updater"))
        return 1;
    double start = _now();
    int status = _run({UPDATER_PATH, "-U", "-t", "RECOVER", "-s", ours.port, "-f",
                       dir + "/image.bird", "-i", dir + "/store", "-u", "http://127.0.0.1:9/cgi/u"},
                      300);
    double wall = _now() - start;
    ours.Stop();
    double phase = ours.DataPhase();
    if (status != 0 || phase <= 0)
    {
        fprintf(stderr, "lpc_recovery_bench: the recovery failed (%d)\n", status);
        return 1;
    }
    double rate = firmware.size() / phase;
    printf("  Updater -U -t RECOVER data phase   %8.0f bytes/s  (%.2f s; whole run %.2f s)\n", rate,
           phase, wall);
    printf("  ratio to the line limit            %8.3f\n", rate / limit);

    if (access("/usr/bin/lpc21isp", X_OK) == 0)
    {
        Sim theirs;
        if (!theirs.Start(dir, "lpc21isp"))
            return 1;
        start = _now();
        status = _run(
            {"/usr/bin/lpc21isp", "-bin", dir + "/image.bin", theirs.port, "115200", "14746"}, 300);
        double theirWall = _now() - start;
        theirs.Stop();
        double theirPhase = theirs.DataPhase();
        if (status == 0 && theirPhase > 0)
        {
            double theirRate = firmware.size() / theirPhase;
            printf("  lpc21isp -bin data phase           %8.0f bytes/s  (%.2f s; whole run "
                   "%.2f s)\n",
                   theirRate, theirPhase, theirWall);
            printf("  ratio Updater / lpc21isp           %8.3f\n", rate / theirRate);
        }
        else
        {
            printf("  lpc21isp failed (%d)\n", status);
        }
    }
    else
    {
        printf("  lpc21isp not installed: no comparison\n");
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
