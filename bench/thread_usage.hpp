#pragma once
// What each thread of this process has used so far, read from /proc/self/task: its name, its CPU
// time (user and system, in clock ticks, from stat; in nanoseconds, from schedstat where the
// kernel keeps it) and how often it gave up the CPU of its own accord (voluntary context
// switches, from status: each one is a sleep, so each wake-up after it is one of these).

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace bench {

struct ThreadUsage {
    std::string name;
    double cpuSeconds = 0;  // schedstat where readable, else utime + stime
    std::uint64_t ticks = 0;  // utime + stime
    std::uint64_t voluntarySwitches = 0;
    std::uint64_t involuntarySwitches = 0;
};

using ProcessThreads = std::map<pid_t, ThreadUsage>;

inline bool readThread(pid_t tid, ThreadUsage& usage) {
    const std::string dir = "/proc/self/task/" + std::to_string(tid) + "/";
    std::ifstream stat(dir + "stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    // "tid (name) state ppid ...": the name may hold spaces and parentheses, so it ends at the
    // last ')'. utime and stime are fields 14 and 15, the 12th and 13th after the name.
    const auto open = line.find('(');
    const auto close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    usage.name = line.substr(open + 1, close - open - 1);
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    std::uint64_t utime = 0;
    std::uint64_t stime = 0;
    for (int i = 1; fields >> field; ++i) {
        if (i == 12) utime = std::stoull(field);
        if (i == 13) {
            stime = std::stoull(field);
            break;
        }
    }
    usage.ticks = utime + stime;
    usage.cpuSeconds = double(usage.ticks) / double(::sysconf(_SC_CLK_TCK));
    std::ifstream schedstat(dir + "schedstat");
    std::uint64_t onCpuNs = 0;
    if (schedstat >> onCpuNs) usage.cpuSeconds = double(onCpuNs) / 1e9;
    std::ifstream status(dir + "status");
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) usage.voluntarySwitches = std::stoull(line.substr(24));
        if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) usage.involuntarySwitches = std::stoull(line.substr(27));
    }
    return true;
}

// Every thread of the process now.
inline ProcessThreads processThreads() {
    ProcessThreads threads;
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir) return threads;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const auto tid = static_cast<pid_t>(std::stol(entry->d_name));
        ThreadUsage usage;
        if (readThread(tid, usage)) threads[tid] = usage;
    }
    ::closedir(dir);
    return threads;
}

}  // namespace bench
