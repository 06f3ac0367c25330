#pragma once
// Processor time used so far, for the benchmarks.

#include <sys/resource.h>

// User and system time of the whole process (RUSAGE_SELF) or of the
// calling thread (RUSAGE_THREAD), in seconds.
inline double CpuSeconds(int who = RUSAGE_SELF)
{
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
