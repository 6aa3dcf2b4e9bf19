// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_BENCH_PROCESS_STATS_H
#define QUORVEX_BENCH_PROCESS_STATS_H

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
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

// CPU seconds of each of this process's threads named name (a loop thread
// is "quorvex-loop"), from /proc/self/task/*/stat, by thread id.
inline std::map<int, double> threadCpuSeconds(const std::string& name) {
    std::map<int, double> cpu;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return cpu;
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::string dir = std::string("/proc/self/task/") + entry->d_name;
        std::string comm;
        std::getline(std::ifstream(dir + "/comm"), comm);
        if (comm != name) continue;
        std::string stat;
        std::getline(std::ifstream(dir + "/stat"), stat);
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) stime = std::stoull(field);
        }
        cpu[std::atoi(entry->d_name)] = static_cast<double>(utime + stime) / ticks;
    }
    closedir(tasks);
    return cpu;
}

} // namespace quorvex::bench

#endif
