// The clocks and the memory figure every benchmark prints.
#pragma once

#include <sys/resource.h>

#include <ctime>

namespace bench {

inline double seconds_of(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}
inline double wall_seconds() { return seconds_of(CLOCK_MONOTONIC); }
inline double cpu_seconds() { return seconds_of(CLOCK_PROCESS_CPUTIME_ID); }

// Peak resident memory of this process so far, in KB.
inline long peak_kb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace bench
