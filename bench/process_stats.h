#ifndef QUORVEX_BENCH_PROCESS_STATS_H
#define QUORVEX_BENCH_PROCESS_STATS_H

#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace quorvex::bench {

// A field of /proc/self/status in KiB ("VmRSS:", "VmHWM:").
inline long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line, name(field);
    while (std::getline(status, line))
        if (line.rfind(name, 0) == 0) return std::strtol(line.c_str() + name.size(), nullptr, 10);
    return 0;
}

inline long residentKiB() { return statusKiB("VmRSS:"); }

inline double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace quorvex::bench

#endif
