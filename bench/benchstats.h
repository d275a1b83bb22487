#pragma once
// The clock and the figures every benchmark prints, so that their numbers compare.

#include <QtGlobal>

#include <algorithm>
#include <ctime>
#include <vector>

// CLOCK_MONOTONIC, which every process of the machine shares: a child may stamp, the parent read.
inline qint64 nowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

inline double nowMs()
{
    return double(nowNs()) / 1e6;
}

// This thread's CPU time: less disturbed than the wall clock by other work on the machine.
inline double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// The sample's value at quantile p (0 the least, 1 the greatest), nearest rank; 0 when empty.
inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}
