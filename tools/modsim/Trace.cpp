#include "Trace.h"

#include <cstdio>

namespace modsim
{

Trace::Trace() : start_(std::chrono::steady_clock::now()) {}

void Trace::add(std::chrono::steady_clock::time_point now, uint32_t serial, const char* direction,
                const std::string& link, const std::string& what)
{
    double seconds = std::chrono::duration<double>(now - start_).count();
    char head[64];
    snprintf(head, sizeof head, "%9.3f %08X %-3s ", seconds, serial, direction);
    std::string line = head + link + " " + what;
    lines_.push_back(line);
    if (lines_.size() > kMaxLines)
        lines_.pop_front();
    // Nobody takes the new lines when there is no sink: keep only a bounded few.
    if (new_.size() < kMaxLines)
        new_.push_back(std::move(line));
}

std::vector<std::string> Trace::takeNew()
{
    std::vector<std::string> lines;
    lines.swap(new_);
    return lines;
}

} // namespace modsim
