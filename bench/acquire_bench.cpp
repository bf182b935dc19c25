// Download cost: "Updater -G" of 1, 8 and 32 MiB BIRD files from the local
// update server, against curl fetching the same four requests (presence,
// current build, build list, the BIRD file) from the same server in one run.
// For each side: wall time, processor time (user + system of the child) and
// peak resident memory of the child, each the median of kRuns runs that
// alternate between the two. Printed: both numbers and their ratios, and the
// Updater's peak memory against the BIRD file's size, with the goals
// (wall <= 1.2x curl, processor <= 3x curl, peak <= 2.5x the file). The
// Updater's peak without any download is measured too, and what the download
// adds to it is shown against the file as well: for small files the
// program's own libraries, not the download, make most of the peak.
// Usage: bench_acquire [UPDATER [UPDATE_SERVER [CURL]]]
#include "tools/birdtool/BirdPack.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace
{
using Clock = std::chrono::steady_clock;

constexpr int kRuns = 5;
const char* const kSerial = "00001A2B";
const unsigned kBuild = 1234;

struct Cost
{
    double wall = 0;    // seconds
    double cpu = 0;     // seconds, user + system
    double peakMiB = 0; // resident set high-water mark
};

// Runs a program with its output thrown away; its cost from wait4.
bool Measure(const std::vector<std::string>& args, Cost& cost)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    auto start = Clock::now();
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return false;
    int status = 0;
    struct rusage usage
    {
    };
    if (wait4(pid, &status, 0, &usage) != pid)
        return false;
    cost.wall = std::chrono::duration<double>(Clock::now() - start).count();
    cost.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
               usage.ru_stime.tv_usec / 1e6;
    cost.peakMiB = usage.ru_maxrss / 1024.0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A BIRD file of about `size` bytes: an identity block and one firmware block
// of bytes that do not compress, as real firmware hardly does.
std::vector<uint8_t> MakeImage(size_t size)
{
    std::vector<uint8_t> payload(size - 128);
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (uint8_t& b : payload)
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        b = uint8_t(state >> 32);
    }
    BirdManifest manifest;
    manifest.blocks.push_back(BirdPack_InfoBlock(kBuild, "2.10.3", 0x1A2B, "ROUTER"));
    manifest.blocks.push_back(BirdPack_AddressBlock(1, 0, 0x1000, payload));
    return BirdPack_File(manifest);
}

// Writes MakeImage(size) to path from a child process. A child's peak memory
// counts what it shared with this process before it ran its program, so this
// process never holds an image itself.
bool WriteImage(const std::string& path, size_t size)
{
    pid_t child = fork();
    if (child == 0)
    {
        std::vector<uint8_t> image = MakeImage(size);
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
        out.close();
        _exit(out ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// The update server on a free port; its port, or 0.
int StartServer(const std::string& program, const std::string& directory, pid_t& pid)
{
    int out[2];
    if (pipe(out) != 0)
        return 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args = {program, "0", directory};
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0)
    {
        close(out[0]);
        return 0;
    }
    char line[32] = {0};
    size_t got = 0;
    // The first line is the port; the server prints it at once.
    while (got < sizeof line - 1 && read(out[0], line + got, 1) == 1 && line[got] != '\n')
        ++got;
    close(out[0]);
    return atoi(line);
}

std::string TempDirectory()
{
    char pattern[] = "/tmp/kxbench-acquire-XXXXXX";
    const char* made = mkdtemp(pattern);
    return made != nullptr ? made : "";
}

} // namespace

int main(int argc, char** argv)
{
    const std::string updater = argc > 1 ? argv[1] : UPDATER_PATH;
    const std::string serverProgram = argc > 2 ? argv[2] : UPDATE_SERVER_PATH;
    const std::string curl = argc > 3 ? argv[3] : "/usr/bin/curl";
    if (access(curl.c_str(), X_OK) != 0)
    {
        fprintf(stderr, "bench_acquire: %s is not there (scripts/bootstrap installs curl)\n",
                curl.c_str());
        return 1;
    }
    const std::string work = TempDirectory();
    if (work.empty())
        return 1;
    const std::string firmware = work + "/firmware";
    mkdir(firmware.c_str(), 0755);
    mkdir((firmware + "/" + kSerial).c_str(), 0755);
    std::ofstream(firmware + "/devices") << kSerial << " ROUTER\n";

    pid_t server = -1;
    int port = StartServer(serverProgram, firmware, server);
    if (port <= 0)
    {
        fprintf(stderr, "bench_acquire: the update server did not start\n");
        return 1;
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
    const std::string sn = std::string("sn=") + kSerial + "&";
    const std::vector<std::string> requests = {
        url + "?op=hi&rv=2&",
        url + "?op=qu&" + sn,
        url + "?op=builds&" + sn,
        url + "?bld=" + std::to_string(kBuild) + "&fw=" + kSerial + "&no_cal=false&op=bird&" + sn,
    };

    // What the program costs before any download: a local listing of an
    // empty store loads the same libraries and sets up the same way.
    std::vector<double> basePeak;
    for (int run = 0; run < kRuns; ++run)
    {
        Cost base;
        Measure({updater, "-L", "-d", kSerial, "-i", work + "/empty"}, base);
        basePeak.push_back(base.peakMiB);
    }
    const double baseline = Median(basePeak);

    printf("bench_acquire: -G against curl, same four requests, median of %d runs\n", kRuns);
    printf("Updater's own peak without a download (-L of an empty store): %.1f MiB\n", baseline);
    printf("%-7s %-8s %9s %9s %9s | %6s %6s %10s %10s\n", "image", "program", "wall s", "cpu s",
           "peak MiB", "wall", "cpu", "peak/file", "added/file");
    int failures = 0;
    for (size_t mib : {1, 8, 32})
    {
        const std::string imagePath =
            firmware + "/" + kSerial + "/" + std::to_string(kBuild) + ".bird";
        if (!WriteImage(imagePath, mib << 20))
        {
            fprintf(stderr, "bench_acquire: cannot make %s\n", imagePath.c_str());
            return 1;
        }
        struct stat info
        {
        };
        stat(imagePath.c_str(), &info);
        const double fileMiB = info.st_size / 1048576.0;

        std::vector<double> uWall, uCpu, uPeak, cWall, cCpu, cPeak;
        for (int run = 0; run < kRuns; ++run)
        {
            const std::string store = work + "/store" + std::to_string(run);
            Cost u, c;
            bool okU = Measure({updater, "-G", "-d", kSerial, "-b", std::to_string(kBuild), "-u",
                                url, "-i", store},
                               u);
            std::vector<std::string> curlArgs = {curl, "-s", "-f"};
            for (size_t i = 0; i < requests.size(); ++i)
            {
                curlArgs.push_back("-o");
                curlArgs.push_back(work + "/curl" + std::to_string(i));
                curlArgs.push_back(requests[i]);
            }
            bool okC = Measure(curlArgs, c);
            if (!okU || !okC)
            {
                fprintf(stderr, "bench_acquire: a %zu MiB run failed (Updater %s, curl %s)\n", mib,
                        okU ? "ok" : "failed", okC ? "ok" : "failed");
                ++failures;
            }
            uWall.push_back(u.wall);
            uCpu.push_back(u.cpu);
            uPeak.push_back(u.peakMiB);
            cWall.push_back(c.wall);
            cCpu.push_back(c.cpu);
            cPeak.push_back(c.peakMiB);
            std::string clean = "rm -rf '" + store + "'";
            if (system(clean.c_str()) != 0)
                ++failures;
        }
        Cost u{Median(uWall), Median(uCpu), Median(uPeak)};
        Cost c{Median(cWall), Median(cCpu), Median(cPeak)};
        double wallRatio = u.wall / c.wall;
        double cpuRatio = c.cpu > 0 ? u.cpu / c.cpu : 0;
        double peakRatio = u.peakMiB / fileMiB;
        printf("%4zu MiB %-8s %9.3f %9.3f %9.1f | %5.2fx %5.2fx %9.2fx %9.2fx\n", mib, "Updater",
               u.wall, u.cpu, u.peakMiB, wallRatio, cpuRatio, peakRatio,
               (u.peakMiB - baseline) / fileMiB);
        printf("%4zu MiB %-8s %9.3f %9.3f %9.1f |\n", mib, "curl", c.wall, c.cpu, c.peakMiB);
        printf("         goals: wall %s (<= 1.2x), cpu %s (<= 3x), peak %s (<= 2.5x file)\n",
               wallRatio <= 1.2 ? "met" : "MISSED", cpuRatio <= 3 ? "met" : "MISSED",
               peakRatio <= 2.5 ? "met" : "MISSED");
    }

    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    std::string clean = "rm -rf '" + work + "'";
    if (system(clean.c_str()) != 0)
        ++failures;
    return failures == 0 ? 0 : 1;
}
