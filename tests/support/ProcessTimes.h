#pragma once
// Processor time and memory used so far, for the benchmarks.

#include <sys/resource.h>

#include <fstream>
#include <string>

// User and system time of the whole process (RUSAGE_SELF) or of the
// calling thread (RUSAGE_THREAD), in seconds.
inline double CpuSeconds(int who = RUSAGE_SELF)
{
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The proportional set size of a process ("self" or a pid), in KiB; 0 when
// it cannot be read.
inline long PssKiB(const std::string& pid)
{
    std::ifstream rollup("/proc/" + pid + "/smaps_rollup");
    std::string key;
    long value = 0;
    while (rollup >> key) {
        if (key == "Pss:" && rollup >> value)
            return value;
    }
    return 0;
}
