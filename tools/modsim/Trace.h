// The packet trace: one line per packet received or sent, one per run of
// bytes thrown away or sent as garbage, and one per link opened or ended.
//
//   "    1.250 40F5849A out tcp:127.0.0.1:40562 len 2: 04 02 00 01"
//   "    1.251 40F5849A in  tcp:127.0.0.1:40562 len 2: 04 02 00 03"
//   "    1.300 40F5849A out tcp:127.0.0.1:40562 len 0: 04 00 (dropped)"
//   "    1.400 40F5849A in  pty:/dev/pts/3 junk 4: 02 04 02 3C (bad CRC)"
//   "    2.000 40F5849A --- tcp:127.0.0.1:40562 reset (RST)"
//
// Seconds since the simulator started, the module's serial number, the
// direction, the link, then the packet's length and wire bytes (address,
// length, data; on a serial line the packet, not its COBS frame).
//
// Threads: used by the simulator's loop thread and read by the test API, both
// with the simulator's lock held.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace modsim
{

class Trace
{
public:
    Trace();
    void setStart(std::chrono::steady_clock::time_point start) { start_ = start; }
    void add(std::chrono::steady_clock::time_point now, uint32_t serial, const char* direction,
             const std::string& link, const std::string& what);
    // The lines kept (the last kMaxLines).
    std::vector<std::string> lines() const { return {lines_.begin(), lines_.end()}; }
    void clear() { lines_.clear(); }
    // Lines added since the last call, for a sink that prints them.
    std::vector<std::string> takeNew();

private:
    static constexpr size_t kMaxLines = 100000;
    std::chrono::steady_clock::time_point start_;
    std::deque<std::string> lines_;
    std::vector<std::string> new_;
};

} // namespace modsim
