#pragma once
// What every benchmark here reports: the CPU time of the application's own path (the figure) and
// of the least work that path could do (the limit), measured in the same run, and their ratio.
// Under callgrind (bench/callgrind.sh) each measured piece is also dumped as its own instruction
// count, named "figure" or "limit", since instruction counts are steady where CPU times are not.

#include <benchmark/benchmark.h>
#include <valgrind/callgrind.h>

#include <sys/resource.h>
#include <time.h>

namespace bench {

inline double seconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// CPU time of the calling thread, and of every thread of the process.
inline double threadCpu() { return seconds(CLOCK_THREAD_CPUTIME_ID); }
inline double processCpu() { return seconds(CLOCK_PROCESS_CPUTIME_ID); }

inline double peakResidentMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

// Runs `work` as one measured piece called `name`; returns the CPU seconds `work` says it took.
template <class Work>
double measured(const char* name, Work&& work) {
    const bool counting = RUNNING_ON_VALGRIND;
    if (counting) CALLGRIND_START_INSTRUMENTATION;
    const double cpu = work();
    if (counting) {
        CALLGRIND_STOP_INSTRUMENTATION;
        CALLGRIND_DUMP_STATS_AT(name);
    }
    return cpu;
}

// The same for work that runs on the calling thread only.
template <class Work>
double measuredOnThisThread(const char* name, Work&& work) {
    return measured(name, [&] {
        const double start = threadCpu();
        work();
        return threadCpu() - start;
    });
}

// Reports the figure and the limit (CPU seconds summed over `units` units of work, given in
// microseconds per unit) and figure / limit beside the ratio allowed, if any.
inline void report(benchmark::State& state, double figure, double limit, double units, double allowedRatio = 0) {
    state.counters["figure_us"] = figure / units * 1e6;
    state.counters["limit_us"] = limit / units * 1e6;
    state.counters["ratio"] = limit > 0 ? figure / limit : 0;
    if (allowedRatio > 0) state.counters["allowed_ratio"] = allowedRatio;
}

}  // namespace bench
