#pragma once
// Order statistics of a benchmark's samples.

#include <algorithm>
#include <vector>

// The value below which `fraction` of the samples lie (0.5: the median).
inline double Quantile(std::vector<double> samples, double fraction)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[static_cast<size_t>(static_cast<double>(samples.size()) * fraction)];
}

inline double Median(const std::vector<double> &samples) { return Quantile(samples, 0.5); }
